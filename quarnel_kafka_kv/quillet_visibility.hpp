// The visibility board: how far the consumer thread has applied each
// collection's log to the copy that readers are served, and the writers
// waiting until their records are there (read_your_writes).
//
// Writers and the consumer thread both use it, with the GIL as its lock: no
// operation here calls into the host, so each is atomic. Waking a waiter does
// call into the host (a lock's release, an event loop's call): the consumer
// thread collects the waiters to wake during a scan and wakes them after it.
//
// One rule places a record across rebuilds. Every copy is of one incarnation
// of its collection's log, its epoch. A log that starts over (the topic
// re-created, truncated, its offsets reset) is replayed into a fresh copy of
// the next epoch, and until that copy is served no write can be confirmed; a
// copy rebuilt for partitions added to the same log keeps its epoch, and its
// offsets stay valid. A write is confirmed once the served copy is of its
// record's epoch and has applied the record's offset; once the served copy
// is of a later epoch, the record's log is gone and it never will be.
#pragma once

#include "quillet_store.hpp"

#include <algorithm>
#include <map>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

namespace quarnel {
namespace {

// Partition -> offset of the last record applied (or delivered).
using Offsets = std::map<long long, long long>;

// Where a delivered record is: its log's epoch, partition and offset.
struct RecordPlace {
    long long epoch, partition, offset;
};

// A writer waiting for a record to be applied.
struct Waiter {
    enum class Outcome { kWaiting, kVisible, kLogStartedOver, kStopped };

    std::string topic;
    RecordPlace place;
    Outcome outcome = Outcome::kWaiting;
    // Set by the writer before the waiter is on the board; used by the
    // thread that takes it off, once the outcome is set: a held host Lock it
    // releases (a blocking write), or a callable it calls (an awaitable one).
    py::object lock, callback;
};
using WaiterRef = std::shared_ptr<Waiter>;

// What a write learns of its collection before its first record is produced.
struct WriteTicket {
    long long epoch = 0;     // the epoch its records are expected in
    bool next_epoch = false; // a log that started over is being replayed: `epoch` is that log's
    Offsets read_before;     // the served copy's offsets then
};

class VisibilityBoard {
  public:
    // ---- writers

    WriteTicket ticket(const std::string &topic) {
        Progress &p = progress_[topic];
        return {p.epoch + (p.next_epoch ? 1 : 0), p.next_epoch, p.read};
    }

    // The epoch a delivered record belongs to. An offset the served copy had
    // passed before the write began can only be in a log that started over
    // since, unnoticed yet: the consumer thread is asked to check at once.
    long long epoch_of(const WriteTicket &ticket, long long partition, long long offset) {
        auto read = ticket.read_before.find(partition);
        if (ticket.next_epoch || read == ticket.read_before.end() || offset > read->second)
            return ticket.epoch;
        recheck_requested = true;
        return ticket.epoch + 1;
    }

    Waiter::Outcome outcome_of(const std::string &topic, const RecordPlace &place) const {
        auto found = progress_.find(topic);
        if (found == progress_.end())
            return Waiter::Outcome::kWaiting;
        return found->second.outcome_of(place);
    }

    // Put on the board before the writer checks, so that the consumer thread
    // cannot apply the record between the check and the wait unseen.
    void add(const WaiterRef &waiter) { progress_[waiter->topic].waiters.push_back(waiter); }

    void remove(const WaiterRef &waiter) {
        auto found = progress_.find(waiter->topic);
        if (found == progress_.end())
            return;
        auto &list = found->second.waiters;
        list.erase(std::remove(list.begin(), list.end(), waiter), list.end());
    }

    // Whether every record the store delivered to `topic` has been applied
    // to the served copy; `written` as the delivery reports left it.
    bool caught_up(const std::string &topic, const Offsets &written) const {
        auto found = progress_.find(topic);
        for (const auto &[partition, offset] : written)
            if (found == progress_.end() || !found->second.applied(partition, offset))
                return false;
        return true;
    }

    bool rebuilding(const std::string &topic) const {
        auto found = progress_.find(topic);
        return found != progress_.end() && found->second.rebuilding;
    }

