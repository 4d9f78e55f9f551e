// The store: named collections mirrored in memory from log-compacted topics.
// Its parts: construction (quillet_open.hpp), the consumer thread
// (quillet_consumer_*.hpp), the writes (quillet_writer_*.hpp), the process's
// signals and stops (quillet_process_*.hpp), the state they share
// (quillet_core.hpp) and the JSON layer (quillet_json.hpp). This unit holds
// the classes' method tables.
//
// Every function runs with the GIL held; the host's blocking calls (consume,
// flush, sleep, Lock.acquire, Event.wait) release it while they wait.
#include "quillet_json.hpp"
#include "quillet_open.hpp"

#include <pthread.h>

namespace quarnel {
namespace {

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
    params.append(parameter("on_consumer_kill", kind, "default"_a = host->exit_process));
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

void define_store(py::module_ &m, py::handle store) {
    host->exit_process = plain_function<exit_process>(
        "exit_process",
        "Ends the process at once: status 0 after a requested stop, 1 after a failure of the consumer\n"
        "thread or a with block left by an exception.",
        m);
    store.attr("__signature__") = signature_slot(m);
    store.attr("publish_pause_s") = 1.0;
    store.attr("read_your_writes") = false;
    store.attr("owns_process") = true;
    store.attr("logger") = py::none();
    store.attr("close_flush_s") = 5.0;
    store.attr("write_timeout_s") = py::none();
    store.attr("wait_for_replay") = true;
    define_methods(store, {
        method<init_store>("__init__",
                           {"admin_configs", "collection_names", {"db_name", py::str("quarnel.configs")},
                            {"on_consumer_kill", host->exit_process}},
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

}

void define_json_store(py::handle json_store) {
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

}  // namespace
}  // namespace quarnel

PYBIND11_MODULE(quillet, m) {
    using namespace quarnel;
    namespace py = pybind11;

    static py::gil_safe_call_once_and_store<Host> storage;
    host = &storage.call_once_and_store_result(load_host).get_stored();
    signal_claims = new SignalClaims();
    pthread_atfork(nullptr, nullptr, [] { ++forks_seen; });
    call_with(import_host("os").attr("register_at_fork"), keywords("after_in_child"),
              plain_function<forget_parents_stores>(
                  "forget_parents_stores", "Hands a forked child's signals back from the stores of its parent.", m));
    host->DeliveryReport = report_type(m);
    host->StoreCoreType = core_type(m);

    py::object store = make_class(
        m, "KafkaCompaction", py::make_tuple(py::module_::import("builtins").attr("object")),
        "Named collections of bytes keys and values, each kept in one log-compacted Kafka topic.\n\n"
        "Construction creates or corrects the topics, replays them into memory and returns once\n"
        "every partition has been read to its end; a background thread then applies every new\n"
        "record. Writes are published and become visible when the thread reads them back.");
    define_store(m, store);
    host->KafkaJsonCompaction =
        make_class(m, "KafkaJsonCompaction", py::make_tuple(store),
                   "A KafkaCompaction with text keys and JSON values; missing data reads as None or [].");
    define_json_store(host->KafkaJsonCompaction);
}
