// The consumer thread's table of the logs it follows, their partitions and
// how far it has read each. Owned by the consumer thread; nothing else reads it.
#pragma once

#include "quillet_core.hpp"

#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

namespace quarnel {
namespace {

struct Log;

// A partition the thread reads, and how far it got.
struct Partition {
    Partition(Log *log, long long id) : log(log), id(id) {}

    Log *log;
    long long id;
    long long start = 0;      // the log's first offset when it was listed
    long long next = 0;       // the offset after the last record applied, or where reading starts
    long long end = 0;        // its replay is over once `next` reaches this
    bool replaying = false;
    long long applied = -1;   // offset of the last record applied; -1 before the first
    bool progressed = false;  // `applied` not yet on the visibility board
    long long at_end = 0;     // where the client last reported the partition's end

    void note_applied(long long offset) {
        next = offset + 1;
        applied = offset;
        progressed = true;
    }

    bool behind() const { return replaying && next < end; }
};

// Why a log is read again from its first record, for the line that reports
// it. A log given more partitions is the same log, whose offsets stay valid;
// any other start over is of a new log (see visibility.hpp).
struct StartOver {
    std::string reason;
    bool new_log = true;
};

// One collection's log as the thread follows it. A log that starts over (the
// topic re-created, its records truncated, partitions added) is replayed into
// a fresh copy that replaces the served one once complete: two logs are never
// merged into one copy, and readers see the old copy or the new, nothing between.
struct Log {
    explicit Log(py::handle topic) : topic(py::reinterpret_borrow<py::str>(topic)), key(topic_key(topic)) {}

    py::str topic;
    std::string key;             // the topic as the board keys it
    py::object id = py::none();  // the topic's identity when last described
    // With several partitions a key may have records in more than one (the
    // partitioner moves keys when partitions are added): per key, the
    // (timestamp, partition) of the record that holds it, so that the latest
    // record wins whatever order the partitions arrive in. Null for one partition.
    py::object origins;
    // A rebuild in progress: the copy being replayed (null when none), its
    // origins, and why.
    py::object fresh, fresh_origins;
    StartOver rebuild;
    std::optional<StartOver> pending;  // a start over that waits until the log can be listed
};

bool same_text(py::handle a, py::handle b) { return a.is(b) || PyUnicode_Compare(a.ptr(), b.ptr()) == 0; }

class PartitionTable {
  public:
    explicit PartitionTable(py::handle topics) {
        logs_.reserve(py::len(topics));  // never grows again: partitions point into it
        for (auto topic : topics)
            logs_.emplace_back(topic);
        for (Log &log : logs_)
            by_topic_[log.key] = &log;
    }

    std::vector<Log> &logs() { return logs_; }
    std::vector<Partition> &partitions() { return partitions_; }

    Log &log_of(py::handle topic) {
        auto found = by_topic_.find(topic_key(topic));
        if (found == by_topic_.end())
            throw std::logic_error("a record of a topic the store does not follow");
        return *found->second;
    }

    // The partition a message came from; the last one found is tried first,
    // as a replay brings runs of one partition.
    Partition &partition_of(py::handle topic, long long id) {
        if (last_ < partitions_.size() && is(partitions_[last_], topic, id))
            return partitions_[last_];
        for (last_ = 0; last_ < partitions_.size(); ++last_)
            if (is(partitions_[last_], topic, id))
                return partitions_[last_];
        partitions_.emplace_back(&log_of(topic), id);
        return partitions_.back();
    }

    // The log's partitions are now `found`; the others stay as they are.
    void replace(const Log &log, std::vector<Partition> found) {
        std::vector<Partition> kept;
        for (Partition &p : partitions_)
            if (p.log != &log)
                kept.push_back(std::move(p));
        for (Partition &p : found)
            kept.push_back(std::move(p));
        partitions_ = std::move(kept);
        last_ = 0;
    }

    void reset(std::vector<Partition> found) {
        partitions_ = std::move(found);
        last_ = 0;
    }

    std::size_t count(const Log &log) const {
        std::size_t n = 0;
        for (const Partition &p : partitions_)
            n += p.log == &log ? 1 : 0;
        return n;
    }

    // Whether a partition of `log` (of any log, when null) is still behind
    // the end its replay must reach.
    bool replaying(const Log *log = nullptr) const {
        for (const Partition &p : partitions_)
            if ((!log || p.log == log) && p.behind())
                return true;
        return false;
    }

  private:
    static bool is(const Partition &p, py::handle topic, long long id) {
        return p.id == id && same_text(p.log->topic, topic);
    }

    std::vector<Log> logs_;
    std::unordered_map<std::string, Log *> by_topic_;
    std::vector<Partition> partitions_;
    std::size_t last_ = 0;
};

}  // namespace
}  // namespace quarnel
