// The consumer thread's Kafka consumer: it reads every partition by
// assignment (no group join, so a start pays no rebalance), from offsets the
// thread chose; a log that started over is read with a client of its own.
#pragma once

#include "quillet_consumer_partitions.hpp"

#include <optional>
#include <string>
#include <vector>

namespace quarnel {
namespace {

// How long the thread waits for one metadata or offsets answer before trying again.
constexpr double kRequestTimeout = 1.0;
// The offset a timestamp query names for a partition's end.
constexpr long long kLatestOffset = -1;

// The client's message accessors, called through their C entry points: the
// replay reads six of them for every record.
class MessageReader {
  public:
    py::object error(PyObject *msg) { return error_(msg); }
    py::object topic(PyObject *msg) { return topic_(msg); }
    long long partition(PyObject *msg) { return partition_(msg).cast<long long>(); }
    long long offset(PyObject *msg) { return offset_(msg).cast<long long>(); }
    py::object key(PyObject *msg) { return key_(msg); }
    py::object value(PyObject *msg) { return value_(msg); }
    // The record's timestamp, as the client gives it: (type, milliseconds).
    py::object timestamp(PyObject *msg) { return timestamp_(msg); }

  private:
    const Names &n_ = host->n;
    DirectMethod error_{n_.error}, topic_{n_.topic}, partition_{n_.partition}, offset_{n_.offset}, key_{n_.key},
        value_{n_.value}, timestamp_{n_.timestamp};
};

// A Kafka consumer made for a log that started over; closed unless adopted.
class SpareConsumer {
  public:
    explicit SpareConsumer(py::handle config) : consumer(call(host->Consumer, config)) {}
    ~SpareConsumer() {
        if (!consumer)
            return;
        try {
            call_method(consumer, host->n.close);
        } catch (py::error_already_set &e) {
            e.discard_as_unraisable(consumer);
        }
    }
    SpareConsumer(const SpareConsumer &) = delete;
    SpareConsumer &operator=(const SpareConsumer &) = delete;

    py::object consumer;
};

// A partition read from its first offset up to the end that closes its replay.
Partition from_start(Log *log, long long id, long long start, long long end) {
    Partition p(log, id);
    p.start = p.next = start;
    p.end = end;
    p.replaying = p.end > p.next;
    return p;
}

// The client learns where partitions lead from metadata it asks for
// itself, and asks about a partition assigned to it only if it has not
// looked at the cluster since starting. Otherwise (the thread listed the
// topics through the Admin or another client, or created them after the
// client connected) it waits for its next scan for unknown topics, up to
// a second, and a write read back waits with it. An offsets query of no
// wait sends one metadata request for all of them now; the answer comes
// after the query gave up, and is kept.
void ask_about(py::handle consumer, py::handle partitions) {
    try {
        call_method(consumer, intern("offsets_for_times"), partitions, py::float_(0.0));
    } catch (py::error_already_set &e) {
        if (!e.matches(host->KafkaException))
            throw;
    }
}

class LogClient {
  public:
    LogClient(py::handle self, StoreCore &core)
        : self_(py::reinterpret_borrow<py::object>(self)), core_(core), consumer_(py::getattr(self, host->n.consumer)) {}

    py::list consume(py::handle num_messages, py::handle timeout) {
        return call_method_with(consumer_, host->n.consume, host->kw.consume, num_messages, timeout);
    }

    // The partitions of a log read again, each from its first offset, with
    // the end offset that closes its replay, asked of `consumer`, the log's
    // own new client: the Admin still holds the metadata of the log before
    // it started over. False while the cluster cannot tell (`lacking()` says
    // what it lacked); a refused authorization raises.
    bool list_with(py::handle consumer, Log &log, std::vector<Partition> &found) {
        const py::str &topic = log.topic;
        try {
            std::vector<py::object> ids;
            auto keep = [&](Log *, py::handle id) { ids.push_back(py::reinterpret_borrow<py::object>(id)); };
            if (!list_one(consumer, log, keep))
                return false;
            for (const py::object &id : ids) {
                auto marks = watermarks_of(consumer, topic, id, false);
                if (!marks)
                    return lacks(topic, "the end offset of partition " + text_of(id) + " is not known yet");
                found.push_back(from_start(&log, id.cast<long long>(), marks->first, marks->second));
            }
        } catch (py::error_already_set &e) {
            return lacks_unless_refused(e, topic);
        }
        return true;
    }

