// The blocking writes: a record or a batch is handed over, its reports are
// waited for, and then the write pauses publish_pause_s or, with
// read_your_writes, waits until this store has applied it.
#pragma once

#include "quillet_writer_produce.hpp"

#include <memory>
#include <optional>

namespace quarnel {
namespace {

// Whether the consumer thread runs and so can read writes back.
bool consumer_reading(py::handle self, const StoreCore &core) {
    if (core.life.stopping_or_over() || !truthy(py::getattr(self, host->n.cons_running)))
        return false;
    py::object thread = py::getattr(self, host->n.cons_thr, py::none());
    return !thread.is_none() && call_method(thread, host->n.is_alive).cast<bool>();
}

bool on_consumer_thread(const StoreCore &core) { return PyThread_get_thread_ident() == core.report.thread_ident; }

// Why a write that returned under read_your_writes would not be readable.
py::object not_visible(Waiter::Outcome outcome, py::handle self) {
    switch (outcome) {
    case Waiter::Outcome::kLogStartedOver:
        return py::reinterpret_borrow<py::object>(PyExc_RuntimeError)(
            "the collection's log started over while this write waited to be read back (read_your_writes): "
            "its record may be in the log that was replaced, not in the copy this store serves now");
    case Waiter::Outcome::kWaiting:
        return py::reinterpret_borrow<py::object>(PyExc_TimeoutError)(
            py::str("this write was delivered to Kafka but not read back by this store within publish_pause_s "
                    "({} s) (read_your_writes)")
                .format(py::getattr(self, host->n.publish_pause_s)));
    default:
        return py::reinterpret_borrow<py::object>(PyExc_RuntimeError)(
            "the store's consumer thread is not running, so this write cannot become visible here "
            "(read_your_writes); the record may still have been delivered to Kafka");
    }
}

// A waiter on the board for as long as it is in scope.
class Waiting {
  public:
    Waiting(StoreCore &core, WaiterRef waiter) : core_(core), waiter_(std::move(waiter)) { core_.board.add(waiter_); }
    ~Waiting() { core_.board.remove(waiter_); }
    Waiting(const Waiting &) = delete;
    Waiting &operator=(const Waiting &) = delete;

  private:
    StoreCore &core_;
    WaiterRef waiter_;
};

// The waiter of each delivered record of a batch, in the copy it belongs to.
std::vector<WaiterRef> waiters_of(Batch &b) {
    std::vector<WaiterRef> waiters;
    for (const auto &[partition, offset] : b.offsets) {
        auto waiter = std::make_shared<Waiter>();
        waiter->topic = b.key;
        waiter->place = {b.core->board.epoch_of(b.ticket, partition, offset), partition, offset};
        waiters.push_back(std::move(waiter));
    }
    return waiters;
}

// Returns once the consumer thread has applied every delivered record of the
// batch; raises when it cannot be known to have within `bound` seconds.
void wait_visible(py::handle self, Batch &b, double bound) {
    StoreCore &core = *b.core;
    double deadline = monotonic_now() + bound;
    for (WaiterRef &waiter : waiters_of(b)) {
        waiter->lock = call(host->Lock);
        call_method(waiter->lock, host->n.acquire);
        Waiter::Outcome outcome;
        {
            // On the board before the check: the consumer thread cannot apply
            // the record between the two unseen.
            Waiting waiting(core, waiter);
            outcome = core.board.outcome_of(b.key, waiter->place);
            double left = deadline - monotonic_now();
            if (outcome == Waiter::Outcome::kWaiting && left > 0)
                call_method(waiter->lock, host->n.acquire, py::bool_(true), py::float_(left));
        }
        outcome = waiter->outcome != Waiter::Outcome::kWaiting ? waiter->outcome
                                                               : core.board.outcome_of(b.key, waiter->place);
        if (outcome == Waiter::Outcome::kVisible)
            continue;
        if (!consumer_reading(self, core))
            outcome = Waiter::Outcome::kStopped;
        raise_exception_object(not_visible(outcome, self));
    }
}

// With read_your_writes, until the batch is visible here (publish_pause_s at
// most); otherwise a plain pause of publish_pause_s. The consumer thread
// itself never waits: nothing would apply the write while it did.
void wait_after_write(py::handle self, Batch &b) {
    if (on_consumer_thread(*b.core))
        return;
    py::object pause = py::getattr(self, host->n.publish_pause_s);
    // A record placed without an offset (acks=0) cannot be looked for: the
    // pause stands in, as without read_your_writes.
    if (truthy(py::getattr(self, host->n.read_your_writes)) && !b.unplaced && !b.offsets.empty()) {
        if (!consumer_reading(self, *b.core))
            raise_exception_object(not_visible(Waiter::Outcome::kStopped, self));
        // A negative pause fails in sleep below.
        if (!(pause < py::int_(0)))
            return wait_visible(self, b, pause.cast<double>());
    }
    // A zero pause must not hand the GIL to the consumer thread between writes.
    if (truthy(pause))
        call(host->sleep, pause);
}

// Every pair of `pairs` in order, one wait for all of them.
void write_batch(py::handle self, py::handle name, py::handle pairs, Encode encode, bool text_keys) {
    py::object report = new_report(self, topic_of(self, name), text_keys);
    Batch &b = batch_of(report);
    std::optional<py::error_already_set> stopped = produce_all(self, report, pairs, encode);
    b.sealed = true;
    if (!wait_for_reports(self, b))
        raise_exception_object(undelivered(b, self));
    // What was delivered is read back (or paused for) even when records
    // failed or the batch was stopped: the copy then shows every record
    // reported as written, as after the same writes one by one.
    std::optional<py::error_already_set> late;
    if (b.produced > b.failed - b.refused) {
        try {
            wait_after_write(self, b);
        } catch (py::error_already_set &e) {
            if (!b.failed && !stopped)
                throw;
            late = std::move(e);
        }
    }
    // Failed records first: whatever else went wrong, they were not written.
    if (b.failed) {
        py::object failure = delivery_failure(b);
        if (stopped || late)
            PyException_SetContext(failure.ptr(), py::object((stopped ? stopped : late)->value()).release().ptr());
        raise_exception_object(failure);
    }
    if (stopped)
        throw std::move(*stopped);
}

void set_collection_value(py::handle self, py::handle name, py::handle key, py::handle value) {
    py::str topic = topic_of(self, name);
    py::object report = new_report(self, topic, false);
    Batch &b = batch_of(report);
    if (!produce_record(self, publish_lock_of(*b.core, topic), report, key, value))
        return;
    b.sealed = true;
    b.single = true;
    if (!wait_for_reports(self, b))
        raise_exception_object(undelivered(b, self));
    if (b.first_error)
        raise_exception_object(call(host->KafkaException, b.first_error));
    wait_after_write(self, b);
}

void set_collection_values(py::handle self, py::handle name, py::handle mapping) {
    write_batch(self, name, mapping, nullptr, false);
}

}  // namespace
}  // namespace quarnel
