// The store: named collections mirrored in memory from log-compacted topics.
//
// Every function here runs with the GIL held; the host's blocking calls
// (consume, flush, sleep, Lock.acquire) release it while they wait.
#include "host.hpp"

#include <climits>

namespace quarnel {
namespace {

namespace py = pybind11;
using namespace pybind11::literals;

// Host names bound when the module is loaded, kept for the life of the process.
struct Bindings {
    py::object os, json, uuid, kafka, signal, time, sleep, Lock, Thread, get_ident, Admin;
    py::object KafkaException, KafkaError, PARTITION_EOF, AUTHENTICATION, SSL, dumps, loads, str_type, super, print_exception;
    py::object default_on_consumer_kill, KafkaJsonCompaction;
    // Interned names for the per-record path.
    py::str cons_running, consumer_num_messages, consumer_timeout_s, consume, num_messages, timeout, error, code,
        topic, partition, offset, key, value, acquire, release, assignment;
};
Bindings *bind = nullptr;

constexpr const char *kEmptyCollections = "At least one collection must be set in \"collection_names\"";

// The consumer thread's exit steps tell the default stop action the exit
// status the stop calls for, without widening its no-argument signature.
thread_local int stop_status = 0;

[[noreturn]] void raise_exception_object(py::handle exc) {
    PyErr_SetObject(reinterpret_cast<PyObject *>(Py_TYPE(exc.ptr())), exc.ptr());
    throw py::error_already_set();
}

py::object call_method(py::handle obj, const py::str &name) {
    PyObject *r = PyObject_CallMethodNoArgs(obj.ptr(), name.ptr());
    if (!r)
        throw py::error_already_set();
    return py::reinterpret_steal<py::object>(r);
}

// `d[key]` as a borrowed reference, or null when `key` is missing.
PyObject *find(py::handle d, py::handle key) {
    PyObject *found = PyDict_GetItemWithError(d.ptr(), key.ptr());
    if (!found && PyErr_Occurred())
        throw py::error_already_set();
    return found;
}

// `d.setdefault(key, {})`, atomic under the GIL.
py::dict dict_for(py::handle d, py::handle key) {
    py::dict fresh;
    PyObject *kept = PyDict_SetDefault(d.ptr(), key.ptr(), fresh.ptr());
    if (!kept)
        throw py::error_already_set();
    return py::reinterpret_borrow<py::dict>(kept);
}

// One lock per topic, created by whichever of the consumer loop and a writer
// needs it first. setdefault under the GIL makes the creation atomic, so two
// threads can never end up holding different locks for one topic.
py::object lock_for(py::handle locks, py::handle topic) {
    if (PyObject *found = find(locks, topic))
        return py::reinterpret_borrow<py::object>(found);
    py::object fresh = bind->Lock();
    PyObject *kept = PyDict_SetDefault(locks.ptr(), topic.ptr(), fresh.ptr());
    if (!kept)
        throw py::error_already_set();
    return py::reinterpret_borrow<py::object>(kept);
}

// Holds a host lock for a scope; released on every way out, exceptions included.
class Held {
  public:
    explicit Held(py::object lock) : lock_(std::move(lock)) { call_method(lock_, bind->acquire); }
    ~Held() {
        // An exception may be in flight; its host error is already fetched,
        // so calling into the host here is safe.
        PyObject *r = PyObject_CallMethodNoArgs(lock_.ptr(), bind->release.ptr());
        if (r)
            Py_DECREF(r);
        else
            PyErr_WriteUnraisable(lock_.ptr());
    }
    Held(const Held &) = delete;
    Held &operator=(const Held &) = delete;

