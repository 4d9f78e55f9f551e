// Dictionary-style access: `KafkaDB` is a JSON store used as a dictionary of
// collections, `Kollection` a data-free view of one collection.
#include "host.hpp"

namespace quarnel {
namespace {

namespace py = pybind11;

struct Names {
    py::str kdb = intern("kdb"), name = intern("name"), collections = intern("collections"),
            db_name = intern("db_name"), get_collections = intern("get_collections"),
            get_collection_keys = intern("get_collection_keys"), get_collection_value = intern("get_collection_value"),
            set_collection_value = intern("set_collection_value"),
            set_collection_values = intern("set_collection_values"),
            delete_collection_value = intern("delete_collection_value"), items = intern("items");
};

struct Host {
    Names n;
    py::object KafkaDB, Kollection, dict_type, super, view_iterator_type, chain;
};
Host *host = nullptr;

// ---------------------------------------------------------------- Kollection

// Every operation of a view is one call of a JSON operation of its store,
// dispatched through the store so that a subclass's own operation is used.
template <typename... Args>
py::object ask_store(py::handle view, py::handle operation, Args... args) {
    const Names &n = host->n;
    return call_method(py::getattr(view, n.kdb), operation, py::getattr(view, n.name), args...);
}

py::object keys_of(py::handle view) { return ask_store(view, host->n.get_collection_keys); }

// `item in listed`, as the host's bool.
py::object is_in(const py::object &listed, py::handle item) {
    int found = PySequence_Contains(listed.ptr(), item.ptr());
    if (found < 0)
        throw py::error_already_set();
    return py::bool_(found == 1);
}

void init_kollection(py::handle self, py::handle kdb, py::handle name) {
    py::setattr(self, host->n.kdb, kdb);
    py::setattr(self, host->n.name, name);
}

py::object kollection_contains(py::handle self, py::handle item) { return is_in(keys_of(self), item); }

py::object kollection_iter(py::handle self) { return py::iter(keys_of(self)); }

py::object kollection_len(py::handle self) { return py::int_(py::len(keys_of(self))); }

py::object kollection_keys(py::handle self) { return keys_of(self); }

py::object kollection_getitem(py::handle self, py::handle key) {
    return ask_store(self, host->n.get_collection_value, key);
}

py::object kollection_get(py::handle self, py::handle key, py::handle fallback) {
    py::object value = ask_store(self, host->n.get_collection_value, key);
    return value.is_none() ? py::reinterpret_borrow<py::object>(fallback) : value;
}

void kollection_setitem(py::handle self, py::handle key, py::handle value) {
    ask_store(self, host->n.set_collection_value, key, value);
}

void kollection_delitem(py::handle self, py::handle key) { ask_store(self, host->n.delete_collection_value, key); }

// dict.update's signature: update([other], **kwargs), one batched write.
py::object kollection_update(py::handle self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    if (nargs > 1) {
        PyErr_Format(PyExc_TypeError, "update expected at most 1 argument, got %zd", nargs);
        throw py::error_already_set();
    }
    py::dict named;
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < nkw; ++k)
        if (PyDict_SetItem(named.ptr(), PyTuple_GET_ITEM(kwnames, k), args[nargs + k]) < 0)
            throw py::error_already_set();
    py::object pairs = named;
    if (nargs == 1) {
        py::handle other(args[0]);
        pairs = nkw == 0 ? py::reinterpret_borrow<py::object>(other)
                         : host->chain(call_method(host->dict_type(other), host->n.items),
                                       call_method(named, host->n.items));
    }
    ask_store(self, host->n.set_collection_values, pairs);
    return py::none();
}

py::object kollection_repr(py::handle self) {
    py::object db_name = py::getattr(py::getattr(self, host->n.kdb), host->n.db_name, py::none());
    py::object name = py::getattr(self, host->n.name);
    PyObject *text = db_name.is_none()
                         ? PyUnicode_FromFormat("Kollection(name=%R)", name.ptr())
                         : PyUnicode_FromFormat("Kollection(db_name=%R, name=%R)", db_name.ptr(), name.ptr());
    if (!text)
        throw py::error_already_set();
    return py::reinterpret_steal<py::object>(text);
}

// The iterator of items() and values(): reads nothing until first advanced,
// then lists the keys once and reads each value when its turn comes.
struct ViewIterator {
    PyObject_HEAD
    PyObject *view;
    PyObject *keys;  // null until first advanced
    Py_ssize_t next;
    bool pairs;
};

PyObject *view_iterator_next(PyObject *op) {
    auto *it = reinterpret_cast<ViewIterator *>(op);
    return guarded([it]() -> PyObject * {
        if (!it->keys) {
            // Listing the keys may let another thread advance the iterator first.
            py::object keys = keys_of(it->view);
            if (!it->keys)
                it->keys = keys.release().ptr();
        }
        if (it->next >= PySequence_Size(it->keys)) {
            if (PyErr_Occurred())
                throw py::error_already_set();
            return nullptr;  // exhausted
        }
        py::object key = py::reinterpret_steal<py::object>(PySequence_GetItem(it->keys, it->next++));
        if (!key)
            throw py::error_already_set();
        py::object value = ask_store(it->view, host->n.get_collection_value, key);
        return (it->pairs ? py::object(py::make_tuple(key, value)) : value).release().ptr();
    });
}

// An iterator kept on its own view (`coll.pairs = coll.items()`) makes a
// cycle: the collector must see through it.
int view_iterator_traverse(PyObject *op, visitproc visit, void *arg) {
    auto *it = reinterpret_cast<ViewIterator *>(op);
    Py_VISIT(Py_TYPE(op));
    Py_VISIT(it->view);
    Py_VISIT(it->keys);
    return 0;
}

int view_iterator_clear(PyObject *op) {
    auto *it = reinterpret_cast<ViewIterator *>(op);
    Py_CLEAR(it->view);
    Py_CLEAR(it->keys);
    return 0;
}

void view_iterator_dealloc(PyObject *op) {
    PyTypeObject *type = Py_TYPE(op);
    PyObject_GC_UnTrack(op);
    view_iterator_clear(op);
    type->tp_free(op);
    Py_DECREF(type);
}

py::object view_iterator(py::handle view, bool pairs) {
    auto *type = reinterpret_cast<PyTypeObject *>(host->view_iterator_type.ptr());
    auto *it = reinterpret_cast<ViewIterator *>(type->tp_alloc(type, 0));
    if (!it)
        throw py::error_already_set();
    it->view = py::reinterpret_borrow<py::object>(view).release().ptr();
    it->keys = nullptr;
    it->next = 0;
    it->pairs = pairs;
    return py::reinterpret_steal<py::object>(reinterpret_cast<PyObject *>(it));  // tracked by tp_alloc
}

py::object view_iterator_type(py::handle module) {
    static PyType_Slot slots[] = {{Py_tp_dealloc, reinterpret_cast<void *>(view_iterator_dealloc)},
                                  {Py_tp_traverse, reinterpret_cast<void *>(view_iterator_traverse)},
                                  {Py_tp_clear, reinterpret_cast<void *>(view_iterator_clear)},
                                  {Py_tp_iter, reinterpret_cast<void *>(PyObject_SelfIter)},
                                  {Py_tp_iternext, reinterpret_cast<void *>(view_iterator_next)},
                                  {0, nullptr}};
    return native_type(module, "quarnel_kafka_kv.mervane.KollectionIterator", sizeof(ViewIterator),
                       Py_TPFLAGS_HAVE_GC, slots);
}

py::object kollection_items(py::handle self) { return view_iterator(self, true); }

py::object kollection_values(py::handle self) { return view_iterator(self, false); }

// ---------------------------------------------------------------- KafkaDB

py::object init_db(py::handle self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    py::object init = host->super(host->KafkaDB, self).attr("__init__");
    PyObject *done = PyObject_Vectorcall(init.ptr(), args, nargs, kwnames);
    if (!done)
        throw py::error_already_set();
    Py_DECREF(done);
    py::setattr(self, host->n.collections, py::dict());
    return py::none();
}

py::object view_of(py::handle self, py::handle name) {
    py::object collections = py::getattr(self, host->n.collections);
    PyObject *view = PyDict_GetItemWithError(collections.ptr(), name.ptr());
    if (view)
        return py::reinterpret_borrow<py::object>(view);
    if (PyErr_Occurred())
        throw py::error_already_set();
    py::object made = host->Kollection(self, name);
    if (PyDict_SetItem(collections.ptr(), name.ptr(), made.ptr()) < 0)
        throw py::error_already_set();
    return made;
}

py::object db_getitem(py::handle self, py::handle key) { return view_of(self, key); }

void db_setitem(py::handle self, py::handle key, py::handle value) {
    py::object view = view_of(self, key);
    if (!py::isinstance(value, host->dict_type)) {
        PyErr_SetNone(PyExc_TypeError);
        throw py::error_already_set();
    }
    // Merges: keys the mapping does not name keep their values.
    ask_store(view, host->n.set_collection_values, value);
}

py::object collection_names(py::handle self) { return call_method(self, host->n.get_collections); }

py::object db_contains(py::handle self, py::handle name) { return is_in(collection_names(self), name); }

py::object db_iter(py::handle self) { return py::iter(collection_names(self)); }

py::object db_len(py::handle self) { return py::int_(py::len(collection_names(self))); }

py::object db_repr(py::handle self) {
    py::object db_name = py::getattr(self, host->n.db_name, py::none());
    PyObject *text =
        PyUnicode_FromFormat("KafkaDB(db_name=%R, collections=%R)", db_name.ptr(), collection_names(self).ptr());
    if (!text)
        throw py::error_already_set();
    return py::reinterpret_steal<py::object>(text);
}

void define_kollection(py::handle kollection) {
    define_methods(kollection, {
        method<init_kollection>("__init__", {"kdb", "name"},
                                "__init__($self, kdb, name)\n--\n\nA view of collection name of kdb."),
        method<kollection_contains>("__contains__", {"item"},
                                    "__contains__($self, item)\n--\n\nWhether item is one of the collection's keys."),
        method<kollection_iter>("__iter__", {}, "__iter__($self)\n--\n\nThe keys, in first-insertion order."),
        method<kollection_len>("__len__", {}, "__len__($self)\n--\n\nThe number of keys."),
        method<kollection_keys>("keys", {}, "keys($self)\n--\n\nA new list of the keys, in first-insertion order."),
        method<kollection_values>("values", {},
                                  "values($self)\n--\n\n"
                                  "A lazy iterator of the values: the keys are listed when it is first\n"
                                  "advanced, each value is read when it is produced."),
        method<kollection_items>("items", {},
                                 "items($self)\n--\n\n"
                                 "A lazy iterator of (key, value) pairs: the keys are listed when it is first\n"
                                 "advanced, each value is read when its pair is produced."),
        method<kollection_getitem>("__getitem__", {"key"},
                                   "__getitem__($self, key)\n--\n\nThe value under key, or None."),
        method<kollection_get>("get", {"key", {"default", py::none()}},
                               "get($self, key, default=None)\n--\n\nThe value under key, or default."),
        method<kollection_setitem>("__setitem__", {"key", "value"},
                                   "__setitem__($self, key, value)\n--\n\nPublish value under key; None deletes."),
        method<kollection_delitem>("__delitem__", {"key"}, "__delitem__($self, key)\n--\n\nUsage: del db[name][key]"),
        raw_method<kollection_update>("update",
                                      "update($self, other=(), /, **kwargs)\n--\n\n"
                                      "Publish every item of other and then of kwargs, as dict.update takes them\n"
                                      "(None deletes), in one batch: see set_collection_values."),
        method<kollection_repr>("__repr__", {}, "__repr__($self)\n--\n\n"),
    });

}

void define_db(py::handle db) {
    define_methods(db, {
        raw_method<init_db>("__init__",
                            "Start the store (see KafkaCompaction) with an empty cache of collection views."),
        method<db_getitem>("__getitem__", {"key"},
                           "__getitem__($self, key)\n--\n\n"
                           "The Kollection of collection key, the same object every time."),
        method<db_setitem>("__setitem__", {"key", "value"},
                           "__setitem__($self, key, value)\n--\n\n"
                           "Write every item of the dictionary value into collection key (None deletes) in one\n"
                           "batch (set_collection_values); other keys keep their values. TypeError if value\n"
                           "is not a dict."),
        method<db_contains>("__contains__", {"name"},
                            "__contains__($self, name)\n--\n\nWhether name is one of the store's collections."),
        method<db_iter>("__iter__", {}, "__iter__($self)\n--\n\nThe collection names, in construction order."),
        method<db_len>("__len__", {}, "__len__($self)\n--\n\nThe number of collections."),
        method<db_repr>("__repr__", {}, "__repr__($self)\n--\n\n"),
    });
}

}  // namespace
}  // namespace quarnel