    // ---- the consumer thread

    // Records of the served copy applied up to `offset`.
    void publish(const std::string &topic, long long partition, long long offset, std::vector<WaiterRef> &woken) {
        Progress &p = progress_[topic];
        p.read[partition] = offset;
        settle(p, &partition, woken);
    }

    // A fresh copy is being replayed; `new_log`: of a log that started over.
    void begin_rebuild(const std::string &topic, bool new_log) {
        Progress &p = progress_[topic];
        p.rebuilding = true;
        p.next_epoch = p.next_epoch || new_log;
    }

    // The fresh copy is served now, having applied `read`.
    void swap_in(const std::string &topic, Offsets read, std::vector<WaiterRef> &woken) {
        Progress &p = progress_[topic];
        p.epoch += p.next_epoch ? 1 : 0;
        p.next_epoch = p.rebuilding = false;
        p.read = std::move(read);
        settle(p, nullptr, woken);
    }

    // Nothing will be applied any more: every waiter learns so.
    void stop_all(std::vector<WaiterRef> &woken) {
        for (auto &item : progress_) {
            for (WaiterRef &waiter : item.second.waiters) {
                waiter->outcome = Waiter::Outcome::kStopped;
                woken.push_back(std::move(waiter));
            }
            item.second.waiters.clear();
        }
    }

    std::size_t waiting() const {
        std::size_t count = 0;
        for (const auto &item : progress_)
            count += item.second.waiters.size();
        return count;
    }

    const Offsets *read(const std::string &topic) const {
        auto found = progress_.find(topic);
        return found == progress_.end() ? nullptr : &found->second.read;
    }

    // A writer asks the consumer thread to check the topics now.
    bool recheck_requested = false;

    template <typename Visit>
    int each_object(Visit visit) {
        for (auto &item : progress_)
            for (WaiterRef &w : item.second.waiters)
                for (PyObject *o : {w->lock.ptr(), w->callback.ptr()})
                    if (o)
                        if (int r = visit(o))
                            return r;
        return 0;
    }

    void drop_waiters() {
        for (auto &item : progress_)
            item.second.waiters.clear();
    }

  private:
    struct Progress {
        long long epoch = 0;
        bool next_epoch = false;  // the copy being replayed is of the next epoch
        bool rebuilding = false;  // a fresh copy is being replayed
        Offsets read;
        std::vector<WaiterRef> waiters;

        bool applied(long long partition, long long offset) const {
            auto reached = read.find(partition);
            return reached != read.end() && reached->second >= offset;
        }

        Waiter::Outcome outcome_of(const RecordPlace &place) const {
            if (epoch > place.epoch)
                return Waiter::Outcome::kLogStartedOver;
            if (epoch == place.epoch && applied(place.partition, place.offset))
                return Waiter::Outcome::kVisible;
            return Waiter::Outcome::kWaiting;
        }
    };

    // Takes off the waiters whose outcome is known, of one partition or all.
    void settle(Progress &p, const long long *partition, std::vector<WaiterRef> &woken) {
        auto &list = p.waiters;
        for (auto it = list.begin(); it != list.end();) {
            Waiter &w = **it;
            if (partition && w.place.partition != *partition) {
                ++it;
                continue;
            }
            w.outcome = p.outcome_of(w.place);
            if (w.outcome == Waiter::Outcome::kWaiting) {
                ++it;
                continue;
            }
            woken.push_back(std::move(*it));
            it = list.erase(it);
        }
    }

    // Keyed by topic; written by the consumer thread, waiters added and
    // removed by writers.
    std::unordered_map<std::string, Progress> progress_;
};

// Wakes the waiters a scan took off the board: called with no board
// operation in progress, since a wake may run code that uses the board.
void wake_all(std::vector<WaiterRef> &woken) {
    std::vector<WaiterRef> taken;
    taken.swap(woken);
    for (WaiterRef &waiter : taken) {
        if (waiter->lock)
            release_if_held(waiter->lock);
        else if (py::object callback = std::move(waiter->callback))
            call(callback);
    }
}

}  // namespace
}  // namespace quarnel
