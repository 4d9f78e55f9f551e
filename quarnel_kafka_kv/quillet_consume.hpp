// The consumer thread: reads every partition of the collection topics by
// assignment (no group join, so a start pays no rebalance), replays them into
// memory in batches, then applies each new record and tells the collection's
// callback and listeners. Its exit steps run whatever ended it.
#pragma once

#include "quillet_store.hpp"

#include <algorithm>
#include <chrono>
#include <optional>
#include <vector>

namespace quarnel {
namespace {

// Records taken per call while replaying: what the client has queued, up to this.
constexpr Py_ssize_t kReplayBatch = 10000;
// How long a replay call waits for a first record when nothing is queued.
constexpr double kReplayWait = 0.1;
// How long the thread waits for one metadata or offsets answer before trying again.
constexpr double kRequestTimeout = 1.0;
// How often a running store looks for partitions added to its topics.
constexpr double kPartitionCheckInterval = 5.0;
// How often the thread publishes where it stands, for status().
constexpr auto kTendInterval = std::chrono::milliseconds(250);
// How often the producer and the Admin are polled for their log lines.
constexpr auto kClientPollInterval = std::chrono::seconds(1);

// The client's message accessors, called through their C entry points: the
// replay reads six of them for every record.
class MessageReader {
  public:
    enum Field { kError, kTopic, kPartition, kOffset, kKey, kValue, kFields };

    py::object get(PyObject *msg, Field field) { return accessors_[field](msg); }

  private:
    const Names &n_ = bind->n;
    DirectMethod accessors_[kFields] = {DirectMethod(n_.error), DirectMethod(n_.topic), DirectMethod(n_.partition),
                                        DirectMethod(n_.offset), DirectMethod(n_.key),   DirectMethod(n_.value)};
};

// A partition the thread reads, and how far it got.
struct Partition {
    Partition(py::handle topic, py::handle id)
        : topic(py::reinterpret_borrow<py::str>(topic)), id(py::reinterpret_borrow<py::object>(id)) {}

    py::str topic;
    py::object id;
    long long end = 0;       // its replay is over once `next` reaches this
    long long next = 0;      // the offset after the last record applied
    bool replaying = false;
    bool progressed = false; // `applied` not yet published to _read_offsets
    py::object applied;      // offset of the last record applied
    long long at_end = 0;    // for status(): where the client last reported the partition's end

    bool is(py::handle t, py::handle p) const {
        int same_id = PyObject_RichCompareBool(id.ptr(), p.ptr(), Py_EQ);
        if (same_id < 0)
            throw py::error_already_set();
        return same_id && PyUnicode_Compare(topic.ptr(), t.ptr()) == 0;
    }
};

bool same_text(py::handle a, py::handle b) { return a.is(b) || PyUnicode_Compare(a.ptr(), b.ptr()) == 0; }

void store_record(py::handle collection, py::handle key, py::handle value) {
    if (is_empty_bytes(value)) {
        // An empty value is the deletion marker; a missing key is no error.
        if (PyDict_DelItem(collection.ptr(), key.ptr()) < 0) {
            if (!PyErr_ExceptionMatches(PyExc_KeyError))
                throw py::error_already_set();
            PyErr_Clear();
        }
    } else if (PyDict_SetItem(collection.ptr(), key.ptr(), value.ptr()) < 0) {
        throw py::error_already_set();
    }
}

// Wakes the writers waiting for a record up to `offset` of `topic`'s `partition`.
void release_visible(py::handle waiters, const Partition &p) {
    PyObject *list = waiters.ptr();
    for (Py_ssize_t i = PyList_GET_SIZE(list) - 1; i >= 0; --i) {
        // (topic, partition, offset, lock), as the writer put it there.
        py::tuple waiter = py::reinterpret_borrow<py::tuple>(PyList_GET_ITEM(list, i));
        auto item = [&waiter](Py_ssize_t j) { return PyTuple_GET_ITEM(waiter.ptr(), j); };
        if (!p.is(item(0), item(1)))
            continue;
        int reached = PyObject_RichCompareBool(item(2), p.applied.ptr(), Py_LE);
        if (reached < 0)
            throw py::error_already_set();
        if (!reached)
            continue;
        if (PySequence_DelItem(list, i) < 0)
            throw py::error_already_set();
        call_method(item(3), bind->n.release);
    }
}

class ConsumerThread {
  public:
    explicit ConsumerThread(py::handle self)
        : self_(py::reinterpret_borrow<py::object>(self)), consumer_(attr(n_.consumer)), topics_(attr(n_.topics)),
          locks_(attr(n_.locks)), callbacks_(attr(n_.collection_callbacks)),
          listeners_(attr(n_.collection_listeners)), read_offsets_(attr(n_.read_offsets)),
          waiters_(attr(n_.visibility_waiters)), topic_list_(topics_.attr("keys")()) {}

