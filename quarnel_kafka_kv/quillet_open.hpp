// Opening a store: the collection names and the configuration are checked,
// the clients built, the topics made ready, the signals taken, and the
// consumer thread started and waited for until the replay is over. A
// construction that fails, for any reason, stops what it started.
#pragma once

#include "quillet_consumer_loop.hpp"
#include "quillet_settings.hpp"
#include "quillet_topics.hpp"

namespace quarnel {
namespace {

constexpr const char *kEmptyCollections = "At least one collection must be set in \"collection_names\"";
// The collection names, taken once. Mistakes that would otherwise surface
// later, or never, are refused before anything is built.
py::list collection_list(py::handle collection_names) {
    if (!truthy(collection_names)) {
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
    for (const char *property : {"bootstrap.servers", "metadata.broker.list"})
        if (py::object value = setting(admin_configs, {property}))
            if (truthy(value))
                return;
    raise_kafka_error(host->INVALID_ARG,
                      "\"bootstrap.servers\" is not set in admin_configs: name the Kafka brokers to connect to");
}

// Waits, woken when the replay is over, looking every 0.1 s whether the
// consumer thread died first; a death raises what stopped it.
void wait_for_replay(py::handle self, StoreCore &core, py::handle thread) {
    py::float_ step(0.1);
    while (!call_method(core.replayed, host->n.wait, step).cast<bool>()) {
        if (call_method(thread, host->n.is_alive).cast<bool>())
            continue;
        // The thread may have finished the replay just before it ended.
        if (truthy(py::getattr(self, host->n.inited)))
            return;
        if (core.failure)
            raise_exception_object(core.failure);
        PyErr_SetString(PyExc_Exception, "KafkaCompaction was stopped before its initial replay was over");
        throw py::error_already_set();
    }
}

// A construction that failed stops what it started: the consumer thread, or
// the consumer client when there is none, and the signals it took. Nothing
// that goes wrong here (a second Ctrl-C) hides why it failed.
void abandon(py::handle self, StoreCore &core, py::handle thread) {
    core.abandoned = true;
    auto quietly = [&](auto &&step) {
        try {
            step();
        } catch (py::error_already_set &) {
        }
    };
    quietly([&] { ask_stop(self, core, true); });
    quietly([&] {
        if (thread)
            call_method(thread, host->n.join, py::float_(kStopJoin));
        else if (py::object consumer = py::getattr(self, host->n.consumer, py::none()); !consumer.is_none())
            call_method(consumer, host->n.close);
    });
    quietly([&] { join_helpers(self, core); });
}

// The collections' topics, and the table of their names for writes and reads.
py::dict collection_topics(StoreCore &core, py::handle db_name, const py::list &names) {
    py::dict topics;
    for (auto name : names) {
        py::str topic = topic_name(db_name, name);
        topics[topic] = py::dict();
        core.topic_names[py::str(name)] = topic;
    }
    if (PyUnicode_CheckExact(db_name.ptr()))
        core.db_name = py::reinterpret_borrow<py::object>(db_name);
    return topics;
}

// Clients and the attributes the store is known by, before any request.
py::list build_clients(py::handle self, py::handle core_object, StoreCore &core, py::handle admin_configs) {
    py::object configs = with_logger(self, core_object, admin_configs);
    py::list refusal;
    refusal.append(py::none());
    py::object admin = call(host->Admin, admin_config(configs, refusal));
    py::object logger = py::getattr(self, host->n.logger, py::none());
    if (!logger.is_none())
        py::setattr(admin, host->n.logger, logger);
    py::setattr(self, host->n.admin, admin);
    core.clients_log = clients_log(configs);
    core.consumer_config = consumer_config(configs);
    py::setattr(self, host->n.consumer, call(host->Consumer, core.consumer_config));
    py::setattr(self, host->n.producer,
                call(host->Producer, producer_config(configs, core, py::getattr(self, host->n.write_timeout_s))));
    core.writes.flush_always = callers_linger(configs);
    core.writes.poll_lock = call(host->Lock);
    return refusal;
}

void init_store(py::handle self, py::handle admin_configs, py::handle collection_names, py::handle db_name,
                py::handle on_consumer_kill) {
    py::list names = collection_list(collection_names);
    require_bootstrap_servers(admin_configs);
    if (!on_consumer_kill.is_none())
        require_callable(on_consumer_kill, "on_consumer_kill");
    py::object core_object = new_core();
    StoreCore &core = *reinterpret_cast<CoreObject *>(core_object.ptr())->core;
    py::setattr(self, host->n.core, core_object);
    core.owns_process = truthy(py::getattr(self, host->n.owns_process));
    bool waits = truthy(py::getattr(self, host->n.wait_for_replay));
    py::object thread;
    try {
        core.refusal = build_clients(self, core_object, core, admin_configs);
        py::setattr(self, host->n.db_name, db_name);
        py::setattr(self, host->n.on_consumer_kill, on_consumer_kill);
        py::setattr(self, host->n.locks, py::dict());
        py::setattr(self, host->n.collection_callbacks, py::dict());
        py::setattr(self, host->n.collection_listeners, py::dict());
        py::dict topics = collection_topics(core, db_name, names);
        py::setattr(self, host->n.topics, topics);
        // A store that does not wait for its replay has its consumer thread
        // make the topics ready, for as long as the cluster takes to answer.
        core.topics_ready = waits;
        if (waits) {
            create_collection_topics(self, topics, core.refusal, kFirstAnswerTimeout);
            require_read_right(self, topics);
        }

        py::setattr(self, host->n.consumer_num_messages, py::int_(1));
        py::setattr(self, host->n.consumer_timeout_s, py::float_(0.1));
        py::setattr(self, host->n.cons_running, py::bool_(true));
        py::setattr(self, host->n.inited, py::bool_(false));
        // Python lets only the main thread handle signals; a store built on
        // another thread is stopped by close() or by leaving its with block.
        if (core.owns_process && on_main_thread())
            signal_claims->install(self, core);
        core.replayed = call(host->Event);
        // A store that does not own its process must not keep it alive.
        thread = host->Thread("target"_a = self.attr("start_consumer"), "daemon"_a = !core.owns_process);
        py::setattr(self, host->n.cons_thr, thread);
        if (!core.owns_process)
            close_when_interpreter_ends(self);
        core.life.advance(Stage::kReplaying);
        call_method(thread, host->n.start);
        call_method(host->open_stores, host->n.add, self);
        if (waits)
            wait_for_replay(self, core, thread);
    } catch (std::exception &) {
        abandon(self, core, thread);
        throw;
    }
}

void add_collection_callback(py::handle self, py::handle collection_name, py::handle callback) {
    require_callable(callback, "callback");
    py::object callbacks = py::getattr(self, host->n.collection_callbacks);
    callbacks[topic_of(self, collection_name)] = callback;
}

void add_collection_listener(py::handle self, py::handle collection_name, py::handle listener) {
    require_callable(listener, "listener");
    py::object listeners = py::getattr(self, host->n.collection_listeners);
    listeners.attr("setdefault")(topic_of(self, collection_name), py::list()).attr("append")(listener);
}

}  // namespace
}  // namespace quarnel
