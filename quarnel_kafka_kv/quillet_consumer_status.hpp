// The store's health: what the consumer thread publishes about itself, and
// status(), which reads it. No request is made and no lock is taken.
#pragma once

#include "quillet_writer_failure.hpp"
#include "quillet_consumer_client.hpp"

#include <algorithm>
#include <chrono>
#include <cmath>

namespace quarnel {
namespace {

// How often the thread publishes where it stands.
constexpr auto kStatusInterval = std::chrono::milliseconds(250);
// How often the producer and the Admin are polled for their log lines.
constexpr auto kClientPollInterval = std::chrono::seconds(1);

// Kept apart from the loop: `end` is the high watermark of the client's
// latest fetch response for the partition (a fetch at the end returns within
// fetch.wait.max.ms), or the end read at start before that.
class StatusReporter {
  public:
    StatusReporter(py::handle self, StoreCore &core, PartitionTable &table, LogClient &client)
        : self_(py::reinterpret_borrow<py::object>(self)), core_(core), table_(table), client_(client) {}

    void tick() {
        auto now = std::chrono::steady_clock::now();
        if (now < next_publish_)
            return;
        next_publish_ = now + kStatusInterval;
        publish();
        // A client given a logger hands its lines over only when polled; the
        // producer and the Admin are otherwise polled by writes alone.
        if (core_.clients_log && now >= next_client_poll_) {
            next_client_poll_ = now + kClientPollInterval;
            poll_clients();
        }
    }

    // Position and end of every partition, taken together. Past a partition
    // end every record before it has been applied, even where the last ones
    // are gone (compacted tombstones).
    void publish() {
        std::unordered_map<std::string, std::vector<PartitionMark>> marks;
        for (const Partition &p : table_.partitions()) {
            long long end = p.end;
            try {
                end = client_.end_offset(p, true).value_or(end);
            } catch (py::error_already_set &e) {
                if (!e.matches(host->KafkaException))
                    throw;
            }
            marks[p.log->key].push_back({p.id, std::max(p.next, p.at_end), end});
        }
        core_.report.marks = std::move(marks);
    }

  private:
    void poll_clients() {
        try {
            call_method(py::getattr(self_, host->n.producer), host->n.poll, zero_);
        } catch (py::error_already_set &e) {
            if (!told_producer_failure(self_, core_, e))
                throw;
        }
        call_method(py::getattr(self_, host->n.admin), host->n.poll, zero_);
    }

    py::object self_;
    StoreCore &core_;
    PartitionTable &table_;
    LogClient &client_;
    std::chrono::steady_clock::time_point next_publish_{}, next_client_poll_{};
    py::float_ zero_{0.0};
};

// ---------------------------------------------------------------- status()

py::object error_text(py::handle error) {
    if (!error)
        return py::none();
    return py::str("{}: {}").format(py::type::handle_of(error).attr("__name__"), error);
}

bool consumer_alive(py::handle self, const StoreCore &core) {
    // A forked child has no consumer thread: the parent's did not come along.
    py::object thread = py::getattr(self, host->n.cons_thr, py::none());
    return opened_here(core) && !thread.is_none() && call_method(thread, host->n.is_alive).cast<bool>();
}

py::dict collection_status(const StoreCore &core, py::handle topic, py::handle copy) {
    std::string key = topic_key(topic);
    py::list partitions;
    auto found = core.report.marks.find(key);
    if (found != core.report.marks.end())
        for (const PartitionMark &mark : found->second) {
            py::dict partition;
            partition["partition"] = mark.partition;
            partition["position"] = mark.position;
            partition["end"] = mark.end;
            partition["lag"] = std::max(0LL, mark.end - mark.position);
            partitions.append(partition);
        }
    py::dict collection;
    collection["keys"] = py::len(copy);
    collection["partitions"] = partitions;
    collection["topic_missing"] = py::bool_(core.report.missing_topics.count(key) > 0);
    return collection;
}

py::dict store_status(py::handle self) {
    Attributes state(self);
    const StoreCore &core = core_of(state);
    bool alive = consumer_alive(self, core);
    const char *name = core.life.status_name();
    if (core.life.stage() != Stage::kFailed && (!alive || !truthy(state[host->n.cons_running])) &&
        core.life.stage() != Stage::kOpening)
        name = "stopped";
    std::string prefix = text_of(state[host->n.db_name]) + ".";
    py::dict collections;
    for (auto item : py::dict(state[host->n.topics])) {
        std::string collection = text_of(item.first);
        if (collection.compare(0, prefix.size(), prefix) == 0)
            collection.erase(0, prefix.size());
        collections[py::str(collection)] = collection_status(core, item.first, item.second);
    }
    double now = monotonic_now();
    py::dict status;
    status["state"] = name;
    status["consumer_alive"] = alive;
    status["connected"] = py::bool_(core.contact.connected(now));
    status["seconds_since_contact"] = core.contact.last ? py::object(py::float_(std::round((now - core.contact.last) * 10) / 10))
                                                        : py::object(py::none());
    status["replay_seconds"] = core.report.replay_seconds ? py::object(py::float_(*core.report.replay_seconds))
                                                          : py::object(py::none());
    status["collections"] = collections;
    status["last_error"] = error_text(core.failure);
    return status;
}

}  // namespace
}  // namespace quarnel
