// Glue shared by the three extension modules: host imports, classes built by
// the host's `type`, and methods attached to them.
//
// PRECONDITION for everything here: the GIL is held.
#pragma once

#include <pybind11/pybind11.h>

#include <string>
#include <utility>

namespace quarnel {

namespace py = pybind11;

// A dependency is looked for inside our package first, so a deployment can
// shadow it there; only an import error falls back to the top-level module.
inline py::object import_host(const std::string &name) {
    try {
        return py::module_::import(("quarnel_kafka_kv." + name).c_str());
    } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_ImportError))
            throw;
    }
    return py::module_::import(name.c_str());
}

// `from <module> import <attr>` with the same package-first rule.
inline py::object import_from(const std::string &module, const char *attr) {
    return import_host(module).attr(attr);
}

// Classes with Python bases (AdminClient, a class of another module) cannot be
// made by pybind11::class_, so the host builds them.
inline py::object make_class(py::module_ &m, const char *name, py::tuple bases, const char *doc) {
    py::dict ns;
    ns["__module__"] = m.attr("__name__");
    ns["__qualname__"] = name;
    ns["__doc__"] = doc ? py::object(py::str(doc)) : py::object(py::none());
    py::object cls = py::module_::import("builtins").attr("type")(name, std::move(bases), ns);
    m.attr(name) = cls;
    return cls;
}

// Attaches `f` to `cls` as method `attr`. `is_method` must precede the
// `arg`s, otherwise pybind11 gives the first argument's name to `self`.
// Never name a function `__init__`: pybind11 would take it for its own
// constructor and reinterpret the instance; use `def_init`.
template <typename F, typename... Extra>
py::object def_method(py::object &cls, const char *attr, F &&f, const Extra &...extra) {
    py::cpp_function fn(std::forward<F>(f), py::name(attr), py::is_method(cls),
                        py::sibling(py::getattr(cls, attr, py::none())), extra...);
    cls.attr(attr) = fn;
    return std::move(fn);
}

template <typename F, typename... Extra>
void def_init(py::object &cls, F &&f, const Extra &...extra) {
    py::cpp_function fn(std::forward<F>(f), py::name("__init_instance__"), py::is_method(cls), extra...);
    cls.attr("__init__") = fn;
}

// The host's text form of a value (`str(v)`).
inline std::string text_of(py::handle v) { return py::str(v).cast<std::string>(); }

// `str(db_name) + "." + str(name)`: the topic of a collection.
inline py::str topic_name(py::handle db_name, py::handle name) {
    PyObject *topic = PyUnicode_FromFormat("%S.%S", db_name.ptr(), name.ptr());
    if (!topic)
        throw py::error_already_set();
    return py::reinterpret_steal<py::str>(topic);
}

}  // namespace quarnel
