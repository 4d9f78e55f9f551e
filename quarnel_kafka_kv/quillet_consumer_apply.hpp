// Applying records to a copy of a collection, and telling the collection's
// callback and listeners of the changes, with no lock held.
#pragma once

#include "quillet_consumer_client.hpp"

namespace quarnel {
namespace {

// A record's value under its key: an empty value is the deletion marker (a
// missing key is no error); a null value is stored as None.
void store_record(py::handle collection, py::handle key, py::handle value) {
    if (is_empty_bytes(value)) {
        if (PyDict_DelItem(collection.ptr(), key.ptr()) < 0) {
            if (!PyErr_ExceptionMatches(PyExc_KeyError))
                throw py::error_already_set();
            PyErr_Clear();
        }
    } else if (PyDict_SetItem(collection.ptr(), key.ptr(), value.ptr()) < 0) {
        throw py::error_already_set();
    }
}

// Whether a record of a log with several partitions is older than the one
// that holds its key in another partition; otherwise notes it as the holder.
// Within one partition the log's order always wins.
bool superseded(py::handle origins, py::handle key, py::handle stamp) {
    if (PyObject *held = find(origins, key)) {
        int other = PyObject_RichCompareBool(PyTuple_GET_ITEM(held, 1), PyTuple_GET_ITEM(stamp.ptr(), 1), Py_NE);
        int newer = other > 0 ? PyObject_RichCompareBool(held, stamp.ptr(), Py_GT) : 0;
        if (other < 0 || newer < 0)
            throw py::error_already_set();
        if (newer)
            return true;
    }
    if (PyDict_SetItem(origins.ptr(), key.ptr(), stamp.ptr()) < 0)
        throw py::error_already_set();
    return false;
}

// One record of a message, as the copy takes it.
struct Record {
    PyObject *msg;
    Partition *partition;
    long long offset;
    py::object key, value;
};

// Applies a record to `collection`, unless a record in another partition of
// the log holds its key with a later timestamp. PRECONDITION: the copy is not
// served, or its collection lock is held.
bool apply_record(MessageReader &reader, py::handle collection, py::handle origins, const Record &r) {
    if (origins) {
        py::object stamp = py::make_tuple(reader.timestamp(r.msg)[py::int_(1)], py::int_(r.partition->id));
        if (superseded(origins, r.key, stamp))
            return false;
    }
    store_record(collection, r.key, r.value);
    return true;
}

// The collections' callbacks and listeners, called on the consumer thread
// with no lock held.
class Listeners {
  public:
    explicit Listeners(py::handle self)
        : callbacks_(py::getattr(self, host->n.collection_callbacks)),
          listeners_(py::getattr(self, host->n.collection_listeners)) {}

    bool any_for(py::handle topic) const { return find(callbacks_, topic) || find(listeners_, topic); }

    // `value` None for a deletion.
    void notify(py::handle topic, py::handle key, py::handle value) {
        if (PyObject *callback = find(callbacks_, topic))
            call(callback);
        if (PyObject *listeners = find(listeners_, topic))
            // A snapshot: a listener may add listeners.
            for (auto listener : py::tuple(py::reinterpret_borrow<py::object>(listeners)))
                call(listener, key, value);
    }

    // Every key whose value differs between two copies of a collection (a
    // vanished key as a deletion).
    void notify_changes(py::handle topic, py::handle old_copy, py::handle new_copy) {
        if (!any_for(topic))
            return;
        for (auto item : py::reinterpret_borrow<py::dict>(old_copy))
            if (!item.second.is_none() && !PyDict_Contains(new_copy.ptr(), item.first.ptr()))
                notify(topic, item.first, py::none());
        for (auto item : py::reinterpret_borrow<py::dict>(new_copy)) {
            PyObject *before = find(old_copy, item.first);
            int same = before ? PyObject_RichCompareBool(before, item.second.ptr(), Py_EQ) : 0;
            if (same < 0)
                throw py::error_already_set();
            if (!same)
                notify(topic, item.first, item.second);
        }
    }

  private:
    py::object callbacks_, listeners_;
};

}  // namespace
}  // namespace quarnel