  private:
    py::object lock_;
};

// ---------------------------------------------------------------- KafkaCompaction

// A client reports a refused login or TLS handshake only to an error callback;
// its requests merely time out as transport failures. The consumer's copy of
// the configuration gets this recorder (which also calls the caller's own
// callback) so that construction can name the real cause.
py::object refusal_recorder(py::list latest, py::object callers_error_cb) {
    return py::cpp_function([latest, callers_error_cb](py::object error) {
        py::object code = error.attr("code")();
        if (code.equal(bind->AUTHENTICATION) || code.equal(bind->SSL))
            latest[0] = error;
        if (!callers_error_cb.is_none())
            callers_error_cb(error);
    });
}

// Whether a failed request is one a refused login would explain: the
// request then found no usable broker rather than an answer.
bool is_transport_failure(py::handle exc) {
    py::tuple args = exc.attr("args");
    if (args.empty() || !py::isinstance(args[0], bind->KafkaError))
        return false;
    std::string name = args[0].attr("name")().cast<std::string>();
    return name == "_TRANSPORT" || name == "_TIMED_OUT" || name == "_ALL_BROKERS_DOWN";
}

void create_collection_topics(py::object &self, py::dict &topics, py::list &refusal) {
    try {
        for (auto topic : topics)
            self.attr("create_compacted_topic")(topic.first);
    } catch (py::error_already_set &e) {
        if (!e.matches(bind->KafkaException) || !is_transport_failure(e.value()))
            throw;
        // Serves the consumer's error callback, which has seen the broker by now.
        try {
            self.attr("consumer").attr("poll")(0);
        } catch (py::error_already_set &callers) {
            // The caller's own error callback failed; the store's failure still comes first.
            callers.discard_as_unraisable(self.attr("consumer"));
        }
        if (refusal[0].is_none())
            throw;
        py::object refused = bind->KafkaException(refusal[0]);
        PyException_SetCause(refused.ptr(), e.value().inc_ref().ptr());
        raise_exception_object(refused);
    }
}

void init_store(py::object self, py::object admin_configs, py::object collection_names, py::object db_name,
                py::object on_consumer_kill) {
    if (!PyObject_IsTrue(collection_names.ptr())) {
        if (PyErr_Occurred())
            throw py::error_already_set();
        PyErr_SetString(PyExc_Exception, kEmptyCollections);
        throw py::error_already_set();
    }
    self.attr("admin") = bind->Admin(admin_configs);
    self.attr("db_name") = db_name;
    self.attr("on_consumer_kill") = on_consumer_kill;

    // A copy: the caller's dictionary, the producer and the Admin keep the caller's values.
    py::dict cons_conf = py::module_::import("builtins").attr("dict")(admin_configs);
    cons_conf["session.timeout.ms"] = 6000;
    cons_conf["auto.offset.reset"] = "earliest";
    cons_conf["enable.auto.commit"] = false;
    cons_conf["group.id"] = py::str(bind->uuid.attr("uuid4")());
    // Partition ends tell the consumer thread when the replay has caught up.
    cons_conf["enable.partition.eof"] = true;
    py::list refusal;
    refusal.append(py::none());
    cons_conf["error_cb"] = refusal_recorder(refusal, cons_conf.attr("get")("error_cb"));
    self.attr("consumer") = bind->kafka.attr("Consumer")(cons_conf);
    self.attr("producer") = bind->kafka.attr("Producer")(admin_configs);
    self.attr("locks") = py::dict();
    self.attr("_publish_locks") = py::dict();
    // Per topic and partition: the offset of this store's last delivered
    // write, and of the last record the consumer thread applied after it.
    // Topics with a write whose fate is unknown stay unsettled until a later
    // write of the store is delivered with its offset.
    self.attr("_written_offsets") = py::dict();
    self.attr("_read_offsets") = py::dict();
    self.attr("_unsettled_topics") = py::set();
    // Writers waiting until the consumer thread applied their record: (topic, partition, offset, lock).
    self.attr("_visibility_waiters") = py::list();
    self.attr("collection_callbacks") = py::dict();
    self.attr("collection_listeners") = py::dict();

    py::dict topics;
    for (auto name : collection_names)
        topics[topic_name(db_name, name)] = py::dict();
    self.attr("_topics") = topics;
    create_collection_topics(self, topics, refusal);

    self.attr("consumer_num_messages") = 1;
    self.attr("consumer_timeout_s") = 0.1;
    self.attr("cons_running") = true;
    py::object close = self.attr("close");
    bind->signal.attr("signal")(bind->signal.attr("SIGTERM"), close);
    bind->signal.attr("signal")(bind->signal.attr("SIGINT"), close);
    self.attr("_inited") = false;
    py::object thread = bind->Thread("target"_a = self.attr("start_consumer"));
    self.attr("cons_thr") = thread;
    thread.attr("start")();

    while (!self.attr("_inited").cast<bool>()) {
        if (!thread.attr("is_alive")().cast<bool>()) {
            // The thread may have set the flag just before it ended.
            if (self.attr("_inited").cast<bool>())
                break;
            py::object error = py::getattr(self, "_stop_error", py::none());
            if (!error.is_none())
                raise_exception_object(error);
            PyErr_SetString(PyExc_Exception, "KafkaCompaction was stopped before its initial replay was over");
            throw py::error_already_set();
        }
        bind->sleep(0.1);
    }
}

void create_compacted_topic(py::object self, py::object topic) {
    py::dict settings;
    settings["cleanup.policy"] = "compact";
    settings["delete.retention.ms"] = "100";
    settings["segment.ms"] = "100";
    settings["min.cleanable.dirty.ratio"] = "0.01";
    self.attr("admin").attr("create_or_update_topic")(topic, 1, 3, settings);
}

void add_collection_callback(py::object self, py::object collection_name, py::object callback) {
    self.attr("collection_callbacks")[topic_name(self.attr("db_name"), collection_name)] = callback;
}

void add_collection_listener(py::object self, py::object collection_name, py::object listener) {
    if (!PyCallable_Check(listener.ptr()))
        throw py::type_error("listener must be callable, not " + std::string(Py_TYPE(listener.ptr())->tp_name));
    py::object topic = topic_name(self.attr("db_name"), collection_name);
    py::list listeners = self.attr("collection_listeners").attr("setdefault")(topic, py::list());
    listeners.append(listener);
}

// The replay is over once every assigned partition has reported its end.
bool replay_caught_up(py::handle consumer, py::handle ends_seen) {
    py::list assignment = call_method(consumer, bind->assignment);
    if (assignment.empty())
        return false;
    for (auto tp : assignment)
        if (!PySet_Contains(ends_seen.ptr(), py::make_tuple(tp.attr("topic"), tp.attr("partition")).ptr()))
            return false;
    return true;
}

// Wakes the writers waiting for a record up to `offset` of `topic`'s `partition`.
void release_visible(py::handle waiters, py::handle topic, py::handle partition, py::handle offset) {
    py::list list = py::reinterpret_borrow<py::list>(waiters);
    for (Py_ssize_t i = PyList_GET_SIZE(list.ptr()) - 1; i >= 0; --i) {
        py::tuple waiter = list[i];
        py::object wanted = waiter[2];
        if (!py::object(waiter[0]).equal(topic) || !py::object(waiter[1]).equal(partition) ||
            wanted > py::reinterpret_borrow<py::object>(offset))
            continue;
        if (PySequence_DelItem(list.ptr(), i) < 0)
            throw py::error_already_set();
        waiter[3].attr("release")();
    }
}

// Applies one data record and returns its topic; none for a partition end.
py::object apply_record(py::handle msg, py::handle topics, py::handle locks, py::handle ends_seen,
                        py::handle written_offsets, py::handle read_offsets, py::handle waiters) {
    py::object error = call_method(msg, bind->error);
    if (!error.is_none()) {
        if (call_method(error, bind->code).equal(bind->PARTITION_EOF)) {
            if (PySet_Add(ends_seen.ptr(),
                          py::make_tuple(call_method(msg, bind->topic), call_method(msg, bind->partition)).ptr()) < 0)
                throw py::error_already_set();
            return py::none();
        }
        raise_exception_object(bind->KafkaException(error));
    }
    py::object topic = call_method(msg, bind->topic);
    py::object key = call_method(msg, bind->key);
    py::object value = call_method(msg, bind->value);
    Held held(lock_for(locks, topic));
    py::object collection = py::reinterpret_borrow<py::dict>(topics)[topic];
    if (PyBytes_Check(value.ptr()) && PyBytes_GET_SIZE(value.ptr()) == 0) {
        // An empty value is the deletion marker; a missing key is no error.
        if (PyDict_DelItem(collection.ptr(), key.ptr()) < 0) {
            if (!PyErr_ExceptionMatches(PyExc_KeyError))
                throw py::error_already_set();
            PyErr_Clear();
        }
    } else if (PyDict_SetItem(collection.ptr(), key.ptr(), value.ptr()) < 0) {
        throw py::error_already_set();
    }
    // Only topics this store has written to need to know how far it has read.
    if (find(written_offsets, topic)) {
        py::object partition = call_method(msg, bind->partition), offset = call_method(msg, bind->offset);
        if (PyDict_SetItem(dict_for(read_offsets, topic).ptr(), partition.ptr(), offset.ptr()) < 0)
            throw py::error_already_set();
        release_visible(waiters, topic, partition, offset);
    }
    return topic;
}

void run_consumer_loop(py::object &self, double init_timeout, double start_time) {
    py::object consumer = self.attr("consumer");
    py::object topics = self.attr("_topics");
    py::object locks = self.attr("locks");
    py::object callbacks = self.attr("collection_callbacks");
    py::object written_offsets = self.attr("_written_offsets");
    py::object read_offsets = self.attr("_read_offsets");
    py::object waiters = self.attr("_visibility_waiters");
    py::object listeners = self.attr("collection_listeners");
    py::list topic_list(topics.attr("keys")());
    py::set ends_seen;
    bool already_has_some_messages = false;
    bool inited = false;  // mirrors `_inited`, which only this thread sets

    consumer.attr("subscribe")(topic_list);
    py::print(py::make_tuple("Consumer topic_list:", topic_list));

    py::object consume = consumer.attr("consume");
    py::tuple kwnames = py::make_tuple(bind->num_messages, bind->timeout);
    while (py::getattr(self, bind->cons_running).cast<bool>()) {
        // Both are read before every poll so a caller can retune a running store.
        PyObject *args[] = {py::getattr(self, bind->consumer_num_messages).release().ptr(),
                            py::getattr(self, bind->consumer_timeout_s).release().ptr()};
        PyObject *raw = PyObject_Vectorcall(consume.ptr(), args, 0, kwnames.ptr());
        Py_DECREF(args[0]);
        Py_DECREF(args[1]);
        if (!raw)
            throw py::error_already_set();
        py::list msgs = py::reinterpret_steal<py::list>(raw);

        bool at_an_end = msgs.empty();
        for (auto msg : msgs) {
            py::object topic = apply_record(msg, topics, locks, ends_seen, written_offsets, read_offsets, waiters);
            if (topic.is_none()) {
                at_an_end = true;
                continue;
            }
            already_has_some_messages = true;
            if (!inited)
                continue;
            // Called with no lock held, so a callback may read and write the store.
            if (PyObject *callback = find(callbacks, topic))
                py::reinterpret_borrow<py::object>(callback)();
            if (PyObject *found = find(listeners, topic)) {
                py::object value = call_method(msg, bind->value);
                if (PyBytes_Check(value.ptr()) && PyBytes_GET_SIZE(value.ptr()) == 0)
                    value = py::none();
                py::object key = call_method(msg, bind->key);
                // A snapshot: a listener may add listeners.
                for (auto listener : py::tuple(py::reinterpret_borrow<py::list>(found)))
                    listener(key, value);
            }
        }
        if (inited || !at_an_end)
            continue;
        if (replay_caught_up(consumer, ends_seen)) {
            py::print(already_has_some_messages ? "KafkaCompaction Inited, already has some messages"
                                                : "KafkaCompaction Inited, no msg in topics");
            self.attr("_inited") = inited = true;
        } else if (bind->time().cast<double>() - start_time > init_timeout &&
                   py::len(call_method(consumer, bind->assignment)) == 0) {
            // No partition at all after the grace period: nothing to wait for.
            py::print("KafkaCompaction Inited, no msg in topics");
            self.attr("_inited") = inited = true;
        }
    }
}

void start_consumer(py::object self, double init_timeout) {
    double start_time = bind->time().cast<double>();
    py::object failure;
    try {
        run_consumer_loop(self, init_timeout, start_time);
    } catch (py::error_already_set &e) {
        failure = e.value();
        // Report the cause before the stop action, which may end the process.
        bind->print_exception(failure);
    }

    // Exit steps: close, report, then hand over to the stop action, which
    // runs whatever happened before it.
    try {
        self.attr("consumer").attr("close")();
        py::print("Consumer was correctly killed");
    } catch (py::error_already_set &e) {
        failure = e.value();
        bind->print_exception(failure);
    }
    // Nothing will read their records back any more.
    try {
        py::list waiters = self.attr("_visibility_waiters");
        while (py::len(waiters)) {
            py::tuple waiter = waiters.attr("pop")();
            waiter[3].attr("release")();
        }
    } catch (py::error_already_set &) {
    }
    stop_status = failure ? 1 : py::getattr(self, "_exit_status", py::int_(0)).cast<int>();
    try {
        self.attr("on_consumer_kill")();
    } catch (py::error_already_set &e) {
        failure = e.value();
    }
    if (failure) {
        // Kept for a constructor still waiting for the replay.
        self.attr("_stop_error") = failure;
        raise_exception_object(failure);
    }
}

// Whether the consumer thread has applied every record this store wrote to
// `topic`. PRECONDITION: the topic's collection lock is held.
bool read_back_own_writes(py::handle self, py::handle topic) {
    int unsettled = PySet_Contains(py::object(self.attr("_unsettled_topics")).ptr(), topic.ptr());
    if (unsettled < 0)
        throw py::error_already_set();
    if (unsettled)
        return false;
    PyObject *written = find(self.attr("_written_offsets"), topic);
    if (!written)
        return true;
    PyObject *read = find(self.attr("_read_offsets"), topic);
    if (!read)
        return false;
    Py_ssize_t pos = 0;
    PyObject *partition, *offset;
    while (PyDict_Next(written, &pos, &partition, &offset)) {
        PyObject *reached = find(read, partition);
        if (!reached)
            return false;
        int behind = PyObject_RichCompareBool(reached, offset, Py_LT);
        if (behind < 0)
            throw py::error_already_set();
        if (behind)
            return false;
    }
    return true;
}

// Whether publishing `value` under `key` would change nothing. Only a local
// copy that has caught up with this store's own writes can tell: before that
// it may still show what an earlier write replaced.
bool holds_already(py::handle self, py::handle topic, py::handle key, py::handle value) {
    py::object current;
    {
        Held held(lock_for(self.attr("locks"), topic));
        PyObject *collection = find(self.attr("_topics"), topic);
        if (!collection || PyDict_GET_SIZE(collection) == 0 || !read_back_own_writes(self, topic))
            return false;
        current = py::reinterpret_borrow<py::dict>(collection).attr("get")(key);
    }
    // Compared outside the lock: a value's own comparison may be any code.
    return current.equal(value);
}

// Returns once the consumer thread has applied `offset` of `topic`'s
// `partition`, or after `bound` seconds.
void wait_visible(py::handle self, py::handle topic, py::handle partition, py::handle offset, py::handle bound) {
    py::object applied;
    if (PyObject *read = find(self.attr("_read_offsets"), topic))
        if (PyObject *reached = find(read, partition))
            applied = py::reinterpret_borrow<py::object>(reached);
    if (applied && !(applied < py::reinterpret_borrow<py::object>(offset)))
        return;
    py::object lock = bind->Lock();
    lock.attr("acquire")();
    py::list waiters = self.attr("_visibility_waiters");
    py::tuple waiter = py::make_tuple(topic, partition, offset, lock);
    waiters.append(waiter);
    // Released by the consumer thread; the GIL makes the check and the
    // registration above one step for it.
    lock.attr("acquire")(true, bound);
    for (Py_ssize_t i = PyList_GET_SIZE(waiters.ptr()) - 1; i >= 0; --i)
        if (PyList_GET_ITEM(waiters.ptr(), i) == waiter.ptr() && PySequence_DelItem(waiters.ptr(), i) < 0)
            throw py::error_already_set();
}

// What the delivery report of one record said.
struct Delivery {
    bool reported = false;
    py::object error, partition, offset;
};

void set_collection_value(py::object self, py::object name, py::object key, py::object value) {
    py::str topic = topic_name(self.attr("db_name"), name);
    py::object producer = self.attr("producer");
    auto delivery = std::make_shared<Delivery>();
    auto report = py::cpp_function([delivery](py::object error, py::object msg) {
        if (error.is_none()) {
            delivery->partition = call_method(msg, bind->partition);
            delivery->offset = call_method(msg, bind->offset);
        }
        delivery->error = std::move(error);
        delivery->reported = true;
    });
    {
        // Writers of a topic take turns until their record is delivered, so
        // a retried record can never overtake a later one. Readers and the
        // consumer thread only wait on the collection's own lock, held here
        // for the comparison alone: a slow delivery (a broker failing over)
        // must not stall them.
        Held turn(lock_for(self.attr("_publish_locks"), topic));
        if (holds_already(self, topic, key, value))
            return;
        // Until its delivery report gives an offset, the record may or may
        // not be in the topic (a failed flush, a time-out during a failover,
        // or acks=0, which reports no offset).
        py::set unsettled = self.attr("_unsettled_topics");
        unsettled.add(topic);
        // From now on the consumer thread tracks how far it has read this topic.
        dict_for(self.attr("_written_offsets"), topic);
        producer.attr("produce")(topic, "value"_a = value, "key"_a = key, "on_delivery"_a = report);
        producer.attr("flush")();
        // Another thread's flush may be running our report at this moment.
        while (!delivery->reported)
            producer.attr("flush")(0.01);
        if (delivery->error.is_none() && !delivery->offset.is_none() && delivery->offset.cast<long long>() >= 0) {
            dict_for(self.attr("_written_offsets"), topic)[delivery->partition] = delivery->offset;
            if (PySet_Discard(unsettled.ptr(), topic.ptr()) < 0)
                throw py::error_already_set();
        }
    }
    if (!delivery->error.is_none())
        raise_exception_object(bind->KafkaException(delivery->error));
    py::object pause = self.attr("publish_pause_s");
    if (PyObject_IsTrue(py::object(self.attr("read_your_writes")).ptr())) {
        // The consumer thread cannot read back while it runs this write.
        if (bind->get_ident().equal(self.attr("cons_thr").attr("ident")))
            return;
        if (!delivery->offset.is_none() && delivery->offset.cast<long long>() >= 0 &&
            self.attr("cons_running").cast<bool>() && self.attr("cons_thr").attr("is_alive")().cast<bool>()) {
            wait_visible(self, topic, delivery->partition, delivery->offset, pause);
            return;
        }
    }
    // A zero pause must not hand the GIL to the consumer thread between writes.
    if (PyObject_IsTrue(pause.ptr()))
        bind->sleep(pause);
}

void close_store(py::object self, py::object, py::object) { self.attr("cons_running") = false; }

// The exit status that leaving a `with` block by `exception` calls for, as
// the interpreter itself would give it: a SystemExit's code, else 1.
int exit_status_for(py::handle exception_type, py::handle exception) {
    if (!PyErr_GivenExceptionMatches(exception_type.ptr(), PyExc_SystemExit))
        return 1;
    py::object code = py::getattr(exception, "code", py::none());
    if (code.is_none())
        return 0;
    if (!PyLong_Check(code.ptr()))
        return 1;
    int overflow = 0;
    long status = PyLong_AsLongAndOverflow(code.ptr(), &overflow);
    return overflow || status < INT_MIN || status > INT_MAX ? 1 : static_cast<int>(status);
}

void exit_store(py::object self, py::object exception_type, py::object exception, py::object) {
    // A block left by an exception must not end the process as a success.
    if (!exception_type.is_none())
        self.attr("_exit_status") = exit_status_for(exception_type, exception);
    self.attr("close")();
}

void finalise_store(py::object self) {
    try {
        self.attr("close")();
    } catch (py::error_already_set &e) {
        e.discard_as_unraisable(self);
    }
}

void default_on_consumer_kill() {
    // Flush first: a pipe would otherwise lose the last lines, the stop report among them.
    py::object sys = py::module_::import("sys");
    for (const char *stream : {"stdout", "stderr"}) {
        try {
            sys.attr(stream).attr("flush")();
        } catch (py::error_already_set &) {
        }
    }
    bind->os.attr("_exit")(stop_status);
}

// ------------------------------------------------------------ KafkaJsonCompaction

py::list get_collections(py::object self) {
    std::string prefix = text_of(self.attr("db_name")) + ".";
    py::list names;
    for (auto topic : py::dict(self.attr("_topics"))) {
        std::string name = text_of(topic.first);
        if (name.compare(0, prefix.size(), prefix) == 0)
            name.erase(0, prefix.size());
        names.append(py::str(name));
    }
    return names;
}

// The record key of a text key; anything else fails as `key.encode` would.
py::object utf8_key(py::handle key) {
    if (PyUnicode_CheckExact(key.ptr())) {
        PyObject *encoded = PyUnicode_AsUTF8String(key.ptr());
        if (!encoded)
            throw py::error_already_set();
        return py::reinterpret_steal<py::object>(encoded);
    }
    return key.attr("encode")("utf-8");
}

void json_set_collection_value(py::object self, py::object name, py::object key, py::object value) {
    py::object key_bytes = utf8_key(key);
    py::object encoded = value.is_none() ? py::object(py::bytes("")) : bind->dumps(value, "default"_a = bind->str_type);
    bind->super(bind->KafkaJsonCompaction, self).attr("set_collection_value")(name, key_bytes, encoded);
}

// Hands the listener text keys and JSON values. A record this layer cannot
// decode (written by another tool) is not one of its changes: skipped.
void json_add_collection_listener(py::object self, py::object name, py::object listener) {
    if (!PyCallable_Check(listener.ptr()))
        throw py::type_error("listener must be callable, not " + std::string(Py_TYPE(listener.ptr())->tp_name));
    py::object decoding = py::cpp_function([listener](py::object key, py::object value) {
        py::object text, decoded = py::none();
        try {
            if (!PyBytes_Check(key.ptr()))
                return;
            text = py::reinterpret_steal<py::object>(
                PyUnicode_DecodeUTF8(PyBytes_AS_STRING(key.ptr()), PyBytes_GET_SIZE(key.ptr()), "strict"));
            if (!text)
                throw py::error_already_set();
            if (!value.is_none())
                decoded = bind->loads(value);
        } catch (py::error_already_set &e) {
            if (!e.matches(PyExc_ValueError))
                throw;
            return;
        }
        listener(text, decoded);
    });
    bind->super(bind->KafkaJsonCompaction, self).attr("add_collection_listener")(name, decoding);
}

void delete_collection_value(py::object self, py::object name, py::object key) {
    self.attr("set_collection_value")(name, key, py::none());
}

// The lock of `topic` when some record or write has created it.
py::object existing_lock(py::handle self, py::handle topic) {
    return py::reinterpret_borrow<py::object>(find(self.attr("locks"), topic));
}

// `read(collection)` under the collection's lock; `missing` while no record
// or write has touched the collection yet.
template <typename Read>
py::object read_collection(py::handle self, py::handle name, py::object missing, Read read) {
    py::str topic = topic_name(self.attr("db_name"), name);
    py::object lock = existing_lock(self, topic);
    if (!lock)
        return missing;
    Held held(lock);
    PyObject *collection = find(self.attr("_topics"), topic);
    return collection ? read(collection) : missing;
}

py::object get_collection_value(py::object self, py::object name, py::object key) {
    // Encoded first: a key's own encode may be any code, never run under the lock.
    py::object key_bytes = utf8_key(key);
    return read_collection(self, name, py::none(), [&key_bytes](PyObject *collection) -> py::object {
        PyObject *stored = find(collection, key_bytes);
        if (!stored)
            return py::none();
        PyObject *decoded = PyObject_CallOneArg(bind->loads.ptr(), stored);
        if (!decoded)
            throw py::error_already_set();
        return py::reinterpret_steal<py::object>(decoded);
    });
}

py::object get_collection_keys(py::object self, py::object name) {
    return read_collection(self, name, py::list(), [](PyObject *collection) -> py::object {
        py::list keys(PyDict_GET_SIZE(collection));
        Py_ssize_t pos = 0, i = 0;
        PyObject *k, *v;
        while (PyDict_Next(collection, &pos, &k, &v)) {
            PyObject *text = PyBytes_Check(k)
                                 ? PyUnicode_DecodeUTF8(PyBytes_AS_STRING(k), PyBytes_GET_SIZE(k), "strict")
                                 : PyObject_CallMethod(k, "decode", "s", "utf-8");
            if (!text)
                throw py::error_already_set();
            PyList_SET_ITEM(keys.ptr(), i++, text);
        }
        return std::move(keys);
    });
}

}  // namespace
}  // namespace quarnel

