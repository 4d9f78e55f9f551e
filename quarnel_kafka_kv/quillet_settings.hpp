// Every client setting the store derives from the caller's configuration:
// what each of its three clients is given, and why. The caller's dictionary
// is never changed.
#pragma once

#include "quillet_core.hpp"

#include <cctype>
#include <chrono>
#include <memory>
#include <cstdlib>
#include <initializer_list>
#include <string>

namespace quarnel {
namespace {

// How long the producer gathers the records of writers that overlap into
// one request, unless the caller chose a linger.ms.
constexpr double kSharedLinger = 0.5;

// Properties that only the other kind of client takes: each client would say
// that it ignores them on every store opened and every log read again.
constexpr const char *kProducerOnly[] = {
    "transactional.id", "transaction.timeout.ms", "enable.idempotence", "enable.gapless.guarantee",
    "queue.buffering.max.messages", "queue.buffering.max.kbytes", "queue.buffering.max.ms", "linger.ms",
    "message.send.max.retries", "retries", "queue.buffering.backpressure.threshold", "compression.codec",
    "compression.type", "compression.level", "batch.num.messages", "batch.size", "delivery.report.only.error",
    "sticky.partitioning.linger.ms", "request.required.acks", "acks", "request.timeout.ms", "message.timeout.ms",
    "delivery.timeout.ms", "partitioner", "on_delivery"};
constexpr const char *kConsumerOnly[] = {
    "group.id", "group.instance.id", "partition.assignment.strategy", "session.timeout.ms",
    "heartbeat.interval.ms", "group.protocol.type", "group.protocol", "group.remote.assignor",
    "coordinator.query.interval.ms", "max.poll.interval.ms", "enable.auto.commit", "auto.commit.interval.ms",
    "enable.auto.offset.store", "queued.min.messages", "queued.max.messages.kbytes", "fetch.wait.max.ms",
    "fetch.queue.backoff.ms", "fetch.message.max.bytes", "max.partition.fetch.bytes", "fetch.max.bytes",
    "fetch.min.bytes", "fetch.error.backoff.ms", "isolation.level", "enable.partition.eof", "check.crcs",
    "auto.offset.reset", "on_commit"};

template <std::size_t N>
py::object without(py::handle configs, const char *const (&names)[N]) {
    if (!PyDict_Check(configs.ptr()))
        return py::reinterpret_borrow<py::object>(configs);  // the client says what is wrong with it
    py::dict kept = host->dict_type(configs);
    for (const char *name : names)
        if (PyDict_DelItemString(kept.ptr(), name) < 0)
            PyErr_Clear();  // absent
    return std::move(kept);
}

// The first of `names` that the caller set, or null.
py::object setting(py::handle conf, std::initializer_list<const char *> names) {
    if (!PyDict_Check(conf.ptr()))
        return py::object();
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

// Lines about a group coordinator: the store's consumer joins no group, so
// they say nothing about the store.
bool is_group_noise(const std::string &facility, const std::string &text) {
    return facility.rfind("CGRP", 0) == 0 || facility.rfind("COORD", 0) == 0 ||
           text.find("GroupCoordinator") != std::string::npos;
}

// The clients' lines, as the clients hand them to their `logger`: on to the
// store's logger, or printed as a client prints them by itself. A connection
// that fails again and again (a broker away) would flood both: while no
// broker answers, those lines are held back, for the store's own lines to
// count, and otherwise one line a minute passes per connection.
class ClientLines {
  public:
    ClientLines(py::object logger, py::object core_object)
        : logger_(std::move(logger)), core_object_(std::move(core_object)),
          contact_(reinterpret_cast<CoreObject *>(core_object_.ptr())->core->contact) {}

    // Called as `log(level, format, facility, name, text)`.
    void log(py::args args) {
        if (py::len(args) != 5)
            return pass(args, -1);
        std::string facility = text_of(args[2]), text = text_of(args[4]);
        if (is_group_noise(facility, text))
            return;
        if (facility == "FAIL" && !first_in_a_while(text_of(args[3]) + text.substr(0, text.find("]: ")))) {
            ++contact_.held_back;
            return pass(args, kDebug);
        }
        pass(args, -1);
    }

  private:
    static constexpr double kRepeatEvery = 60.0;
    static constexpr int kDebug = 10;

    bool first_in_a_while(const std::string &connection) {
        double now = monotonic_now();
        if (contact_.lost)
            return false;
        auto it = passed_.find(connection);
        if (it != passed_.end() && now - it->second < kRepeatEvery)
            return false;
        passed_[connection] = now;
        return true;
    }

    // At its own level, or at `level` when that is not -1.
    void pass(py::args args, int level) {
        if (!logger_.is_none()) {
            py::list forwarded(args);
            if (level >= 0)
                forwarded[0] = py::int_(level);
            logger_.attr("log")(*forwarded);
        } else if (level < 0 && py::len(args) == 5) {
            auto seconds = std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch());
            py::print(py::str("%{}|{:.3f}|{}|{}| {}").format(syslog_level(args[0].cast<int>()), seconds.count(),
                                                             args[2], args[3], args[4]),
                      "file"_a = host->sys.attr("stderr"));
        }
    }

    // The client's own number for a logging level.
    static int syslog_level(int level) { return level >= 50 ? 2 : level >= 40 ? 3 : level >= 30 ? 4 : level >= 20 ? 6 : 7; }

    py::object logger_, core_object_;
    Contact &contact_;
    std::unordered_map<std::string, double> passed_;  // connection -> when a line about it last passed
};

// The caller's configuration with the clients' lines handed to the store,
// unless the caller named a logger of their own, which wins.
py::object with_logger(py::handle self, py::handle core_object, py::handle admin_configs) {
    if (!PyDict_Check(admin_configs.ptr()) || setting(admin_configs, {"logger"}))
        return py::reinterpret_borrow<py::object>(admin_configs);
    auto lines = std::make_shared<ClientLines>(py::getattr(self, host->n.logger, py::none()),
                                               py::reinterpret_borrow<py::object>(core_object));
    py::dict configs = host->dict_type(admin_configs);
    configs["logger"] =
        host->SimpleNamespace("log"_a = py::cpp_function([lines](py::args args) { lines->log(std::move(args)); }));
    return std::move(configs);
}

// Whether the clients hand their lines to a logger, which they do only when polled.
bool clients_log(py::handle configs) { return bool(setting(configs, {"logger"})); }


// The producer's copy of the configuration. Overlapping writers rely on the
// producer keeping each partition's records in the order they were handed
// over, retries included: the idempotent producer does, unless the caller
// chose otherwise. Settings idempotence refuses (acks other than all, no
// retries, more than 5 requests in flight) keep the caller's choice; one
// request in flight then keeps the order. Every record is reported: every
// writer waits for its own.
py::dict producer_config(py::handle configs, StoreCore &core, py::handle write_timeout_s) {
    py::dict conf = host->dict_type(without(configs, kConsumerOnly));
    // A record left undelivered past the writes' bound is failed by the
    // client itself, rather than delivered long after its write gave up.
    if (!write_timeout_s.is_none() && !setting(conf, {"message.timeout.ms", "delivery.timeout.ms"})) {
        core.writes.client_timeout_s = write_timeout_s.cast<double>();
        conf["message.timeout.ms"] = static_cast<long long>(core.writes.client_timeout_s * 1000);
    }
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

// A caller's own linger.ms is for batching writers that do not wait: one
// that waits has its records sent at once, by a flush.
bool callers_linger(py::handle configs) {
    py::object linger = setting(configs, {"linger.ms", "queue.buffering.max.ms"});
    return linger && std::atof(setting_text(linger).c_str()) > 0;
}

// A client reports a refused login or TLS handshake only to an error
// callback; its requests merely time out as transport failures. The
// Admin's copy gets this recorder, which also calls the caller's own
// callback, so that construction can name the real cause.
py::object refusal_recorder(py::list latest, py::object callers_error_cb) {
    return py::cpp_function([latest, callers_error_cb](py::object error) {
        py::object code = call_method(error, host->n.code);
        if (code.equal(host->AUTHENTICATION) || code.equal(host->SSL))
            latest[0] = error;
        if (!callers_error_cb.is_none())
            call(callers_error_cb, error);
    });
}

// The Admin's copy of the configuration. `refusal` receives a refused
// login or handshake (see refusal_recorder).
py::object admin_config(py::handle configs, py::list refusal) {
    py::object conf = without(configs, kConsumerOnly);
    if (PyDict_Check(conf.ptr()))
        conf["error_cb"] = refusal_recorder(refusal, conf.attr("get")("error_cb"));
    return conf;
}

// The consumer's copy of the configuration.
py::dict consumer_config(py::handle configs) {
    py::dict conf = host->dict_type(without(configs, kProducerOnly));
    conf["session.timeout.ms"] = 6000;
    // Every partition is assigned from an offset the consumer thread chose; a
    // position the log no longer has must come back as an error, not as a
    // silent jump into what may be another log.
    conf["auto.offset.reset"] = "error";
    conf["enable.auto.commit"] = false;
    conf["group.id"] = py::str(call(host->uuid4));
    // Partition ends tell the consumer thread that a replay caught up even
    // where records at the end of a partition are gone.
    conf["enable.partition.eof"] = true;
    // The client otherwise pauses a partition's fetching for a second each
    // time its local queue holds queued.min.messages records, which paces a
    // replay at about that many records per second.
    if (!conf.contains("fetch.queue.backoff.ms"))
        conf["fetch.queue.backoff.ms"] = 10;
    // What the client may fetch ahead of the thread, per partition (64 MiB
    // by default): during a replay that queue is held in memory next to the
    // copy being built, while the thread, not the network, sets the pace.
    // Two fetches' worth keeps it busy.
    if (!conf.contains("queued.max.messages.kbytes"))
        conf["queued.max.messages.kbytes"] = 2048;
    // A partition just created, or just moved to another broker, answers a
    // fetch with an error for a moment; the client then waits half a second
    // (its default) before fetching again, and a write read back waits with
    // it. The Java client waits 100 ms.
    if (!conf.contains("fetch.error.backoff.ms"))
        conf["fetch.error.backoff.ms"] = 100;
    return conf;
}

}  // namespace
}  // namespace quarnel