    void run() {
        say(self_, kInfo, py::make_tuple("Consumer topic_list:", topic_list_));
        // Until the cluster can list the partitions and their ends, nothing
        // can be known to be replayed: construction waits (a stop ends it).
        while (!assign_partitions()) {
            tend();
            if (!running())
                return;
            bind->sleep(0.1);
        }
        while (running()) {
            tend();
            if (!inited_) {
                if (replay_is_over())
                    finish_replay();
                else
                    replay_batch();
            } else {
                live_batch();
                check_partitions();
            }
        }
    }

  private:
    py::object attr(py::handle name) const { return py::getattr(self_, name); }
    bool running() const { return truthy(attr(n_.cons_running)); }

    py::list consume(py::handle num_messages, py::handle timeout) {
        PyObject *args[] = {consumer_.ptr(), num_messages.ptr(), timeout.ptr()};
        PyObject *raw = PyObject_VectorcallMethod(n_.consume.ptr(), args, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                                  consume_kwnames_.ptr());
        if (!raw)
            throw py::error_already_set();
        return py::reinterpret_steal<py::list>(raw);
    }

    // Every partition of the collection topics, each assigned from its first
    // offset, with the end offset that closes its replay. False while the
    // cluster cannot tell; a topic the store may not read raises.
    bool assign_partitions() {
        std::vector<Partition> found;
        py::list assignment;
        try {
            for (auto topic : topic_list_) {
                py::object listed = consumer_.attr("list_topics")(topic, "timeout"_a = kRequestTimeout).attr("topics");
                if (!listed.contains(topic))
                    return false;
                py::object metadata = listed[topic];
                py::object error = metadata.attr("error");
                if (!error.is_none() && call_method(error, n_.code).equal(bind->TOPIC_AUTHORIZATION_FAILED))
                    raise_exception_object(bind->KafkaException(error));
                if (!error.is_none() || py::len(metadata.attr("partitions")) == 0)
                    return false;
                for (auto id : py::module_::import("builtins").attr("sorted")(metadata.attr("partitions"))) {
                    py::object marks = consumer_.attr("get_watermark_offsets")(
                        bind->TopicPartition(topic, id), "timeout"_a = kRequestTimeout, "cached"_a = false);
                    if (marks.is_none())
                        return false;  // timed out
                    Partition p(topic, id);
                    p.next = marks[py::int_(0)].cast<long long>();
                    p.end = marks[py::int_(1)].cast<long long>();
                    p.replaying = p.end > p.next;
                    assignment.append(bind->TopicPartition(topic, id, marks[py::int_(0)]));
                    found.push_back(std::move(p));
                }
            }
        } catch (py::error_already_set &e) {
            if (!e.matches(bind->KafkaException))
                throw;
            return false;
        }
        consumer_.attr("assign")(assignment);
        partitions_ = std::move(found);
        return true;
    }

    Partition &partition_of(py::handle topic, py::handle id) {
        if (last_ < partitions_.size() && partitions_[last_].is(topic, id))
            return partitions_[last_];
        for (last_ = 0; last_ < partitions_.size(); ++last_)
            if (partitions_[last_].is(topic, id))
                return partitions_[last_];
        partitions_.emplace_back(topic, id);
        return partitions_.back();
    }

    // A partition end, which the client reports as an error; any other error
    // raises. Reached at or past the end offset read at start, it closes the
    // partition's replay even where the records before that offset are gone
    // (compacted, or transaction markers).
    void partition_end(PyObject *msg, py::handle error) {
        if (!call_method(error, n_.code).equal(bind->PARTITION_EOF))
            raise_exception_object(bind->KafkaException(error));
        Partition &p =
            partition_of(reader_.get(msg, MessageReader::kTopic), reader_.get(msg, MessageReader::kPartition));
        long long offset = reader_.get(msg, MessageReader::kOffset).cast<long long>();
        p.at_end = offset;
        if (offset >= p.end)
            p.replaying = false;
    }

