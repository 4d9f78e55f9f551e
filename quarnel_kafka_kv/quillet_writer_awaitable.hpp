// Awaitable writes: the records are handed to the producer at the call, a
// thread of the store's serves their reports, and the future completes on
// the event loop as the blocking write would return, through the loop's own
// timers, without blocking it.
#pragma once

#include "quillet_writer_blocking.hpp"

#include <memory>

namespace quarnel {
namespace {

// Polls the producer while awaitable writes wait for their reports, so the
// event loop never does.
void serve_async_reports(py::handle self, StoreCore &core) {
    WriteState &w = core.writes;
    py::object wake = call(host->Lock);
    call_method(wake, host->n.acquire);
    auto done = [&] {
        if (w.async_writes > 0)
            return false;
        // Cleared in the same step as the check: a write counted after it
        // finds no poller and starts one.
        w.async_poller = py::none();
        return true;
    };
    // One awaitable write is alone when every record in flight is its own.
    auto mine = [&] {
        if (w.async_writes != 1)
            return Py_ssize_t{0};
        Py_ssize_t records = 0;
        for (const auto &item : w.in_flight)
            records += item.second;
        return records;
    };
    serve_reports(self, core, wake, done, mine);
}

void ensure_async_poller(py::handle self, StoreCore &core) {
    py::object &poller = core.writes.async_poller;
    if (!poller.is_none() && call_method(poller, host->n.is_alive).cast<bool>())
        return;
    py::object store = py::reinterpret_borrow<py::object>(self);
    StoreCore *target_core = &core;
    py::object target = py::cpp_function([store, target_core] {
        for (;;) {
            try {
                return serve_async_reports(store, *target_core);
            } catch (py::error_already_set &e) {
                // The records the failure took are reported by the next poll,
                // to the writes awaiting them, which would otherwise wait forever.
                if (told_producer_failure(store, *target_core, e))
                    continue;
                target_core->writes.async_poller = py::none();
                throw;
            }
        }
    });
    poller = start_thread(target, "quarnel-kv deliveries");
}

// Schedules `callback` on `loop` from another thread; a loop closed
// meanwhile has nobody left to tell.
void call_on_loop(py::handle loop, py::handle callback) {
    try {
        call_method(loop, host->n.call_soon_threadsafe, callback);
    } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_RuntimeError) || !truthy(call_method(loop, host->n.is_closed)))
            throw;
    }
}

void settle_future(py::handle future, py::handle result, bool failed) {
    if (truthy(call_method(future, host->n.done)))
        return;  // cancelled by its awaiter
    call_method(future, failed ? host->n.set_exception : host->n.set_result, result);
}

// Waits on the event loop until the consumer thread has applied every record
// of the batch, or `seconds` have passed. Kept alive by its waiters on the
// board and the calls they schedule on the loop; the loop's timer only
// refers to it.
class AsyncVisibility : public std::enable_shared_from_this<AsyncVisibility> {
  public:
    AsyncVisibility(py::handle self, py::handle loop, py::handle future, py::handle report)
        : self_(py::reinterpret_borrow<py::object>(self)), loop_(py::reinterpret_borrow<py::object>(loop)),
          future_(py::reinterpret_borrow<py::object>(future)), report_(py::reinterpret_borrow<py::object>(report)) {}

    void start(double seconds) {
        Batch &b = batch_of(report_);
        std::shared_ptr<AsyncVisibility> me = shared_from_this();
        std::weak_ptr<AsyncVisibility> weak = me;
        py::object loop = loop_;
        // The consumer thread wakes a waiter on its own thread; the check runs on the loop.
        py::object on_loop = py::cpp_function([me] { me->check(false); });
        for (WaiterRef &waiter : waiters_of(b)) {
            waiter->callback = py::cpp_function([loop, on_loop] { call_on_loop(loop, on_loop); });
            b.core->board.add(waiter);
            waiters_.push_back(std::move(waiter));
        }
        timer_ = call_method(loop_, host->n.call_later, py::float_(seconds), py::cpp_function([weak] {
                                 if (auto me = weak.lock())
                                     me->check(true);
                             }));
        check(false);
    }

