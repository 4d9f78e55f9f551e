// The store's only write path. A writer holds its collection's turn only
// while it hands a record to the producer; it then waits for its own delivery
// reports (and, with read_your_writes, for its records to be applied here)
// while other writers' records travel alongside. A batch is the same path
// with many records and one wait.
#pragma once

#include "quillet_store.hpp"

#include <initializer_list>
#include <algorithm>
#include <cstring>
#include <memory>
#include <optional>
#include <vector>

namespace quarnel {
namespace {

// How long one poll of the producer waits for reports.
constexpr double kPollStep = 0.001;
// How long the producer gathers the records of writers that overlap into
// one request, unless the caller chose a linger.ms.
constexpr double kSharedLinger = 0.5;
// How many records of a batch are encoded before they are handed over
// together: handed over apart, a record's encoding would let the linger
// expire between records and split a batch into ten times the requests.
constexpr std::size_t kHandOverRun = 256;
// How long a waiting writer that does not poll sleeps before looking whether
// it should take over the polling; a leaving poller wakes one at once.
constexpr double kWakeStep = 0.05;

struct WriteNames {
    py::str in_flight = intern("_writes_in_flight"), poll_turn = intern("_poll_turn"),
            poll_waiters = intern("_poll_waiters"), async_writes = intern("_async_writes"),
            async_poller = intern("_async_poller"), flush_always = intern("_flush_always"),
            locked = intern("locked"), items = intern("items"), keys = intern("keys"),
            call_soon_threadsafe = intern("call_soon_threadsafe"), call_later = intern("call_later"),
            set_result = intern("set_result"), set_exception = intern("set_exception"), done = intern("done"),
            cancel = intern("cancel");
    py::object BufferError = py::reinterpret_borrow<py::object>(PyExc_BufferError);
    py::object get_running_loop = import_host("asyncio").attr("get_running_loop");
    py::object SimpleNamespace = import_host("types").attr("SimpleNamespace");
};

const WriteNames &wn() {
    static const WriteNames *names = new WriteNames();
    return *names;
}

// ------------------------------------------------------------ configuration

// The first of `names` that the caller set, or null.
py::object setting(const py::dict &conf, std::initializer_list<const char *> names) {
    for (const char *name : names)
        if (PyObject *value = find(conf, py::str(name)))
            return py::reinterpret_borrow<py::object>(value);
    return py::object();
}

std::string setting_text(const py::object &value) {
    std::string text = text_of(value);
    for (char &c : text)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

// The producer's copy of the configuration. Overlapping writers rely on the
// producer keeping each partition's records in the order they were handed
// over, retries included: the idempotent producer does, unless the caller
// chose otherwise. Settings idempotence refuses (acks other than all, no
// retries, more than 5 requests in flight) keep the caller's choice; one
// request in flight then keeps the order. Every record is reported: every
// writer waits for its own.
py::dict producer_config(py::handle admin_configs) {
    py::dict conf = bind->dict_type(admin_configs);
    conf["delivery.report.only.error"] = false;
    if (!setting(conf, {"linger.ms", "queue.buffering.max.ms"}))
        conf["linger.ms"] = kSharedLinger;
    if (!setting(conf, {"enable.idempotence", "transactional.id"})) {
        py::object acks = setting(conf, {"acks", "request.required.acks"});
        py::object retries = setting(conf, {"retries", "message.send.max.retries"});
        py::object in_flight = setting(conf, {"max.in.flight", "max.in.flight.requests.per.connection"});
        bool acks_all = !acks || setting_text(acks) == "all" || setting_text(acks) == "-1";
        bool retrying = !retries || setting_text(retries) != "0";
        bool few_in_flight = !in_flight || std::atoll(setting_text(in_flight).c_str()) <= 5;
        if (acks_all && retrying && few_in_flight)
            conf["enable.idempotence"] = true;
        else if (!in_flight)
            conf["max.in.flight.requests.per.connection"] = 1;
    }
    return conf;
}

// Whether the caller chose a linger.ms of their own.
bool callers_linger(py::handle admin_configs) {
    py::object linger = setting(bind->dict_type(admin_configs), {"linger.ms", "queue.buffering.max.ms"});
    return linger && std::atof(setting_text(linger).c_str()) > 0;
}

// What the write path keeps on a store besides the offsets.
void init_write_state(py::handle self, bool flush_always) {
    const WriteNames &w = wn();
    // A caller's own linger.ms is for batching writers that do not wait:
    // one that waits has its records sent at once, by a flush.
    py::setattr(self, w.flush_always, py::bool_(flush_always));
    // Per topic: records handed to the producer whose report has not come.
    py::setattr(self, w.in_flight, py::dict());
    // Held by the one writer that polls the producer; the others wait on
    // their own lock, which their last report or a leaving poller releases.
    py::setattr(self, w.poll_turn, bind->Lock());
    py::setattr(self, w.poll_waiters, py::list());
    py::setattr(self, w.async_writes, py::int_(0));
    py::setattr(self, w.async_poller, py::none());
}

// --------------------------------------------------------------- skip rule

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

bool writes_in_flight(py::handle self, py::handle topic) {
    return find(py::getattr(self, wn().in_flight), topic) != nullptr;
}

// Whether publishing `value` under `key` would change nothing. Only a local
// copy that has caught up with this store's own writes can tell: before that
// it may still show what an earlier write replaced, and while any write of
// the store to the collection is in flight it does not skip at all.
bool holds_already(py::handle self, py::handle topic, py::handle key, py::handle value) {
    const Names &n = bind->n;
    // Stored values are bytes (or None). Only exact bytes and None are
    // compared, under exact bytes or text keys, so no code of the caller's (a
    // key's hash, a value's __eq__, which might write here again) runs while
    // the collection's turn is held; anything else, such as the JSON layer's
    // text, is published.
    bool plain_value = PyBytes_CheckExact(value.ptr()) || value.is_none();
    bool plain_key = PyBytes_CheckExact(key.ptr()) || PyUnicode_CheckExact(key.ptr());
    if (!plain_value || !plain_key || writes_in_flight(self, topic))
        return false;
    Held held(lock_for(py::getattr(self, n.locks), topic));
    // A copy that is being replaced by a replay of a new log tells nothing.
    int rebuilding = PySet_Contains(py::getattr(self, n.rebuilding).ptr(), topic.ptr());
    if (rebuilding < 0)
        throw py::error_already_set();
    PyObject *collection = find(py::getattr(self, n.topics), topic);
    if (rebuilding || !collection || PyDict_GET_SIZE(collection) == 0 || !read_back_own_writes(self, topic))
        return false;
    PyObject *current = find(collection, key);
    if (value.is_none())
        return !current || current == Py_None;  // an absent value, as a missing key has
    return current && PyBytes_CheckExact(current) && PyBytes_GET_SIZE(current) == PyBytes_GET_SIZE(value.ptr()) &&
           std::memcmp(PyBytes_AS_STRING(current), PyBytes_AS_STRING(value.ptr()), PyBytes_GET_SIZE(current)) == 0;
}

// ------------------------------------------------------------------ reports

// The delivery reports of one writer's records, as the producer's
// on_delivery callable: one native object per write or batch.
struct Batch {
    PyObject_HEAD
    PyObject *store, *topic;
    Py_ssize_t produced, outstanding, failed, refused;  // refused: by produce() itself
    bool sealed;       // every record handed over: the last report completes it
    bool unplaced;     // a record delivered without an offset (acks=0)
    bool text_keys;    // the caller's keys are text: report failed ones as text
    bool single;       // one awaitable write: fails as the blocking one does
    PyObject *first_error;  // KafkaError of the first failed record, or null
    PyObject *not_written;  // keys of the failed records
    PyObject *offsets;      // partition -> highest offset delivered
    PyObject *wake;         // a held Lock released when complete, or null
    PyObject *on_done;      // called when complete, or null
    // Which copy of the collection the records can become visible in: the
    // one served before the first was produced, and how far it had read then.
    PyObject *generation;   // int
    PyObject *read_before;  // partition -> offset, or null
};

Batch *as_batch(py::handle b) { return reinterpret_cast<Batch *>(b.ptr()); }

void count_in_flight(py::handle self, py::handle topic, long change) {
    py::object counts = py::getattr(self, wn().in_flight);
    PyObject *now = find(counts, topic);
    long count = (now ? PyLong_AsLong(now) : 0) + change;
    if (count > 0) {
        if (PyDict_SetItem(counts.ptr(), topic.ptr(), py::int_(count).ptr()) < 0)
            throw py::error_already_set();
    } else if (now && PyDict_DelItem(counts.ptr(), topic.ptr()) < 0) {
        throw py::error_already_set();
    }
}

void keep_highest(py::handle offsets, py::handle partition, py::handle offset) {
    PyObject *known = find(offsets, partition);
    if (known) {
        int lower = PyObject_RichCompareBool(known, offset.ptr(), Py_LT);
        if (lower < 0)
            throw py::error_already_set();
        if (!lower)
            return;
    }
    if (PyDict_SetItem(offsets.ptr(), partition.ptr(), offset.ptr()) < 0)
        throw py::error_already_set();
}

void release_if_held(py::handle lock) {
    if (truthy(call_method(lock, wn().locked)))
        call_method(lock, bind->n.release);
}

void complete(Batch *b) {
    if (b->wake)
        release_if_held(b->wake);
    if (b->on_done) {
        // Cleared first: it refers back to the batch.
        py::object on_done = py::reinterpret_steal<py::object>(b->on_done);
        b->on_done = nullptr;
        try {
            on_done();
        } catch (py::error_already_set &e) {
            // A closed event loop: nobody awaits the result any more.
            e.discard_as_unraisable(on_done);
        }
    }
}

// One record's report: the store learns where its write went (or that its
// place is unknown) before the writer does.
void account(Batch *b, py::handle error, py::handle msg) {
    const Names &n = bind->n;
    py::handle self(b->store), topic(b->topic);
    --b->outstanding;
    count_in_flight(self, topic, -1);
    py::set unsettled = py::getattr(self, n.unsettled_topics);
    bool placed = false;
    if (error.is_none()) {
        py::object partition = call_method(msg, n.partition), offset = call_method(msg, n.offset);
        if (PyLong_Check(offset.ptr()) && PyLong_AsLongLong(offset.ptr()) >= 0) {
            placed = true;
            keep_highest(dict_for(py::getattr(self, n.written_offsets), topic), partition, offset);
            keep_highest(b->offsets, partition, offset);
        } else {
            b->unplaced = true;
        }
    } else {
        ++b->failed;
        if (!b->first_error)
            b->first_error = py::reinterpret_borrow<py::object>(error).release().ptr();
        py::object key = call_method(msg, n.key);
        if (b->text_keys && PyBytes_Check(key.ptr())) {
            PyObject *text = PyUnicode_DecodeUTF8(PyBytes_AS_STRING(key.ptr()), PyBytes_GET_SIZE(key.ptr()), nullptr);
            if (text)
                key = py::reinterpret_steal<py::object>(text);
            else
                PyErr_Clear();
        }
        if (PyList_Append(b->not_written, key.ptr()) < 0)
            throw py::error_already_set();
    }
    // Reports of a partition come in the order its records were handed
    // over, so a placed record settles what an earlier unplaced one left open.
    if (placed) {
        if (PySet_Discard(unsettled.ptr(), topic.ptr()) < 0)
            throw py::error_already_set();
    } else {
        unsettled.add(topic);
    }
    if (b->sealed && b->outstanding == 0)
        complete(b);
}

PyObject *batch_call(PyObject *self, PyObject *args, PyObject *kwargs) {
    return guarded([&]() -> PyObject * {
        PyObject *error, *msg;
        if (kwargs || !PyArg_UnpackTuple(args, "on_delivery", 2, 2, &error, &msg))
            throw py::type_error("on_delivery takes (error, message)");
        account(reinterpret_cast<Batch *>(self), error, msg);
        Py_RETURN_NONE;
    });
}

void batch_dealloc(PyObject *self) {
    auto *b = reinterpret_cast<Batch *>(self);
    PyTypeObject *type = Py_TYPE(self);
    for (PyObject *field : {b->store, b->topic, b->first_error, b->not_written, b->offsets, b->wake, b->on_done,
                            b->generation, b->read_before})
        Py_XDECREF(field);
    type->tp_free(self);
    Py_DECREF(type);
}

py::object delivery_type(py::handle module) {
    static PyType_Slot slots[] = {{Py_tp_call, reinterpret_cast<void *>(batch_call)},
                                  {Py_tp_dealloc, reinterpret_cast<void *>(batch_dealloc)},
                                  {0, nullptr}};
    return native_type(module, "quarnel_kafka_kv.quillet.DeliveryReport", sizeof(Batch), 0, slots);
}

py::object new_batch(py::handle self, py::handle topic, bool text_keys) {
    require_own_process(Attributes(self));
    auto *type = reinterpret_cast<PyTypeObject *>(bind->DeliveryReport.ptr());
    auto *b = reinterpret_cast<Batch *>(type->tp_alloc(type, 0));  // zeroed
    if (!b)
        throw py::error_already_set();
    py::object owned = py::reinterpret_steal<py::object>(reinterpret_cast<PyObject *>(b));
    b->store = py::reinterpret_borrow<py::object>(self).release().ptr();
    b->topic = py::reinterpret_borrow<py::object>(topic).release().ptr();
    b->text_keys = text_keys;
    b->not_written = py::list().release().ptr();
    b->offsets = py::dict().release().ptr();
    const Names &n = bind->n;
    PyObject *served = find(py::getattr(self, n.log_generations), topic);
    b->generation = (served ? py::reinterpret_borrow<py::object>(served) : py::int_(0)).release().ptr();
    if (PyObject *read = find(py::getattr(self, n.read_offsets), topic))
        b->read_before = py::reinterpret_borrow<py::dict>(read).attr("copy")().release().ptr();
    return owned;
}

// The first free waiter takes over the polling.
void wake_a_waiter(py::handle waiters) {
    for (auto lock : py::list(py::reinterpret_borrow<py::object>(waiters)))
        if (truthy(call_method(lock, wn().locked))) {
            call_method(lock, bind->n.release);
            return;
        }
}

void remove_waiter(py::handle waiters, py::handle waiter) {
    for (Py_ssize_t i = PyList_GET_SIZE(waiters.ptr()) - 1; i >= 0; --i)
        if (PyList_GET_ITEM(waiters.ptr(), i) == waiter.ptr()) {
            if (PySequence_DelItem(waiters.ptr(), i) < 0)
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
void serve_reports(py::handle self, py::handle wake, Done done, Mine mine) {
    const Names &n = bind->n;
    const WriteNames &w = wn();
    py::object producer = py::getattr(self, n.producer);
    py::object turn = py::getattr(self, w.poll_turn);
    py::object waiters = py::getattr(self, w.poll_waiters);
    bool flush_always = truthy(py::getattr(self, w.flush_always));
    py::float_ poll_step(kPollStep), wake_step(kWakeStep);
    while (!done()) {
        if (truthy(call_method(turn, n.acquire, py::bool_(false)))) {
            try {
                while (!done()) {
                    // Alone, a writer has its records sent at once. With other
                    // writers' records queued or in flight, the linger gathers
                    // them into shared requests: a flush then would make the
                    // client's sending thread spin while its requests in flight
                    // are at their limit, as many writers keep them.
                    try {
                        call_method(producer, flush_always || alone(producer, mine()) ? n.flush : n.poll,
                                    poll_step);
                    } catch (py::error_already_set &e) {
                        kept_producer_failure(self, e);
                        throw;
                    }
                }
            } catch (...) {
                call_method(turn, n.release);
                wake_a_waiter(waiters);
                throw;
            }
            call_method(turn, n.release);
            wake_a_waiter(waiters);
            return;
        }
        if (PyList_Append(waiters.ptr(), wake.ptr()) < 0)
            throw py::error_already_set();
        try {
            call_method(wake, n.acquire, py::bool_(true), wake_step);
        } catch (...) {
            remove_waiter(waiters, wake);
            throw;
        }
        remove_waiter(waiters, wake);
    }
}

void wait_for_reports(py::handle self, Batch *b) {
    if (b->outstanding == 0)
        return;
    py::object wake = bind->Lock();
    call_method(wake, bind->n.acquire);
    Py_XSETREF(b->wake, wake.inc_ref().ptr());
    serve_reports(self, wake, [b] { return b->outstanding == 0; }, [b] { return b->outstanding; });
    Py_CLEAR(b->wake);
}

// ---------------------------------------------------------------- producing

// `key`, `value` of one record as the producer takes them.
using Encode = void (*)(py::handle key, py::handle value, py::object &record_key, py::object &record_value);

// The (key, value) pairs of `mapping` as dict.update takes them: a dict's
// items(), a mapping's keys() with its values, or an iterable of pairs.
py::object pairs_of(py::handle mapping) {
    const WriteNames &w = wn();
    if (PyDict_Check(mapping.ptr()))
        return py::iter(call_method(mapping, w.items));
    if (py::hasattr(mapping, w.keys)) {
        py::module_ builtins = py::module_::import("builtins");
        py::list keys(call_method(mapping, w.keys));
        return builtins.attr("zip")(keys, builtins.attr("map")(py::getattr(mapping, "__getitem__"), keys));
    }
    return py::iter(mapping);
}

// Hands one record to the producer under the collection's turn, unless the
// local copy holds it already. A full queue is emptied by serving reports,
// as a batching producer waits for room.
bool produce_record(py::handle self, py::handle turn, py::handle report, py::handle key, py::handle value) {
    const Names &n = bind->n;
    Batch *b = as_batch(report);
    py::handle topic(b->topic);
    py::object producer = py::getattr(self, n.producer);
    for (;;) {
        {
            Held held(py::reinterpret_borrow<py::object>(turn));
            if (holds_already(self, topic, key, value))
                return false;
            // Counted before the record is handed over: its report may be
            // served on another thread as soon as it is.
            ++b->outstanding;
            count_in_flight(self, topic, 1);
            PyObject *args[] = {producer.ptr(), topic.ptr(), value.ptr(), key.ptr(), report.ptr()};
            PyObject *queued = PyObject_VectorcallMethod(n.produce.ptr(), args, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                                         bind->produce_kwnames.ptr());
            if (queued) {
                Py_DECREF(queued);
                ++b->produced;
                return true;
            }
            --b->outstanding;
            count_in_flight(self, topic, -1);
            if (!PyErr_ExceptionMatches(PyExc_BufferError)) {
                py::error_already_set refusal;
                raise_kept_producer_failure(self, refusal);
                throw refusal;
            }
            PyErr_Clear();
        }
        call_method(producer, n.poll, py::float_(kPollStep));
    }
}

// Hands every pair of `pairs` over in order. A record the client refuses
// outright counts as failed, as an undelivered one does; anything else
// (a bad key, an interrupted input) ends the batch there and is returned,
// once the records before it are handed over.
std::optional<py::error_already_set> produce_all(py::handle self, py::handle report, py::handle pairs,
                                                  Encode encode) {
    Batch *b = as_batch(report);
    py::object turn = lock_for(py::getattr(self, bind->n.publish_locks), py::handle(b->topic));
    struct Record {
        py::object key, record_key, record_value;
    };
    std::vector<Record> run;
    run.reserve(kHandOverRun);
    auto hand_over = [&] {
        for (Record &r : run) {
            try {
                produce_record(self, turn, report, r.record_key, r.record_value);
            } catch (py::error_already_set &e) {
                if (!e.matches(bind->KafkaException))
                    throw;
                py::tuple args = e.value().attr("args");
                ++b->failed;
                ++b->refused;
                if (!b->first_error)
                    b->first_error = (args.empty() ? py::object(e.value()) : py::object(args[0])).release().ptr();
                if (PyList_Append(b->not_written, r.key.ptr()) < 0)
                    throw py::error_already_set();
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
                Record r{py::reinterpret_borrow<py::object>(key), py::reinterpret_borrow<py::object>(key),
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
        } catch (...) {
            py::detail::try_translate_exceptions();
            stopped = py::error_already_set();
        }
        hand_over();
    } catch (py::error_already_set &e) {
        return std::move(e);
    } catch (...) {
        py::detail::try_translate_exceptions();
        return py::error_already_set();
    }
    return stopped;
}

// What a batch raises when records failed: a KafkaException whose error
// keeps the first failure's code, and whose `not_written` lists the keys.
[[noreturn]] void raise_delivery_failure(Batch *b) {
    py::object first = py::reinterpret_borrow<py::object>(b->first_error);
    py::object code = py::isinstance(first, bind->KafkaError) ? first.attr("code")() : py::object(bind->INVALID_ARG);
    std::string reason = py::isinstance(first, bind->KafkaError) ? first.attr("str")().cast<std::string>()
                                                                  : text_of(first);
    std::string text = std::to_string(b->failed) + " of " + std::to_string(b->produced + b->refused) +
                       " records were not written (the others were); the first failure: " + reason;
    py::object exc = bind->KafkaException(bind->KafkaError(code, text));
    py::setattr(exc, "not_written", py::reinterpret_borrow<py::object>(b->not_written));
    raise_exception_object(exc);
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

// ---------------------------------------------------------------- visibility

// The copy a delivered record of `b` belongs to. An offset at or below one
// read before the batch was produced belongs to a log that started over
// since: only the copy replayed from that log can show it, and the consumer
// thread is asked to look at the topic at once.
py::object generation_of(py::handle self, const Batch *b, py::handle partition, py::handle offset) {
    PyObject *reached = b->read_before ? find(b->read_before, partition) : nullptr;
    if (!reached)
        return py::reinterpret_borrow<py::object>(b->generation);
    int started_over = PyObject_RichCompareBool(offset.ptr(), reached, Py_LE);
    if (started_over < 0)
        throw py::error_already_set();
    if (!started_over)
        return py::reinterpret_borrow<py::object>(b->generation);
    py::setattr(self, bind->n.recheck_logs, py::bool_(true));
    return py::int_(py::reinterpret_borrow<py::int_>(b->generation).cast<long long>() + 1);
}

// The entry a writer leaves for the consumer thread, which calls
// `releaser.release()` once it has applied `offset` of the partition in
// the copy `generation`.
py::tuple visibility_waiter(py::handle topic, py::handle partition, py::handle offset, py::handle releaser,
                            py::handle generation) {
    return py::make_tuple(topic, partition, offset, releaser, generation);
}

// Whether the consumer thread has applied the record at `offset` or a later
// one, in the copy the record belongs to.
bool applied(py::handle self, py::handle topic, py::handle partition, py::handle offset, py::handle generation) {
    PyObject *served = find(py::getattr(self, bind->n.log_generations), topic);
    if (!(served ? py::reinterpret_borrow<py::object>(served) : py::int_(0)).equal(generation))
        return false;
    PyObject *read = find(py::getattr(self, bind->n.read_offsets), topic);
    PyObject *reached = read ? find(read, partition) : nullptr;
    if (!reached)
        return false;
    int behind = PyObject_RichCompareBool(reached, offset.ptr(), Py_LT);
    if (behind < 0)
        throw py::error_already_set();
    return !behind;
}

bool every_offset_applied(py::handle self, Batch *b) {
    Py_ssize_t pos = 0;
    PyObject *partition, *offset;
    while (PyDict_Next(b->offsets, &pos, &partition, &offset))
        if (!applied(self, py::handle(b->topic), partition, offset, generation_of(self, b, partition, offset)))
            return false;
    return true;
}

// Whether the consumer thread runs and so can read writes back.
bool consumer_reading(py::handle self) {
    const Names &n = bind->n;
    py::object thread = py::getattr(self, n.cons_thr, py::none());
    return !thread.is_none() && truthy(py::getattr(self, n.cons_running)) &&
           call_method(thread, n.is_alive).cast<bool>();
}

bool on_consumer_thread(py::handle self) {
    py::object thread = py::getattr(self, bind->n.cons_thr, py::none());
    return !thread.is_none() && bind->get_ident().equal(py::getattr(thread, bind->n.ident));
}

[[noreturn]] void raise_not_reading() {
    PyErr_SetString(PyExc_RuntimeError,
                    "the store's consumer thread is not running, so this write cannot become visible here "
                    "(read_your_writes); the record may still have been delivered to Kafka");
    throw py::error_already_set();
}

// Returns once the consumer thread has applied every delivered record of
// the batch, or after `bound` seconds.
void wait_visible(py::handle self, Batch *b, py::handle bound) {
    const Names &n = bind->n;
    double deadline = bind->time().cast<double>() + bound.cast<double>();
    py::list waiters = py::getattr(self, n.visibility_waiters);
    Py_ssize_t pos = 0;
    PyObject *partition, *offset;
    while (PyDict_Next(b->offsets, &pos, &partition, &offset)) {
        // The consumer thread releases the lock when it applies the record. The
        // waiter is in the list before the check, so that release cannot be missed.
        py::object lock = bind->Lock();
        call_method(lock, n.acquire);
        py::object generation = generation_of(self, b, partition, offset);
        py::tuple waiter = visibility_waiter(py::handle(b->topic), partition, offset, lock, generation);
        waiters.append(waiter);
        bool released = false;
        try {
            double left = deadline - bind->time().cast<double>();
            if (!applied(self, py::handle(b->topic), partition, offset, generation) && left > 0)
                released = truthy(lock.attr("acquire")(true, left));
        } catch (...) {
            remove_waiter(waiters, waiter);
            throw;
        }
        remove_waiter(waiters, waiter);
        // Released without the record applied: the consumer thread is ending,
        // or a rebuild replaced the copy the record was applied to just now.
        if (released && !applied(self, py::handle(b->topic), partition, offset, generation) &&
            !consumer_reading(self))
            raise_not_reading();
    }
}

// With read_your_writes, until the batch is visible here (publish_pause_s at
// most); otherwise a plain pause of publish_pause_s.
void wait_after_write(py::handle self, Batch *b) {
    const Names &n = bind->n;
    py::object pause = py::getattr(self, n.publish_pause_s);
    if (truthy(py::getattr(self, n.read_your_writes))) {
        // The consumer thread cannot read back a write it is making itself.
        if (on_consumer_thread(self))
            return;
        // A record placed without an offset (acks=0) cannot be looked for:
        // the pause stands in, as without read_your_writes.
        if (!b->unplaced && PyDict_GET_SIZE(b->offsets) > 0) {
            if (!consumer_reading(self))
                raise_not_reading();
            // A negative pause fails in sleep below, as it always has.
            if (!(pause < py::int_(0))) {
                wait_visible(self, b, pause);
                if (!every_offset_applied(self, b) && !consumer_reading(self))
                    raise_not_reading();
                return;
            }
        }
    }
    // A zero pause must not hand the GIL to the consumer thread between writes.
    if (truthy(pause))
        bind->sleep(pause);
}

// ------------------------------------------------------------------ writes

// Every pair of `pairs` in order, one wait for all of them.
void write_batch(py::handle self, py::handle name, py::handle pairs, Encode encode, bool text_keys) {
    py::str topic = topic_of(self, name);
    py::object report = new_batch(self, topic, text_keys);
    Batch *b = as_batch(report);
    std::optional<py::error_already_set> stopped = produce_all(self, report, pairs, encode);
    b->sealed = true;
    wait_for_reports(self, b);
    // What was delivered is read back (or paused for) even when records
    // failed or the batch was stopped: the copy then shows every record
    // reported as written, as after the same writes one by one.
    std::optional<py::error_already_set> late;
    if (b->produced > b->failed - b->refused) {
        try {
            wait_after_write(self, b);
        } catch (py::error_already_set &e) {
            if (!b->failed && !stopped)
                throw;
            late = std::move(e);
        }
    }
    // Failed records first: whatever else went wrong, they were not written.
    if (b->failed) {
        py::object failure = raised_by([b] { raise_delivery_failure(b); });
        if (stopped || late)
            PyException_SetContext(failure.ptr(), py::object((stopped ? stopped : late)->value()).release().ptr());
        raise_exception_object(failure);
    }
    if (stopped)
        throw std::move(*stopped);
}

void set_collection_value(py::handle self, py::handle name, py::handle key, py::handle value) {
    py::str topic = topic_of(self, name);
    py::object report = new_batch(self, topic, false);
    Batch *b = as_batch(report);
    py::object turn = lock_for(py::getattr(self, bind->n.publish_locks), topic);
    if (!produce_record(self, turn, report, key, value))
        return;
    b->sealed = true;
    wait_for_reports(self, b);
    if (b->first_error)
        raise_exception_object(bind->KafkaException(py::handle(b->first_error)));
    wait_after_write(self, b);
}

void set_collection_values(py::handle self, py::handle name, py::handle mapping) {
    write_batch(self, name, mapping, nullptr, false);
}

// ------------------------------------------------------------ awaitable writes

// Polls the producer on a thread of its own while awaitable writes wait for
// their reports, so the event loop never does.
void serve_async_reports(py::handle self) {
    const WriteNames &w = wn();
    py::object wake = bind->Lock();
    call_method(wake, bind->n.acquire);
    serve_reports(self, wake, [&] {
        if (py::getattr(self, w.async_writes).cast<long>() > 0)
            return false;
        // Cleared in the same step as the check: a write counted after it
        // finds no poller and starts one.
        py::setattr(self, w.async_poller, py::none());
        return true;
    }, [&] {
        // One awaitable write is alone when every record in flight is its own.
        if (py::getattr(self, w.async_writes).cast<long>() != 1)
            return Py_ssize_t{0};
        Py_ssize_t records = 0;
        for (auto item : py::reinterpret_borrow<py::dict>(py::getattr(self, w.in_flight)))
            records += item.second.cast<Py_ssize_t>();
        return records;
    });
}

void ensure_async_poller(py::handle self) {
    const WriteNames &w = wn();
    py::object thread = py::getattr(self, w.async_poller);
    if (!thread.is_none() && call_method(thread, bind->n.is_alive).cast<bool>())
        return;
    py::object store = py::reinterpret_borrow<py::object>(self);
    py::object target = py::cpp_function([store] {
        for (;;) {
            try {
                serve_async_reports(store);
                return;
            } catch (py::error_already_set &e) {
                // The records the failure took are reported by the next poll,
                // to the writes awaiting them, which would otherwise wait forever.
                if (told_producer_failure(store, e))
                    continue;
                py::setattr(store, wn().async_poller, py::none());
                throw;
            } catch (...) {
                // Let a later awaitable write start another poller.
                py::setattr(store, wn().async_poller, py::none());
                throw;
            }
        }
    });
    thread = bind->Thread("target"_a = target, "daemon"_a = true, "name"_a = "quarnel-kv deliveries");
    py::setattr(self, w.async_poller, thread);
    call_method(thread, intern("start"));
}

void settle_future(py::handle future, py::handle result, bool failed) {
    if (truthy(call_method(future, wn().done)))
        return;  // cancelled by its awaiter
    call_method(future, failed ? wn().set_exception : wn().set_result, result);
}

// Waits on the event loop, through its own timers, until the consumer thread
// has applied every record of the batch or `seconds` have passed.
class AsyncVisibility : public std::enable_shared_from_this<AsyncVisibility> {
  public:
    AsyncVisibility(py::handle self, py::handle loop, py::handle future, py::handle report)
        : self_(py::reinterpret_borrow<py::object>(self)), loop_(py::reinterpret_borrow<py::object>(loop)),
          future_(py::reinterpret_borrow<py::object>(future)), report_(py::reinterpret_borrow<py::object>(report)) {}

    void start(double seconds) {
        const WriteNames &w = wn();
        Batch *b = as_batch(report_);
        std::weak_ptr<AsyncVisibility> weak = shared_from_this();
        py::list waiters = py::getattr(self_, bind->n.visibility_waiters);
        Py_ssize_t pos = 0;
        PyObject *partition, *offset;
        while (PyDict_Next(b->offsets, &pos, &partition, &offset)) {
            // The consumer thread calls release() on its own thread; the check
            // runs on the loop.
            py::object p = py::reinterpret_borrow<py::object>(partition);
            py::object o = py::reinterpret_borrow<py::object>(offset);
            py::object on_loop = py::cpp_function([weak, p, o] {
                if (auto me = weak.lock())
                    me->released(p, o);
            });
            py::object loop = loop_;
            py::object release = py::cpp_function([loop, on_loop] {
                try {
                    call_method(loop, wn().call_soon_threadsafe, on_loop);
                } catch (py::error_already_set &e) {
                    e.discard_as_unraisable(loop);  // a closed loop: nobody waits
                }
            });
            py::tuple waiter = visibility_waiter(py::handle(b->topic), partition, offset,
                                                 w.SimpleNamespace("release"_a = release),
                                                 generation_of(self_, b, partition, offset));
            entries_.append(waiter);
            waiters.append(waiter);
        }
        timer_ = call_method(loop_, w.call_later, py::float_(seconds), py::cpp_function([weak] {
                                 if (auto me = weak.lock())
                                     me->finish(false);
                             }));
        if (every_offset_applied(self_, b))
            finish(true);
    }

  private:
    void released(const py::object &partition, const py::object &offset) {
        if (done_)
            return;
        // Released without the record applied: the consumer thread is ending,
        // or a rebuild replaced the copy the record was applied to just now.
        Batch *b = as_batch(report_);
        if (!applied(self_, py::handle(b->topic), partition, offset, generation_of(self_, b, partition, offset)) &&
            !consumer_reading(self_))
            fail();
        else if (every_offset_applied(self_, as_batch(report_)))
            finish(true);
    }

    void finish(bool visible) {
        if (!visible && !consumer_reading(self_))
            return fail();
        end();
        settle_future(future_, py::none(), false);
    }

    void fail() {
        end();
        settle_future(future_, raised_by([] { raise_not_reading(); }), true);
    }

    void end() {
        if (done_)
            return;
        done_ = true;
        py::list waiters = py::getattr(self_, bind->n.visibility_waiters);
        for (auto entry : entries_)
            remove_waiter(waiters, entry);
        entries_ = py::list();
        if (timer_)
            call_method(timer_, wn().cancel);
        timer_ = py::object();
        keep_.reset();
    }

  public:
    std::shared_ptr<AsyncVisibility> keep_;  // itself, until done

  private:
    py::object self_, loop_, future_, report_, timer_;
    py::list entries_;
    bool done_ = false;
};

// On the event loop once every report is in: fail, or wait for visibility
// (or the pause) through the loop's own timers.
void after_reports(py::handle self, py::handle loop, py::handle future, py::handle report, py::handle stopped) {
    const Names &n = bind->n;
    const WriteNames &w = wn();
    Batch *b = as_batch(report);
    if (b->failed) {
        py::object failure = b->single ? bind->KafkaException(py::handle(b->first_error))
                                       : raised_by([b] { raise_delivery_failure(b); });
        if (!stopped.is_none())
            PyException_SetContext(failure.ptr(), py::reinterpret_borrow<py::object>(stopped).release().ptr());
        return settle_future(future, failure, true);
    }
    if (!stopped.is_none())
        return settle_future(future, stopped, true);
    if (!b->produced)
        return settle_future(future, py::none(), false);
    double seconds = std::max(0.0, py::getattr(self, n.publish_pause_s).cast<double>());
    bool visible_wait =
        truthy(py::getattr(self, n.read_your_writes)) && !b->unplaced && PyDict_GET_SIZE(b->offsets) > 0;
    if (!visible_wait) {
        if (seconds <= 0)
            return settle_future(future, py::none(), false);
        py::object owned = py::reinterpret_borrow<py::object>(future);
        call_method(loop, w.call_later, py::float_(seconds),
                    py::cpp_function([owned] { settle_future(owned, py::none(), false); }));
        return;
    }
    if (!consumer_reading(self))
        return settle_future(future, raised_by([] { raise_not_reading(); }), true);
    auto visibility = std::make_shared<AsyncVisibility>(self, loop, future, report);
    visibility->keep_ = visibility;
    visibility->start(seconds);
}

// Produces the records now (the loop waits only for room in a full producer
// queue) and returns a future settled as the blocking write would return.
py::object awrite_batch(py::handle self, py::handle name, py::handle pairs, Encode encode, bool text_keys,
                        bool single = false) {
    const WriteNames &w = wn();
    py::object loop = w.get_running_loop();
    py::object future = call_method(loop, intern("create_future"));
    py::str topic = topic_of(self, name);
    py::object report = new_batch(self, topic, text_keys);
    Batch *b = as_batch(report);
    b->single = single;
    py::object store = py::reinterpret_borrow<py::object>(self);
    auto stopped = std::make_shared<py::object>(py::none());
    py::object continuation = py::cpp_function([store, loop, future, report, stopped] {
        after_reports(store, loop, future, report, *stopped);
    });
    // Called on whichever thread serves the last report; cleared once called.
    b->on_done = py::cpp_function([store, loop, continuation] {
        const WriteNames &w = wn();
        py::setattr(store, w.async_writes, py::int_(py::getattr(store, w.async_writes).cast<long>() - 1));
        try {
            call_method(loop, w.call_soon_threadsafe, continuation);
        } catch (py::error_already_set &e) {
            // A loop closed meanwhile has nobody left to tell.
            if (!e.matches(PyExc_RuntimeError) || !truthy(call_method(loop, intern("is_closed"))))
                throw;
        }
    }).release().ptr();
    py::setattr(self, w.async_writes, py::int_(py::getattr(self, w.async_writes).cast<long>() + 1));
    if (std::optional<py::error_already_set> error = produce_all(self, report, pairs, encode))
        *stopped = error->value();
    b->sealed = true;
    if (b->outstanding == 0)
        complete(b);
    else
        ensure_async_poller(self);
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
