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
// How often a running store asks the cluster about its topics: a topic
// re-created under it, partitions added.
constexpr double kLogCheckInterval = 2.0;
// How soon after a look a sign that a log started over asks again.
constexpr double kLogRecheckInterval = 0.2;
// A look unanswered for this long is given up; looks then come ever less
// often, up to the longest interval, until one is answered.
constexpr double kLogCheckTimeout = 1.0;
constexpr double kLogCheckLongestInterval = 10.0;
// How often a start-up that waits on something says so.
constexpr double kWaitReportInterval = 10.0;
// How often the thread publishes where it stands, for status().
constexpr auto kTendInterval = std::chrono::milliseconds(250);
// How often the producer and the Admin are polled for their log lines.
constexpr auto kClientPollInterval = std::chrono::seconds(1);

// The client's message accessors, called through their C entry points: the
// replay reads six of them for every record.
class MessageReader {
  public:
    enum Field { kError, kTopic, kPartition, kOffset, kKey, kValue, kTimestamp, kFields };

    py::object get(PyObject *msg, Field field) { return accessors_[field](msg); }

  private:
    const Names &n_ = bind->n;
    DirectMethod accessors_[kFields] = {DirectMethod(n_.error), DirectMethod(n_.topic), DirectMethod(n_.partition),
                                        DirectMethod(n_.offset), DirectMethod(n_.key),   DirectMethod(n_.value),
                                        DirectMethod(n_.timestamp)};
};

struct Log;

// A partition the thread reads, and how far it got.
struct Partition {
    Partition(Log *log, py::handle topic, py::handle id)
        : log(log), topic(py::reinterpret_borrow<py::str>(topic)), id(py::reinterpret_borrow<py::object>(id)) {}

    Log *log;
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

// One collection's log as the thread follows it. A log that starts over (the
// topic re-created, its records truncated, partitions added) is replayed into
// a fresh copy that replaces the served one once complete: two logs are never
// merged into one copy, and readers see the old copy or the new, nothing between.
struct Log {
    explicit Log(py::handle topic) : topic(py::reinterpret_borrow<py::str>(topic)) {}