  private:
    void check(bool bound_passed) {
        if (done_)
            return;
        Batch &b = batch_of(report_);
        bool visible = true, started_over = false;
        for (const WaiterRef &waiter : waiters_) {
            Waiter::Outcome o = waiter->outcome != Waiter::Outcome::kWaiting
                                    ? waiter->outcome
                                    : b.core->board.outcome_of(b.key, waiter->place);
            visible = visible && o == Waiter::Outcome::kVisible;
            started_over = started_over || o == Waiter::Outcome::kLogStartedOver;
        }
        Waiter::Outcome outcome = visible        ? Waiter::Outcome::kVisible
                                  : started_over ? Waiter::Outcome::kLogStartedOver
                                  : !consumer_reading(self_, *b.core) ? Waiter::Outcome::kStopped
                                                                     : Waiter::Outcome::kWaiting;
        if (outcome == Waiter::Outcome::kWaiting && !bound_passed)
            return;
        end();
        if (outcome == Waiter::Outcome::kVisible)
            settle_future(future_, py::none(), false);
        else
            settle_future(future_, not_visible(outcome, self_), true);
    }

    void end() {
        done_ = true;
        Batch &b = batch_of(report_);
        for (const WaiterRef &waiter : waiters_)
            b.core->board.remove(waiter);
        waiters_.clear();
        if (timer_)
            call_method(timer_, host->n.cancel);
        timer_ = py::object();
    }

    py::object self_, loop_, future_, report_, timer_;
    std::vector<WaiterRef> waiters_;
    bool done_ = false;
};

// On the event loop once every report is in: fail, or wait for visibility
// (or the pause) through the loop's own timers.
void after_reports(py::handle self, py::handle loop, py::handle future, py::handle report, py::handle stopped) {
    Batch &b = batch_of(report);
    if (b.failed) {
        py::object failure = b.single ? call(host->KafkaException, b.first_error) : delivery_failure(b);
        if (!stopped.is_none())
            PyException_SetContext(failure.ptr(), py::reinterpret_borrow<py::object>(stopped).release().ptr());
        return settle_future(future, failure, true);
    }
    if (!stopped.is_none())
        return settle_future(future, stopped, true);
    if (!b.produced)
        return settle_future(future, py::none(), false);
    double seconds = std::max(0.0, py::getattr(self, host->n.publish_pause_s).cast<double>());
    if (!truthy(py::getattr(self, host->n.read_your_writes)) || b.unplaced || b.offsets.empty()) {
        if (seconds <= 0)
            return settle_future(future, py::none(), false);
        py::object owned = py::reinterpret_borrow<py::object>(future);
        call_method(loop, host->n.call_later, py::float_(seconds),
                    py::cpp_function([owned] { settle_future(owned, py::none(), false); }));
        return;
    }
    if (!consumer_reading(self, *b.core))
        return settle_future(future, not_visible(Waiter::Outcome::kStopped, self), true);
    std::make_shared<AsyncVisibility>(self, loop, future, report)->start(seconds);
}

// Produces the records now (the loop waits only for room in a full producer
// queue) and returns a future settled as the blocking write would return.
py::object awrite_batch(py::handle self, py::handle name, py::handle pairs, Encode encode, bool text_keys,
                        bool single = false) {
    py::object loop = call(host->get_running_loop);
    py::object future = call_method(loop, host->n.create_future);
    py::object report = new_report(self, topic_of(self, name), text_keys);
    Batch &b = batch_of(report);
    StoreCore &core = *b.core;
    b.single = single;
    py::object store = py::reinterpret_borrow<py::object>(self);
    auto stopped = std::make_shared<py::object>(py::none());
    py::object continuation = py::cpp_function([store, loop, future, report, stopped] {
        after_reports(store, loop, future, report, *stopped);
    });
    // Called on whichever thread serves the last report; dropped once called.
    StoreCore *counted = &core;
    b.on_done = py::cpp_function([counted, loop, continuation, core_object = b.core_object] {
        --counted->writes.async_writes;
        call_on_loop(loop, continuation);
    });
    ++core.writes.async_writes;
    if (std::optional<py::error_already_set> error = produce_all(self, report, pairs, encode))
        *stopped = error->value();
    b.sealed = true;
    if (b.outstanding == 0) {
        complete(b);
        return future;
    }
    ensure_async_poller(self, core);
    if (std::optional<double> bound = write_bound(self, core))
        call_method(loop, host->n.call_later, py::float_(*bound), py::cpp_function([store, future, report] {
                        if (batch_of(report).outstanding > 0)
                            settle_future(future, undelivered(batch_of(report), store), true);
                    }));
    return future;
}

py::object aset_collection_value(py::handle self, py::handle name, py::handle key, py::handle value) {
    return awrite_batch(self, name, py::make_tuple(py::make_tuple(key, value)), nullptr, false, true);
}

py::object aset_collection_values(py::handle self, py::handle name, py::handle mapping) {
    return awrite_batch(self, name, mapping, nullptr, false);
}

}  // namespace
}  // namespace quarnel
