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
    py::object current;
    {
        Held held(lock_for(py::getattr(self, n.locks), topic));
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

// What the delivery report of one record said. No offset (acks=0, or a
// client that reports errors only) leaves the record's place unknown.
struct Delivery {
    bool reported = false;
    py::object error = py::none(), partition = py::none(), offset = py::none();

    bool placed() const { return error.is_none() && PyLong_Check(offset.ptr()) && offset.cast<long long>() >= 0; }
};

// Whether the consumer thread has applied the delivered record or a later one.
bool applied(py::handle self, py::handle topic, const Delivery &delivery) {
    PyObject *read = find(py::getattr(self, bind->n.read_offsets), topic);
    PyObject *reached = read ? find(read, delivery.partition) : nullptr;
    if (!reached)
        return false;
    int behind = PyObject_RichCompareBool(reached, delivery.offset.ptr(), Py_LT);
    if (behind < 0)
        throw py::error_already_set();
    return !behind;
}

// Returns once the consumer thread has applied the delivered record, or
// after `bound` seconds.
void wait_visible(py::handle self, py::handle topic, const Delivery &delivery, py::handle bound) {
    const Names &n = bind->n;
    // The consumer thread releases the lock when it applies the record. The
    // waiter is in the list before the check, so that release cannot be missed.
    py::object lock = bind->Lock();
    call_method(lock, n.acquire);
    py::list waiters = py::getattr(self, n.visibility_waiters);
    py::tuple waiter = py::make_tuple(topic, delivery.partition, delivery.offset, lock);
    waiters.append(waiter);
    try {
        if (!applied(self, topic, delivery))
            lock.attr("acquire")(true, bound);
    } catch (...) {
        remove_waiter(waiters, waiter);
        throw;
    }
    remove_waiter(waiters, waiter);
}

// With read_your_writes, until the write is visible here (publish_pause_s at
// most); otherwise a plain pause of publish_pause_s.
void wait_after_write(py::handle self, py::handle topic, const Delivery &delivery) {
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
            wait_visible(self, topic, delivery, pause);
            return;
        }
    }
    // A zero pause must not hand the GIL to the consumer thread between writes.
    if (truthy(pause))
        bind->sleep(pause);
}

void set_collection_value(py::handle self, py::handle name, py::handle key, py::handle value) {
    const Names &n = bind->n;
    py::str topic = topic_of(self, name);
    py::object producer = py::getattr(self, n.producer);
    auto delivery = std::make_shared<Delivery>();
    auto report = py::cpp_function([delivery](py::object error, py::object msg) {
        if (error.is_none()) {
            delivery->partition = call_method(msg, bind->n.partition);
            delivery->offset = call_method(msg, bind->n.offset);
        }
        delivery->error = std::move(error);
        delivery->reported = true;
    });
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
        producer.attr("produce")(topic, "value"_a = value, "key"_a = key, "on_delivery"_a = report);
        // Returns once nothing is left in the producer's queue.
        call_method(producer, n.flush);
        // Another thread's flush may have taken our report and be waiting for
        // the GIL to run it; a client that reports errors only gives none for
        // a delivery.
        if (!delivery->reported)
            bind->sleep(0.001);
        if (delivery->placed()) {
            dict_for(py::getattr(self, n.written_offsets), topic)[delivery->partition] = delivery->offset;
            if (PySet_Discard(unsettled.ptr(), topic.ptr()) < 0)
                throw py::error_already_set();
        }
    }
    if (!delivery->error.is_none())
        raise_exception_object(bind->KafkaException(delivery->error));
    wait_after_write(self, topic, *delivery);
}

}  // namespace
}  // namespace quarnel
