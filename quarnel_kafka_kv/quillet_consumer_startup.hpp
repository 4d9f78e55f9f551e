// The consumer thread's start: the topics made ready (for a store that does
// not wait for its replay), every partition listed and assigned, and, while
// the start waits on something, a line every 10 s that names it.
#pragma once

#include "quillet_consumer_client.hpp"
#include "quillet_topics.hpp"

namespace quarnel {
namespace {

// How long a replay call waits for a first record when nothing is queued.
constexpr double kReplayWait = 0.1;
// How often a start-up that waits on something says so.
constexpr double kWaitReportInterval = 10.0;
// How long making the topics ready waits for the cluster's first answer before trying again.
constexpr double kPrepareAnswerTimeout = 2.0;

class StartUp {
  public:
    StartUp(py::handle self, StoreCore &core, PartitionTable &table, LogClient &client)
        : self_(py::reinterpret_borrow<py::object>(self)), core_(core), table_(table), client_(client),
          topics_(py::getattr(self, host->n.topics)) {}

    // The topics made ready as construction would, waiting for the cluster
    // as long as it takes; false if the store was stopped meanwhile.
    template <typename Running, typename Ticks>
    bool prepare_topics(Running running, Ticks ticks) {
        py::dict topics = py::reinterpret_borrow<py::dict>(topics_);
        for (;;) {
            try {
                create_collection_topics(self_, topics, core_.refusal, kPrepareAnswerTimeout);
                require_read_right(self_, topics);
                waiting_for_cluster_.clear();
                return true;
            } catch (py::error_already_set &e) {
                if (!e.matches(host->KafkaException) || !is_transport_failure(e.value()))
                    throw;
                waiting_for_cluster_ = "the cluster to answer (" + kafka_error_name(e.value()) + ")";
            }
            ticks();
            if (!running())
                return false;
            report_waiting(false);
        }
    }

    // Until the cluster can list the partitions and their ends, nothing can
    // be known to be replayed: construction waits (a stop ends it).
    template <typename Running, typename Ticks>
    bool assign_partitions(Running running, Ticks ticks) {
        waiting_since_ = monotonic_now();
        while (!assign_once()) {
            ticks();
            if (!running())
                return false;
            report_waiting(false);
            call(host->sleep, py::float_(kReplayWait));
        }
        waiting_since_ = monotonic_now();
        return true;
    }

    // A replay batch applied records, or none came.
    void replaying(bool progressed) {
        if (progressed)
            waiting_since_ = monotonic_now();
        else
            report_waiting(true);
    }

  private:
    bool assign_once() {
        std::vector<Partition> found;
        if (!client_.list_all(table_.logs(), found))
            return false;
        table_.reset(std::move(found));
        for (Log &log : table_.logs())
            log.origins = table_.count(log) > 1 ? py::object(py::dict()) : py::object();
        client_.assign(table_.partitions());
        return true;
    }

    // A start-up never waits without a word: one line to standard error at
    // most every kWaitReportInterval, naming what it waits for.
    void report_waiting(bool assigned) {
        double now = monotonic_now();
        if (now - waiting_since_ < kWaitReportInterval || now < next_report_)
            return;
        next_report_ = now + kWaitReportInterval;
        std::string what = assigned ? "" : waiting_for_cluster_.empty() ? client_.lacking() : waiting_for_cluster_;
        for (const Partition &p : table_.partitions())
            if (assigned && p.behind()) {
                what = text_of(p.log->topic) + ": partition " + std::to_string(p.id) + " is read up to offset " +
                       std::to_string(p.next) + " of " + std::to_string(p.end);
                break;
            }
        if (!what.empty())
            emit_line(self_, kWarning, py::str("KafkaCompaction is still replaying, waiting for " + what));
    }

    py::object self_;
    StoreCore &core_;
    PartitionTable &table_;
    LogClient &client_;
    py::object topics_;
    double waiting_since_ = monotonic_now(), next_report_ = 0;
    std::string waiting_for_cluster_;  // what making the topics ready waits for
};

}  // namespace
}  // namespace quarnel