    // A message's record and where it belongs.
    struct Incoming {
        py::object topic;
        Partition *partition;
        py::object offset;
    };

    // None for a partition end, and for a record applied before: after a
    // failover the client may reset its position and read records again,
    // which must neither turn a value back for a while nor be told twice.
    std::optional<Incoming> incoming(PyObject *msg) {
        py::object error = reader_.get(msg, MessageReader::kError);
        if (!error.is_none()) {
            partition_end(msg, error);
            return std::nullopt;
        }
        py::object topic = reader_.get(msg, MessageReader::kTopic);
        Partition &p = partition_of(topic, reader_.get(msg, MessageReader::kPartition));
        py::object offset = reader_.get(msg, MessageReader::kOffset);
        if (offset.cast<long long>() < p.next)
            return std::nullopt;
        return Incoming{std::move(topic), &p, std::move(offset)};
    }

    void note_applied(Partition &p, py::object offset) {
        p.next = offset.cast<long long>() + 1;
        p.applied = std::move(offset);
        p.progressed = true;
    }

    // How far the thread has read, for the writers of this store.
    void publish_progress(Partition &p) {
        p.progressed = false;
        if (PyDict_SetItem(dict_for(read_offsets_, p.topic).ptr(), p.id.ptr(), p.applied.ptr()) < 0)
            throw py::error_already_set();
        if (PyList_GET_SIZE(waiters_.ptr()))
            release_visible(waiters_, p);
    }

    // Applies what the client has queued, holding each topic's lock once for
    // a run of its records; nobody is told of replayed records.
    void replay_batch() {
        py::list msgs = consume(replay_batch_, zero_);
        if (msgs.empty())
            msgs = consume(one_, replay_wait_);
        std::optional<Held> held;
        py::object current, collection;
        for (auto item : msgs) {
            PyObject *msg = item.ptr();
            std::optional<Incoming> record = incoming(msg);
            if (!record)
                continue;
            if (!current || !same_text(record->topic, current)) {
                held.reset();
                current = record->topic;
                collection = py::reinterpret_borrow<py::dict>(topics_)[current];
                held.emplace(lock_for(locks_, current));
            }
            store_record(collection, reader_.get(msg, MessageReader::kKey), reader_.get(msg, MessageReader::kValue));
            note_applied(*record->partition, std::move(record->offset));
            already_has_some_messages_ = true;
        }
        held.reset();
        for (Partition &p : partitions_)
            if (p.progressed)
                publish_progress(p);
    }

    bool replay_is_over() const {
        for (const Partition &p : partitions_)
            if (p.replaying && p.next < p.end)
                return false;
        return true;
    }

    void finish_replay() {
        publish_marks();  // a status() right after construction sees the replay's end
        say(self_, kInfo,
            py::str(already_has_some_messages_ ? "KafkaCompaction Inited, already has some messages"
                                               : "KafkaCompaction Inited, no msg in topics"));
        inited_ = true;
        py::setattr(self_, n_.inited, py::bool_(true));
        call_method(attr(n_.replayed), n_.set);
    }

    // One record at a time, each applied under its topic's lock and then
    // told, with no lock held, to the collection's callback and listeners.
    void live_batch() {
        // Both are read before every poll so a caller can retune a running store.
        for (auto item : consume(attr(n_.consumer_num_messages), attr(n_.consumer_timeout_s))) {
            PyObject *msg = item.ptr();
            std::optional<Incoming> record = incoming(msg);
            if (!record)
                continue;
            py::object &topic = record->topic;
            Partition &p = *record->partition;
            py::object key = reader_.get(msg, MessageReader::kKey);
            py::object value = reader_.get(msg, MessageReader::kValue);
            {
                Held held(lock_for(locks_, topic));
                py::object collection = py::reinterpret_borrow<py::dict>(topics_)[topic];
                store_record(collection, key, value);
            }
            note_applied(p, std::move(record->offset));
            publish_progress(p);
            if (PyObject *callback = find(callbacks_, topic))
                py::reinterpret_borrow<py::object>(callback)();
            if (PyObject *listeners = find(listeners_, topic)) {
                py::object changed = is_empty_bytes(value) ? py::none() : value;
                // A snapshot: a listener may add listeners.
                for (auto listener : py::tuple(py::reinterpret_borrow<py::object>(listeners)))
                    listener(key, changed);
            }
        }
    }