    py::str topic;
    py::object id = py::none();  // the topic's identity when last described
    long long generation = 0;    // copies swapped in so far
    py::object fresh;            // the copy being replayed; null when none
    std::string reason;          // why it is being replayed, for the line that reports it
    std::string pending;         // a replay that waits until the log can be listed
    // With several partitions a key may have records in more than one (the
    // partitioner moves keys when partitions are added): per key, the
    // (timestamp, partition) of the record that holds it, so that the latest
    // record wins whatever order the partitions arrive in. Null for one partition.
    py::object origins, fresh_origins;
};

bool same_text(py::handle a, py::handle b) { return a.is(b) || PyUnicode_Compare(a.ptr(), b.ptr()) == 0; }

bool is_code(py::handle error, const py::object &code) { return call_method(error, bind->n.code).equal(code); }

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

// Whether a record of a log with several partitions is older than the one
// that holds its key in another partition; otherwise notes it as the holder.
// Within one partition the log's order always wins.
bool superseded(py::handle origins, py::handle key, py::handle stamp) {
    if (PyObject *held = find(origins, key)) {
        int other = PyObject_RichCompareBool(PyTuple_GET_ITEM(held, 1), PyTuple_GET_ITEM(stamp.ptr(), 1), Py_NE);
        int newer = other > 0 ? PyObject_RichCompareBool(held, stamp.ptr(), Py_GT) : 0;
        if (other < 0 || newer < 0)
            throw py::error_already_set();
        if (newer)
            return true;
    }
    if (PyDict_SetItem(origins.ptr(), key.ptr(), stamp.ptr()) < 0)
        throw py::error_already_set();
    return false;
}

// Wakes the writers waiting for a record up to `p.applied` in the log `p`
// belongs to now; a waiter of another log only times out. Released once the
// scan is over: a release may run code that lets other threads change the list.
void release_visible(py::handle waiters, const Partition &p) {
    PyObject *list = waiters.ptr();
    py::int_ generation(p.log->generation);
    py::list releasers;
    for (Py_ssize_t i = PyList_GET_SIZE(list) - 1; i >= 0; --i) {
        // (topic, partition, offset, lock, generation), as the writer put it there.
        py::tuple waiter = py::reinterpret_borrow<py::tuple>(PyList_GET_ITEM(list, i));
        auto item = [&waiter](Py_ssize_t j) { return PyTuple_GET_ITEM(waiter.ptr(), j); };
        if (!p.is(item(0), item(1)))
            continue;
        int reached = PyObject_RichCompareBool(item(2), p.applied.ptr(), Py_LE);
        int same_log = reached > 0 ? PyObject_RichCompareBool(item(4), generation.ptr(), Py_EQ) : 0;
        if (reached < 0 || same_log < 0)
            throw py::error_already_set();
        if (!same_log)
            continue;
        if (PySequence_DelItem(list, i) < 0)
            throw py::error_already_set();
        releasers.append(item(3));
    }
    for (auto releaser : releasers)
        call_method(releaser, bind->n.release);
}

// The name of the client's error a KafkaException carries, or "".
std::string kafka_error_name(py::handle exc) {
    py::tuple args = exc.attr("args");
    if (args.empty() || !py::isinstance(args[0], bind->KafkaError))
        return {};
    return args[0].attr("name")().cast<std::string>();
}

bool is_authorization_failure(py::handle exc) {
    std::string name = kafka_error_name(exc);
    return name.size() >= 21 && name.compare(name.size() - 21, 21, "AUTHORIZATION_FAILED") == 0;
}

class ConsumerThread {
  public:
    explicit ConsumerThread(py::handle self)
        : self_(py::reinterpret_borrow<py::object>(self)), consumer_(attr(n_.consumer)), topics_(attr(n_.topics)),
          locks_(attr(n_.locks)), callbacks_(attr(n_.collection_callbacks)),
          listeners_(attr(n_.collection_listeners)), read_offsets_(attr(n_.read_offsets)),
          waiters_(attr(n_.visibility_waiters)), generations_(attr(n_.log_generations)),
          rebuilding_(attr(n_.rebuilding)), topic_list_(topics_.attr("keys")()) {
        logs_.reserve(topic_list_.size());  // never grows again: partitions point into it
        for (auto topic : topic_list_)
            logs_.emplace_back(topic);
    }

    void run() {
        say(self_, kInfo, py::make_tuple("Consumer topic_list:", topic_list_));
        // Until the cluster can list the partitions and their ends, nothing
        // can be known to be replayed: construction waits (a stop ends it).
        waiting_since_ = now();
        while (!assign_partitions()) {
            tend();
            if (!running())
                return;
            report_waiting(false);
            bind->sleep(0.1);
        }
        waiting_since_ = now();
        while (running()) {
            tend();
            if (!inited_) {
                if (replay_is_over())
                    finish_replay();
                else
                    replay_batch();
            } else {
                live_batch();
                check_logs();
            }
        }
        // The Admin answers on a thread of the client's, into the host: an
        // answer still owed when the process ends would arrive during its teardown.
        if (description_)
            py::module_::import("concurrent.futures")
                .attr("wait")(py::list(description_.attr("values")()), "timeout"_a = kRequestTimeout);
    }

  private:
    py::object attr(py::handle name) const { return py::getattr(self_, name); }
    bool running() const { return truthy(attr(n_.cons_running)); }
    static double now() { return bind->time().cast<double>(); }

    py::list consume(py::handle num_messages, py::handle timeout) {
        PyObject *args[] = {consumer_.ptr(), num_messages.ptr(), timeout.ptr()};
        PyObject *raw = PyObject_VectorcallMethod(n_.consume.ptr(), args, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                                  consume_kwnames_.ptr());
        if (!raw)
            throw py::error_already_set();
        return py::reinterpret_steal<py::list>(raw);
    }

    Log &log_of(py::handle topic) {
        for (Log &log : logs_)
            if (same_text(log.topic, topic))
                return log;
        throw std::logic_error("a record of a topic the store does not follow");
    }

