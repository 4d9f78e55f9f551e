// Rebuilding a copy whose log started over: the log is read again from its
// first record, with a client of its own, into a fresh copy that replaces the
// served one whole once it has caught up. Readers see the old copy or the
// new, never a mix; listeners are told of every key the swap changed.
#pragma once

#include "quillet_consumer_apply.hpp"

namespace quarnel {
namespace {

class Rebuilder {
  public:
    Rebuilder(py::handle self, StoreCore &core, PartitionTable &table, LogClient &client, Listeners &listeners)
        : self_(py::reinterpret_borrow<py::object>(self)), core_(core), table_(table), client_(client),
          listeners_(listeners), topics_(py::getattr(self, host->n.topics)),
          locks_(py::getattr(self, host->n.locks)),
          config_(core.consumer_config) {}

    // Read `log` again from its first record: before the store is live into
    // the served copy itself, after that into a fresh copy. Read with a new
    // client: one that followed the old log may keep its metadata, and some
    // client versions then never fetch from a topic re-created under them.
    // The other partitions go on from where they are. A log the cluster
    // cannot list yet is tried again at the next check of the topics.
    void start_over(Log &log, const StartOver &why, bool live) {
        SpareConsumer spare(config_);
        std::vector<Partition> found;
        if (!client_.list_with(spare.consumer, log, found)) {
            log.pending = why;
            return;
        }
        table_.replace(log, std::move(found));
        client_.adopt(spare, table_.partitions());
        ++replacements_;
        log.pending.reset();
        log.id = py::none();  // the next check records the new log's identity
        restore_topic_settings(log.topic);
        py::object origins = table_.count(log) > 1 ? py::object(py::dict()) : py::object();
        core_.board.begin_rebuild(log.key, why.new_log);
        if (!live) {
            {
                Held held(lock_for(locks_, log.topic));
                call_method(py::reinterpret_borrow<py::dict>(topics_)[log.topic], intern("clear"));
            }
            log.origins = origins;
            std::vector<WaiterRef> woken;
            core_.board.swap_in(log.key, {}, woken);
            return wake_all(woken);
        }
        log.fresh = py::dict();
        log.fresh_origins = origins;
        log.rebuild = why;
        if (!table_.replaying(&log))
            finish(log);
    }

    // Serves every fresh copy whose log has been read to its end.
    void finish_ready() {
        for (Log &log : table_.logs())
            if (log.fresh && !table_.replaying(&log))
                finish(log);
    }

    bool any() const {
        for (const Log &log : table_.logs())
            if (log.fresh)
                return true;
        return false;
    }

    // Counts the clients replaced, so that a batch read from the one before
    // is not applied after it.
    std::size_t replacements() const { return replacements_; }

  private:
    // Serves the fresh copy, then tells the collection's callback and
    // listeners of every key whose value it changed.
    void finish(Log &log) {
        py::object old, fresh = std::move(log.fresh);
        log.fresh = py::object();
        {
            Held held(lock_for(locks_, log.topic));
            py::dict topics = py::reinterpret_borrow<py::dict>(topics_);
            old = topics[log.topic];
            topics[log.topic] = fresh;
        }
        log.origins = std::move(log.fresh_origins);
        log.fresh_origins = py::object();
        Offsets read;
        for (Partition &p : table_.partitions())
            if (p.log == &log && p.applied >= 0) {
                read[p.id] = p.applied;
                p.progressed = false;
            }
        if (log.rebuild.new_log)
            forget_own_writes(log.key);
        std::vector<WaiterRef> woken;
        core_.board.swap_in(log.key, std::move(read), woken);
        wake_all(woken);
        emit_line(self_, kWarning,
            py::str("KafkaCompaction rebuilt " + text_of(log.topic) + " from its log, which started over (" +
                    log.rebuild.reason + ")"));
        listeners_.notify_changes(log.topic, old, fresh);
    }

    // The offsets of the store's writes to the old log mean nothing in the
    // new one: until a write is delivered there, the copy is not known to
    // show every write of the store, and the skip rule publishes everything.
    void forget_own_writes(const std::string &topic) {
        core_.writes.written.erase(topic);
        core_.writes.unsettled.insert(topic);
    }

    // A topic re-created by hand, or by a broker that makes a missing topic
    // when a record is sent to it, has the cluster's defaults, whose delete
    // retention would drop the collection's records within days. The settings
    // a store opens with are made again, on a thread of their own: the
    // requests may wait on a broker that is down, and the copy must not.
    void restore_topic_settings(py::handle topic) {
        py::object store = self_, name = py::reinterpret_borrow<py::object>(topic);
        py::object restore = py::cpp_function([store, name] {
            try {
                call_method(store, host->n.create_compacted_topic, name);
            } catch (py::error_already_set &e) {
                if (!e.matches(PyExc_Exception))
                    throw;
                emit_line(store, kWarning, py::str("KafkaCompaction could not give topic {} its settings again: {}")
                                         .format(name, e.value()));
            }
        });
        core_.helpers.append(start_thread(restore, "quarnel-kv topic settings"));
    }

    py::object self_;
    StoreCore &core_;
    PartitionTable &table_;
    LogClient &client_;
    Listeners &listeners_;
    py::object topics_, locks_, config_;
    std::size_t replacements_ = 0;
};

}  // namespace
}  // namespace quarnel
