// The host's names and objects the store uses, bound once when the module is
// loaded and kept for the life of the process, and the Kafka client's errors
// as the store tells them apart.
//
// PRECONDITION for everything here: the GIL is held.
#pragma once

#include "host.hpp"

#include <chrono>
#include <string>

namespace quarnel {
namespace {

namespace py = pybind11;
using namespace pybind11::literals;

// Attribute and method names, interned so that lookups compare by identity.
struct Names {
    // A store's attributes that callers may read or set.
    py::str admin = intern("admin"), db_name = intern("db_name"), on_consumer_kill = intern("on_consumer_kill"),
            consumer = intern("consumer"), producer = intern("producer"), locks = intern("locks"),
            collection_callbacks = intern("collection_callbacks"),
            collection_listeners = intern("collection_listeners"), topics = intern("_topics"),
            consumer_num_messages = intern("consumer_num_messages"),
            consumer_timeout_s = intern("consumer_timeout_s"), cons_running = intern("cons_running"),
            inited = intern("_inited"), cons_thr = intern("cons_thr"), publish_pause_s = intern("publish_pause_s"),
            read_your_writes = intern("read_your_writes"), owns_process = intern("owns_process"),
            logger = intern("logger"), close_flush_s = intern("close_flush_s"), core = intern("_core"),
            write_timeout_s = intern("write_timeout_s"), wait_for_replay = intern("wait_for_replay");
    // Methods of the host, the client and the store.
    py::str acquire = intern("acquire"), release = intern("release"), locked = intern("locked"),
            consume = intern("consume"), close = intern("close"), produce = intern("produce"),
            flush = intern("flush"), poll = intern("poll"), error = intern("error"), code = intern("code"),
            name = intern("name"), str = intern("str"), topic = intern("topic"), partition = intern("partition"),
            offset = intern("offset"), key = intern("key"), value = intern("value"),
            timestamp = intern("timestamp"), encode = intern("encode"), set = intern("set"), wait = intern("wait"),
            start = intern("start"), join = intern("join"), is_alive = intern("is_alive"), add = intern("add"),
            list_topics = intern("list_topics"), get_watermark_offsets = intern("get_watermark_offsets"),
            assign = intern("assign"), describe_topics = intern("describe_topics"), result = intern("result"),
            done = intern("done"), exception = intern("exception"), items = intern("items"), keys = intern("keys"),
            set_collection_value = intern("set_collection_value"),
            add_collection_listener = intern("add_collection_listener"),
            create_compacted_topic = intern("create_compacted_topic"), call_soon_threadsafe =
                                                                           intern("call_soon_threadsafe"),
            call_later = intern("call_later"), create_future = intern("create_future"),
            set_result = intern("set_result"), set_exception = intern("set_exception"), cancel = intern("cancel"),
            is_closed = intern("is_closed");
};

// Keyword names of the calls made through `call_with` and `call_method_with`.
struct Keywords {
    py::tuple timeout = keywords("timeout"), timeout_cached = keywords("timeout", "cached"),
              cached = keywords("cached"), request_timeout = keywords("request_timeout"),
              consume = keywords("num_messages", "timeout"), produce = keywords("value", "key", "on_delivery"),
              thread = keywords("target", "daemon", "name");
};

struct Host {
    Names n;
    Keywords kw;
    // The Kafka client.
    py::object Consumer, Producer, TopicPartition, TopicCollection, KafkaException, KafkaError, Admin, READ, OffsetSpec,
        IsolationLevel;
    py::object INVALID_ARG, PARTITION_EOF, AUTHENTICATION, SSL, TOPIC_AUTHORIZATION_FAILED, AUTO_OFFSET_RESET,
        LOG_TRUNCATION, GROUP_AUTHORIZATION_FAILED, UNKNOWN_TOPIC_OR_PART, UNKNOWN_TOPIC, UNKNOWN_PARTITION, FATAL,
        MSG_TIMED_OUT, PURGE_QUEUE, PURGE_INFLIGHT;
    // Threads, signals, the process.
    py::object sleep, Lock, RLock, Event, Thread, get_ident, main_thread, signal, getsignal, raise_signal, sigterm,
        sigint, sig_dfl, sig_ign, os_exit, uuid4, register_shutdown, wait_futures, sys;
    // Values.
    py::object encode_json, loads, scan_once, dict_type, super, sorted, zip, map, print_exception, SimpleNamespace,
        get_running_loop, WeakSet;
    // Every store this process opened, and those that do not own it (closed
    // when the interpreter shuts down).
    py::object open_stores, unowned;
    // Set once the module's types and classes exist.
    py::object KafkaJsonCompaction, exit_process, DeliveryReport, StoreCoreType;
    // The collection locks' own methods: every read takes a lock.
    DirectMethod acquire{n.acquire}, release{n.release};
};
Host *host = nullptr;

Host load_host() {
    py::object time = import_host("time"), threading = import_host("threading"),
               kafka = import_host("confluent_kafka"), signal = import_host("signal"), json = import_host("json"),
               os = import_host("os");
    py::module_ builtins = py::module_::import("builtins");
    Host h;
    h.Consumer = kafka.attr("Consumer");
    h.Producer = kafka.attr("Producer");
    h.TopicPartition = kafka.attr("TopicPartition");
    h.TopicCollection = kafka.attr("TopicCollection");
    h.KafkaException = kafka.attr("KafkaException");
    h.KafkaError = kafka.attr("KafkaError");
    h.Admin = import_from("dorrow", "Admin");
    h.READ = import_host("confluent_kafka.admin").attr("AclOperation").attr("READ");
    h.OffsetSpec = import_host("confluent_kafka.admin").attr("OffsetSpec");
    h.IsolationLevel = py::getattr(kafka, "IsolationLevel", py::none());
    py::object e = h.KafkaError;
    h.INVALID_ARG = e.attr("_INVALID_ARG");
    h.PARTITION_EOF = e.attr("_PARTITION_EOF");
    h.AUTHENTICATION = e.attr("_AUTHENTICATION");
    h.SSL = e.attr("_SSL");
    h.TOPIC_AUTHORIZATION_FAILED = e.attr("TOPIC_AUTHORIZATION_FAILED");
    h.AUTO_OFFSET_RESET = e.attr("_AUTO_OFFSET_RESET");
    h.LOG_TRUNCATION = e.attr("_LOG_TRUNCATION");
    h.GROUP_AUTHORIZATION_FAILED = e.attr("GROUP_AUTHORIZATION_FAILED");
    h.UNKNOWN_TOPIC_OR_PART = e.attr("UNKNOWN_TOPIC_OR_PART");
    h.UNKNOWN_TOPIC = e.attr("_UNKNOWN_TOPIC");
    h.UNKNOWN_PARTITION = e.attr("_UNKNOWN_PARTITION");
    h.FATAL = e.attr("_FATAL");
    h.MSG_TIMED_OUT = e.attr("_MSG_TIMED_OUT");
    h.PURGE_QUEUE = e.attr("_PURGE_QUEUE");
    h.PURGE_INFLIGHT = e.attr("_PURGE_INFLIGHT");
    h.sleep = time.attr("sleep");
    h.Lock = threading.attr("Lock");
    h.RLock = threading.attr("RLock");
    h.Event = threading.attr("Event");
    h.Thread = threading.attr("Thread");
    h.get_ident = threading.attr("get_ident");
    h.main_thread = threading.attr("main_thread");
    h.signal = signal.attr("signal");
    h.getsignal = signal.attr("getsignal");
    h.raise_signal = signal.attr("raise_signal");
    h.sigterm = signal.attr("SIGTERM");
    h.sigint = signal.attr("SIGINT");
    h.sig_dfl = signal.attr("SIG_DFL");
    h.sig_ign = signal.attr("SIG_IGN");
    h.os_exit = os.attr("_exit");
    h.uuid4 = import_host("uuid").attr("uuid4");
    // Runs before non-daemon threads are joined and before atexit.
    h.register_shutdown = py::getattr(threading, "_register_atexit", import_host("atexit").attr("register"));
    h.wait_futures = import_host("concurrent.futures").attr("wait");
    h.sys = py::module_::import("sys");
    // `json.dumps(value, default=str)`, which builds this encoder anew on every call.
    h.encode_json = json.attr("JSONEncoder")("default"_a = builtins.attr("str")).attr("encode");
    h.loads = json.attr("loads");
    // The scanner json.loads hands text to, with the same (default) settings.
    h.scan_once = json.attr("JSONDecoder")().attr("scan_once");
    h.dict_type = builtins.attr("dict");
    h.super = builtins.attr("super");
    h.sorted = builtins.attr("sorted");
    h.zip = builtins.attr("zip");
    h.map = builtins.attr("map");
    h.print_exception = py::module_::import("traceback").attr("print_exception");
    h.SimpleNamespace = import_host("types").attr("SimpleNamespace");
    h.get_running_loop = import_host("asyncio").attr("get_running_loop");
    h.WeakSet = import_host("weakref").attr("WeakSet");
    h.open_stores = h.WeakSet();
    h.unowned = h.WeakSet();
    return h;
}

// Seconds on a clock that never steps: waits and intervals are measured on it.
double monotonic_now() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// -------------------------------------------------------------- Kafka errors

[[noreturn]] void raise_exception_object(py::handle exc) {
    PyErr_SetObject(reinterpret_cast<PyObject *>(Py_TYPE(exc.ptr())), exc.ptr());
    throw py::error_already_set();
}

// A KafkaException carrying a KafkaError of `code` with `text`, as the client
// raises for a bad configuration.
[[noreturn]] void raise_kafka_error(py::handle code, const std::string &text) {
    raise_exception_object(host->KafkaException(host->KafkaError(code, text)));
}

// The KafkaError a KafkaException carries, or null.
py::object kafka_error_of(py::handle exc) {
    py::tuple args = exc.attr("args");
    if (args.empty() || !py::isinstance(args[0], host->KafkaError))
        return py::object();
    return args[0];
}

// The name of the client's error a KafkaException carries, or "".
std::string kafka_error_name(py::handle exc) {
    py::object error = kafka_error_of(exc);
    return error ? call_method(error, host->n.name).cast<std::string>() : std::string();
}

bool is_code(py::handle error, const py::object &code) { return call_method(error, host->n.code).equal(code); }

bool is_authorization_failure(py::handle exc) {
    std::string name = kafka_error_name(exc);
    return name.size() >= 21 && name.compare(name.size() - 21, 21, "AUTHORIZATION_FAILED") == 0;
}

// Whether a failed request found no usable broker rather than an answer.
bool is_transport_failure(py::handle exc) {
    std::string name = kafka_error_name(exc);
    return name == "_TRANSPORT" || name == "_TIMED_OUT" || name == "_ALL_BROKERS_DOWN";
}

}  // namespace
}  // namespace quarnel
