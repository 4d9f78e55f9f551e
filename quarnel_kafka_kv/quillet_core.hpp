// The state a store's threads share, each piece with its owner, in one
// native object kept in the store's instance dictionary as `_core`. The
// attributes callers may read or set (`_topics`, `locks`, `consumer`,
// `cons_running`, ...) stay instance attributes.
//
// The lock order, written once. A writer takes its collection's publish lock
// (`WriteState::publish_locks`), then the collection's lock (`locks[topic]`), and
// nothing else while that is held; the consumer thread takes collection
// locks only, one at a time. No lock of ours is held while code of the
// caller's runs: listeners, callbacks, a key's __eq__ or __hash__, logging
// handlers, asyncio callbacks. State below that names no lock is guarded by
// the GIL: the operations on it make no call into the host, which could give
// the GIL up between a read and the write that depends on it.
#pragma once

#include "quillet_lifecycle.hpp"
#include "quillet_store.hpp"
#include "quillet_visibility.hpp"

#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace quarnel {
namespace {

// What the write path keeps between writes.
struct WriteState {
    // Per topic, the lock a writer holds while it hands records to the
    // producer, which keeps them in that order. An RLock: a signal handler
    // that writes may run inside the hold of the write it interrupted.
    py::dict publish_locks;
    // Per topic, records handed to the producer whose report has not come.
    // Writers count up, whichever thread serves a report counts down.
    std::unordered_map<std::string, long> in_flight;
    // Per topic, the highest offset per partition of the store's delivered
    // records, and the topics where a record was delivered without an offset
    // (acks=0) and no later one with; written by whichever thread serves reports.
    std::unordered_map<std::string, Offsets> written;
    std::unordered_set<std::string> unsettled;
    // The one thread that polls the producer for reports holds `poll_lock`;
    // the others wait on a lock of their own, listed in `poll_waiters`.
    py::object poll_lock;
    py::list poll_waiters;
    // Awaitable writes whose reports have not all come, and the thread that
    // serves their reports while there are any (None otherwise).
    long async_writes = 0;
    py::object async_poller = py::none();
    // Set by construction: the caller chose a linger.ms of their own; the
    // write_timeout_s the producer's message.timeout.ms was made from (-1: none).
    bool flush_always = false;
    double client_timeout_s = -1;
    // The producer's fatal error once it failed, for the writes refused after it.
    py::object producer_failure;
    // Records a stop took from the producer, and those of them that were in
    // flight, whose fate is unknown. Counted by whichever thread serves their reports.
    long purged = 0, purged_in_flight = 0;
};

// One partition as status() shows it.
struct PartitionMark {
    long long partition, position, end;
};

// What the consumer thread tells about itself; status() reads it.
struct ConsumerReport {
    // Per topic, published together every 0.25 s and at the replay's end.
    std::unordered_map<std::string, std::vector<PartitionMark>> marks;
    // Topics the cluster did not list when last asked.
    std::unordered_set<std::string> missing_topics;
    // From construction to a complete copy, set when the replay is over.
    std::optional<double> replay_seconds;
    // The consumer thread's identity, set by the thread as it starts.
    unsigned long thread_ident = 0;
};

// Whether the cluster answers the store's clients. Whichever thread hears an
// answer notes it: the consumer thread (records, partition ends, its checks),
// and whichever thread serves a delivery report.
struct Contact {
    // After this long without an answer the store counts as out of contact.
    static constexpr double kLostAfter = 10.0;

    double last = 0;      // when an answer last came (monotonic); 0: none yet
    // Written by the consumer thread, which tells the loss and the return;
    // `held_back` also by the clients' lines, served on any thread.
    bool lost = false;
    double lost_since = 0, next_reminder = 0;
    long held_back = 0;   // the clients' lines about connections held back meanwhile

    void heard() { last = monotonic_now(); }
    bool connected(double now) const { return last > 0 && now - last <= kLostAfter; }
};

// How many times this process is a child forked from the one before:
// counted by the C library's fork handler.
unsigned forks_seen = 0;

struct StoreCore {
    Lifecycle life;          // construction, the consumer thread and the stoppers
    VisibilityBoard board;   // see quillet_visibility.hpp
    WriteState writes;
    ConsumerReport report;
    Contact contact;

    // Set by construction.
    unsigned fork_generation = forks_seen;
    bool owns_process = true;
    py::object db_name;         // the db_name the topic names were made with
    py::dict topic_names;       // collection name (text) -> topic
    py::dict consumer_config;   // for the consumer thread's clients
    bool clients_log = false;   // the clients hand their lines to a logger (theirs or the store's) when polled
    py::object replayed;        // an Event the consumer thread sets when the replay is over
    double opened_at = monotonic_now();
    bool topics_ready = true;   // false: the consumer thread makes them ready first
    py::list refusal;           // [a refused login or handshake the consumer heard, or None]
    // Topics this store's construction created, empty: the consumer thread
    // starts them at their first offset without asking where they end.
    std::unordered_set<std::string> created_topics;

    // Threads of the store's own besides the consumer thread (topic settings
    // made again), joined by a stop; added by the consumer thread.
    py::list helpers;

    // The stop: set by whoever stops the store; read by the exit steps and status().
    py::object failure;        // what ended the consumer thread, or null
    int exit_status = 0;       // what the default stop action exits with
    double flush_deadline = 0; // a stop's delivery wait ends then (monotonic); 0: none begun
    bool abandoned = false;    // construction failed: no stop action runs

