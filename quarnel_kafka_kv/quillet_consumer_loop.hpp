// The consumer thread's loop: it assigns itself every partition of the
// collection topics, replays them into memory in batches, then applies each
// new record and tells the collection's callback and listeners, while the
// watch, the rebuilds and the status reporter do their parts.
#pragma once

#include "quillet_consumer_contact.hpp"
#include "quillet_consumer_errors.hpp"
#include "quillet_consumer_startup.hpp"
#include "quillet_consumer_status.hpp"
#include "quillet_process_stop.hpp"

#include <optional>

namespace quarnel {
namespace {

// Records taken per call while replaying: what the client has queued, up to this.
constexpr Py_ssize_t kReplayBatch = 10000;

class ConsumerLoop {
  public:
    ConsumerLoop(py::handle self, StoreCore &core)
        : self_(py::reinterpret_borrow<py::object>(self)), core_(core),
          topics_(py::getattr(self, host->n.topics)), locks_(py::getattr(self, host->n.locks)),
          table_(py::list(topics_.attr("keys")())), client_(self, core), listeners_(self), watch_(self, core, table_, client_),
          rebuilds_(self, core, table_, client_, listeners_), status_(self, core, table_, client_),
          contact_(self, core, table_), start_(self, core, table_, client_),
          errors_(table_, client_, reader_, watch_,
                  [this](Log &log, const StartOver &why) { rebuilds_.start_over(log, why, live_); }) {}

    void run() {
        py::list topic_list(topics_.attr("keys")());
        emit_line(self_, kInfo, py::make_tuple("Consumer topic_list:", topic_list));
        auto running = [this] { return this->running(); };
        auto ticks = [this] {
            status_.tick();
            contact_.tick();
        };
        if (!core_.topics_ready && !start_.prepare_topics(running, ticks))
            return;
        if (!start_.assign_partitions(running, ticks))
            return;
        while (running()) {
            ticks();
            if (live_) {
                live_batch();
                for (LogChange &change : watch_.check())
                    rebuilds_.start_over(*change.log, change.why, live_);
            } else if (table_.replaying()) {
                replay_batch();
            } else {
                finish_replay();
            }
        }
        watch_.settle();
    }

  private:
    bool running() const { return truthy(py::getattr(self_, host->n.cons_running)); }

    // Applies what the client has queued, holding each topic's lock once for
    // a run of its records; nobody is told of replayed records.
    void replay_batch() {
        py::list msgs = client_.consume(replay_batch_, zero_);
        if (msgs.empty())
            msgs = client_.consume(one_, replay_wait_);
        std::optional<Held> held;
        Log *current = nullptr;
        py::object collection;
        bool progressed = false;
        std::size_t replacements = rebuilds_.replacements();
        for (auto item : msgs) {
            std::optional<Record> record = incoming(item.ptr(), &held);
            // The rest came from a client that a log starting over replaced:
            // the new one reads everything not applied yet again.
            if (rebuilds_.replacements() != replacements)
                break;
            if (!record)
                continue;
            Log *log = record->partition->log;
            if (log != current || !held) {
                held.reset();
                current = log;
                collection = py::reinterpret_borrow<py::dict>(topics_)[log->topic];
                held.emplace(lock_for(locks_, log->topic));
            }
            apply_record(reader_, collection, log->origins, *record);
            record->partition->note_applied(record->offset);
            already_has_some_messages_ = progressed = true;
        }
        held.reset();
        publish_progress();
        start_.replaying(progressed);
    }

    void finish_replay() {
        core_.report.replay_seconds = monotonic_now() - core_.opened_at;
        status_.publish();  // a status() right after construction sees the replay's end
        emit_line(self_, kInfo,
            py::str(already_has_some_messages_ ? "KafkaCompaction Inited, already has some messages"
                                               : "KafkaCompaction Inited, no msg in topics"));
        live_ = core_.life.advance(Stage::kLive);
        py::setattr(self_, host->n.inited, py::bool_(true));
        call_method(core_.replayed, host->n.set);
    }

