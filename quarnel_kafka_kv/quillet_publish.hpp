// The store's only write path: publish one record to a collection's topic,
// wait for its delivery report, then for the record to become visible here.
#pragma once

#include "quillet_store.hpp"

#include <memory>

namespace quarnel {
namespace {

// Whether the consumer thread has applied every record this store wrote to
// `topic`. PRECONDITION: the topic's collection lock is held.
bool read_back_own_writes(py::handle self, py::handle topic) {
    const Names &n = bind->n;
    int unsettled = PySet_Contains(py::getattr(self, n.unsettled_topics).ptr(), topic.ptr());
    if (unsettled < 0)
        throw py::error_already_set();
    if (unsettled)
        return false;
    PyObject *written = find(py::getattr(self, n.written_offsets), topic);
    if (!written)
        return true;
    PyObject *read = find(py::getattr(self, n.read_offsets), topic);
    if (!read)
        return false;
    Py_ssize_t pos = 0;
    PyObject *partition, *offset;
    while (PyDict_Next(written, &pos, &partition, &offset)) {
        PyObject *reached = find(read, partition);
        if (!reached)
            return false;
        int behind = PyObject_RichCompareBool(reached, offset, Py_LT);
        if (behind < 0)
            throw py::error_already_set();
        if (behind)
            return false;
    }
    return true;
}

// Whether publishing `value` under `key` would change nothing. Only a local
// copy that has caught up with this store's own writes can tell: before that
// it may still show what an earlier write replaced.
bool holds_already(py::handle self, py::handle topic, py::handle key, py::handle value) {
    const Names &n = bind->n;
    // Stored values are bytes (or None): text never equals one, so the JSON
    // layer's writes need not wait for the collection's lock to find that out.
    if (PyUnicode_Check(value.ptr()))
        return false;
    py::object current;
    {
        Held held(lock_for(py::getattr(self, n.locks), topic));
        // A copy that is being replaced by a replay of a new log tells nothing.
        int rebuilding = PySet_Contains(py::getattr(self, n.rebuilding).ptr(), topic.ptr());
        if (rebuilding < 0)
            throw py::error_already_set();
        if (rebuilding)
            return false;
        PyObject *collection = find(py::getattr(self, n.topics), topic);
        if (!collection || PyDict_GET_SIZE(collection) == 0 || !read_back_own_writes(self, topic))
            return false;
        current = py::reinterpret_borrow<py::dict>(collection).attr("get")(key);
    }
    // Compared outside the lock: a value's own comparison may be any code.
    return current.equal(value);
}

void remove_waiter(py::list &waiters, py::handle waiter) {
    for (Py_ssize_t i = PyList_GET_SIZE(waiters.ptr()) - 1; i >= 0; --i)
        if (PyList_GET_ITEM(waiters.ptr(), i) == waiter.ptr() && PySequence_DelItem(waiters.ptr(), i) < 0)
            throw py::error_already_set();
}

// The delivery report of one record, as the producer's on_delivery callable:
// a native object, since every write makes one.
struct Delivery {
    PyObject_HEAD
    bool reported;
    PyObject *error, *partition, *offset;  // None until reported; no offset for acks=0

