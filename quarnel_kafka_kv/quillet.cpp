// The store: named collections mirrored in memory from log-compacted topics.
//
// Every function here runs with the GIL held; the host's blocking calls
// (consume, flush, sleep, Lock.acquire, Event.wait) release it while they wait.
#include "quillet_consume.hpp"
#include "quillet_json.hpp"
#include "quillet_publish.hpp"
#include "quillet_store.hpp"

#include <climits>

#include <pthread.h>

namespace quarnel {
namespace {

constexpr const char *kEmptyCollections = "At least one collection must be set in \"collection_names\"";

// ----------------------------------------------------------------- construction

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
    std::string name = kafka_error_name(exc);
    return name == "_TRANSPORT" || name == "_TIMED_OUT" || name == "_ALL_BROKERS_DOWN";
}

// How long construction waits for a first answer from the cluster.
constexpr double kFirstAnswerTimeout = 10.0;

void serve_error_callback(py::object consumer) {
    try {
        call_method(consumer, bind->n.poll, py::int_(0));
    } catch (py::error_already_set &callers) {
        // The caller's own error callback failed; the store's failure still comes first.
        callers.discard_as_unraisable(consumer);
    }
}

// A refused login or TLS handshake is known within milliseconds, but the
// Admin's first request would only fail when its 10-s metadata time-out is
// over. Short requests of the consumer, whose error callback is served after
// each, end the wait as soon as the refusal is heard.
void await_first_answer(py::object consumer, py::handle topic, py::list &refusal) {
    double deadline = bind->time().cast<double>() + kFirstAnswerTimeout;
    for (;;) {
        try {
            consumer.attr("list_topics")(topic, "timeout"_a = 0.5);
            return;
        } catch (py::error_already_set &e) {
            if (!e.matches(bind->KafkaException) || !is_transport_failure(e.value()) ||
                bind->time().cast<double>() >= deadline)
                throw;
            serve_error_callback(consumer);
            if (!refusal[0].is_none())
                throw;
        }
    }
}

void create_compacted_topic(py::handle self, py::handle topic);

// The settings create_compacted_topic gives every collection topic.
py::dict compacted_topic_settings() {
    py::dict settings;
    settings["cleanup.policy"] = "compact";
    settings["delete.retention.ms"] = "100";
    settings["segment.ms"] = "100";
    settings["min.cleanable.dirty.ratio"] = "0.01";
    return settings;
}

// The class's own create_compacted_topic, for every topic at once: one
// request per step instead of one per topic and step, which grows a start
// with many collections to seconds. An override is called per topic.
void create_compacted_topics(py::handle self, py::dict &topics) {
    if (!is_own_method<create_compacted_topic>(self, "create_compacted_topic")) {
        for (auto topic : topics)
            self.attr("create_compacted_topic")(topic.first);
        return;
    }
    py::getattr(self, bind->n.admin)
        .attr("create_or_update_topics")(py::list(topics.attr("keys")()), 1, 3, compacted_topic_settings());
}

void create_collection_topics(py::handle self, py::dict &topics, py::list &refusal) {
    py::object consumer = py::getattr(self, bind->n.consumer);
    try {
        await_first_answer(consumer, (*topics.begin()).first, refusal);
        create_compacted_topics(self, topics);
    } catch (py::error_already_set &e) {
        if (!e.matches(bind->KafkaException) || !is_transport_failure(e.value()))
            throw;
        // Serves the consumer's error callback, which has seen the broker by now.
        serve_error_callback(consumer);
        if (refusal[0].is_none())
            throw;
        py::object refused = bind->KafkaException(refusal[0]);
        PyException_SetCause(refused.ptr(), e.value().inc_ref().ptr());
        raise_exception_object(refused);
    }
}

// A principal without Read on a topic learns it only from a fetch, which the
// replay of an empty topic never waits for: the store would come up live and
// its consumer thread fail moments later. The operations the cluster grants on
// each topic tell before anything starts; a broker or client that does not
// name them, or an answer that does not come, leaves it to the fetch.
void require_read_right(py::handle self, py::dict &topics) {
    py::object READ = import_host("confluent_kafka.admin").attr("AclOperation").attr("READ");
    py::dict answers;
    try {
        answers = py::getattr(self, bind->n.admin)
                      .attr("describe_topics")(bind->TopicCollection(py::list(topics.attr("keys")())),
                                               "include_authorized_operations"_a = true,
                                               "request_timeout"_a = kFirstAnswerTimeout);
    } catch (py::error_already_set &e) {
        if (!e.matches(bind->KafkaException) && !e.matches(PyExc_TypeError))
            throw;
        return;
    }
    for (auto answer : answers) {
        py::object granted;
        try {
            granted = answer.second.attr("result")().attr("authorized_operations");
        } catch (py::error_already_set &e) {
            if (!e.matches(bind->KafkaException))
                throw;
            continue;
        }
        if (granted.is_none() || !truthy(granted) || granted.contains(READ))
            continue;
        raise_kafka_error(bind->TOPIC_AUTHORIZATION_FAILED,
                          "Not authorized to read topic " + text_of(answer.first) +
                              ": the store's principal needs Read (with Describe and DescribeConfigs) on it");
    }
}

// The collection names, taken once. Mistakes that would otherwise surface
// later, or never, are refused before anything is built.
py::list collection_list(py::handle collection_names) {
    int given = PyObject_IsTrue(collection_names.ptr());
    if (given < 0)
        throw py::error_already_set();
    if (!given) {
        PyErr_SetString(PyExc_Exception, kEmptyCollections);
        throw py::error_already_set();
    }
    // A text would give one collection per character.
    if (PyUnicode_Check(collection_names.ptr()) || PyBytes_Check(collection_names.ptr()))
        throw py::type_error(std::string("collection_names must be an iterable of names, not ") +
                             Py_TYPE(collection_names.ptr())->tp_name);
    return py::list(py::reinterpret_borrow<py::object>(collection_names));
}

// Without brokers to start from, the client would only report a transport
// failure after its metadata time-out.
void require_bootstrap_servers(py::handle admin_configs) {
    if (!PyDict_Check(admin_configs.ptr()))
        return;  // the client says what is wrong with it
    py::dict configs = py::reinterpret_borrow<py::dict>(admin_configs);
    for (const char *property : {"bootstrap.servers", "metadata.broker.list"})
        if (configs.contains(property) && truthy(configs[property]))
            return;
    raise_kafka_error(bind->INVALID_ARG,
                      "\"bootstrap.servers\" is not set in admin_configs: name the Kafka brokers to connect to");
}

// Consumer properties that speed up the replay, unless the caller chose them.
void tune_consumer(py::dict &cons_conf) {
    // The client otherwise pauses a partition's fetching for a second each
    // time its local queue holds queued.min.messages records, which paces a
    // replay at about that many records per second.
    if (!cons_conf.contains("fetch.queue.backoff.ms"))
        cons_conf["fetch.queue.backoff.ms"] = 10;
    // What the client may fetch ahead of the thread, per partition (64 MiB
    // by default): during a replay that queue is held in memory next to the
    // copy being built, while the thread, not the network, sets the pace.
    // Two fetches' worth keeps it busy.
    if (!cons_conf.contains("queued.max.messages.kbytes"))
        cons_conf["queued.max.messages.kbytes"] = 2048;
}

bool on_main_thread() {
    return bind->get_ident().equal(py::getattr(bind->main_thread(), bind->n.ident));
}

// Waits, woken when the replay is over, looking every 0.1 s whether the
// consumer thread died first; a death raises what stopped it.
void wait_for_replay(py::handle self, py::handle replayed, py::handle thread) {
    const Names &n = bind->n;
    py::float_ step(0.1);
    while (!call_method(replayed, intern("wait"), step).cast<bool>()) {
        if (call_method(thread, n.is_alive).cast<bool>())
            continue;
        // The thread may have finished the replay just before it ended.
        if (py::getattr(self, n.inited).cast<bool>())
            return;
        py::object error = py::getattr(self, n.stop_error, py::none());
        if (!error.is_none())
            raise_exception_object(error);
        PyErr_SetString(PyExc_Exception, "KafkaCompaction was stopped before its initial replay was over");
        throw py::error_already_set();
    }
}

// Lines about a group coordinator: the store's consumer joins no group, so
// they say nothing about the store (a broker away is told by its own lines).
bool is_group_noise(py::handle facility, py::handle text) {
    std::string fac = text_of(facility);
    return fac.rfind("CGRP", 0) == 0 || fac.rfind("COORD", 0) == 0 ||
           text_of(text).find("GroupCoordinator") != std::string::npos;
}

// What the clients are given as their `logger`: the store's logger, without
// the group coordinator's lines. The client calls log(level, format, *args).
py::object client_logger(py::object logger) {
    py::object log = py::cpp_function([logger](py::args args) {
        if (py::len(args) == 5 && is_group_noise(args[2], args[4]))
            return;
        logger.attr("log")(*args);
    });
    return bind->SimpleNamespace("log"_a = log);
}

// The clients' configuration: with the class's logger, unless the caller
// named a logger of their own, which wins.
py::object client_configs(py::handle self, py::handle admin_configs) {
    py::object logger = py::getattr(self, bind->n.logger, py::none());
    if (logger.is_none() || !PyDict_Check(admin_configs.ptr()) ||
        py::reinterpret_borrow<py::dict>(admin_configs).contains("logger"))
        return py::reinterpret_borrow<py::object>(admin_configs);
    py::dict configs = bind->dict_type(admin_configs);
    configs["logger"] = client_logger(logger);
    return std::move(configs);
}

// Properties that only the other kind of client takes: each client would say
// that it ignores them on every store opened and every log read again.
constexpr const char *kProducerOnly[] = {
    "transactional.id", "transaction.timeout.ms", "enable.idempotence", "enable.gapless.guarantee",
    "queue.buffering.max.messages", "queue.buffering.max.kbytes", "queue.buffering.max.ms", "linger.ms",
    "message.send.max.retries", "retries", "queue.buffering.backpressure.threshold", "compression.codec",
    "compression.type", "compression.level", "batch.num.messages", "batch.size", "delivery.report.only.error",
    "sticky.partitioning.linger.ms", "request.required.acks", "acks", "request.timeout.ms", "message.timeout.ms",
    "delivery.timeout.ms", "partitioner", "on_delivery"};
constexpr const char *kConsumerOnly[] = {
    "group.id", "group.instance.id", "partition.assignment.strategy", "session.timeout.ms",
    "heartbeat.interval.ms", "group.protocol.type", "group.protocol", "group.remote.assignor",
    "coordinator.query.interval.ms", "max.poll.interval.ms", "enable.auto.commit", "auto.commit.interval.ms",
    "enable.auto.offset.store", "queued.min.messages", "queued.max.messages.kbytes", "fetch.wait.max.ms",
    "fetch.queue.backoff.ms", "fetch.message.max.bytes", "max.partition.fetch.bytes", "fetch.max.bytes",
    "fetch.min.bytes", "fetch.error.backoff.ms", "isolation.level", "enable.partition.eof", "check.crcs",
    "auto.offset.reset", "on_commit"};

template <std::size_t N>
py::object without(py::handle configs, const char *const (&names)[N]) {
    if (!PyDict_Check(configs.ptr()))
        return py::reinterpret_borrow<py::object>(configs);
    py::dict kept = bind->dict_type(configs);
    for (const char *name : names)
        if (PyDict_DelItemString(kept.ptr(), name) < 0)
            PyErr_Clear();  // absent
    return std::move(kept);
}

bool has_logger(py::handle configs) {
    return PyDict_Check(configs.ptr()) && py::reinterpret_borrow<py::dict>(configs).contains("logger");
}

void close_at_shutdown();

// A store that does not own its process is closed when the interpreter shuts
// down, before atexit handlers run and before non-daemon threads are joined.
void close_when_interpreter_ends(py::handle self) {
    static bool registered = false;
    if (!registered) {
        registered = true;
        py::object hook = py::cpp_function(&close_at_shutdown);
        try {
            bind->register_shutdown(hook);
        } catch (py::error_already_set &e) {
            // Opened while the interpreter shuts down: nothing runs later.
            if (!e.matches(PyExc_RuntimeError))
                throw;
        }
    }
    bind->unowned.attr("add")(self);
}

void init_store(py::handle self, py::handle admin_configs, py::handle collection_names, py::handle db_name,
                py::handle on_consumer_kill) {
    const Names &n = bind->n;
    py::object started = bind->monotonic();
    py::list names = collection_list(collection_names);
    require_bootstrap_servers(admin_configs);
    if (!on_consumer_kill.is_none())
        require_callable(on_consumer_kill, "on_consumer_kill");
    bool owns = truthy(py::getattr(self, n.owns_process));
    py::setattr(self, n.owns, py::bool_(owns));
    py::setattr(self, n.pid, bind->getpid());
    py::object configs = client_configs(self, admin_configs);
    py::object admin = bind->Admin(without(configs, kConsumerOnly));
    py::object logger = py::getattr(self, n.logger, py::none());
    if (!logger.is_none())
        py::setattr(admin, n.logger, logger);
    py::setattr(self, n.admin, admin);
    py::setattr(self, n.db_name, db_name);
    py::setattr(self, n.on_consumer_kill, on_consumer_kill);
    py::setattr(self, n.poll_clients, py::bool_(has_logger(configs)));
    py::setattr(self, n.partition_marks, py::dict());

    // A copy: the caller's dictionary, the producer and the Admin keep the caller's values.
    py::dict cons_conf = bind->dict_type(without(configs, kProducerOnly));
    cons_conf["session.timeout.ms"] = 6000;
    // Every partition is assigned from an offset the thread chose; a position
    // the log no longer has must come back as an error, not as a silent jump
    // into what may be another log.
    cons_conf["auto.offset.reset"] = "error";
    cons_conf["enable.auto.commit"] = false;
    cons_conf["group.id"] = py::str(bind->uuid4());
    // Partition ends tell the consumer thread that a replay caught up even
    // where records at the end of a partition are gone.
    cons_conf["enable.partition.eof"] = true;
    tune_consumer(cons_conf);
    py::list refusal;
    refusal.append(py::none());
    cons_conf["error_cb"] = refusal_recorder(refusal, cons_conf.attr("get")("error_cb"));
    py::setattr(self, n.consumer, bind->Consumer(cons_conf));
    // Kept for the consumer thread, which starts a new client for a log that started over.
    py::setattr(self, n.consumer_config, cons_conf);
    py::dict producer_conf = producer_config(without(configs, kConsumerOnly));
    py::setattr(self, n.producer, bind->Producer(producer_conf));
    init_write_state(self, callers_linger(configs));
    py::setattr(self, n.locks, py::dict());
    py::setattr(self, n.publish_locks, py::dict());
    // Per topic and partition: the offset of this store's last delivered
    // write, and of the last record the consumer thread applied. Topics with
    // a write whose fate is unknown stay unsettled until a later write of the
    // store is delivered with its offset.
    py::setattr(self, n.written_offsets, py::dict());
    py::setattr(self, n.read_offsets, py::dict());
    py::setattr(self, n.unsettled_topics, py::set());
    // Writers waiting until the consumer thread applied their record: (topic, partition, offset, lock).
    py::setattr(self, n.visibility_waiters, py::list());
    // Per topic: copies of the collection swapped in after its log started
    // over, the topics whose log is being replayed again, and a writer's
    // request to look at the topics at once.
    py::setattr(self, n.log_generations, py::dict());
    py::setattr(self, n.rebuilding, py::set());
    py::setattr(self, n.missing_topics, py::set());
    py::setattr(self, n.recheck_logs, py::bool_(false));
    py::setattr(self, n.collection_callbacks, py::dict());
    py::setattr(self, n.collection_listeners, py::dict());

    py::dict topics, topic_names;
    for (auto name : names) {
        py::str topic = topic_name(db_name, name);
        topics[topic] = py::dict();
        topic_names[py::str(name)] = topic;
    }
    py::setattr(self, n.topics, topics);
    py::dict by_db_name;
    if (PyUnicode_CheckExact(db_name.ptr()))
        by_db_name[db_name] = topic_names;
    py::setattr(self, n.topic_names, by_db_name);
    create_collection_topics(self, topics, refusal);
    require_read_right(self, topics);

    py::setattr(self, n.consumer_num_messages, py::int_(1));
    py::setattr(self, n.consumer_timeout_s, py::float_(0.1));
    py::setattr(self, n.cons_running, py::bool_(true));
    // Python lets only the main thread handle signals; a store built on
    // another thread is stopped by close() or by leaving its with block.
    py::setattr(self, n.fork_count, py::int_(forks_seen));
    py::list replaced;
    py::setattr(self, n.replaced_signals, replaced);
    if (owns && on_main_thread()) {
        py::object close = self.attr("close");
        for (py::handle sig : {bind->SIGTERM, bind->SIGINT})
            replaced.append(py::make_tuple(sig, bind->signal(sig, close)));
    }
    try {
        py::setattr(self, n.inited, py::bool_(false));
        py::object replayed = bind->Event();
        py::setattr(self, n.replayed, replayed);
        // A store that does not own its process must not keep it alive.
        py::object thread = bind->Thread("target"_a = self.attr("start_consumer"), "daemon"_a = !owns);
        py::setattr(self, n.cons_thr, thread);
        if (!owns)
            close_when_interpreter_ends(self);
        call_method(thread, intern("start"));
        bind->open_stores.attr("add")(self);
        wait_for_replay(self, replayed, thread);
        py::setattr(self, n.replay_seconds, bind->monotonic() - started);
    } catch (...) {
        // A store that never started hands the signals back: its handler
        // would only keep it alive and swallow Ctrl-C.
        for (auto item : replaced)
            bind->signal(*py::tuple(py::reinterpret_borrow<py::object>(item)));
        throw;
    }
}

void create_compacted_topic(py::handle self, py::handle topic) {
    py::getattr(self, bind->n.admin).attr("create_or_update_topic")(topic, 1, 3, compacted_topic_settings());
}

void add_collection_callback(py::handle self, py::handle collection_name, py::handle callback) {
    require_callable(callback, "callback");
    py::object callbacks = py::getattr(self, bind->n.collection_callbacks);
    callbacks[topic_of(self, collection_name)] = callback;
}

void add_collection_listener(py::handle self, py::handle collection_name, py::handle listener) {
    require_callable(listener, "listener");
    py::object listeners = py::getattr(self, bind->n.collection_listeners);
    listeners.attr("setdefault")(topic_of(self, collection_name), py::list()).attr("append")(listener);
}

// ---------------------------------------------------------------------- stop

void close_store(py::handle self, py::handle signal_number, py::handle) {
    // In a forked child the store is the parent's: nothing here to stop.
    if (forked_since_opened(self))
        return;
    // Called with a signal number, close runs as a signal handler, maybe
    // inside the interrupted thread's own producer call, where the client
    // takes no other call: the consumer thread's exit steps deliver then.
    // Otherwise before the stop is asked for, which may end the process.
    if (!PyLong_Check(signal_number.ptr())) {
        try {
            deliver_pending(self);
        } catch (py::error_already_set &) {
            // The stop is asked for all the same: a store left running would
            // hold its process at exit.
            py::setattr(self, bind->n.cons_running, py::bool_(false));
            throw;
        }
        py::setattr(self, bind->n.delivered, py::bool_(true));
    }
    py::setattr(self, bind->n.cons_running, py::bool_(false));
}

// Longest wait, at interpreter shutdown, for one store's consumer thread to end.
constexpr double kShutdownJoin = 10.0;

void close_at_shutdown() {
    const Names &n = bind->n;
    py::list stores(bind->unowned);
    for (auto store : stores) {
        try {
            call_method(store, n.close);
        } catch (py::error_already_set &e) {
            e.discard_as_unraisable(py::reinterpret_borrow<py::object>(store));
        }
    }
    py::object current = bind->get_ident();
    for (auto store : stores) {
        py::object thread = py::getattr(store, n.cons_thr, py::none());
        if (thread.is_none() || py::getattr(thread, n.ident).equal(current))
            continue;
        try {
            thread.attr("join")(kShutdownJoin);
        } catch (py::error_already_set &e) {
            e.discard_as_unraisable(py::reinterpret_borrow<py::object>(store));
        }
    }
}

// In a child just forked: the stores of the parent hand the signals back to
// the handlers they replaced, so the child stops as it would without them,
// and their clients are never destroyed there (the client's threads, which a
// destruction waits for, stayed in the parent).
void forget_parents_stores() {
    for (auto store : py::list(bind->open_stores)) {
        try {
            py::object close = store.attr("close");
            for (auto item : py::list(py::getattr(store, bind->n.replaced_signals))) {
                py::tuple replaced = py::reinterpret_borrow<py::tuple>(item);
                if (bind->getsignal(replaced[0]).equal(close))
                    bind->signal(replaced[0], replaced[1]);
            }
            for (py::handle client : {bind->n.consumer, bind->n.producer, bind->n.admin})
                py::getattr(store, client).inc_ref();  // never released, on purpose
        } catch (py::error_already_set &e) {
            e.discard_as_unraisable(py::reinterpret_borrow<py::object>(store));
        }
    }
}

// ---------------------------------------------------------------- status

py::object error_text(py::handle error) {
    if (error.is_none())
        return py::none();
    return py::str("{}: {}").format(py::type::handle_of(error).attr("__name__"), error);
}

py::dict store_status(py::handle self) {
    const Names &n = bind->n;
    py::object thread = py::getattr(self, n.cons_thr, py::none());
    // A forked child has no consumer thread: the parent's did not come along.
    bool here = py::getattr(self, n.pid, py::none()).equal(bind->getpid());
    bool alive = here && !thread.is_none() && call_method(thread, n.is_alive).cast<bool>();
    py::object error = py::getattr(self, n.stop_error, py::none());
    const char *state = !error.is_none()                                                    ? "failed"
                        : !alive || !truthy(py::getattr(self, n.cons_running, py::bool_(false))) ? "stopped"
                        : !truthy(py::getattr(self, n.inited, py::bool_(false)))              ? "replaying"
                                                                                               : "live";
    py::dict marks = py::getattr(self, n.partition_marks, py::dict());
    std::string prefix = text_of(py::getattr(self, n.db_name)) + ".";
    py::dict collections;
    for (auto item : py::dict(py::getattr(self, n.topics, py::dict()))) {
        std::string name = text_of(item.first);
        if (name.compare(0, prefix.size(), prefix) == 0)
            name.erase(0, prefix.size());
        py::list partitions;
        if (PyObject *found = find(marks, item.first)) {
            for (auto mark : py::reinterpret_borrow<py::dict>(found)) {
                py::tuple at = py::reinterpret_borrow<py::tuple>(mark.second);
                long long position = at[0].cast<long long>(), end = at[1].cast<long long>();
                py::dict partition;
                partition["partition"] = mark.first;
                partition["position"] = position;
                partition["end"] = end;
                partition["lag"] = std::max(0LL, end - position);
                partitions.append(partition);
            }
        }
        py::dict collection;
        collection["keys"] = py::len(item.second);
        collection["partitions"] = partitions;
        collection["topic_missing"] =
            py::bool_(py::getattr(self, n.missing_topics, py::set()).contains(item.first));
        collections[py::str(name)] = collection;
    }
    py::dict status;
    status["state"] = state;
    status["consumer_alive"] = alive;
    status["replay_seconds"] = py::getattr(self, n.replay_seconds, py::none());
    status["collections"] = collections;
    status["last_error"] = error_text(error);
    return status;
}

py::object enter_store(py::handle self) { return py::reinterpret_borrow<py::object>(self); }

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

void exit_store(py::handle self, py::handle exception_type, py::handle exception, py::handle) {
    // A block left by an exception must not end the process as a success.
    if (!exception_type.is_none())
        py::setattr(self, bind->n.exit_status, py::int_(exit_status_for(exception_type, exception)));
    call_method(self, bind->n.close);
}

void finalise_store(py::handle self) {
    try {
        call_method(self, bind->n.close);
    } catch (py::error_already_set &e) {
        e.discard_as_unraisable(py::reinterpret_borrow<py::object>(self));
    }
}

void exit_process() {
    // Flush first: a pipe would otherwise lose the last lines, the stop report among them.
    py::object sys = py::module_::import("sys");
    for (const char *stream : {"stdout", "stderr"}) {
        try {
            sys.attr(stream).attr("flush")();
        } catch (py::error_already_set &) {
        }
    }
    bind->os_exit(stop_status);
}

// The constructor's signature with its true default stop action, which a
// text signature cannot show.
py::object constructor_signature() {
    py::object inspect = py::module_::import("inspect");
    py::object parameter = inspect.attr("Parameter");
    py::object kind = parameter.attr("POSITIONAL_OR_KEYWORD");
    py::list params;
    params.append(parameter("admin_configs", kind));
    params.append(parameter("collection_names", kind));
    params.append(parameter("db_name", kind, "default"_a = "quarnel.configs"));
    params.append(parameter("on_consumer_kill", kind, "default"_a = bind->exit_process));
    return inspect.attr("Signature")(params);
}

// `__signature__` of the store classes: the constructor's, for as long as a
// class keeps the library's own constructor; nothing for a subclass with an
// `__init__` of its own, so that inspect reads that one.
struct SignatureSlot {
    PyObject_HEAD
    PyObject *signature;
};

PyObject *signature_slot_get(PyObject *slot, PyObject *, PyObject *owner) {
    return guarded([&]() -> PyObject * {
        py::object init = py::getattr(owner, "__init__", py::none());
        if (!Py_IS_TYPE(init.ptr(), &PyMethodDescr_Type))
            Py_RETURN_NONE;
        return py::reinterpret_borrow<py::object>(reinterpret_cast<SignatureSlot *>(slot)->signature).release().ptr();
    });
}

void signature_slot_dealloc(PyObject *slot) {
    PyTypeObject *type = Py_TYPE(slot);
    Py_XDECREF(reinterpret_cast<SignatureSlot *>(slot)->signature);
    type->tp_free(slot);
    Py_DECREF(type);
}

py::object signature_slot(py::handle module) {
    static PyType_Slot slots[] = {{Py_tp_descr_get, reinterpret_cast<void *>(signature_slot_get)},
                                  {Py_tp_dealloc, reinterpret_cast<void *>(signature_slot_dealloc)},
                                  {0, nullptr}};
    py::object type_object =
        native_type(module, "quarnel_kafka_kv.quillet.SignatureSlot", sizeof(SignatureSlot), 0, slots);
    auto *type = reinterpret_cast<PyTypeObject *>(type_object.ptr());
    auto *slot = reinterpret_cast<SignatureSlot *>(type->tp_alloc(type, 0));  // holds its type
    if (!slot)
        throw py::error_already_set();
    slot->signature = constructor_signature().release().ptr();
    return py::reinterpret_steal<py::object>(reinterpret_cast<PyObject *>(slot));
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
                    py::object signal = import_host("signal");
                    py::object json = import_host("json");
                    py::module_ builtins = py::module_::import("builtins");
                    Bindings b;
                    b.os_exit = import_host("os").attr("_exit");
                    b.uuid4 = import_host("uuid").attr("uuid4");
                    b.Consumer = kafka.attr("Consumer");
                    b.Producer = kafka.attr("Producer");
                    b.TopicPartition = kafka.attr("TopicPartition");
                    b.TopicCollection = kafka.attr("TopicCollection");
                    b.OFFSET_BEGINNING = kafka.attr("OFFSET_BEGINNING");
                    b.KafkaException = kafka.attr("KafkaException");
                    b.KafkaError = kafka.attr("KafkaError");
                    b.INVALID_ARG = b.KafkaError.attr("_INVALID_ARG");
                    b.PARTITION_EOF = b.KafkaError.attr("_PARTITION_EOF");
                    b.AUTHENTICATION = b.KafkaError.attr("_AUTHENTICATION");
                    b.SSL = b.KafkaError.attr("_SSL");
                    b.TOPIC_AUTHORIZATION_FAILED = b.KafkaError.attr("TOPIC_AUTHORIZATION_FAILED");
                    b.AUTO_OFFSET_RESET = b.KafkaError.attr("_AUTO_OFFSET_RESET");
                    b.LOG_TRUNCATION = b.KafkaError.attr("_LOG_TRUNCATION");
                    b.GROUP_AUTHORIZATION_FAILED = b.KafkaError.attr("GROUP_AUTHORIZATION_FAILED");
                    b.UNKNOWN_TOPIC_OR_PART = b.KafkaError.attr("UNKNOWN_TOPIC_OR_PART");
                    b.UNKNOWN_TOPIC = b.KafkaError.attr("_UNKNOWN_TOPIC");
                    b.UNKNOWN_PARTITION = b.KafkaError.attr("_UNKNOWN_PARTITION");
                    b.time = time_module.attr("time");
                    b.sleep = time_module.attr("sleep");
                    b.Lock = threading.attr("Lock");
                    b.Event = threading.attr("Event");
                    b.Thread = threading.attr("Thread");
                    b.get_ident = threading.attr("get_ident");
                    b.main_thread = threading.attr("main_thread");
                    b.signal = signal.attr("signal");
                    b.getsignal = signal.attr("getsignal");
                    b.SIGTERM = signal.attr("SIGTERM");
                    b.SIGINT = signal.attr("SIGINT");
                    b.Admin = import_from("dorrow", "Admin");
                    // `json.dumps(value, default=str)`, which builds this encoder anew on every call.
                    b.encode_json = json.attr("JSONEncoder")("default"_a = builtins.attr("str")).attr("encode");
                    b.loads = json.attr("loads");
                    // The scanner json.loads hands text to, with the same (default) settings.
                    b.scan_once = json.attr("JSONDecoder")().attr("scan_once");
                    b.dict_type = builtins.attr("dict");
                    b.super = builtins.attr("super");
                    b.print_exception = py::module_::import("traceback").attr("print_exception");
                    b.monotonic = time_module.attr("monotonic");
                    b.getpid = import_host("os").attr("getpid");
                    // Runs before non-daemon threads are joined and before atexit.
                    b.register_shutdown = py::getattr(threading, "_register_atexit",
                                                      import_host("atexit").attr("register"));
                    b.SimpleNamespace = import_host("types").attr("SimpleNamespace");
                    b.unowned = import_host("weakref").attr("WeakSet")();
                    return b;
                })
                .get_stored();
    // Built now, under the import lock: built on a first write instead, its
    // imports would let a second writer in to wait for it holding the GIL.
    wn();

    py::object store = make_class(
        m, "KafkaCompaction", py::make_tuple(py::module_::import("builtins").attr("object")),
        "Named collections of bytes keys and values, each kept in one log-compacted Kafka topic.\n\n"
        "Construction creates or corrects the topics, replays them into memory and returns once\n"
        "every partition has been read to its end; a background thread then applies every new\n"
        "record. Writes are published and become visible when the thread reads them back.");
    bind->exit_process = plain_function<exit_process>(
        "exit_process",
        "Ends the process at once: status 0 after a requested stop, 1 after a failure of the consumer\n"
        "thread or a with block left by an exception.",
        m);
    store.attr("__signature__") = signature_slot(m);
    bind->open_stores = import_host("weakref").attr("WeakSet")();
    pthread_atfork(nullptr, nullptr, [] { ++forks_seen; });
    import_host("os").attr("register_at_fork")(
        "after_in_child"_a = plain_function<forget_parents_stores>(
            "forget_parents_stores", "Hands a forked child's signals back from the stores of its parent.", m));
    bind->DeliveryReport = delivery_type(m);
    store.attr("publish_pause_s") = 1.0;
    store.attr("read_your_writes") = false;
    store.attr("owns_process") = true;
    store.attr("logger") = py::none();
    store.attr("close_flush_s") = 5.0;
    define_methods(store, {
        method<init_store>("__init__",
                           {"admin_configs", "collection_names", {"db_name", py::str("quarnel.configs")},
                            {"on_consumer_kill", bind->exit_process}},
                           "Start a store: admin_configs are Kafka client properties, collection_names the\n"
                           "collections to follow (topic: db_name + '.' + name), on_consumer_kill what runs when\n"
                           "the consumer thread stops (default: end the process; None: nothing)."),
        method<create_compacted_topic>("create_compacted_topic", {"topic"},
                                       "create_compacted_topic($self, topic)\n--\n\n"
                                       "Create or correct a topic: 1 partition, replication factor 3, compacted."),
        method<add_collection_callback>(
            "add_collection_callback", {"collection_name", "callback"},
            "add_collection_callback($self, collection_name, callback)\n--\n\n"
            "Call callback() on the consumer thread after each new record of the collection."),
        method<add_collection_listener>(
            "add_collection_listener", {"collection_name", "listener"},
            "add_collection_listener($self, collection_name, listener)\n--\n\n"
            "Call listener(key, value) on the consumer thread for each new record of the collection;\n"
            "value is None for a deletion. Records replayed at start-up are not told."),
        method<start_consumer>("start_consumer", {{"init_timeout", py::float_(10.0)}},
                               "start_consumer($self, init_timeout=10.0)\n--\n\n"
                               "Body of the consumer thread; construction starts it. The replay ends once every\n"
                               "partition has been read to its end offset; init_timeout bounds nothing any more."),
        method<set_collection_value>(
            "set_collection_value", {"name", "key", "value"},
            "set_collection_value($self, name, key, value)\n--\n\n"
            "Publish value under key unless the local copy already holds it; empty bytes delete.\n"
            "Raises KafkaException when the record was not delivered. Then pauses publish_pause_s, or\n"
            "with read_your_writes waits until the write is visible here (publish_pause_s at most)."),
        method<set_collection_values>(
            "set_collection_values", {"name", "mapping"},
            "set_collection_values($self, name, mapping)\n--\n\n"
            "Publish every (key, value) of mapping (a mapping or an iterable of pairs) in order, each\n"
            "as set_collection_value would, and wait once for all of them. Records that failed raise\n"
            "KafkaException afterwards, its not_written attribute listing their keys; the others stay."),
        method<aset_collection_value>(
            "aset_collection_value", {"name", "key", "value"},
            "aset_collection_value($self, name, key, value)\n--\n\n"
            "Awaitable set_collection_value: the record is produced at once; awaiting waits for its\n"
            "delivery and visibility (or the pause) without blocking the running event loop."),
        method<aset_collection_values>("aset_collection_values", {"name", "mapping"},
                                       "aset_collection_values($self, name, mapping)\n--\n\n"
                                       "Awaitable set_collection_values."),
        method<close_store>("close", {{"arg1", py::none()}, {"arg2", py::none()}},
                            "close($self, arg1=None, arg2=None)\n--\n\n"
                            "Give queued writes close_flush_s to be delivered, then ask the consumer thread to\n"
                            "stop (also the SIGTERM/SIGINT handler, whose stop delivers in the exit steps).\n"
                            "Records left undelivered are reported on stderr; the default stop action exits 1."),
        method<store_status>("status", {},
                             "status($self)\n--\n\n"
                             "The store's health as a plain dict: state ('replaying', 'live', 'stopped',\n"
                             "'failed'), consumer_alive, replay_seconds, collections (keys and, per partition,\n"
                             "position, end and lag) and last_error. Cheap: no request is made."),
        method<enter_store>("__enter__", {}, "__enter__($self)\n--\n\n"),
        method<exit_store>("__exit__",
                           {{"exception_type", py::none()}, {"exception_value", py::none()}, {"traceback", py::none()}},
                           "__exit__($self, exception_type=None, exception_value=None, traceback=None)\n--\n\n"
                           "Stop the store; never suppresses the exception. Left by an exception, the default\n"
                           "stop action exits with status 1 (a SystemExit: its code)."),
        method<finalise_store>("__del__", {}, "__del__($self)\n--\n\n"),
    });

    py::object json_store =
        make_class(m, "KafkaJsonCompaction", py::make_tuple(store),
                   "A KafkaCompaction with text keys and JSON values; missing data reads as None or [].");
    bind->KafkaJsonCompaction = json_store;
    define_methods(json_store, {
        method<get_collections>("get_collections", {},
                                "get_collections($self)\n--\n\nThe collection names, in construction order."),
        method<json_set_collection_value>("set_collection_value", {"name", "key", "value"},
                                          "set_collection_value($self, name, key, value)\n--\n\n"
                                          "Publish value as JSON under the text key; None deletes the key."),
        method<delete_collection_value>("delete_collection_value", {"name", "key"},
                                        "delete_collection_value($self, name, key)\n--\n\n"
                                        "Publish the deletion of key."),
        method<json_set_collection_values>(
            "set_collection_values", {"name", "mapping"},
            "set_collection_values($self, name, mapping)\n--\n\n"
            "Publish every (key, value) of mapping as JSON, in order (None deletes), and wait once for\n"
            "all of them. Failed records raise KafkaException afterwards (not_written: their keys)."),
        method<json_aset_collection_value>("aset_collection_value", {"name", "key", "value"},
                                           "aset_collection_value($self, name, key, value)\n--\n\n"
                                           "Awaitable set_collection_value."),
        method<json_aset_collection_values>("aset_collection_values", {"name", "mapping"},
                                            "aset_collection_values($self, name, mapping)\n--\n\n"
                                            "Awaitable set_collection_values."),
        method<adelete_collection_value>("adelete_collection_value", {"name", "key"},
                                         "adelete_collection_value($self, name, key)\n--\n\n"
                                         "Awaitable delete_collection_value."),
        method<get_collection_value>("get_collection_value", {"name", "key"},
                                     "get_collection_value($self, name, key)\n--\n\n"
                                     "The value stored under key, freshly decoded, or None."),
        method<get_collection_keys>("get_collection_keys", {"name"},
                                    "get_collection_keys($self, name)\n--\n\n"
                                    "The keys of the collection as text, in first-insertion order."),
        method<json_add_collection_listener>(
            "add_collection_listener", {"collection_name", "listener"},
            "add_collection_listener($self, collection_name, listener)\n--\n\n"
            "Call listener(key, value) on the consumer thread for each new record of the collection,\n"
            "with the text key and the decoded value (None for a deletion)."),
    });
}
