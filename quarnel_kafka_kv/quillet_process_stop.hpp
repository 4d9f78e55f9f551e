// Stopping a store: close() and its callers (leaving `with`, finalisation,
// the signal handler, the interpreter's shutdown), the consumer thread's
// exit steps, and the exit status the default stop action ends the process with.
#pragma once

#include "quillet_writer_failure.hpp"
#include "quillet_process_signals.hpp"

#include <climits>

namespace quarnel {
namespace {

// Longest wait, at interpreter shutdown or for a failed construction, for a
// store's consumer thread to end.
constexpr double kStopJoin = 10.0;

// The host exception for the C++ exception being handled, with its traceback.
py::object failure_in_flight() {
    try {
        throw;
    } catch (py::error_already_set &e) {
        py::object value = e.value();
        if (e.trace())
            PyException_SetTraceback(value.ptr(), e.trace().ptr());
        return value;
    } catch (std::exception &) {
        py::detail::try_translate_exceptions();
        return py::error_already_set().value();
    }
}

// Prints a failure once, before a stop action that may end the process;
// nothing that goes wrong while printing stops the exit steps.
void report_failure(py::handle self, py::handle failure) {
    try {
        py::object logger = py::getattr(self, host->n.logger, py::none());
        if (logger.is_none())
            call(host->print_exception, failure);
        else
            logger.attr("error")("KafkaCompaction consumer thread failed", "exc_info"_a = failure);
    } catch (py::error_already_set &) {
    }
}

// Seconds left of the stop's delivery wait, which close() begins and the
// exit steps finish: close_flush_s in all.
double delivery_time_left(py::handle self, StoreCore &core) {
    double now = monotonic_now();
    if (core.flush_deadline == 0)
        core.flush_deadline = now + py::getattr(self, host->n.close_flush_s).cast<double>();
    return std::max(0.0, core.flush_deadline - now);
}

// Gives the records still queued in the producer what is left of the stop's
// delivery wait. What is left then is taken from the producer, so that every
// write waiting for it ends now, with the client's error saying so: not
// delivered, or, for a record that was in flight, not known to be. It is
// reported, and the process the store ends then ends with status 1.
void deliver_pending(py::handle self, StoreCore &core) {
    py::object producer = py::getattr(self, host->n.producer, py::none());
    // A forked child has the producer's memory but none of its threads.
    if (producer.is_none() || !opened_here(core))
        return;
    py::float_ bound(delivery_time_left(self, core));
    long long left;
    try {
        left = call_method(producer, host->n.flush, bound).cast<long long>();
    } catch (py::error_already_set &e) {
        if (!told_producer_failure(self, core, e))
            throw;
        // What the failure took goes to its writers with this second serving.
        left = call_method(producer, host->n.flush, bound).cast<long long>();
    }
    if (left == 0)
        return;
    // Their reports may be served by any thread that polls the producer.
    long purged = core.writes.purged, in_flight = core.writes.purged_in_flight;
    call_method(producer, intern("purge"));
    for (double until = monotonic_now() + 1.0; core.writes.purged - purged < left && monotonic_now() < until;)
        call_method(producer, host->n.poll, py::float_(0.01));
    in_flight = core.writes.purged_in_flight - in_flight;
    std::string maybe = in_flight ? "; " + std::to_string(in_flight) + " of them were in flight and may still be delivered"
                                  : std::string();
    emit_line(self, kError,
              py::str("KafkaCompaction stopping: {} written record(s) not delivered to Kafka within {} s{}")
                  .format(left, py::getattr(self, host->n.close_flush_s), maybe));
    if (core.exit_status == 0)
        core.exit_status = 1;
}

// The store's own threads besides the consumer thread end within what is
// left of the stop's delivery wait.
void join_helpers(py::handle self, StoreCore &core) {
    py::object current = call(host->get_ident);
    py::list threads(core.helpers);
    if (!core.writes.async_poller.is_none())
        threads.append(core.writes.async_poller);
    for (auto thread : threads)
        if (!py::getattr(thread, intern("ident")).equal(current))
            call_method(thread, host->n.join, py::float_(delivery_time_left(self, core)));
    core.helpers = py::list();
}

// Asks the consumer thread to stop; its exit steps do the rest.
void ask_stop(py::handle self, StoreCore &core, bool give_back_signals) {
    py::setattr(self, host->n.cons_running, py::bool_(false));
    core.life.advance(Stage::kStopping);
    if (give_back_signals && on_main_thread())
        signal_claims->give_back(core);
}

void close_store(py::handle self, py::handle signal_number, py::handle frame) {
    StoreCore *core = find_core(self);
    // In a forked child the store is the parent's: nothing here to stop.
    if (!core || !opened_here(*core))
        return;
    // As a signal handler, close may run inside the interrupted thread's own
    // producer call, where the client takes no other call: the consumer
    // thread's exit steps deliver. Signals that come while the store stops
    // are its own, so that they cannot cut its stop short; once it has
    // stopped they go where they would have gone without it.
    if (PyLong_Check(signal_number.ptr())) {
        if (!core->life.over())
            ask_stop(self, *core, false);
        else
            signal_claims->forward(*core, signal_number, frame);
        return;
    }
    // Otherwise what was written is delivered before the stop is asked for,
    // which may end the process.
    try {
        deliver_pending(self, *core);
    } catch (py::error_already_set &) {
        // The stop is asked for all the same: a store left running would
        // hold its process at exit.
        ask_stop(self, *core, true);
        throw;
    }
    ask_stop(self, *core, true);
    join_helpers(self, *core);
}

void finalise_store(py::handle self) {
    try {
        call_method(self, host->n.close);
    } catch (py::error_already_set &e) {
        e.discard_as_unraisable(py::reinterpret_borrow<py::object>(self));
    }
}

py::object enter_store(py::handle self) { return py::reinterpret_borrow<py::object>(self); }

// The exit status that leaving a `with` block by `exception` calls for, as
// the interpreter itself would give it: a SystemExit's code, else 1.
int exit_status_for(py::handle exception_type, py::handle exception) {
    if (!PyErr_GivenExceptionMatches(exception_type.ptr(), PyExc_SystemExit))
        return 1;
    py::object code = py::getattr(exception, "code", py::none());
    if (code.is_none())
        return 0;
    if (!PyLong_Check(code.ptr()))
        return 1;
    int overflow = 0;
    long status = PyLong_AsLongAndOverflow(code.ptr(), &overflow);
    return overflow || status < INT_MIN || status > INT_MAX ? 1 : static_cast<int>(status);
}

void exit_store(py::handle self, py::handle exception_type, py::handle exception, py::handle) {
    // A block left by an exception must not end the process as a success.
    if (!exception_type.is_none())
        if (StoreCore *core = find_core(self))
            core->exit_status = exit_status_for(exception_type, exception);
    call_method(self, host->n.close);
}

// The exit steps tell the default stop action the exit status the stop calls
// for, without widening its no-argument signature.
thread_local int stop_status = 0;

void exit_process() {
    // Flush first: a pipe would otherwise lose the last lines, the stop report among them.
    for (const char *stream : {"stdout", "stderr"}) {
        try {
            host->sys.attr(stream).attr("flush")();
        } catch (py::error_already_set &) {
        }
    }
    call(host->os_exit, py::int_(stop_status));
}

// Runs on the consumer thread once its loop has ended, whatever ended it:
// close, report, deliver, wake the waiters, then hand over to the stop
// action. Only a failure of the stop action itself ends the thread with an
// exception: every other one has been printed already.
void run_exit_steps(py::handle self, StoreCore &core, py::object failure) {
    if (failure)
        report_failure(self, failure);
    auto step = [&](auto &&body) {
        try {
            body();
        } catch (std::exception &) {
            failure = failure_in_flight();
            report_failure(self, failure);
        }
    };
    step([&] {
        call_method(py::getattr(self, host->n.consumer), host->n.close);
        emit_line(self, kInfo, py::str("Consumer was correctly killed"));
    });
    step([&] { deliver_pending(self, core); });
    // Nothing will read their records back any more.
    std::vector<WaiterRef> woken;
    core.board.stop_all(woken);
    step([&] { wake_all(woken); });
    stop_status = failure ? 1 : core.exit_status;
    core.failure = failure;
    core.life.advance(Stage::kStopping);
    core.life.advance(failure ? Stage::kFailed : Stage::kStopped);
    if (core.abandoned)
        return;  // construction failed and raises: nothing was opened to stop
    py::object action = py::getattr(self, host->n.on_consumer_kill);
    if (!core.owns_process) {
        // The process is not the store's to end: it says that it stopped.
        step([&] {
            if (failure)
                emit_line(self, kError, py::str("KafkaCompaction stopped by a failure of its consumer thread: {}: {}")
                                      .format(py::type::handle_of(failure).attr("__name__"), failure));
            else
                emit_line(self, kInfo, py::str("KafkaCompaction stopped"));
        });
        if (action.is(host->exit_process))
            return;
    }
    if (!action.is_none())
        call(action);
}

// A store that does not own its process is closed when the interpreter shuts
// down, before atexit handlers run and before non-daemon threads are joined.
void close_at_shutdown() {
    py::list stores(host->unowned);
    for (auto store : stores) {
        try {
            call_method(store, host->n.close);
        } catch (py::error_already_set &e) {
            e.discard_as_unraisable(py::reinterpret_borrow<py::object>(store));
        }
    }
    py::object current = call(host->get_ident);
    for (auto store : stores) {
        py::object thread = py::getattr(store, host->n.cons_thr, py::none());
        if (thread.is_none() || py::getattr(thread, intern("ident")).equal(current))
            continue;
        try {
            call_method(thread, host->n.join, py::float_(kStopJoin));
        } catch (py::error_already_set &e) {
            e.discard_as_unraisable(py::reinterpret_borrow<py::object>(store));
        }
    }
}

void close_when_interpreter_ends(py::handle self) {
    static bool registered = false;
    if (!registered) {
        registered = true;
        try {
            call(host->register_shutdown, py::cpp_function(&close_at_shutdown));
        } catch (py::error_already_set &e) {
            // Opened while the interpreter shuts down: nothing runs later.
            if (!e.matches(PyExc_RuntimeError))
                throw;
        }
    }
    call_method(host->unowned, host->n.add, self);
}

}  // namespace
}  // namespace quarnel