    // Partitions added to a topic are followed from their first record. The
    // description is asked for in the background and picked up when it is in.
    void check_partitions() {
        double now = bind->time().cast<double>();
        if (!description_) {
            if (now < next_check_)
                return;
            next_check_ = now + kPartitionCheckInterval;
            try {
                description_ = attr(n_.admin).attr("describe_topics")(bind->TopicCollection(topic_list_));
            } catch (py::error_already_set &e) {
                if (!e.matches(bind->KafkaException))
                    throw;
            }
            return;
        }
        py::dict futures = description_;
        for (auto item : futures)
            if (!item.second.attr("done")().cast<bool>())
                return;
        description_ = py::object();
        py::list added;
        for (auto item : futures) {
            if (!item.second.attr("exception")().is_none())
                continue;  // asked again at the next check
            for (auto info : item.second.attr("result")().attr("partitions")) {
                py::object id = info.attr("id");
                std::size_t known = partitions_.size();
                Partition &p = partition_of(item.first, id);
                if (partitions_.size() > known)
                    added.append(bind->TopicPartition(p.topic, p.id, bind->OFFSET_BEGINNING));
            }
        }
        if (!added.empty())
            consumer_.attr("incremental_assign")(added);
    }

    // ---------------------------------------------------------------- service
    // Kept apart from the loop: what status() reads, and the clients' log
    // lines. No request is made: `end` is the high watermark of the client's
    // latest fetch response for the partition (a fetch at the end returns
    // within fetch.wait.max.ms), or the end read at start before that.
    void tend() {
        auto now = std::chrono::steady_clock::now();
        if (now < next_tend_)
            return;
        next_tend_ = now + kTendInterval;
        publish_marks();
        // A client given a logger hands its lines over only when polled; the
        // producer and the Admin are otherwise polled by writes alone.
        if (now >= next_client_poll_ && truthy(attr(n_.poll_clients))) {
            next_client_poll_ = now + kClientPollInterval;
            call_method(attr(n_.producer), n_.poll, zero_);
            call_method(attr(n_.admin), n_.poll, zero_);
        }
    }

    void publish_marks() {
        py::dict marks;
        for (const Partition &p : partitions_) {
            long long end = p.end;
            try {
                py::object known = consumer_.attr("get_watermark_offsets")(bind->TopicPartition(p.topic, p.id),
                                                                           "cached"_a = true);
                if (!known.is_none() && known[py::int_(1)].cast<long long>() >= 0)
                    end = known[py::int_(1)].cast<long long>();
            } catch (py::error_already_set &e) {
                if (!e.matches(bind->KafkaException))
                    throw;
            }
            // One snapshot: the next offset to apply and the end, taken together.
            // Past a partition end every record before it has been applied,
            // even where the last ones are gone (compacted tombstones).
            dict_for(marks, p.topic)[p.id] = py::make_tuple(std::max(p.next, p.at_end), end);
        }
        py::setattr(self_, n_.partition_marks, marks);
    }

    std::chrono::steady_clock::time_point next_tend_{}, next_client_poll_{};