    // Every log's partitions at once, in one metadata request and two offset
    // listings for all of them, so that a start does not grow by a round of
    // requests per collection.
    bool list_all(std::vector<Log> &logs, std::vector<Partition> &found) {
        std::vector<Log *> all;
        for (Log &log : logs)
            all.push_back(&log);
        return list_logs(all, found);
    }

    // Reads every partition of the table from where the thread stands.
    void assign(const std::vector<Partition> &partitions) { assign_with(consumer_, partitions); }

    // Reads the table with `spare` from now on, in place of the client it had.
    void adopt(SpareConsumer &spare, const std::vector<Partition> &partitions) {
        assign_with(spare.consumer, partitions);
        std::swap(consumer_, spare.consumer);  // the spare closes the old one
        py::setattr(self_, host->n.consumer, consumer_);
    }

    // The partition's end offset: as the client's latest fetch response gave
    // it (`cached`, no request), or asked of the cluster. Empty when not known.
    std::optional<long long> end_offset(const Partition &p, bool cached) {
        auto marks = watermarks_of(consumer_, p.log->topic, py::int_(p.id), cached);
        if (!marks || marks->second < 0)
            return std::nullopt;
        return marks->second;
    }

    // The partition's first offset as the client's latest fetch response gave it.
    std::optional<long long> start_offset(const Partition &p) {
        auto marks = watermarks_of(consumer_, p.log->topic, py::int_(p.id), true);
        if (!marks || marks->first < 0)
            return std::nullopt;
        return marks->first;
    }

    const std::string &lacking() const { return lacking_; }

  private:
    // The partitions of `logs`, each from its first offset, with the end
    // offset that closes its replay. False while the cluster cannot tell
    // (`lacking()` says what it lacked); a refused authorization raises.
    bool list_logs(const std::vector<Log *> &logs, std::vector<Partition> &found) {
        py::str topic = logs.front()->topic;
        try {
            std::vector<std::pair<Log *, py::object>> wanted;  // (log, TopicPartition)
            auto want = [&](Log *log, py::handle id) { wanted.emplace_back(log, call(host->TopicPartition, log->topic, id)); };
            std::vector<Log *> asked;
            for (Log *log : logs) {
                // This store's construction created it: empty, with one partition.
                if (core_.created_topics.erase(log->key)) {
                    found.emplace_back(log, 0);
                    continue;
                }
                asked.push_back(log);
            }
            if (asked.empty())
                return true;
            if (!(asked.size() == 1 ? list_one(consumer_, *asked.front(), want) : describe_all(asked, want, topic)))
                return false;
            py::dict earliest, latest;
            for (auto &[log, tp] : wanted) {
                earliest[tp] = call_method(host->OffsetSpec, intern("earliest"));
                latest[tp] = call_method(host->OffsetSpec, intern("latest"));
            }
            py::dict firsts = list_offsets(earliest), ends = list_offsets(latest);
            for (auto &[log, tp] : wanted) {
                topic = log->topic;
                found.push_back(from_start(log, py::getattr(tp, host->n.partition).cast<long long>(),
                                           offset_of(firsts[tp]), offset_of(ends[tp])));
            }
        } catch (py::error_already_set &e) {
            return lacks_unless_refused(e, topic);
        }
        return true;
    }

    // A client failure leaves the listing for later; a refused authorization raises.
    bool lacks_unless_refused(py::error_already_set &e, py::handle topic) {
        if (!e.matches(host->KafkaException) || is_authorization_failure(e.value()))
            throw;
        return lacks(topic, text_of(e.value()));
    }

    // One log's partitions, as `consumer`'s metadata lists them.
    template <typename Want>
    bool list_one(py::handle consumer, Log &log, Want want) {
        py::object listed = call_method_with(consumer, host->n.list_topics, host->kw.timeout, log.topic,
                                             py::float_(kRequestTimeout))
                                .attr("topics");
        core_.contact.heard();
        return partitions_of(listed, log.topic, [&](py::handle id) { want(&log, id); });
    }

