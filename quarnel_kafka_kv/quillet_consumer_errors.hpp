// Errors the client reports as messages, which may mean that a log started
// over: a position the log no longer has, a partition that ends before what
// was read. Anything not named here stops the consumer thread.
#pragma once

#include "quillet_consumer_rebuild.hpp"
#include "quillet_consumer_watch.hpp"

#include <functional>

namespace quarnel {
namespace {

class MessageErrors {
  public:
    using StartOverFn = std::function<void(Log &, const StartOver &)>;

    MessageErrors(PartitionTable &table, LogClient &client, MessageReader &reader, TopicWatch &watch,
                  StartOverFn start_over)
        : table_(table), client_(client), reader_(reader), watch_(watch), start_over_(std::move(start_over)) {}

    // A partition end may close a replay; the other signs start a log over.
    void handle(PyObject *msg, py::handle error) {
        py::object code = call_method(error, host->n.code);
        if (code.equal(host->PARTITION_EOF)) {
            partition_end(msg);
        } else if (code.equal(host->AUTO_OFFSET_RESET) || code.equal(host->LOG_TRUNCATION)) {
            start_over_(table_.log_of(reader_.topic(msg)), {call_method(error, host->n.str).cast<std::string>()});
        } else if (code.equal(host->GROUP_AUTHORIZATION_FAILED)) {
            // The client looks the group's coordinator up because group.id must
            // be set; the store reads by assignment and never commits, so a
            // principal without rights on its group loses nothing.
        } else if (code.equal(host->UNKNOWN_TOPIC_OR_PART) || code.equal(host->UNKNOWN_TOPIC) ||
                   code.equal(host->UNKNOWN_PARTITION)) {
            // The topic is gone, maybe to be re-created: keep serving the copy,
            // and check the topic at once.
            watch_.check_soon();
        } else {
            raise_exception_object(call(host->KafkaException, error));
        }
    }

  private:
    // Reached at or past the end offset read at start, a partition end closes
    // the partition's replay even where the records before that offset are
    // gone (compacted, or transaction markers). An end before that offset, or
    // before what was applied, is a log that was truncated.
    void partition_end(PyObject *msg) {
        Partition &p = table_.partition_of(reader_.topic(msg), reader_.partition(msg));
        long long at = reader_.offset(msg);
        long long expected = p.replaying ? std::max(p.next, p.end) : p.next;
        p.at_end = at;
        if (at >= p.end)
            p.replaying = false;
        if (at < expected && ends_before(p, expected))
            start_over_(*p.log, {"its log ends at offset " + std::to_string(at) + ", before offset " +
                                std::to_string(expected) + " that was read or expected"});
    }

    // Whether the partition's log now ends before `offset`. Asked of the
    // cluster, since a partition end before it may also stop at an open
    // transaction, which the consumer does not read past.
    bool ends_before(const Partition &p, long long offset) {
        try {
            std::optional<long long> end = client_.end_offset(p, false);
            return end && *end < offset;
        } catch (py::error_already_set &e) {
            if (!e.matches(host->KafkaException))
                throw;
            watch_.check_soon();  // the topic may be gone: its identity tells more
            return false;
        }
    }

    PartitionTable &table_;
    LogClient &client_;
    MessageReader &reader_;
    TopicWatch &watch_;
    StartOverFn start_over_;
};

}  // namespace
}  // namespace quarnel
