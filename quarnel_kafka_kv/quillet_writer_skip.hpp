// The skip rule: a write of the value the local copy already holds publishes
// nothing, but only where the copy can tell.
#pragma once

#include "quillet_core.hpp"

#include <cstring>

namespace quarnel {
namespace {

void count_in_flight(StoreCore &core, const std::string &topic, long change) {
    auto &counts = core.writes.in_flight;
    long count = (counts[topic] += change);
    if (count <= 0)
        counts.erase(topic);
}

// Whether the consumer thread has applied every record this store wrote to
// `topic`. PRECONDITION: the topic's collection lock is held.
bool read_back_own_writes(const StoreCore &core, const std::string &topic) {
    if (core.writes.unsettled.count(topic))
        return false;
    auto written = core.writes.written.find(topic);
    return written == core.writes.written.end() || core.board.caught_up(topic, written->second);
}

// The record key the producer sends for `key`: bytes as they are, text as
// UTF-8; null for anything else, whose bytes only the client knows.
py::object record_key_of(py::handle key) {
    if (PyBytes_CheckExact(key.ptr()))
        return py::reinterpret_borrow<py::object>(key);
    if (!PyUnicode_CheckExact(key.ptr()))
        return py::object();
    PyObject *encoded = PyUnicode_AsUTF8String(key.ptr());
    if (!encoded)
        throw py::error_already_set();
    return py::reinterpret_steal<py::object>(encoded);
}

// Whether publishing `value` under `key` would change nothing. Only a local
// copy that has caught up with this store's own writes can tell: before that
// it may still show what an earlier write replaced, and while any write of
// the store to the collection is in flight it does not skip at all. Stored
// values are bytes (or None), under bytes keys. Only exact bytes and None
// are compared, under exact bytes or text keys, so no code of the caller's
// (a key's hash, a value's __eq__, which might write here again) runs while
// the collection's publish lock is held; anything else, such as the JSON layer's
// text, is published.
bool holds_already(py::handle self, StoreCore &core, py::handle topic, const std::string &key_text,
                   py::handle key, py::handle value) {
    if (!PyBytes_CheckExact(value.ptr()) && !value.is_none())
        return false;
    py::object record_key = record_key_of(key);
    // A copy still being replayed cannot tell what the log holds.
    if (!record_key || core.writes.in_flight.count(key_text) || core.life.stage() < Stage::kLive)
        return false;
    Held held(lock_for(py::getattr(self, host->n.locks), topic));
    // A copy that is being replaced by a replay of its log tells nothing.
    PyObject *collection = find(py::getattr(self, host->n.topics), topic);
    if (core.board.rebuilding(key_text) || !collection || PyDict_GET_SIZE(collection) == 0 ||
        !read_back_own_writes(core, key_text))
        return false;
    PyObject *current = find(collection, record_key);
    if (value.is_none())
        return !current || current == Py_None;  // an absent value, as a missing key has
    return current && PyBytes_CheckExact(current) && PyBytes_GET_SIZE(current) == PyBytes_GET_SIZE(value.ptr()) &&
           std::memcmp(PyBytes_AS_STRING(current), PyBytes_AS_STRING(value.ptr()), PyBytes_GET_SIZE(current)) == 0;
}

}  // namespace
}  // namespace quarnel