PYBIND11_MODULE(quillet, m) {
    using namespace quarnel;
    namespace py = pybind11;

    static py::gil_safe_call_once_and_store<Bindings> storage;
    bind = &storage
                .call_once_and_store_result([] {
                    py::object time_module = import_host("time");
                    py::object threading = import_host("threading");
                    py::object kafka = import_host("confluent_kafka");
                    Bindings b;
                    b.os = import_host("os");
                    b.json = import_host("json");
                    b.uuid = import_host("uuid");
                    b.kafka = kafka;
                    b.signal = import_host("signal");
                    b.time = time_module.attr("time");
                    b.sleep = time_module.attr("sleep");
                    b.Lock = threading.attr("Lock");
                    b.Thread = threading.attr("Thread");
                    b.get_ident = threading.attr("get_ident");
                    b.Admin = import_from("dorrow", "Admin");
                    b.KafkaException = kafka.attr("KafkaException");
                    b.KafkaError = kafka.attr("KafkaError");
                    b.PARTITION_EOF = kafka.attr("KafkaError").attr("_PARTITION_EOF");
                    b.AUTHENTICATION = kafka.attr("KafkaError").attr("_AUTHENTICATION");
                    b.SSL = kafka.attr("KafkaError").attr("_SSL");
                    b.dumps = b.json.attr("dumps");
                    b.loads = b.json.attr("loads");
                    py::module_ builtins = py::module_::import("builtins");
                    b.str_type = builtins.attr("str");
                    b.super = builtins.attr("super");
                    b.print_exception = py::module_::import("traceback").attr("print_exception");
                    for (auto [field, text] : std::initializer_list<std::pair<py::str *, const char *>>{
                             {&b.cons_running, "cons_running"}, {&b.consumer_num_messages, "consumer_num_messages"},
                          {&b.consumer_timeout_s, "consumer_timeout_s"}, {&b.consume, "consume"},
                          {&b.num_messages, "num_messages"}, {&b.timeout, "timeout"}, {&b.error, "error"},
                          {&b.code, "code"}, {&b.topic, "topic"}, {&b.partition, "partition"},
                          {&b.offset, "offset"}, {&b.key, "key"},
                          {&b.value, "value"}, {&b.acquire, "acquire"}, {&b.release, "release"},
                          {&b.assignment, "assignment"}}) {
                        PyObject *s = PyUnicode_InternFromString(text);
                        if (!s)
                            throw py::error_already_set();
                        *field = py::reinterpret_steal<py::str>(s);
                    }
                    b.default_on_consumer_kill = py::cpp_function(&default_on_consumer_kill, py::name("exit_process"),
                                                                   "Ends the process at once: status 0 after a requested "
                                                                   "stop, 1 after a failure of the consumer thread or a "
                                                                   "with block left by an exception.");
                    return b;
                })
                .get_stored();

    // Docstrings carry their own signature lines in the host's format, so
    // help() and inspect.signature show the parameters by name.
    py::options options;
    options.disable_function_signatures();

    py::object store = make_class(
        m, "KafkaCompaction", py::make_tuple(py::module_::import("builtins").attr("object")),
        "KafkaCompaction(admin_configs, collection_names, db_name='quarnel.configs', on_consumer_kill=...)\n--\n\n"
        "Named collections of bytes keys and values, each kept in one log-compacted Kafka topic.\n\n"
        "Construction creates or corrects the topics, replays them into memory and returns once\n"
        "every partition has been read to its end; a background thread then applies every new\n"
        "record. Writes are published and become visible when the thread reads them back.");
    store.attr("publish_pause_s") = 1.0;
    store.attr("read_your_writes") = false;
    def_init(store, &init_store, py::arg("admin_configs"), py::arg("collection_names"),
             py::arg("db_name") = "quarnel.configs", py::arg("on_consumer_kill") = bind->default_on_consumer_kill,
             "__init_instance__($self, admin_configs, collection_names, db_name='quarnel.configs', "
             "on_consumer_kill=...)\n--\n\n"
             "Start a store: admin_configs are Kafka client properties, collection_names the\n"
             "collections to follow (topic: db_name + '.' + name), on_consumer_kill what runs when\n"
             "the consumer thread stops (default: end the process).");
    def_method(store, "create_compacted_topic", &create_compacted_topic, py::arg("topic"),
               "create_compacted_topic($self, topic)\n--\n\n"
               "Create or correct a topic: 1 partition, replication factor 3, compacted.");
    def_method(store, "add_collection_callback", &add_collection_callback, py::arg("collection_name"),
               py::arg("callback"),
               "add_collection_callback($self, collection_name, callback)\n--\n\n"
               "Call callback() on the consumer thread after each new record of the collection.");
    def_method(store, "add_collection_listener", &add_collection_listener, py::arg("collection_name"),
               py::arg("listener"),
               "add_collection_listener($self, collection_name, listener)\n--\n\n"
               "Call listener(key, value) on the consumer thread for each new record of the collection;\n"
               "value is None for a deletion.");
    def_method(store, "start_consumer", &start_consumer, py::arg("init_timeout") = 10.0,
               "start_consumer($self, init_timeout=10.0)\n--\n\n"
               "Body of the consumer thread; construction starts it.");
    def_method(store, "set_collection_value", &set_collection_value, py::arg("name"), py::arg("key"),
               py::arg("value"),
               "set_collection_value($self, name, key, value)\n--\n\n"
               "Publish value under key unless the local copy already holds it; empty bytes delete.\n"
               "Raises KafkaException when the record was not delivered. Pauses publish_pause_s after.");
    def_method(store, "close", &close_store, py::arg("arg1") = py::none(), py::arg("arg2") = py::none(),
               "close($self, arg1=None, arg2=None)\n--\n\n"
               "Ask the consumer thread to stop (also the SIGTERM/SIGINT handler).");
    def_method(
        store, "__enter__", [](py::object self) { return self; }, "__enter__($self)\n--\n\n");
    def_method(store, "__exit__", &exit_store, py::arg("exception_type") = py::none(),
               py::arg("exception_value") = py::none(), py::arg("traceback") = py::none(),
               "__exit__($self, exception_type=None, exception_value=None, traceback=None)\n--\n\n"
               "Stop the store; never suppresses the exception. Left by an exception, the default\n"
               "stop action exits with status 1 (a SystemExit: its code).");
    def_method(store, "__del__", &finalise_store, "__del__($self)\n--\n\n");

    py::object json_store = make_class(
        m, "KafkaJsonCompaction", py::make_tuple(store),
        "KafkaJsonCompaction(admin_configs, collection_names, db_name='quarnel.configs', on_consumer_kill=...)\n--\n\n"
        "A KafkaCompaction with text keys and JSON values; missing data reads as None or [].");
    bind->KafkaJsonCompaction = json_store;
    def_method(json_store, "get_collections", &get_collections,
               "get_collections($self)\n--\n\nThe collection names, in construction order.");
    def_method(json_store, "set_collection_value", &json_set_collection_value, py::arg("name"), py::arg("key"),
               py::arg("value"),
               "set_collection_value($self, name, key, value)\n--\n\n"
               "Publish value as JSON under the text key; None deletes the key.");
    def_method(json_store, "add_collection_listener", &json_add_collection_listener, py::arg("collection_name"),
               py::arg("listener"),
               "add_collection_listener($self, collection_name, listener)\n--\n\n"
               "Call listener(key, value) on the consumer thread for each new record of the collection,\n"
               "with the text key and the decoded value (None for a deletion).");
    def_method(json_store, "delete_collection_value", &delete_collection_value, py::arg("name"), py::arg("key"),
               "delete_collection_value($self, name, key)\n--\n\nPublish the deletion of key.");
    def_method(json_store, "get_collection_value", &get_collection_value, py::arg("name"), py::arg("key"),
               "get_collection_value($self, name, key)\n--\n\n"
               "The value stored under key, freshly decoded, or None.");
    def_method(json_store, "get_collection_keys", &get_collection_keys, py::arg("name"),
               "get_collection_keys($self, name)\n--\n\nThe keys of the collection as text, in first-insertion order.");
}