    bool placed() const {
        return error == Py_None && PyLong_Check(offset) && PyLong_AsLongLong(offset) >= 0;
    }
};

PyObject *delivery_call(PyObject *self, PyObject *args, PyObject *kwargs) {
    return guarded([&]() -> PyObject * {
        PyObject *error, *msg;
        if (kwargs || !PyArg_UnpackTuple(args, "on_delivery", 2, 2, &error, &msg))
            throw py::type_error("on_delivery takes (error, message)");
        auto *d = reinterpret_cast<Delivery *>(self);
        if (error == Py_None) {
            Py_SETREF(d->partition, call_method(msg, bind->n.partition).release().ptr());
            Py_SETREF(d->offset, call_method(msg, bind->n.offset).release().ptr());
        }
        Py_INCREF(error);
        Py_SETREF(d->error, error);
        d->reported = true;
        Py_RETURN_NONE;
    });
}

void delivery_dealloc(PyObject *self) {
    auto *d = reinterpret_cast<Delivery *>(self);
    PyTypeObject *type = Py_TYPE(self);
    Py_XDECREF(d->error);
    Py_XDECREF(d->partition);
    Py_XDECREF(d->offset);
    type->tp_free(self);
    Py_DECREF(type);
}

py::object delivery_type(py::handle module) {
    static PyType_Slot slots[] = {{Py_tp_call, reinterpret_cast<void *>(delivery_call)},
                                  {Py_tp_dealloc, reinterpret_cast<void *>(delivery_dealloc)},
                                  {0, nullptr}};
    return native_type(module, "quarnel_kafka_kv.quillet.DeliveryReport", sizeof(Delivery), 0, slots);
}

py::object new_delivery() {
    auto *type = reinterpret_cast<PyTypeObject *>(bind->DeliveryReport.ptr());
    auto *d = reinterpret_cast<Delivery *>(type->tp_alloc(type, 0));
    if (!d)
        throw py::error_already_set();
    d->reported = false;
    d->error = py::none().release().ptr();
    d->partition = py::none().release().ptr();
    d->offset = py::none().release().ptr();
    return py::reinterpret_steal<py::object>(reinterpret_cast<PyObject *>(d));
}

// Which copy of a collection a write can become visible in. Taken before the
// record is produced: the copy served then, and how far it had read.
struct LogMark {
    LogMark(py::handle self, py::handle topic) {
        const Names &n = bind->n;
        PyObject *served = find(py::getattr(self, n.log_generations), topic);
        generation = served ? py::reinterpret_borrow<py::object>(served) : py::int_(0);
        if (PyObject *read_offsets = find(py::getattr(self, n.read_offsets), topic))
            read = py::reinterpret_borrow<py::dict>(read_offsets).attr("copy")();
    }

    // The copy a delivered record belongs to. An offset at or below one read
    // before the record was produced belongs to a log that started over
    // since: only the copy replayed from that log can show it, and the
    // consumer thread is asked to look at the topic at once.
    py::object of(py::handle self, const Delivery &delivery) const {
        PyObject *reached = read ? find(read, delivery.partition) : nullptr;
        if (!reached)
            return generation;
        int started_over = PyObject_RichCompareBool(delivery.offset, reached, Py_LE);
        if (started_over < 0)
            throw py::error_already_set();
        if (!started_over)
            return generation;
        py::setattr(self, bind->n.recheck_logs, py::bool_(true));
        return py::int_(generation.cast<long long>() + 1);
    }

