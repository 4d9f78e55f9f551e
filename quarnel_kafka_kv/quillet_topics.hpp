// Making the collection topics ready: each exists with the store's settings,
// and the store's principal may read it. Construction does it, or, for a
// store that does not wait for its replay, the consumer thread.
#pragma once

#include "quillet_core.hpp"

namespace quarnel {
namespace {

// How long construction waits for a first answer from the cluster.
constexpr double kFirstAnswerTimeout = 10.0;

void serve_error_callback(py::object admin) {
    try {
        call_method(admin, host->n.poll, py::int_(0));
    } catch (py::error_already_set &callers) {
        // The caller's own error callback failed; the store's failure still comes first.
        callers.discard_as_unraisable(admin);
    }
}

// A refused login or TLS handshake is known within milliseconds, but the
// Admin's first request would only fail when its 10-s metadata time-out is
// over. Short requests of the Admin, whose error callback is served after
// each, end the wait as soon as the refusal is heard; the connection made
// then serves the topics' requests that follow.
void await_first_answer(py::object admin, py::list &refusal, double timeout) {
    double deadline = monotonic_now() + timeout;
    for (;;) {
        try {
            call_method(call_method_with(admin, intern("describe_cluster"), host->kw.request_timeout,
                                         py::float_(0.5)),
                        host->n.result);
            return;
        } catch (py::error_already_set &e) {
            if (!e.matches(host->KafkaException) || !is_transport_failure(e.value()) || monotonic_now() >= deadline)
                throw;
            serve_error_callback(admin);
            if (!refusal[0].is_none())
                throw;
        }
    }
}

// The settings create_compacted_topic gives every collection topic.
py::dict compacted_topic_settings() {
    py::dict settings;
    settings["cleanup.policy"] = "compact";
    settings["delete.retention.ms"] = "100";
    settings["segment.ms"] = "100";
    settings["min.cleanable.dirty.ratio"] = "0.01";
    return settings;
}

void create_compacted_topic(py::handle self, py::handle topic) {
    call_method(py::getattr(self, host->n.admin), intern("create_or_update_topic"), topic, py::int_(1), py::int_(3),
                compacted_topic_settings());
}

// The class's own create_compacted_topic, for every topic at once: one
// request per step instead of one per topic and step, which grows a start
// with many collections to seconds. An override is called per topic.
void create_compacted_topics(py::handle self, py::dict &topics) {
    if (!is_own_method<create_compacted_topic>(self, "create_compacted_topic")) {
        for (auto topic : topics)
            call_method(self, host->n.create_compacted_topic, topic.first);
        return;
    }
    py::object created = call_method(py::getattr(self, host->n.admin), intern("create_or_update_topics"),
                                     py::list(topics.attr("keys")()), py::int_(1), py::int_(3),
                                     compacted_topic_settings());
    if (!created.is_none())
        for (auto topic : created)
            core_of(self).created_topics.insert(topic_key(topic));
}

// Every collection topic exists with the store's settings; a transport
// failure that a refused login or handshake explains is raised as that.
void create_collection_topics(py::handle self, py::dict &topics, py::list &refusal, double first_answer_timeout) {
    py::object admin = py::getattr(self, host->n.admin);
    try {
        await_first_answer(admin, refusal, first_answer_timeout);
        core_of(self).contact.heard();
        create_compacted_topics(self, topics);
    } catch (py::error_already_set &e) {
        if (!e.matches(host->KafkaException) || !is_transport_failure(e.value()))
            throw;
        // Serves the Admin's error callback, which has seen the broker by now.
        serve_error_callback(admin);
        if (refusal[0].is_none())
            throw;
        py::object refused = call(host->KafkaException, refusal[0]);
        PyException_SetCause(refused.ptr(), e.value().inc_ref().ptr());
        raise_exception_object(refused);
    }
}

// A principal without Read on a topic learns it only from a fetch, which the
// replay of an empty topic never waits for: the store would come up live and
// its consumer thread fail moments later. The operations the cluster grants on
// each topic tell before anything starts; a broker or client that does not
// name them, or an answer that does not come, leaves it to the fetch.
void require_read_right(py::handle self, py::dict &topics) {
    py::dict answers;
    try {
        answers = py::getattr(self, host->n.admin)
                      .attr("describe_topics")(call(host->TopicCollection, py::list(topics.attr("keys")())),
                                               "include_authorized_operations"_a = true,
                                               "request_timeout"_a = kFirstAnswerTimeout);
    } catch (py::error_already_set &e) {
        if (!e.matches(host->KafkaException) && !e.matches(PyExc_TypeError))
            throw;
        return;
    }
    for (auto answer : answers) {
        py::object granted;
        try {
            granted = call_method(answer.second, host->n.result).attr("authorized_operations");
        } catch (py::error_already_set &e) {
            if (!e.matches(host->KafkaException))
                throw;
            continue;
        }
        if (granted.is_none() || !truthy(granted) || granted.contains(host->READ))
            continue;
        raise_kafka_error(host->TOPIC_AUTHORIZATION_FAILED,
                          "Not authorized to read topic " + text_of(answer.first) +
                              ": the store's principal needs Read (with Describe and DescribeConfigs) on it");
    }
}

}  // namespace
}  // namespace quarnel