    // One record at a time, each applied under its topic's lock and then
    // told, with no lock held, to the collection's callback and listeners.
    // Records of a log being rebuilt go to its fresh copy instead.
    void live_batch() {
        // Both are read before every poll so a caller can retune a running store.
        py::object num_messages =
            rebuilds_.any() ? py::object(replay_batch_) : py::getattr(self_, host->n.consumer_num_messages);
        std::size_t replacements = rebuilds_.replacements();
        py::list msgs = client_.consume(num_messages, py::getattr(self_, host->n.consumer_timeout_s));
        // A full batch means more may be queued, as under a stream of writes:
        // taking it now spares a hand-over of the GIL per record.
        Py_ssize_t asked = num_messages.cast<Py_ssize_t>();
        if (static_cast<Py_ssize_t>(msgs.size()) >= asked && asked < kReplayBatch) {
            py::list more = client_.consume(replay_batch_, zero_);
            if (!more.empty() && PyList_SetSlice(msgs.ptr(), PY_SSIZE_T_MAX, PY_SSIZE_T_MAX, more.ptr()) < 0)
                throw py::error_already_set();
        }
        for (auto item : msgs) {
            std::optional<Record> record = incoming(item.ptr());
            if (rebuilds_.replacements() != replacements)
                break;  // as in replay_batch
            if (!record)
                continue;
            Log &log = *record->partition->log;
            if (log.fresh) {
                apply_record(reader_, log.fresh, log.fresh_origins, *record);
                record->partition->note_applied(record->offset);
                continue;
            }
            bool changed;
            {
                Held held(lock_for(locks_, log.topic));
                changed = apply_record(reader_, py::reinterpret_borrow<py::dict>(topics_)[log.topic], log.origins,
                                       *record);
            }
            record->partition->note_applied(record->offset);
            publish_progress(*record->partition);
            if (changed)
                listeners_.notify(log.topic, record->key, is_empty_bytes(record->value) ? py::none() : record->value);
        }
        rebuilds_.finish_ready();
    }

    // How far the served copies have applied their logs, for the writers.
    void publish_progress() {
        std::vector<WaiterRef> woken;
        for (Partition &p : table_.partitions())
            if (p.progressed && !p.log->fresh) {
                p.progressed = false;
                core_.board.publish(p.log->key, p.id, p.applied, woken);
            }
        wake_all(woken);
    }

    void publish_progress(Partition &p) {
        std::vector<WaiterRef> woken;
        p.progressed = false;
        core_.board.publish(p.log->key, p.id, p.applied, woken);
        wake_all(woken);
    }

    // A message's record, or nothing for an error, and for a record applied
    // before: after a failover the client may reset its position and read
    // records again, which must neither turn a value back for a while nor be
    // told twice. Whether the log itself started over is asked at once. An
    // error may start a log over, which takes its collection's lock: the
    // caller's `held` lock is let go first.
    std::optional<Record> incoming(PyObject *msg, std::optional<Held> *held = nullptr) {
        py::object error = reader_.error(msg);
        if (error.is_none() || is_code(error, host->PARTITION_EOF))
            core_.contact.heard();
        if (!error.is_none()) {
            if (held)
                held->reset();
            errors_.handle(msg, error);
            return std::nullopt;
        }
        Partition &p = table_.partition_of(reader_.topic(msg), reader_.partition(msg));
        long long offset = reader_.offset(msg);
        if (offset < p.next) {
            watch_.check_soon();
            return std::nullopt;
        }
        return Record{msg, &p, offset, reader_.key(msg), reader_.value(msg)};
    }

    py::object self_;
    StoreCore &core_;
    py::object topics_, locks_;
    PartitionTable table_;
    LogClient client_;
    MessageReader reader_;
    Listeners listeners_;
    TopicWatch watch_;
    Rebuilder rebuilds_;
    StatusReporter status_;
    ContactWatch contact_;
    StartUp start_;
    MessageErrors errors_;
    bool live_ = false;  // the replay is over; only this thread moves the store to live
    bool already_has_some_messages_ = false;
    py::object replay_batch_ = py::int_(kReplayBatch), one_ = py::int_(1), zero_ = py::float_(0.0),
               replay_wait_ = py::float_(kReplayWait);
};

// The consumer thread's body. `init_timeout` is accepted and bounds nothing:
// only the partitions' end offsets end the replay.
void start_consumer(py::handle self, py::handle /*init_timeout*/) {
    StoreCore &core = core_of(self);
    core.report.thread_ident = PyThread_get_thread_ident();
    py::object failure;
    try {
        ConsumerLoop(self, core).run();
    } catch (std::exception &) {
        failure = failure_in_flight();
    }
    run_exit_steps(self, core, failure);
}

}  // namespace
}  // namespace quarnel
