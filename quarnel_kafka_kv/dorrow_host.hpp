// What the Admin's parts share: the host names bound when the module is
// loaded, the Admin's lines, and the Kafka errors it tells apart.
//
// PRECONDITION for everything here: the GIL is held.
#pragma once

#include "host.hpp"

#include <cctype>
#include <string>

namespace quarnel {
namespace {

namespace py = pybind11;
using namespace pybind11::literals;

// Host names bound when the module is loaded. Kept for the life of the
// process, as pybind11 advises for objects that C++ code keeps.
struct Bindings {
    py::object monotonic, sleep, dict_type, NewTopic, NewPartitions, ConfigResource, ConfigEntry, SET, KafkaException,
        TopicCollection;
    // The method table's own get_topic_configs, to tell it from an override.
    py::object get_topic_configs;
};
const Bindings *bindings = nullptr;

Bindings load_bindings(py::handle admin_class) {
    py::object time = import_host("time"), admin = import_host("confluent_kafka.admin"),
               kafka = import_host("confluent_kafka");
    return Bindings{time.attr("monotonic"),
                    time.attr("sleep"),
                    py::module_::import("builtins").attr("dict"),
                    admin.attr("NewTopic"),
                    admin.attr("NewPartitions"),
                    admin.attr("ConfigResource"),
                    admin.attr("ConfigEntry"),
                    admin.attr("AlterConfigOpType").attr("SET"),
                    kafka.attr("KafkaException"),
                    kafka.attr("TopicCollection"),
                    admin_class.attr("get_topic_configs")};
}

// One line of the Admin: printed, or logged at `level` (INFO 20, WARNING 30)
// when its `logger` is set, as a store with a logger sets it.
void say(py::handle self, int level, py::handle message) {
    py::object logger = py::getattr(self, "logger", py::none());
    if (logger.is_none())
        py::print(message);
    else
        log_line(logger, level, message);
}

bool is_kafka_exception(py::error_already_set &e) {
    return e.matches(bindings->KafkaException);
}

std::string error_name(py::error_already_set &e) {
    return e.value().attr("args")[py::int_(0)].attr("name")().cast<std::string>();
}

// Reads the first run of digits at `pos`; -1 when there is none.
long digits_at(const std::string &text, std::size_t pos) {
    while (pos < text.size() && text[pos] == ' ')
        ++pos;
    std::size_t end = pos;
    while (end < text.size() && std::isdigit(static_cast<unsigned char>(text[end])))
        ++end;
    return end == pos ? -1 : std::stol(text.substr(pos, end - pos));
}

// How many brokers a rejected replication factor says the cluster has.
// ZooKeeper-mode brokers end the text with "brokers: N."; KRaft brokers say
// "... because only N broker(s) are registered." and may add more text.
long available_brokers(py::handle admin, const std::string &text) {
    auto marker = text.rfind("brokers:");
    if (marker != std::string::npos) {
        // The old rule: the last piece without its closing character.
        std::string piece = text.substr(marker + 8);
        if (!piece.empty())
            piece.pop_back();
        try {
            return py::int_(py::str(piece)).cast<long>();
        } catch (py::error_already_set &e) {
            if (!e.matches(PyExc_ValueError))
                throw;
        }
    }
    auto only = text.find("only ");
    if (only != std::string::npos && text.find(" broker", only) != std::string::npos) {
        long n = digits_at(text, only + 5);
        if (n >= 0)
            return n;
    }
    return static_cast<long>(py::len(admin.attr("list_topics")("timeout"_a = 10).attr("brokers")));
}

// A description that a broker lagging behind the others may refuse for a
// while; see describe_when_known.
bool is_lagging_refusal(py::error_already_set &e) {
    return is_kafka_exception(e) && error_name(e) == "UNKNOWN_TOPIC_OR_PART";
}

// A mapping of topic settings as a dict, whatever mapping the caller gave.
py::dict settings_of(py::handle config_dict) { return bindings->dict_type(config_dict); }

}  // namespace
}  // namespace quarnel
