// The consumer thread's watch on its topics: their identity and partition
// counts, asked of the cluster every few seconds (at once when something
// suggests a log started over), in one request for all of them, answered in
// the background. A topic re-created under the store, or given more
// partitions, is to be read again.
#pragma once

#include "quillet_consumer_client.hpp"

#include <algorithm>
#include <vector>

namespace quarnel {
namespace {

// How often a running store asks the cluster about its topics.
constexpr double kWatchInterval = 2.0;
// How soon after a check a sign that a log started over asks again.
constexpr double kWatchSoonInterval = 0.2;
// A check unanswered for this long is given up; checks then come ever less
// often, up to the longest interval, until one is answered.
constexpr double kWatchTimeout = 1.0;
constexpr double kWatchLongestInterval = 10.0;

struct LogChange {
    Log *log;
    StartOver why;
};

class TopicWatch {
  public:
    TopicWatch(py::handle self, StoreCore &core, PartitionTable &table, LogClient &client)
        : admin_(py::getattr(self, host->n.admin)), core_(core), table_(table), client_(client) {
        for (Log &log : table.logs())
            topics_.append(log.topic);
    }

    // Something suggests a log started over: check as soon as may be.
    void check_soon() { soon_ = true; }

    // Asks, or takes the answer once it is in: the logs to read again.
    std::vector<LogChange> check() {
        if (!asked_) {
            double now = monotonic_now();
            if (due(now))
                ask(now);
            return {};
        }
        py::dict answers = py::reinterpret_borrow<py::dict>(asked_);
        for (auto item : answers)
            if (!call_method(item.second, host->n.done).cast<bool>())
                return {};
        asked_ = py::object();
        std::vector<LogChange> changes = read(answers);
        starts_moved(changes);
        return changes;
    }

    // The Admin answers on a thread of the client's, into the host: an
    // answer still owed when the process ends would arrive during its teardown.
    void settle() {
        if (asked_)
            call_with(host->wait_futures, host->kw.timeout, py::list(asked_.attr("values")()),
                      py::float_(kWatchTimeout));
    }

  private:
    bool due(double now) const {
        bool soon = (soon_ || core_.board.recheck_requested) && unanswered_ == 0;
        return now >= next_ || (soon && now >= last_ + kWatchSoonInterval);
    }

    void ask(double now) {
        last_ = now;
        soon_ = core_.board.recheck_requested = false;
        double backoff = kWatchInterval * (1 << std::min(unanswered_, 5));
        next_ = now + std::min(kWatchLongestInterval, backoff);
        try {
            asked_ = call_method_with(admin_, host->n.describe_topics, host->kw.request_timeout,
                                      call(host->TopicCollection, topics_), py::float_(kWatchTimeout));
        } catch (py::error_already_set &e) {
            if (!e.matches(host->KafkaException))
                throw;
        }
    }

    std::vector<LogChange> read(py::dict answers) {
        std::vector<LogChange> changes;
        std::unordered_map<const Log *, std::size_t> known;  // partitions per log
        for (const Partition &p : table_.partitions())
            ++known[p.log];
        bool unanswered = false;
        for (auto item : answers) {
            Log &log = table_.log_of(item.first);
            py::object failure = call_method(item.second, host->n.exception);
            if (!failure.is_none()) {
                // Gone for now: the copy is kept until a log is back.
                if (kafka_error_name(failure) == "UNKNOWN_TOPIC_OR_PART") {
                    core_.contact.heard();
                    core_.report.missing_topics.insert(log.key);
                } else {
                    unanswered = true;
                }
                continue;
            }
            core_.contact.heard();
            core_.report.missing_topics.erase(log.key);
            py::object description = call_method(item.second, host->n.result);
            // Clients before 2.5 do not give the identity: then only errors tell.
            py::object id = py::getattr(description, "topic_id", py::none());
            if (log.pending) {
                changes.push_back({&log, *log.pending});
            } else if (log.id.is_none()) {
                log.id = id;
            } else if (!id.is_none() && text_of(id) != text_of(log.id)) {
                changes.push_back({&log, {"the topic was re-created", true}});
            } else if (py::len(description.attr("partitions")) > known[&log]) {
                // Also right after a rebuild: its listing may predate partitions added since.
                changes.push_back({&log, {"partitions were added", false}});
            }
        }
        unanswered_ = unanswered ? unanswered_ + 1 : 0;
        if (unanswered)
            refresh_admin_metadata();
        return changes;
    }

    // A log whose first offset moved past where it started when listed lost
    // records (deleted, or a retention policy of its own): a copy read from
    // the start may hold keys that no store opened now would. Compaction
    // alone never moves it.
    void starts_moved(std::vector<LogChange> &changes) {
        for (const Partition &p : table_.partitions()) {
            std::optional<long long> start = client_.start_offset(p);
            bool listed = std::any_of(changes.begin(), changes.end(), [&](const LogChange &c) { return c.log == p.log; });
            if (!start || *start <= p.start || listed)
                continue;
            changes.push_back({p.log, {"the records of partition " + std::to_string(p.id) + " below offset " +
                                           std::to_string(*start) + " were deleted",
                                       false}});
        }
    }

    // A description goes to the broker the Admin last heard named as the
    // cluster's controller. When that broker died, the client retries its
    // connection for the whole request, without pause, taking most of a core,
    // and it never asks again who the controller is: its metadata does,
    // answered by any live broker. Asked for every topic: an Admin's request
    // naming one lets a broker with auto.create.topics.enable create it.
    void refresh_admin_metadata() {
        try {
            call_method_with(admin_, host->n.list_topics, host->kw.timeout, py::float_(kWatchTimeout / 2));
        } catch (py::error_already_set &e) {
            if (!e.matches(host->KafkaException))
                throw;
        }
    }

    py::object admin_;
    StoreCore &core_;
    PartitionTable &table_;
    LogClient &client_;
    py::list topics_;
    py::object asked_;          // topic -> future, until every answer is in; null when none
    bool soon_ = false;
    double next_ = 0, last_ = 0;
    int unanswered_ = 0;        // checks in a row that went unanswered
};

}  // namespace
}  // namespace quarnel