    // The partitions of a log, each from its first offset, with the end
    // offset that closes its replay. False while the cluster cannot tell (the
    // reason is kept for the start-up's report); a refused authorization raises.
    bool list_log(Log &log, std::vector<Partition> &found, py::list &assignment) {
        py::str &topic = log.topic;
        try {
            py::object listed = consumer_.attr("list_topics")(topic, "timeout"_a = kRequestTimeout).attr("topics");
            if (!listed.contains(topic))
                return waiting_for(topic, "the cluster does not list it");
            py::object metadata = listed[topic];
            py::object error = metadata.attr("error");
            if (!error.is_none() && is_code(error, bind->TOPIC_AUTHORIZATION_FAILED))
                raise_exception_object(bind->KafkaException(error));
            if (!error.is_none() && is_code(error, bind->UNKNOWN_TOPIC_OR_PART))
                return waiting_for(topic, "the cluster does not list it");
            if (!error.is_none())
                return waiting_for(topic, error.attr("str")().cast<std::string>());
            if (py::len(metadata.attr("partitions")) == 0)
                return waiting_for(topic, "it has no partitions yet");
            for (auto id : py::module_::import("builtins").attr("sorted")(metadata.attr("partitions"))) {
                py::object marks = consumer_.attr("get_watermark_offsets")(
                    bind->TopicPartition(topic, id), "timeout"_a = kRequestTimeout, "cached"_a = false);
                if (marks.is_none())
                    return waiting_for(topic, "the end offset of partition " + text_of(id) + " is not known yet");
                Partition p(&log, topic, id);
                p.next = marks[py::int_(0)].cast<long long>();
                p.end = marks[py::int_(1)].cast<long long>();
                p.replaying = p.end > p.next;
                assignment.append(bind->TopicPartition(topic, id, marks[py::int_(0)]));
                found.push_back(std::move(p));
            }
        } catch (py::error_already_set &e) {
            if (!e.matches(bind->KafkaException) || is_authorization_failure(e.value()))
                throw;
            return waiting_for(topic, text_of(e.value()));
        }
        return true;
    }

    bool waiting_for(py::handle topic, const std::string &what) {
        waiting_for_ = text_of(topic) + ": " + what;
        return false;
    }

    bool assign_partitions() {
        std::vector<Partition> found;
        py::list assignment;
        for (Log &log : logs_) {
            std::size_t before = found.size();
            if (!list_log(log, found, assignment))
                return false;
            log.origins = found.size() - before > 1 ? py::object(py::dict()) : py::object();
        }
        consumer_.attr("assign")(assignment);
        partitions_ = std::move(found);
        return true;
    }

    // A start-up never waits without a word: one line to standard error at
    // most every kWaitReportInterval, naming what it waits for.
    void report_waiting(bool assigned) {
        double t = now();
        if (t - waiting_since_ < kWaitReportInterval || t < next_report_)
            return;
        next_report_ = t + kWaitReportInterval;
        std::string what = assigned ? "" : waiting_for_;
        if (assigned) {
            for (const Partition &p : partitions_)
                if (p.replaying && p.next < p.end) {
                    what = text_of(p.topic) + ": partition " + text_of(p.id) + " is read up to offset " +
                           std::to_string(p.next) + " of " + std::to_string(p.end);
                    break;
                }
        }
        if (what.empty())
            return;
        say(self_, kWarning, py::str("KafkaCompaction is still replaying, waiting for " + what));
    }

    Partition &partition_of(py::handle topic, py::handle id) {
        if (last_ < partitions_.size() && partitions_[last_].is(topic, id))
            return partitions_[last_];
        for (last_ = 0; last_ < partitions_.size(); ++last_)
            if (partitions_[last_].is(topic, id))
                return partitions_[last_];
        partitions_.emplace_back(&log_of(topic), topic, id);
        return partitions_.back();
    }

    // Errors the client reports as messages. A partition end may close a
    // replay; a position the log no longer has means the log started over;
    // anything not named here stops the thread.
    void message_error(PyObject *msg, py::handle error) {
        py::object code = call_method(error, n_.code);
        if (code.equal(bind->PARTITION_EOF)) {
            partition_end(msg);
        } else if (code.equal(bind->AUTO_OFFSET_RESET) || code.equal(bind->LOG_TRUNCATION)) {
            start_over(log_of(reader_.get(msg, MessageReader::kTopic)), error.attr("str")().cast<std::string>());
        } else if (code.equal(bind->GROUP_AUTHORIZATION_FAILED)) {
            // The client looks the group's coordinator up because group.id must
            // be set; the store reads by assignment and never commits, so a
            // principal without rights on its group loses nothing.
        } else if (code.equal(bind->UNKNOWN_TOPIC_OR_PART) || code.equal(bind->UNKNOWN_TOPIC) ||
                   code.equal(bind->UNKNOWN_PARTITION)) {
            // The topic is gone, maybe to be re-created: keep serving the copy,
            // and look at the topic at once.
            check_soon_ = true;
        } else {
            raise_exception_object(bind->KafkaException(error));
        }
    }