    py::object generation, read;
};

// Whether the consumer thread has applied the delivered record or a later
// one, in the copy the record belongs to.
bool applied(py::handle self, py::handle topic, const Delivery &delivery, py::handle generation) {
    PyObject *served = find(py::getattr(self, bind->n.log_generations), topic);
    if (!py::int_(served ? py::reinterpret_borrow<py::object>(served) : py::int_(0)).equal(generation))
        return false;
    PyObject *read = find(py::getattr(self, bind->n.read_offsets), topic);
    PyObject *reached = read ? find(read, delivery.partition) : nullptr;
    if (!reached)
        return false;
    int behind = PyObject_RichCompareBool(reached, delivery.offset, Py_LT);
    if (behind < 0)
        throw py::error_already_set();
    return !behind;
}

// Returns once the consumer thread has applied the delivered record, or
// after `bound` seconds.
void wait_visible(py::handle self, py::handle topic, const Delivery &delivery, py::handle generation,
                  py::handle bound) {
    const Names &n = bind->n;
    // The consumer thread releases the lock when it applies the record. The
    // waiter is in the list before the check, so that release cannot be missed.
    py::object lock = bind->Lock();
    call_method(lock, n.acquire);
    py::list waiters = py::getattr(self, n.visibility_waiters);
    py::tuple waiter =
        py::make_tuple(topic, py::handle(delivery.partition), py::handle(delivery.offset), lock, generation);
    waiters.append(waiter);
    try {
        if (!applied(self, topic, delivery, generation))
            lock.attr("acquire")(true, bound);
    } catch (...) {
        remove_waiter(waiters, waiter);
        throw;
    }
    remove_waiter(waiters, waiter);
}

// With read_your_writes, until the write is visible here (publish_pause_s at
// most); otherwise a plain pause of publish_pause_s.
void wait_after_write(py::handle self, py::handle topic, const Delivery &delivery, py::handle generation) {
    const Names &n = bind->n;
    py::object pause = py::getattr(self, n.publish_pause_s);
    if (truthy(py::getattr(self, n.read_your_writes))) {
        py::object thread = py::getattr(self, n.cons_thr, py::none());
        // The consumer thread cannot read back a write it is making itself.
        if (!thread.is_none() && bind->get_ident().equal(py::getattr(thread, n.ident)))
            return;
        bool reading = !thread.is_none() && truthy(py::getattr(self, n.cons_running)) &&
                       call_method(thread, n.is_alive).cast<bool>();
        // A negative pause fails in sleep below, as it always has.
        if (delivery.placed() && reading && !(pause < py::int_(0))) {
            wait_visible(self, topic, delivery, generation, pause);
            return;
        }
    }
    // A zero pause must not hand the GIL to the consumer thread between writes.
    if (truthy(pause))
        bind->sleep(pause);
}

void set_collection_value(py::handle self, py::handle name, py::handle key, py::handle value) {
    const Names &n = bind->n;
    require_own_process(Attributes(self));
    py::str topic = topic_of(self, name);
    py::object producer = py::getattr(self, n.producer);
    py::object report = new_delivery();
    auto *delivery = reinterpret_cast<Delivery *>(report.ptr());
    py::object generation;
    {
        // Writers of a topic take turns until their record is delivered, so
        // a retried record can never overtake a later one. Readers and the
        // consumer thread only wait on the collection's own lock, held here
        // for the comparison alone: a slow delivery (a broker failing over)
        // must not stall them.
        Held turn(lock_for(py::getattr(self, n.publish_locks), topic));
        if (holds_already(self, topic, key, value))
            return;
        // Until its delivery report gives an offset, the record may or may
        // not be in the topic (a failed flush, a time-out during a failover,
        // or acks=0, which reports no offset).
        py::set unsettled = py::getattr(self, n.unsettled_topics);
        unsettled.add(topic);
        LogMark mark(self, topic);
        PyObject *args[] = {producer.ptr(), topic.ptr(), value.ptr(), key.ptr(), report.ptr()};
        PyObject *queued = PyObject_VectorcallMethod(n.produce.ptr(), args, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                                     bind->produce_kwnames.ptr());
        if (!queued)
            throw py::error_already_set();
        Py_DECREF(queued);
        // Returns once nothing is left in the producer's queue.
        call_method(producer, n.flush);
        // Another thread's flush may have taken our report and be waiting for
        // the GIL to run it; a client that reports errors only gives none for
        // a delivery.
        if (!delivery->reported)
            bind->sleep(0.001);
        if (delivery->placed()) {
            generation = mark.of(self, *delivery);
            if (PyDict_SetItem(dict_for(py::getattr(self, n.written_offsets), topic).ptr(), delivery->partition,
                               delivery->offset) < 0)
                throw py::error_already_set();
            if (PySet_Discard(unsettled.ptr(), topic.ptr()) < 0)
                throw py::error_already_set();
        }
    }
    if (delivery->error != Py_None)
        raise_exception_object(bind->KafkaException(py::handle(delivery->error)));
    wait_after_write(self, topic, *delivery, generation ? generation : py::int_(0));
}

}  // namespace
}  // namespace quarnel