    const Names &n_ = bind->n;
    py::object self_;
    py::object consumer_, topics_, locks_, callbacks_, listeners_, read_offsets_, waiters_;
    py::list topic_list_;
    MessageReader reader_;
    std::vector<Partition> partitions_;
    std::size_t last_ = 0;
    bool inited_ = false;  // mirrors `_inited`, which only this thread sets
    bool already_has_some_messages_ = false;
    py::object description_;  // partitions asked for and not yet answered
    double next_check_ = 0;
    py::tuple consume_kwnames_ = py::make_tuple(n_.num_messages, n_.timeout);
    py::object replay_batch_ = py::int_(kReplayBatch), one_ = py::int_(1), zero_ = py::float_(0.0),
               replay_wait_ = py::float_(kReplayWait);
};

// The host exception for the C++ exception being handled, with its traceback.
py::object failure_in_flight() {
    try {
        throw;
    } catch (py::error_already_set &e) {
        py::object value = e.value();
        if (e.trace())
            PyException_SetTraceback(value.ptr(), e.trace().ptr());
        return value;
    } catch (...) {
        py::detail::try_translate_exceptions();
        py::error_already_set e;
        return e.value();
    }
}

// Prints a failure once, before a stop action that may end the process;
// nothing that goes wrong while printing stops the exit steps.
void report_failure(py::handle self, py::handle failure) {
    try {
        py::object logger = py::getattr(self, bind->n.logger, py::none());
        if (logger.is_none())
            bind->print_exception(failure);
        else
            logger.attr("error")("KafkaCompaction consumer thread failed", "exc_info"_a = failure);
    } catch (...) {
        PyErr_Clear();
    }
}

// Gives the producer close_flush_s to deliver the records still queued. What
// is left is reported, and the process the store ends then ends with status 1.
void deliver_pending(py::handle self) {
    const Names &n = bind->n;
    py::object producer = py::getattr(self, n.producer, py::none());
    if (producer.is_none())
        return;  // construction failed before there was one
    // A forked child has the producer's memory but none of its threads.
    if (!py::getattr(self, n.pid, py::none()).equal(bind->getpid()))
        return;
    py::object bound = py::getattr(self, n.close_flush_s);
    long long left = call_method(producer, n.flush, bound).cast<long long>();
    if (left > 0) {
        say(self, kError,
            py::str("KafkaCompaction stopping: {} written record(s) not delivered to Kafka within {} s")
                .format(left, bound));
        if (py::getattr(self, n.exit_status, py::int_(0)).equal(py::int_(0)))
            py::setattr(self, n.exit_status, py::int_(1));
    }
}

// The exit steps tell the default stop action the exit status the stop calls
// for, without widening its no-argument signature.
thread_local int stop_status = 0;

// `init_timeout` is accepted as before; no timeout ends the replay any more,
// only the partitions' end offsets do.
void start_consumer(py::handle self, py::handle /*init_timeout*/) {
    const Names &n = bind->n;
    py::object failure;
    try {
        ConsumerThread(self).run();
    } catch (...) {
        failure = failure_in_flight();
        report_failure(self, failure);
    }

    // Exit steps: close, report, then hand over to the stop action, which
    // runs whatever happened before it.
    try {
        call_method(py::getattr(self, n.consumer), n.close);
        say(self, kInfo, py::str("Consumer was correctly killed"));
    } catch (...) {
        failure = failure_in_flight();
        report_failure(self, failure);
    }
    // Unless close() did it already: what was written gets its chance first.
    try {
        if (!truthy(py::getattr(self, n.delivered, py::bool_(false))))
            deliver_pending(self);
    } catch (...) {
        failure = failure_in_flight();
        report_failure(self, failure);
    }
    // Nothing will read their records back any more.
    try {
        py::list waiters = py::getattr(self, n.visibility_waiters);
        while (!waiters.empty())
            call_method(py::tuple(waiters.attr("pop")())[3], n.release);
    } catch (...) {
        PyErr_Clear();
    }
    try {
        stop_status = failure ? 1 : py::getattr(self, n.exit_status, py::int_(0)).cast<int>();
    } catch (...) {
        PyErr_Clear();
        stop_status = 1;
    }
    if (failure) {
        // Kept for a constructor still waiting for the replay.
        try {
            py::setattr(self, n.stop_error, failure);
        } catch (...) {
            PyErr_Clear();
        }
    }
    // Only a failure of the stop action itself ends the thread with an
    // exception: every other one has been printed already.
    py::object action = py::getattr(self, n.on_consumer_kill);
    if (!truthy(py::getattr(self, n.owns, py::bool_(true)))) {
        // The process is not the store's to end: it says that it stopped.
        try {
            if (failure)
                say(self, kError, py::str("KafkaCompaction stopped by a failure of its consumer thread: {}: {}")
                                      .format(py::type::handle_of(failure).attr("__name__"), failure));
            else
                say(self, kInfo, py::str("KafkaCompaction stopped"));
        } catch (...) {
            PyErr_Clear();
        }
        if (action.is(bind->exit_process))
            return;
    }
    if (!action.is_none())
        action();
}

}  // namespace
}  // namespace quarnel