    // Reached at or past the end offset read at start, a partition end closes
    // the partition's replay even where the records before that offset are
    // gone (compacted, or transaction markers). An end before that offset, or
    // before what was applied, is a log that was truncated.
    void partition_end(PyObject *msg) {
        Partition &p =
            partition_of(reader_.get(msg, MessageReader::kTopic), reader_.get(msg, MessageReader::kPartition));
        long long at = reader_.get(msg, MessageReader::kOffset).cast<long long>();
        long long expected = p.replaying ? std::max(p.next, p.end) : p.next;
        p.at_end = at;
        if (at >= p.end)
            p.replaying = false;
        if (at < expected && ends_before(p, expected))
            start_over(*p.log, "its log ends at offset " + std::to_string(at) + ", before offset " +
                                   std::to_string(expected) + " that was read or expected");
    }

    // Whether the partition's log now ends before `offset`. Asked of the
    // cluster, since a partition end before it may also stop at an open
    // transaction, which the consumer does not read past.
    bool ends_before(const Partition &p, long long offset) {
        py::object marks;
        try {
            marks = consumer_.attr("get_watermark_offsets")(bind->TopicPartition(p.topic, p.id),
                                                            "timeout"_a = kRequestTimeout, "cached"_a = false);
        } catch (py::error_already_set &e) {
            if (!e.matches(bind->KafkaException))
                throw;
            check_soon_ = true;  // the topic may be gone: its identity tells more
            return false;
        }
        return !marks.is_none() && marks[py::int_(1)].cast<long long>() < offset;
    }

    // A message's record and where it belongs.
    struct Incoming {
        py::object topic;
        Partition *partition;
        py::object offset;
    };

    // None for an error, and for a record applied before: after a failover
    // the client may reset its position and read records again, which must
    // neither turn a value back for a while nor be told twice. Whether the log
    // itself started over instead is asked of the cluster at once.
    // An error may start a log over, which takes its collection's lock: the
    // caller's `held` lock is let go first.
    std::optional<Incoming> incoming(PyObject *msg, std::optional<Held> *held = nullptr) {
        py::object error = reader_.get(msg, MessageReader::kError);
        if (!error.is_none()) {
            if (held)
                held->reset();
            message_error(msg, error);
            return std::nullopt;
        }
        py::object topic = reader_.get(msg, MessageReader::kTopic);
        Partition &p = partition_of(topic, reader_.get(msg, MessageReader::kPartition));
        py::object offset = reader_.get(msg, MessageReader::kOffset);
        if (offset.cast<long long>() < p.next) {
            check_soon_ = true;
            return std::nullopt;
        }
        return Incoming{std::move(topic), &p, std::move(offset)};
    }

    // Applies a record to `collection`, unless a record in another
    // partition of the log holds its key with a later timestamp.
    bool apply(py::handle collection, py::handle origins, PyObject *msg, const Incoming &record, py::handle key,
               py::handle value) {
        if (origins) {
            py::object stamp = py::make_tuple(reader_.get(msg, MessageReader::kTimestamp)[py::int_(1)],
                                              record.partition->id);
            if (superseded(origins, key, stamp))
                return false;
        }
        store_record(collection, key, value);
        return true;
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
        bool progressed = false;
        std::size_t starts = starts_;
        for (auto item : msgs) {
            PyObject *msg = item.ptr();
            std::optional<Incoming> record = incoming(msg, &held);
            // The rest came from the client a log that started over replaced:
            // a new one reads everything not applied yet again.
            if (starts_ != starts)
                break;
            if (!record)
                continue;
            if (!current || !held || !same_text(record->topic, current)) {
                held.reset();
                current = record->topic;
                collection = py::reinterpret_borrow<py::dict>(topics_)[current];
                held.emplace(lock_for(locks_, current));
            }
            apply(collection, record->partition->log->origins, msg, *record, reader_.get(msg, MessageReader::kKey),
                  reader_.get(msg, MessageReader::kValue));
            note_applied(*record->partition, std::move(record->offset));
            already_has_some_messages_ = progressed = true;
        }
        held.reset();
        for (Partition &p : partitions_)
            if (p.progressed)
                publish_progress(p);
        if (progressed)
            waiting_since_ = now();
        else
            report_waiting(true);
    }

