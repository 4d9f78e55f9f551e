// What the parts of the store share: the host names bound when the module is
// loaded, the topic of a collection, and the collections' locks.
//
// Every function here runs with the GIL held; the host's blocking calls
// (consume, flush, sleep, Lock.acquire) release it while they wait.
#pragma once

#include "host.hpp"

namespace quarnel {
namespace {

namespace py = pybind11;
using namespace pybind11::literals;

// Attribute and method names, interned so that lookups compare by identity.
struct Names {
    // store attributes
    py::str admin = intern("admin"), db_name = intern("db_name"), on_consumer_kill = intern("on_consumer_kill"),
            consumer = intern("consumer"), producer = intern("producer"), locks = intern("locks"),
            publish_locks = intern("_publish_locks"), written_offsets = intern("_written_offsets"),
            read_offsets = intern("_read_offsets"), unsettled_topics = intern("_unsettled_topics"),
            visibility_waiters = intern("_visibility_waiters"), collection_callbacks = intern("collection_callbacks"),
            collection_listeners = intern("collection_listeners"), topics = intern("_topics"),
            topic_names = intern("_topic_names"), consumer_num_messages = intern("consumer_num_messages"),
            consumer_timeout_s = intern("consumer_timeout_s"), cons_running = intern("cons_running"),
            inited = intern("_inited"), replayed = intern("_replayed"), cons_thr = intern("cons_thr"),
            publish_pause_s = intern("publish_pause_s"), read_your_writes = intern("read_your_writes"),
            exit_status = intern("_exit_status"), stop_error = intern("_stop_error"),
            log_generations = intern("_log_generations"), rebuilding = intern("_rebuilding"),
            missing_topics = intern("_missing_topics"),
            recheck_logs = intern("_recheck_logs"), fork_count = intern("_fork_count"),
            replaced_signals = intern("_replaced_signals"), consumer_config = intern("_consumer_config");
    // the store as a service: process ownership, logging, status
    py::str owns_process = intern("owns_process"), owns = intern("_owns_process"), logger = intern("logger"),
            pid = intern("_pid"), replay_seconds = intern("_replay_seconds"),
            partition_marks = intern("_partition_marks"), poll_clients = intern("_poll_clients"),
            close_flush_s = intern("close_flush_s"), delivered = intern("_delivered_at_close");
    // methods of the host and the client
    py::str acquire = intern("acquire"), release = intern("release"), consume = intern("consume"),
            close = intern("close"), produce = intern("produce"), flush = intern("flush"), poll = intern("poll"),
            error = intern("error"), code = intern("code"), topic = intern("topic"), partition = intern("partition"),
            offset = intern("offset"), key = intern("key"), value = intern("value"), timestamp = intern("timestamp"),
            encode = intern("encode"),
            decode = intern("decode"), set = intern("set"), is_alive = intern("is_alive"), ident = intern("ident"),
            num_messages = intern("num_messages"), timeout = intern("timeout"),
            set_collection_value = intern("set_collection_value"),
            add_collection_listener = intern("add_collection_listener");
};

// Host objects bound when the module is loaded, kept for the life of the process.
struct Bindings {
    Names n;
    py::object os_exit, uuid4, Consumer, Producer, TopicPartition, TopicCollection, OFFSET_BEGINNING, KafkaException,
        KafkaError, INVALID_ARG, PARTITION_EOF, AUTHENTICATION, SSL, TOPIC_AUTHORIZATION_FAILED, AUTO_OFFSET_RESET,
        LOG_TRUNCATION, GROUP_AUTHORIZATION_FAILED, UNKNOWN_TOPIC_OR_PART, UNKNOWN_TOPIC, UNKNOWN_PARTITION;
    py::object time, sleep, Lock, Event, Thread, get_ident, main_thread, signal, getsignal, SIGTERM, SIGINT, Admin;
    py::object open_stores;  // a WeakSet of the stores this process opened
    py::object encode_json, loads, scan_once, dict_type, super, print_exception;
    py::object monotonic, getpid, register_shutdown, SimpleNamespace;
    // Stores that do not own their process, closed when the interpreter shuts down.
    py::object unowned;
    // Set once the classes exist.
    py::object KafkaJsonCompaction, exit_process, DeliveryReport;
    py::tuple produce_kwnames = py::make_tuple(n.value, n.key, intern("on_delivery"));
    // The collection locks' own methods: every read takes a lock.
    DirectMethod acquire{n.acquire}, release{n.release};
};
Bindings *bind = nullptr;

[[noreturn]] void raise_exception_object(py::handle exc) {
    PyErr_SetObject(reinterpret_cast<PyObject *>(Py_TYPE(exc.ptr())), exc.ptr());
    throw py::error_already_set();
}

// A KafkaException carrying a KafkaError of `code` with `text`, as the client
// raises for a bad configuration.
[[noreturn]] void raise_kafka_error(py::handle code, const std::string &text) {
    raise_exception_object(bind->KafkaException(bind->KafkaError(code, text)));
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

// The host's truth of a value (`bool(v)`), which may raise.
bool truthy(py::handle v) {
    int truth = PyObject_IsTrue(v.ptr());
    if (truth < 0)
        throw py::error_already_set();
    return truth == 1;
}

bool is_empty_bytes(py::handle value) { return PyBytes_Check(value.ptr()) && PyBytes_GET_SIZE(value.ptr()) == 0; }

// `str(db_name) + "." + str(name)`: the topic of a collection.
py::str topic_name(py::handle db_name, py::handle name) {
    PyObject *topic = PyUnicode_FromFormat("%S.%S", db_name.ptr(), name.ptr());
    if (!topic)
        throw py::error_already_set();
    return py::reinterpret_steal<py::str>(topic);
}

// A store's state is plain instance attributes. The read path takes them
// from the instance dictionary itself; anything else (a class attribute such
// as publish_pause_s) is looked up the ordinary way.
class Attributes {
  public:
    explicit Attributes(py::handle self)
        : self_(self), dict_(py::reinterpret_steal<py::object>(PyObject_GenericGetDict(self.ptr(), nullptr))) {
        if (!dict_)
            throw py::error_already_set();
    }

    py::object operator[](const py::str &name) const {
        if (PyObject *value = find(dict_, name))
            return py::reinterpret_borrow<py::object>(value);
        return py::getattr(self_, name);
    }

  private:
    py::handle self_;
    py::object dict_;
};

// The topic of a collection, from the table construction filled while the
// names are text and `db_name` is still the one it used; formatted otherwise.
py::str topic_of(const Attributes &state, py::handle name) {
    const Names &n = bind->n;
    py::object db_name = state[n.db_name];
    if (PyUnicode_CheckExact(name.ptr()) && PyUnicode_CheckExact(db_name.ptr())) {
        py::object table = state[n.topic_names];
        if (PyObject *names = find(table, db_name))
            if (PyObject *topic = find(names, name))
                return py::reinterpret_borrow<py::str>(topic);
    }
    return topic_name(db_name, name);
}

py::str topic_of(py::handle self, py::handle name) { return topic_of(Attributes(self), name); }

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
    explicit Held(py::object lock) : lock_(std::move(lock)) { bind->acquire(lock_.ptr()); }
    ~Held() {
        // An exception may be in flight; its host error is already fetched,
        // so calling into the host here is safe.
        try {
            bind->release(lock_.ptr());
        } catch (py::error_already_set &e) {
            e.discard_as_unraisable(lock_);
        }
    }
    Held(const Held &) = delete;
    Held &operator=(const Held &) = delete;

  private:
    py::object lock_;
};

// How many times this process is a child forked from the one before:
// counted by the C library's fork handler, so a process that never forked
// checks one integer.
unsigned forks_seen = 0;

// A store serves only the process that opened it: the client's threads do
// not survive a fork, so a copy would never change again and a write would
// never be delivered.
void require_own_process(const Attributes &state) {
    if (!forks_seen)
        return;
    py::object opened_after = state[bind->n.fork_count];
    if (opened_after.cast<unsigned>() == forks_seen)
        return;
    PyErr_SetString(PyExc_RuntimeError,
                    "this store was opened before the process forked, and a store serves only the process that "
                    "opened it: open it in each process after the fork (in the worker's start-up hook or the "
                    "application factory)");
    throw py::error_already_set();
}

bool forked_since_opened(py::handle self) {
    return forks_seen && py::getattr(self, bind->n.fork_count).cast<unsigned>() != forks_seen;
}

// Levels of the store's lines, numbered as the logging module numbers them.
constexpr int kInfo = 20, kWarning = 30, kError = 40;

// One line of the store: printed, as it always was (a failure to standard
// error), or logged at `level` when the class names a logger. A tuple is
// printed as the tuple and logged as its items joined by spaces.
void say(py::handle self, int level, py::handle message) {
    py::object logger = py::getattr(self, bind->n.logger, py::none());
    if (logger.is_none()) {
        if (level >= kWarning)
            py::print(message, "file"_a = py::module_::import("sys").attr("stderr"));
        else
            py::print(message);
        return;
    }
    log_line(logger, level, message);
}

// The store keeps the producer's fatal error for the writes that come after:
// the client refuses them with a bare "Fatal error" that does not say why.
bool kept_producer_failure(py::handle self, py::error_already_set &e) {
    if (!e.matches(bind->KafkaException))
        return false;
    py::tuple args = e.value().attr("args");
    if (args.empty() || !py::isinstance(args[0], bind->KafkaError) || !truthy(args[0].attr("fatal")()))
        return false;
    py::setattr(self, "_producer_failure", args[0]);
    return true;
}

// The producer's fatal error (an idempotent producer refused its producer id,
// as a principal without Write anywhere is) is raised once, by whichever call
// serves it; the producer then delivers nothing more and refuses every write.
// Served by the store's own upkeep rather than by a writer, it is told and the
// store goes on: a store that only reads has lost nothing.
bool told_producer_failure(py::handle self, py::error_already_set &e) {
    if (!kept_producer_failure(self, e))
        return false;
    say(self, kWarning, py::str("KafkaCompaction's producer failed, and every write will be refused: {}")
                            .format(py::tuple(e.value().attr("args"))[0].attr("str")()));
    return true;
}

// A refusal for the producer's fatal error is raised as that error.
void raise_kept_producer_failure(py::handle self, py::error_already_set &refusal) {
    if (!refusal.matches(bind->KafkaException))
        return;
    py::object failure = py::getattr(self, "_producer_failure", py::none());
    py::tuple args = refusal.value().attr("args");
    if (failure.is_none() || args.empty() || !py::isinstance(args[0], bind->KafkaError) ||
        !args[0].attr("code")().equal(bind->KafkaError.attr("_FATAL")))
        return;
    py::object raised = bind->KafkaException(failure);
    PyException_SetContext(raised.ptr(), refusal.value().inc_ref().ptr());
    raise_exception_object(raised);
}

void require_callable(py::handle f, const char *what) {
    if (!PyCallable_Check(f.ptr()))
        throw py::type_error(std::string(what) + " must be callable, not " + Py_TYPE(f.ptr())->tp_name);
}

}  // namespace
}  // namespace quarnel