PYBIND11_MODULE(mervane, m) {
    using namespace quarnel;
    namespace py = pybind11;

    py::object json_store = import_from("quillet", "KafkaJsonCompaction");

    py::object kollection = make_class(
        m, "Kollection", py::make_tuple(py::module_::import("builtins").attr("object")),
        "A view of one collection of a KafkaDB, used as a dictionary of its keys.\n\n"
        "It holds no data: coll[key] reads (None when missing), coll[key] = value publishes,\n"
        "del db[name][key] publishes a deletion; `key in coll`, iter(), len(), keys(), values(),\n"
        "items() and get() read the collection as the store holds it at that moment.");
    py::object db = make_class(
        m, "KafkaDB", py::make_tuple(json_store),
        "A KafkaJsonCompaction used as a dictionary of collections: db[name] is a Kollection.\n\n"
        "A collection can be read while it is not locked: reads wait for its lock, which the\n"
        "consumer thread and writers hold only while they change it.");

    static py::gil_safe_call_once_and_store<Host> storage;
    host = &storage
                .call_once_and_store_result([&] {
                    py::module_ builtins = py::module_::import("builtins");
                    return Host{Names{}, db, kollection, builtins.attr("dict"), builtins.attr("super"),
                                view_iterator_type(m), import_host("itertools").attr("chain")};
                })
                .get_stored();
    define_kollection(kollection);
    define_db(db);
}
