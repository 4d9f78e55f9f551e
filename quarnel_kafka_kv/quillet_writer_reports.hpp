// Delivery reports: each write or batch hands the producer one native
// callable, which the client calls with each record's report, and the writer
// waits until every report of its own is in. Reports are served by whichever
// thread polls the producer: one waiting writer at a time (the pump), or, for
// awaitable writes, a thread of the store's own.
#pragma once

#include "quillet_writer_failure.hpp"
#include "quillet_writer_skip.hpp"

#include <new>
#include <optional>

namespace quarnel {
namespace {

// How long one poll of the producer waits for reports.
constexpr double kPollStep = 0.001;
// How long a waiting writer that does not poll sleeps before looking whether
// it should take over the polling; a leaving poller wakes one at once.
constexpr double kWakeStep = 0.05;

// One write or batch and the reports of its records.
struct Batch {
    py::object core_object;  // keeps `core` alive
    StoreCore *core;
    py::str topic;
    std::string key;
    Py_ssize_t produced = 0, outstanding = 0, failed = 0, refused = 0;  // refused: by produce() itself
    bool sealed = false;     // every record handed over: the last report completes it
    bool unplaced = false;   // a record delivered without an offset (acks=0)
    bool text_keys = false;  // the caller's keys are text: report failed ones as text
    bool single = false;     // one record, whose failure is raised as the client's
    py::object first_error;  // KafkaError of the first failed record
    py::list not_written;    // keys of the failed records
    Offsets offsets;         // partition -> highest offset delivered
    WriteTicket ticket;      // where its records can become visible
    py::object wake;         // a held Lock released when complete
    py::object on_done;      // called when complete
};

struct ReportObject {
    PyObject_HEAD
    Batch batch;
};

Batch &batch_of(py::handle report) { return reinterpret_cast<ReportObject *>(report.ptr())->batch; }

void complete(Batch &b) {
    if (b.wake)
        release_if_held(b.wake);
    if (py::object on_done = std::move(b.on_done)) {
        // Moved out first: it refers back to the batch.
        try {
            call(on_done);
        } catch (py::error_already_set &e) {
            // A closed event loop: nobody awaits the result any more.
            e.discard_as_unraisable(on_done);
        }
    }
}

// One record's report: the store learns where its write went (or that its
// place is unknown) before the writer does.
void account(Batch &b, py::handle error, py::handle msg) {
    StoreCore &core = *b.core;
    --b.outstanding;
    count_in_flight(core, b.key, -1);
    bool placed = false;
    if (error.is_none()) {
        core.contact.heard();
        long long partition = call_method(msg, host->n.partition).cast<long long>();
        py::object offset = call_method(msg, host->n.offset);
        long long at = PyLong_Check(offset.ptr()) ? PyLong_AsLongLong(offset.ptr()) : -1;
        if (at >= 0) {
            placed = true;
            long long &written = core.writes.written[b.key].emplace(partition, at).first->second;
            written = std::max(written, at);
            long long &mine = b.offsets.emplace(partition, at).first->second;
            mine = std::max(mine, at);
        } else {
            b.unplaced = true;
        }
    } else {
        ++b.failed;
        bool in_flight = is_code(error, host->PURGE_INFLIGHT);
        if (in_flight || is_code(error, host->PURGE_QUEUE)) {
            ++core.writes.purged;
            core.writes.purged_in_flight += in_flight;
        }
        if (!b.first_error)
            b.first_error = py::reinterpret_borrow<py::object>(error);
        py::object key = call_method(msg, host->n.key);
        if (b.text_keys && PyBytes_Check(key.ptr())) {
            PyObject *text = PyUnicode_DecodeUTF8(PyBytes_AS_STRING(key.ptr()), PyBytes_GET_SIZE(key.ptr()), nullptr);
            if (text)
                key = py::reinterpret_steal<py::object>(text);
            else
                PyErr_Clear();
        }
        b.not_written.append(key);
    }
    // Reports of a partition come in the order its records were handed
    // over, so a placed record settles what an earlier unplaced one left open.
    if (placed)
        core.writes.unsettled.erase(b.key);
    else
        core.writes.unsettled.insert(b.key);
    if (b.sealed && b.outstanding == 0)
        complete(b);
}

PyObject *report_call(PyObject *self, PyObject *args, PyObject *kwargs) {
    return guarded([&]() -> PyObject * {
        PyObject *error, *msg;
        if (kwargs || !PyArg_UnpackTuple(args, "on_delivery", 2, 2, &error, &msg))
            throw py::type_error("on_delivery takes (error, message)");
        account(reinterpret_cast<ReportObject *>(self)->batch, error, msg);
        Py_RETURN_NONE;
    });
}

void report_dealloc(PyObject *self) {
    PyTypeObject *type = Py_TYPE(self);
    reinterpret_cast<ReportObject *>(self)->batch.~Batch();
    type->tp_free(self);
    Py_DECREF(type);
}

py::object report_type(py::handle module) {
    static PyType_Slot slots[] = {{Py_tp_call, reinterpret_cast<void *>(report_call)},
                                  {Py_tp_dealloc, reinterpret_cast<void *>(report_dealloc)},
                                  {0, nullptr}};
    return native_type(module, "quarnel_kafka_kv.quillet.DeliveryReport", sizeof(ReportObject), 0, slots);
}

// The delivery report of a new write to `topic`, which has not produced yet.
py::object new_report(py::handle self, py::handle topic, bool text_keys) {
    Attributes state(self);
    StoreCore &core = core_of(state);
    require_own_process(core);
    auto *type = reinterpret_cast<PyTypeObject *>(host->DeliveryReport.ptr());
    auto *object = reinterpret_cast<ReportObject *>(type->tp_alloc(type, 0));
    if (!object)
        throw py::error_already_set();
    py::object owned = py::reinterpret_steal<py::object>(reinterpret_cast<PyObject *>(object));
    Batch *b = new (&object->batch) Batch();
    b->core_object = py::reinterpret_borrow<py::object>(state.own(host->n.core));
    b->core = &core;
    b->topic = py::reinterpret_borrow<py::str>(topic);
    b->key = topic_key(topic);
    b->text_keys = text_keys;
    b->ticket = core.board.ticket(b->key);
    return owned;
}

// The first free waiter takes over the polling.
void wake_a_waiter(py::handle waiters) {
    for (auto lock : py::list(py::reinterpret_borrow<py::object>(waiters)))
        if (truthy(call_method(lock, host->n.locked))) {
            call_method(lock, host->n.release);
            return;
        }
}

void remove_from(py::handle list, py::handle item) {
    for (Py_ssize_t i = PyList_GET_SIZE(list.ptr()) - 1; i >= 0; --i)
        if (PyList_GET_ITEM(list.ptr(), i) == item.ptr()) {
            if (PySequence_DelItem(list.ptr(), i) < 0)
                throw py::error_already_set();
            return;
        }
}

// Whether the producer holds no records but the `mine` a writer waits for.
// A stand-in for the client without a length shares its requests.
bool alone(py::handle producer, Py_ssize_t mine) {
    Py_ssize_t queued = PyObject_Size(producer.ptr());
    if (queued < 0) {
        if (!PyErr_ExceptionMatches(PyExc_TypeError))
            throw py::error_already_set();
        PyErr_Clear();
        return false;
    }
    return queued <= mine;
}

// Serves delivery reports until `done()`. One writer at a time polls (the
// client hands a report to whichever poller it wakes, and would leave the
// others asleep until their time-out); the others sleep on `wake`, which
// their own last report or a leaving poller releases. `wake` is held.
// `mine()` counts the records the poller waits for itself.
template <typename Done, typename Mine>
void serve_reports(py::handle self, StoreCore &core, py::handle wake, Done done, Mine mine) {
    WriteState &w = core.writes;
    py::object producer = py::getattr(self, host->n.producer);
    py::float_ poll_step(kPollStep), wake_step(kWakeStep);
    while (!done()) {
        if (truthy(call_method(w.poll_lock, host->n.acquire, py::bool_(false)))) {
            auto leave = [&] {
                call_method(w.poll_lock, host->n.release);
                wake_a_waiter(w.poll_waiters);
            };
            try {
                while (!done()) {
                    // Alone, a writer has its records sent at once. With other
                    // writers' records queued or in flight, the linger gathers
                    // them into shared requests: a flush then would make the
                    // client's sending thread spin while its requests in flight
                    // are at their limit, as many writers keep them.
                    try {
                        call_method(producer, w.flush_always || alone(producer, mine()) ? host->n.flush : host->n.poll,
                                    poll_step);
                    } catch (py::error_already_set &e) {
                        kept_producer_failure(core, e);
                        throw;
                    }
                }
            } catch (std::exception &) {
                leave();
                throw;
            }
            return leave();
        }
        w.poll_waiters.append(wake);
        try {
            call_method(wake, host->n.acquire, py::bool_(true), wake_step);
        } catch (std::exception &) {
            remove_from(w.poll_waiters, wake);
            throw;
        }
        remove_from(w.poll_waiters, wake);
    }
}

// Seconds a write waits for its reports (write_timeout_s), or none. Where
// the producer's own message.timeout.ms was made from the same value, the
// client gets a second more to report its own time-out first.
std::optional<double> write_bound(py::handle self, const StoreCore &core) {
    py::object bound = py::getattr(self, host->n.write_timeout_s);
    if (bound.is_none())
        return std::nullopt;
    double seconds = bound.cast<double>();
    return seconds + (seconds == core.writes.client_timeout_s ? 1.0 : 0.0);
}

// What a write raises when its reports did not all come within its bound.
py::object undelivered(const Batch &b, py::handle self) {
    std::string text = std::to_string(b.outstanding) + " of " + std::to_string(b.produced) +
                       " record(s) not delivered within write_timeout_s (" +
                       text_of(py::getattr(self, host->n.write_timeout_s)) +
                       " s); the client goes on trying, so they may still be delivered";
    py::object exc = call(host->KafkaException, call(host->KafkaError, host->MSG_TIMED_OUT, py::str(text)));
    if (!b.single)
        py::setattr(exc, "not_written", b.not_written);
    return exc;
}

// Serves reports until every one of the batch's is in; false when the
// write's bound passed first.
bool wait_for_reports(py::handle self, Batch &b) {
    if (b.outstanding == 0)
        return true;
    std::optional<double> bound = write_bound(self, *b.core);
    double deadline = bound ? monotonic_now() + *bound : 0;
    py::object wake = call(host->Lock);
    call_method(wake, host->n.acquire);
    b.wake = wake;
    serve_reports(
        self, *b.core, wake, [&] { return b.outstanding == 0 || (bound && monotonic_now() >= deadline); },
        [&b] { return b.outstanding; });
    b.wake = py::object();
    return b.outstanding == 0;
}

}  // namespace
}  // namespace quarnel
