// What every part of the store shares: its attributes as the host keeps
// them, the topic of a collection, the collections' locks and the store's lines.
//
// PRECONDITION for everything here: the GIL is held.
#pragma once

#include "quillet_host.hpp"

#include <string>

namespace quarnel {
namespace {

// `d[key]` as a borrowed reference, or null when `key` is missing.
PyObject *find(py::handle d, py::handle key) {
    PyObject *found = PyDict_GetItemWithError(d.ptr(), key.ptr());
    if (!found && PyErr_Occurred())
        throw py::error_already_set();
    return found;
}

// The host's truth of a value (`bool(v)`), which may raise.
bool truthy(py::handle v) {
    int truth = PyObject_IsTrue(v.ptr());
    if (truth < 0)
        throw py::error_already_set();
    return truth == 1;
}

bool is_empty_bytes(py::handle value) { return PyBytes_Check(value.ptr()) && PyBytes_GET_SIZE(value.ptr()) == 0; }

// The text of a topic as the store's own tables key it.
std::string topic_key(py::handle topic) {
    Py_ssize_t size = 0;
    const char *text = PyUnicode_AsUTF8AndSize(topic.ptr(), &size);
    if (!text)
        throw py::error_already_set();
    return std::string(text, static_cast<std::size_t>(size));
}

// `str(db_name) + "." + str(name)`: the topic of a collection.
py::str topic_name(py::handle db_name, py::handle name) {
    PyObject *topic = PyUnicode_FromFormat("%S.%S", db_name.ptr(), name.ptr());
    if (!topic)
        throw py::error_already_set();
    return py::reinterpret_steal<py::str>(topic);
}

// A store's attributes are plain instance attributes. The read path takes
// them from the instance dictionary itself; anything else (a class attribute
// such as publish_pause_s) is looked up the ordinary way.
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

    // The instance's own value of `name`, or null.
    PyObject *own(const py::str &name) const { return find(dict_, name); }

  private:
    py::handle self_;
    py::object dict_;
};

// One lock per topic, created by whichever of the consumer thread and a
// writer needs it first. setdefault under the GIL makes the creation atomic,
// so two threads can never end up holding different locks for one topic.
py::object lock_for(py::handle locks, py::handle topic, py::handle kind = py::handle()) {
    if (PyObject *found = find(locks, topic))
        return py::reinterpret_borrow<py::object>(found);
    py::object fresh = kind ? call(kind) : call(host->Lock);
    PyObject *kept = PyDict_SetDefault(locks.ptr(), topic.ptr(), fresh.ptr());
    if (!kept)
        throw py::error_already_set();
    return py::reinterpret_borrow<py::object>(kept);
}

// Holds a host lock for a scope; released on every way out, exceptions included.
class Held {
  public:
    explicit Held(py::object lock) : lock_(std::move(lock)) { host->acquire(lock_.ptr()); }
    ~Held() {
        // An exception may be in flight; its host error is already fetched,
        // so calling into the host here is safe.
        try {
            host->release(lock_.ptr());
        } catch (py::error_already_set &e) {
            e.discard_as_unraisable(lock_);
        }
    }
    Held(const Held &) = delete;
    Held &operator=(const Held &) = delete;

  private:
    py::object lock_;
};

// Releases a host lock that a waiter holds, unless it was released already.
void release_if_held(py::handle lock) {
    if (truthy(call_method(lock, host->n.locked)))
        call_method(lock, host->n.release);
}

// Levels of the store's lines, numbered as the logging module numbers them.
constexpr int kInfo = 20, kWarning = 30, kError = 40;

// One line of the store: printed (a failure to standard error), or logged at `level` when the class names a logger. A tuple is
// printed as the tuple and logged as its items joined by spaces.
void emit_line(py::handle self, int level, py::handle message) {
    py::object logger = py::getattr(self, host->n.logger, py::none());
    if (!logger.is_none())
        return log_line(logger, level, message);
    if (level >= kWarning)
        py::print(message, "file"_a = host->sys.attr("stderr"));
    else
        py::print(message);
}

void require_callable(py::handle f, const char *what) {
    if (!PyCallable_Check(f.ptr()))
        throw py::type_error(std::string(what) + " must be callable, not " + Py_TYPE(f.ptr())->tp_name);
}

// A host thread of the store's, started at once; daemon: it never holds up
// the interpreter's exit, where it is parked (see park_thread).
py::object start_thread(py::handle target, const char *name) {
    py::object thread = call_with(host->Thread, host->kw.thread, target, py::bool_(true), py::str(name));
    call_method(thread, host->n.start);
    return thread;
}

}  // namespace
}  // namespace quarnel
