// Dictionary-style access: `KafkaDB` is a JSON store used as a dictionary of
// collections, `Kollection` a data-free view of one collection.
#include "host.hpp"

namespace quarnel {
namespace {

namespace py = pybind11;

struct Bindings {
    py::object KafkaDB, Kollection, dict_type, super, items_type;
};
Bindings *bind = nullptr;

// ---------------------------------------------------------------- Kollection

void init_kollection(py::object self, py::object kdb, py::object name) {
    self.attr("kdb") = kdb;
    self.attr("name") = name;
}

bool kollection_contains(py::object self, py::object item) {
    py::object keys = self.attr("kdb").attr("get_collection_keys")(self.attr("name"));
    return keys.contains(item);
}

py::object kollection_getitem(py::object self, py::object key) {
    return self.attr("kdb").attr("get_collection_value")(self.attr("name"), key);
}

void kollection_setitem(py::object self, py::object key, py::object value) {
    self.attr("kdb").attr("set_collection_value")(self.attr("name"), key, value);
}

void kollection_delitem(py::object self, py::object key) {
    self.attr("kdb").attr("delete_collection_value")(self.attr("name"), key);
}

// The iterator of Kollection.items(): reads nothing until first advanced,
// then lists the keys once and reads each value when its turn comes.
struct Items {
    py::object kdb, name, keys;
    std::size_t next = 0;

    py::tuple advance() {
        if (!keys)
            keys = kdb.attr("get_collection_keys")(name);
        if (next >= py::len(keys))
            throw py::stop_iteration();
        py::object key = keys[py::int_(next++)];
        return py::make_tuple(key, kdb.attr("get_collection_value")(name, key));
    }
};

Items kollection_items(py::object self) { return Items{self.attr("kdb"), self.attr("name"), py::object()}; }

// ---------------------------------------------------------------- KafkaDB

void init_db(py::object self, py::args args, py::kwargs kwargs) {
    bind->super(bind->KafkaDB, self).attr("__init__")(*args, **kwargs);
    self.attr("collections") = py::dict();
}

py::object view_of(py::object &self, py::handle name) {
    py::dict collections = self.attr("collections");
    if (!collections.contains(name))
        collections[name] = bind->Kollection(self, name);
    return collections[name];
}

py::object db_getitem(py::object self, py::object key) { return view_of(self, key); }

void db_setitem(py::object self, py::object key, py::object value) {
    py::object view = view_of(self, key);
    if (!py::isinstance(value, bind->dict_type))
        throw py::type_error();
    // Merges: keys the mapping does not name keep their values.
    for (auto item : value.attr("items")())
        view[item[py::int_(0)]] = item[py::int_(1)];
}

}  // namespace
}  // namespace quarnel

PYBIND11_MODULE(mervane, m) {
    using namespace quarnel;
    namespace py = pybind11;

    py::object json_store;
    try {
        json_store = py::module_::import("quarnel_kafka_kv.quillet").attr("KafkaJsonCompaction");
    } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_ImportError))
            throw;
        json_store = py::module_::import("quillet").attr("KafkaJsonCompaction");
    }

    py::options options;
    options.disable_function_signatures();

    py::object kollection = make_class(
        m, "Kollection", py::make_tuple(py::module_::import("builtins").attr("object")),
        "Kollection(kdb, name)\n--\n\n"
        "A view of one collection of a KafkaDB, used as a dictionary of its keys.\n\n"
        "It holds no data: coll[key] reads (None when missing), coll[key] = value publishes,\n"
        "del db[name][key] publishes a deletion, `key in coll` lists the keys, items() walks them.");
    def_init(kollection, &init_kollection, py::arg("kdb"), py::arg("name"),
             "__init_instance__($self, kdb, name)\n--\n\nA view of collection name of kdb.");
    def_method(kollection, "__contains__", &kollection_contains, py::arg("item"),
               "__contains__($self, item)\n--\n\nWhether item is one of the collection's keys.");
    def_method(kollection, "items", &kollection_items,
               "items($self)\n--\n\n"
               "A lazy iterator of (key, value) pairs: the keys are listed when it is first\n"
               "advanced, each value is read when its pair is produced.");
    def_method(kollection, "__getitem__", &kollection_getitem, py::arg("key"),
               "__getitem__($self, key)\n--\n\nThe value under key, or None.");
    def_method(kollection, "__setitem__", &kollection_setitem, py::arg("key"), py::arg("value"),
               "__setitem__($self, key, value)\n--\n\nPublish value under key; None deletes.");
    def_method(kollection, "__delitem__", &kollection_delitem, py::arg("key"),
               "__delitem__($self, key)\n--\n\nUsage: del db[name][key]");

    // The iterator type is an implementation detail, so it is not left in the
    // module; Bindings keeps it alive instead, or the collector would free it.
    py::object items_type = py::class_<Items>(m, "KollectionItems", py::module_local())
                                .def("__iter__", [](py::object self) { return self; })
                                .def("__next__", &Items::advance);
    py::delattr(m, "KollectionItems");

    py::object db = make_class(
        m, "KafkaDB", py::make_tuple(json_store),
        "KafkaDB(admin_configs, collection_names, db_name='quarnel.configs', on_consumer_kill=...)\n--\n\n"
        "A KafkaJsonCompaction used as a dictionary of collections: db[name] is a Kollection.\n\n"
        "A collection can be read while it is not locked: reads wait for its lock, which the\n"
        "consumer thread and writers hold only while they change it.");
    def_init(db, &init_db,
             "__init_instance__($self, admin_configs, collection_names, db_name='quarnel.configs', "
             "on_consumer_kill=...)\n--\n\n"
             "Start the store (see KafkaCompaction) with an empty cache of collection views.");
    def_method(db, "__getitem__", &db_getitem, py::arg("key"),
               "__getitem__($self, key)\n--\n\nThe Kollection of collection key, the same object every time.");
    def_method(db, "__setitem__", &db_setitem, py::arg("key"), py::arg("value"),
               "__setitem__($self, key, value)\n--\n\n"
               "Write every item of the dictionary value into collection key (None deletes);\n"
               "other keys keep their values. TypeError if value is not a dict.");

    static py::gil_safe_call_once_and_store<Bindings> storage;
    bind = &storage
                .call_once_and_store_result([&] {
                    py::module_ builtins = py::module_::import("builtins");
                    return Bindings{db, kollection, builtins.attr("dict"), builtins.attr("super"), items_type};
                })
                .get_stored();
}