    bool replaying(const Log *log) const {
        for (const Partition &p : partitions_)
            if ((!log || p.log == log) && p.replaying && p.next < p.end)
                return true;
        return false;
    }

    bool replay_is_over() const { return !replaying(nullptr); }

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
    // Records of a log being replayed go to its fresh copy instead.
    void live_batch() {
        // Both are read before every poll so a caller can retune a running store.
        py::object num_messages = rebuilds_ ? py::object(replay_batch_) : attr(n_.consumer_num_messages);
        std::size_t starts = starts_;
        py::list msgs = consume(num_messages, attr(n_.consumer_timeout_s));
        // A full batch means more may be queued, as under a stream of writes:
        // taking it now spares a hand-over of the GIL per record.
        Py_ssize_t asked = PyLong_AsSsize_t(num_messages.ptr());
        if (asked == -1 && PyErr_Occurred())
            throw py::error_already_set();
        if (static_cast<Py_ssize_t>(msgs.size()) >= asked && asked < kReplayBatch) {
            py::list more = consume(replay_batch_, zero_);
            if (!more.empty() && PyList_SetSlice(msgs.ptr(), PY_SSIZE_T_MAX, PY_SSIZE_T_MAX, more.ptr()) < 0)
                throw py::error_already_set();
        }
        for (auto item : msgs) {
            PyObject *msg = item.ptr();
            std::optional<Incoming> record = incoming(msg);
            if (starts_ != starts)
                break;  // as in replay_batch
            if (!record)
                continue;
            py::object &topic = record->topic;
            Partition &p = *record->partition;
            Log &log = *p.log;
            py::object key = reader_.get(msg, MessageReader::kKey);
            py::object value = reader_.get(msg, MessageReader::kValue);
            if (log.fresh) {
                apply(log.fresh, log.fresh_origins, msg, *record, key, value);
                note_applied(p, std::move(record->offset));
                continue;
            }
            bool changed;
            {
                Held held(lock_for(locks_, topic));
                changed = apply(py::reinterpret_borrow<py::dict>(topics_)[topic], log.origins, msg, *record, key,
                                value);
            }
            note_applied(p, std::move(record->offset));
            publish_progress(p);
            if (changed)
                tell(topic, key, is_empty_bytes(value) ? py::none() : value);
        }
        if (rebuilds_)
            for (Log &log : logs_)
                if (log.fresh && !replaying(&log))
                    finish_rebuild(log);
    }

    void tell(py::handle topic, py::handle key, py::handle value) {
        if (PyObject *callback = find(callbacks_, topic))
            py::reinterpret_borrow<py::object>(callback)();
        if (PyObject *listeners = find(listeners_, topic))
            // A snapshot: a listener may add listeners.
            for (auto listener : py::tuple(py::reinterpret_borrow<py::object>(listeners)))
                listener(key, value);
    }

    // A topic re-created by hand, or by a broker that makes a missing topic
    // when a record is sent to it, has the cluster's defaults, whose delete
    // retention would drop the collection's records within days. The settings
    // a store opens with are made again, on a thread of their own: the
    // requests may wait on a broker that is down, and the copy must not.
    void restore_topic_settings(py::handle topic) {
        py::object store = self_, name = py::reinterpret_borrow<py::object>(topic);
        py::object restore = py::cpp_function([store, name] {
            try {
                store.attr("create_compacted_topic")(name);
            } catch (py::error_already_set &e) {
                if (!e.matches(PyExc_Exception))
                    throw;
                say(store, kWarning, py::str("KafkaCompaction could not give topic {} its settings again: {}")
                                         .format(name, e.value()));
            }
        });
        call_method(bind->Thread("target"_a = restore, "daemon"_a = true, "name"_a = "quarnel-kv topic settings"),
                    intern("start"));
    }