    // The objects held above that could lead back to the store (a failure's
    // traceback, a thread's target, an awaitable write's callback), for the
    // host's cycle collector.
    template <typename Visit>
    int each_object(Visit visit) {
        for (PyObject *o : {failure.ptr(), writes.producer_failure.ptr(), writes.async_poller.ptr(), helpers.ptr()})
            if (o)
                if (int r = visit(o))
                    return r;
        return board.each_object(visit);
    }

    void drop_objects() {
        failure = py::object();
        writes.producer_failure = py::object();
        writes.async_poller = py::none();
        helpers = py::list();
        board.drop_waiters();
    }
};

// A store serves only the process that opened it. A pid could be reused and
// costs a system call on every read; the fork count is one integer.
bool opened_here(const StoreCore &core) { return core.fork_generation == forks_seen; }

// ------------------------------------------------------------ native object

struct CoreObject {
    PyObject_HEAD
    StoreCore *core;
};

py::object new_core() {
    auto *type = reinterpret_cast<PyTypeObject *>(host->StoreCoreType.ptr());
    auto *self = reinterpret_cast<CoreObject *>(type->tp_alloc(type, 0));
    if (!self)
        throw py::error_already_set();
    py::object owned = py::reinterpret_steal<py::object>(reinterpret_cast<PyObject *>(self));
    self->core = new StoreCore();
    return owned;
}

// The store's core, or null for a store whose construction never made one.
StoreCore *find_core(const Attributes &state) {
    PyObject *found = state.own(host->n.core);
    if (!found || !Py_IS_TYPE(found, reinterpret_cast<PyTypeObject *>(host->StoreCoreType.ptr())))
        return nullptr;
    return reinterpret_cast<CoreObject *>(found)->core;
}

StoreCore *find_core(py::handle self) { return find_core(Attributes(self)); }

StoreCore &core_of(const Attributes &state) {
    if (StoreCore *core = find_core(state))
        return *core;
    throw py::type_error("this store was not opened: its constructor did not run or failed");
}

StoreCore &core_of(py::handle self) { return core_of(Attributes(self)); }

void require_own_process(const StoreCore &core) {
    if (opened_here(core))
        return;
    PyErr_SetString(PyExc_RuntimeError,
                    "this store was opened before the process forked, and a store serves only the process that "
                    "opened it: open it in each process after the fork (in the worker's start-up hook or the "
                    "application factory)");
    throw py::error_already_set();
}

// The topic of a collection, from the table construction filled while the
// names are text and `db_name` is still the one it used; formatted otherwise.
py::str topic_of(const Attributes &state, const StoreCore &core, py::handle name) {
    py::object db_name = state[host->n.db_name];
    if (PyUnicode_CheckExact(name.ptr()) && db_name.is(core.db_name))
        if (PyObject *topic = find(core.topic_names, name))
            return py::reinterpret_borrow<py::str>(topic);
    return topic_name(db_name, name);
}

py::str topic_of(py::handle self, py::handle name) {
    Attributes state(self);
    return topic_of(state, core_of(state), name);
}

int core_traverse(PyObject *self, visitproc visit, void *arg) {
    Py_VISIT(Py_TYPE(self));
    StoreCore *core = reinterpret_cast<CoreObject *>(self)->core;
    return core ? core->each_object([&](PyObject *o) { return visit(o, arg); }) : 0;
}

int core_clear(PyObject *self) {
    if (StoreCore *core = reinterpret_cast<CoreObject *>(self)->core)
        core->drop_objects();
    return 0;
}

void core_dealloc(PyObject *self) {
    PyTypeObject *type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    delete reinterpret_cast<CoreObject *>(self)->core;
    type->tp_free(self);
    Py_DECREF(type);
}

py::dict offsets_dict(const Offsets &offsets) {
    py::dict d;
    for (const auto &[partition, offset] : offsets)
        d[py::int_(partition)] = py::int_(offset);
    return d;
}

// `store._core.snapshot()`: what the threads share, as plain values, for tests and post-mortems.
PyObject *core_snapshot(PyObject *self, PyObject *) {
    return guarded([&]() -> PyObject * {
        StoreCore *core = reinterpret_cast<CoreObject *>(self)->core;
        py::dict snapshot, written, read;
        for (const auto &[topic, offsets] : core->writes.written) {
            written[py::str(topic)] = offsets_dict(offsets);
            if (const Offsets *reached = core->board.read(topic))
                read[py::str(topic)] = offsets_dict(*reached);
        }
        py::list unsettled;
        for (const std::string &topic : core->writes.unsettled)
            unsettled.append(py::str(topic));
        snapshot["written"] = written;
        snapshot["read"] = read;
        snapshot["unsettled"] = unsettled;
        snapshot["waiting"] = core->board.waiting();
        snapshot["exit_status"] = core->exit_status;
        snapshot["failure"] = core->failure ? core->failure : py::object(py::none());
        return snapshot.release().ptr();
    });
}

py::object core_type(py::handle module) {
    static PyMethodDef methods[] = {{"snapshot", core_snapshot, METH_NOARGS, nullptr}, {nullptr, nullptr, 0, nullptr}};
    static PyType_Slot slots[] = {{Py_tp_dealloc, reinterpret_cast<void *>(core_dealloc)},
                                  {Py_tp_traverse, reinterpret_cast<void *>(core_traverse)},
                                  {Py_tp_clear, reinterpret_cast<void *>(core_clear)},
                                  {Py_tp_methods, methods},
                                  {0, nullptr}};
    return native_type(module, "quarnel_kafka_kv.quillet.StoreCore", sizeof(CoreObject), Py_TPFLAGS_HAVE_GC, slots);
}

}  // namespace
}  // namespace quarnel