    // Every log in one description, asked of these topics alone: a listing
    // of the whole cluster costs as much as the cluster has topics.
    template <typename Want>
    bool describe_all(const std::vector<Log *> &logs, Want want, py::str &topic) {
        py::list names;
        for (Log *log : logs)
            names.append(log->topic);
        py::dict answers = call_method_with(py::getattr(self_, host->n.admin), host->n.describe_topics,
                                            host->kw.request_timeout, call(host->TopicCollection, names),
                                            py::float_(kRequestTimeout));
        for (Log *log : logs) {
            topic = log->topic;
            py::object description;
            try {
                description = call_method(answers[log->topic], host->n.result);
            } catch (py::error_already_set &e) {
                if (kafka_error_name(e.value()) == "UNKNOWN_TOPIC_OR_PART")
                    return lacks(topic, "the cluster does not list it");
                throw;
            }
            core_.contact.heard();
            py::list partitions = description.attr("partitions");
            if (partitions.empty())
                return lacks(topic, "it has no partitions yet");
            for (auto partition : partitions)
                want(log, partition.attr("id"));
        }
        return true;
    }

    // The offsets that each partition's OffsetSpec names, as the consumer reads
    // them: under read_committed an open transaction ends its partition.
    py::dict list_offsets(py::dict specs) {
        py::object admin = py::getattr(self_, host->n.admin);
        PyObject *level = find(core_.consumer_config, py::str("isolation.level"));
        bool uncommitted = level && text_of(level) == "read_uncommitted";
        if (host->IsolationLevel.is_none())
            return call_method_with(admin, intern("list_offsets"), host->kw.request_timeout, specs,
                                    py::float_(kRequestTimeout));
        return call_method_with(admin, intern("list_offsets"), keywords("request_timeout", "isolation_level"), specs,
                                py::float_(kRequestTimeout),
                                host->IsolationLevel.attr(uncommitted ? "READ_UNCOMMITTED" : "READ_COMMITTED"));
    }

    // Calls `each` with every partition of `topic` the metadata lists, in order.
    template <typename Each>
    bool partitions_of(py::handle listed, py::handle topic, Each each) {
        if (!listed.contains(topic))
            return lacks(topic, "the cluster does not list it");
        py::object metadata = listed[topic];
        py::object error = metadata.attr("error");
        if (!error.is_none() && is_code(error, host->TOPIC_AUTHORIZATION_FAILED))
            raise_exception_object(host->KafkaException(error));
        if (!error.is_none() && is_code(error, host->UNKNOWN_TOPIC_OR_PART))
            return lacks(topic, "the cluster does not list it");
        if (!error.is_none())
            return lacks(topic, call_method(error, host->n.str).cast<std::string>());
        if (py::len(metadata.attr("partitions")) == 0)
            return lacks(topic, "it has no partitions yet");
        for (auto id : call(host->sorted, metadata.attr("partitions")))
            each(id);
        return true;
    }

    static long long offset_of(py::handle future) {
        return call_method(future, host->n.result).attr("offset").cast<long long>();
    }

    void assign_with(py::handle consumer, const std::vector<Partition> &partitions) {
        py::list assignment, ends;
        for (const Partition &p : partitions) {
            assignment.append(call(host->TopicPartition, p.log->topic, py::int_(p.id), py::int_(p.next)));
            ends.append(call(host->TopicPartition, p.log->topic, py::int_(p.id), py::int_(kLatestOffset)));
        }
        call_method(consumer, host->n.assign, assignment);
        ask_about(consumer, ends);
    }

    static std::optional<std::pair<long long, long long>> watermarks_of(py::handle consumer, py::handle topic,
                                                                        py::handle id, bool cached) {
        py::object tp = call(host->TopicPartition, topic, id);
        py::object marks = cached ? call_method_with(consumer, host->n.get_watermark_offsets, host->kw.cached, tp,
                                                     py::bool_(true))
                                  : call_method_with(consumer, host->n.get_watermark_offsets,
                                                     host->kw.timeout_cached, tp, py::float_(kRequestTimeout),
                                                     py::bool_(false));
        if (marks.is_none())
            return std::nullopt;
        return std::make_pair(marks[py::int_(0)].cast<long long>(), marks[py::int_(1)].cast<long long>());
    }

    bool lacks(py::handle topic, const std::string &what) {
        lacking_ = text_of(topic) + ": " + what;
        return false;
    }

    py::object self_;
    StoreCore &core_;
    py::object consumer_;
    std::string lacking_;  // what the last failed listing lacked
};

}  // namespace
}  // namespace quarnel
