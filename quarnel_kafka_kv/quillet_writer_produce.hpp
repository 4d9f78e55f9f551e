// Handing records to the producer: one writer at a time per collection, in
// the order of the calls, a batch a run of records at a time.
#pragma once

#include "quillet_writer_reports.hpp"

#include <optional>
#include <vector>

namespace quarnel {
namespace {

// How many records of a batch are encoded before they are handed over
// together: handed over apart, a record's encoding would let the linger
// expire between records and split a batch into ten times the requests.
constexpr std::size_t kHandOverRun = 256;

// `key`, `value` of one record as the producer takes them.
using Encode = void (*)(py::handle key, py::handle value, py::object &record_key, py::object &record_value);

// The (key, value) pairs of `mapping` as dict.update takes them: a dict's
// items(), a mapping's keys() with its values, or an iterable of pairs.
py::object pairs_of(py::handle mapping) {
    if (PyDict_Check(mapping.ptr()))
        return py::iter(call_method(mapping, host->n.items));
    if (py::hasattr(mapping, host->n.keys)) {
        py::list keys(call_method(mapping, host->n.keys));
        return call(host->zip, keys, call(host->map, py::getattr(mapping, "__getitem__"), keys));
    }
    return py::iter(mapping);
}

// The lock a writer of `topic` holds while it hands records over.
py::object publish_lock_of(StoreCore &core, py::handle topic) { return lock_for(core.writes.publish_locks, topic, host->RLock); }

// Hands one record to the producer under the collection's publish lock, unless the
// local copy holds it already. A full queue is emptied by serving reports,
// as a batching producer waits for room.
bool produce_record(py::handle self, py::handle publish_lock, py::handle report, py::handle key, py::handle value) {
    Batch &b = batch_of(report);
    StoreCore &core = *b.core;
    py::object producer = py::getattr(self, host->n.producer);
    for (;;) {
        {
            Held held(py::reinterpret_borrow<py::object>(publish_lock));
            if (holds_already(self, core, b.topic, b.key, key, value))
                return false;
            // Counted before the record is handed over: its report may be
            // served on another thread as soon as it is.
            ++b.outstanding;
            count_in_flight(core, b.key, 1);
            try {
                call_method_with(producer, host->n.produce, host->kw.produce, b.topic, value, key, report);
                ++b.produced;
                return true;
            } catch (py::error_already_set &refusal) {
                --b.outstanding;
                count_in_flight(core, b.key, -1);
                if (!refusal.matches(PyExc_BufferError)) {
                    raise_kept_producer_failure(core, refusal);
                    throw;
                }
            }
        }
        call_method(producer, host->n.poll, py::float_(kPollStep));
    }
}

// Hands every pair of `pairs` over in order. A record the client refuses
// outright counts as failed, as an undelivered one does; anything else
// (a bad key, an interrupted input) ends the batch there and is returned,
// once the records before it are handed over.
std::optional<py::error_already_set> produce_all(py::handle self, py::handle report, py::handle pairs,
                                                  Encode encode) {
    Batch &b = batch_of(report);
    py::object publish_lock = publish_lock_of(*b.core, b.topic);
    struct Pending {
        py::object key, record_key, record_value;
    };
    std::vector<Pending> run;
    run.reserve(kHandOverRun);
    auto hand_over = [&] {
        for (Pending &r : run) {
            try {
                produce_record(self, publish_lock, report, r.record_key, r.record_value);
            } catch (py::error_already_set &e) {
                if (!e.matches(host->KafkaException))
                    throw;
                ++b.failed;
                ++b.refused;
                if (!b.first_error) {
                    py::object error = kafka_error_of(e.value());
                    b.first_error = error ? error : e.value();
                }
                b.not_written.append(r.key);
            }
        }
        run.clear();
    };
    std::optional<py::error_already_set> stopped;
    try {
        py::object it = py::iter(pairs_of(pairs));
        try {
            while (PyObject *raw = PyIter_Next(it.ptr())) {
                py::object item = py::reinterpret_steal<py::object>(raw);
                py::object pair = py::reinterpret_steal<py::object>(
                    PySequence_Fast(item.ptr(), "each item of the mapping must be a (key, value) pair"));
                if (!pair)
                    throw py::error_already_set();
                if (PySequence_Fast_GET_SIZE(pair.ptr()) != 2)
                    throw py::value_error("each item of the mapping must be a (key, value) pair");
                py::handle key = PySequence_Fast_GET_ITEM(pair.ptr(), 0);
                py::handle value = PySequence_Fast_GET_ITEM(pair.ptr(), 1);
                Pending r{py::reinterpret_borrow<py::object>(key), py::reinterpret_borrow<py::object>(key),
                          py::reinterpret_borrow<py::object>(value)};
                if (encode)
                    encode(key, value, r.record_key, r.record_value);
                run.push_back(std::move(r));
                if (run.size() == kHandOverRun)
                    hand_over();
            }
            if (PyErr_Occurred())
                throw py::error_already_set();
        } catch (py::error_already_set &e) {
            stopped = std::move(e);
        } catch (std::exception &) {
            py::detail::try_translate_exceptions();
            stopped = py::error_already_set();
        }
        hand_over();
    } catch (py::error_already_set &e) {
        return std::move(e);
    } catch (std::exception &) {
        py::detail::try_translate_exceptions();
        return py::error_already_set();
    }
    return stopped;
}

// The exception `raiser` raises, as an object.
template <typename Raise>
py::object raised_by(Raise raiser) {
    try {
        raiser();
    } catch (py::error_already_set &e) {
        return e.value();
    }
    return py::none();
}

// What a batch raises when records failed: a KafkaException whose error
// keeps the first failure's code, and whose `not_written` lists the keys.
py::object delivery_failure(const Batch &b) {
    const py::object &first = b.first_error;
    bool client_error = py::isinstance(first, host->KafkaError);
    py::object code = client_error ? call_method(first, host->n.code) : host->INVALID_ARG;
    std::string reason = client_error ? call_method(first, host->n.str).cast<std::string>() : text_of(first);
    std::string text = std::to_string(b.failed) + " of " + std::to_string(b.produced + b.refused) +
                       " records were not written (the others were); the first failure: " + reason;
    py::object exc = call(host->KafkaException, call(host->KafkaError, code, py::str(text)));
    py::setattr(exc, "not_written", b.not_written);
    return exc;
}

}  // namespace
}  // namespace quarnel