    // The log of a collection started over: read it again from its first
    // record. Before the store is open, into the copy itself; after, into a
    // fresh copy served once it is complete.
    void start_over(Log &log, const std::string &reason) {
        // Read with a new client: one that followed the old log may keep its
        // metadata, and some client versions then never fetch from a topic
        // re-created under them. The other partitions go on from where they are.
        py::object previous = consumer_;
        consumer_ = bind->Consumer(attr(n_.consumer_config));
        std::vector<Partition> found;
        py::list assignment;
        if (!list_log(log, found, assignment)) {
            call_method(consumer_, n_.close);
            consumer_ = previous;
            log.pending = reason;  // tried again at the next look at the topics
            return;
        }
        std::vector<Partition> kept;
        for (Partition &p : partitions_) {
            if (p.log != &log) {
                assignment.append(bind->TopicPartition(p.topic, p.id, p.next));
                kept.push_back(std::move(p));
            }
        }
        partitions_ = std::move(kept);
        last_ = 0;
        ++starts_;
        consumer_.attr("assign")(assignment);
        py::setattr(self_, n_.consumer, consumer_);
        call_method(previous, n_.close);
        py::object origins = found.size() > 1 ? py::object(py::dict()) : py::object();
        for (Partition &p : found)
            partitions_.push_back(std::move(p));
        log.pending.clear();
        log.id = py::none();  // the next look records the new log's identity
        restore_topic_settings(log.topic);
        if (!inited_) {
            Held held(lock_for(locks_, log.topic));
            py::reinterpret_borrow<py::dict>(topics_)[log.topic].attr("clear")();
            log.origins = origins;
            return;
        }
        if (!log.fresh) {
            ++rebuilds_;
            if (PySet_Add(rebuilding_.ptr(), log.topic.ptr()) < 0)
                throw py::error_already_set();
        }
        log.fresh = py::dict();
        log.fresh_origins = origins;
        log.reason = reason;
        if (!replaying(&log))
            finish_rebuild(log);
    }

    // Serves the fresh copy of a log, then tells the collection's callback
    // and listeners of every key whose value it changed (a vanished key as a
    // deletion).
    void finish_rebuild(Log &log) {
        py::object old, fresh = std::move(log.fresh);
        log.fresh = py::object();
        {
            Held held(lock_for(locks_, log.topic));
            py::dict topics = py::reinterpret_borrow<py::dict>(topics_);
            old = topics[log.topic];
            topics[log.topic] = fresh;
        }
        log.origins = std::move(log.fresh_origins);
        log.fresh_origins = py::object();
        ++log.generation;
        generations_[log.topic] = py::int_(log.generation);
        py::dict offsets;
        for (Partition &p : partitions_)
            if (p.log == &log && p.applied) {
                offsets[p.id] = p.applied;
                p.progressed = false;
            }
        read_offsets_[log.topic] = offsets;
        --rebuilds_;
        if (PySet_Discard(rebuilding_.ptr(), log.topic.ptr()) < 0)
            throw py::error_already_set();
        for (Partition &p : partitions_)
            if (p.log == &log && p.applied)
                release_visible(waiters_, p);
        say(self_, kWarning,
            py::str("KafkaCompaction rebuilt " + text_of(log.topic) + " from its log, which started over (" +
                    log.reason + ")"));
        if (!find(callbacks_, log.topic) && !find(listeners_, log.topic))
            return;
        for (auto item : py::reinterpret_borrow<py::dict>(old)) {
            if (!item.second.is_none() && !PyDict_Contains(fresh.ptr(), item.first.ptr()))
                tell(log.topic, item.first, py::none());
        }
        for (auto item : py::reinterpret_borrow<py::dict>(fresh)) {
            PyObject *before = find(old, item.first);
            int same = before ? PyObject_RichCompareBool(before, item.second.ptr(), Py_EQ) : 0;
            if (same < 0)
                throw py::error_already_set();
            if (!same)
                tell(log.topic, item.first, item.second);
        }
    }

