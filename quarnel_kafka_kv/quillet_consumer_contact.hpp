// The consumer thread's watch on the store's contact with the cluster: it
// asks the cluster itself when nothing has answered for a while, and says,
// once each, when contact is lost and when it returns, with a reminder now
// and then in between. Reads go on serving the copy meanwhile.
#pragma once

#include "quillet_consumer_partitions.hpp"

namespace quarnel {
namespace {

// Quiet for this long, the thread asks the cluster for its metadata, as often.
constexpr double kProbeAfter = 2.0;
// A metadata request that takes longer counts as unanswered.
constexpr double kProbeTimeout = 0.5;
// How often a lost contact is told again.
constexpr double kContactReminder = 10.0;

class ContactWatch {
  public:
    ContactWatch(py::handle self, StoreCore &core, PartitionTable &table)
        : self_(py::reinterpret_borrow<py::object>(self)), core_(core), topic_(table.logs().front().topic) {}

    void tick() {
        Contact &c = core_.contact;
        double now = monotonic_now();
        if (now - c.last >= kProbeAfter && now >= next_probe_) {
            next_probe_ = now + kProbeAfter;
            probe();
            now = monotonic_now();
        }
        bool connected = c.connected(now);
        if (!connected && !c.lost) {
            c.lost = true;
            c.lost_since = c.last ? c.last : now;
            c.next_reminder = now + kContactReminder;
            c.held_back = 0;
            emit_line(self_, kWarning,
                      py::str("KafkaCompaction has had no answer from Kafka for {:.0f} s: reads serve the copy as "
                              "it was, writes wait for the cluster")
                          .format(now - c.lost_since));
        } else if (!connected && now >= c.next_reminder) {
            c.next_reminder = now + kContactReminder;
            emit_line(self_, kWarning,
                      py::str("KafkaCompaction still has no answer from Kafka after {:.0f} s ({} line(s) of its "
                              "clients about failed connections held back)")
                          .format(now - c.lost_since, c.held_back));
        } else if (connected && c.lost) {
            c.lost = false;
            emit_line(self_, kInfo,
                      py::str("KafkaCompaction has answers from Kafka again, after {:.0f} s ({} line(s) of its "
                              "clients about failed connections held back)")
                          .format(c.last - c.lost_since, c.held_back));
        }
    }

  private:
    // Any broker may answer, and the consumer asks for no topic to be made.
    void probe() {
        try {
            call_method_with(py::getattr(self_, host->n.consumer), host->n.list_topics, host->kw.timeout, topic_,
                             py::float_(kProbeTimeout));
            core_.contact.heard();
        } catch (py::error_already_set &e) {
            if (!e.matches(host->KafkaException))
                throw;
        }
    }

    py::object self_;
    StoreCore &core_;
    py::str topic_;
    double next_probe_ = 0;
};

}  // namespace
}  // namespace quarnel