    // Looks at the topics every kLogCheckInterval, or at once when something
    // suggests a log started over: a topic re-created under the store, or
    // given more partitions, is replayed again. The description is asked for
    // in the background and picked up when it is in.
    void check_logs() {
        if (!description_) {
            double t = now();
            bool asked = check_soon_ || truthy(attr(n_.recheck_logs));
            if (t < next_check_ && !(asked && unanswered_checks_ == 0 && t >= last_check_ + kLogRecheckInterval))
                return;
            last_check_ = t;
            check_soon_ = false;
            py::setattr(self_, n_.recheck_logs, py::bool_(false));
            double backoff = kLogCheckInterval * (1 << std::min(unanswered_checks_, 5));
            next_check_ = t + std::min(kLogCheckLongestInterval, backoff);
            try {
                description_ = attr(n_.admin).attr("describe_topics")(bind->TopicCollection(topic_list_),
                                                                      "request_timeout"_a = kLogCheckTimeout);
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
        bool unanswered = false;
        for (auto item : futures) {
            Log &log = log_of(item.first);
            py::object failure = item.second.attr("exception")();
            py::set missing = attr(n_.missing_topics);
            if (!failure.is_none()) {
                // Gone for now: the copy is kept until a log is back.
                if (kafka_error_name(failure) != "UNKNOWN_TOPIC_OR_PART")
                    unanswered = true;
                else if (PySet_Add(missing.ptr(), log.topic.ptr()) < 0)
                    throw py::error_already_set();
                continue;
            }
            if (PySet_Discard(missing.ptr(), log.topic.ptr()) < 0)
                throw py::error_already_set();
            py::object description = item.second.attr("result")();
            // Clients before 2.5 do not give the identity: then only errors tell.
            py::object id = py::getattr(description, "topic_id", py::none());
            if (!log.pending.empty()) {
                start_over(log, log.pending);
                continue;
            }
            if (log.id.is_none()) {
                log.id = id;
            } else if (!id.is_none() && text_of(id) != text_of(log.id)) {
                start_over(log, "the topic was re-created");
                continue;
            }
            // Also right after a rebuild: its listing may predate partitions added since.
            std::size_t known = 0;
            for (const Partition &p : partitions_)
                known += p.log == &log ? 1 : 0;
            if (py::len(description.attr("partitions")) > known)
                start_over(log, "partitions were added");
        }
        unanswered_checks_ = unanswered ? unanswered_checks_ + 1 : 0;
        if (unanswered)
            refresh_admin_metadata();
    }

    // A description goes to the broker the Admin last heard named as the
    // cluster's controller. When that broker died, the client retries its
    // connection for the whole request, without pause, taking most of a core,
    // and it never asks again who the controller is: its metadata does,
    // answered by any live broker. Asked for every topic: an Admin's request
    // naming one lets a broker with auto.create.topics.enable create it.
    void refresh_admin_metadata() {
        try {
            attr(n_.admin).attr("list_topics")("timeout"_a = kLogCheckTimeout / 2);
        } catch (py::error_already_set &e) {
            if (!e.matches(bind->KafkaException))
                throw;
        }
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
            try {
                call_method(attr(n_.producer), n_.poll, zero_);
            } catch (py::error_already_set &e) {
                if (!told_producer_failure(self_, e))
                    throw;
            }
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
    py::object consumer_, topics_, locks_, callbacks_, listeners_, read_offsets_, waiters_, generations_,
        rebuilding_;
    py::list topic_list_;
    MessageReader reader_;
    std::vector<Log> logs_;
    std::vector<Partition> partitions_;
    std::size_t last_ = 0;
    int rebuilds_ = 0;     // logs with a fresh copy being replayed
    std::size_t starts_ = 0;  // clients replaced for a log that started over
    bool inited_ = false;  // mirrors `_inited`, which only this thread sets
    bool already_has_some_messages_ = false;
    bool check_soon_ = false;
    py::object description_;  // topics asked about and not yet answered
    double next_check_ = 0, last_check_ = 0;
    int unanswered_checks_ = 0;  // looks in a row that went unanswered
    std::string waiting_for_;  // what the last failed listing lacked
    double waiting_since_ = 0, next_report_ = 0;
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
    long long left;
    try {
        left = call_method(producer, n.flush, bound).cast<long long>();
    } catch (py::error_already_set &e) {
        if (!told_producer_failure(self, e))
            throw;
        // What the failure took goes to its writers with this second serving.
        left = call_method(producer, n.flush, bound).cast<long long>();
    }
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
