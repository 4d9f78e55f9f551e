// Topic administration: `Admin`, a Kafka AdminClient that brings topics into
// a wanted shape.
#include "dorrow_batch.hpp"

namespace quarnel {
namespace {

// The description of a topic. A refused describe request is printed before
// it is raised, unless it will be retried.
py::dict describe(py::handle self, py::handle topic, bool retrying) {
    py::object topics_dict = self.attr("list_topics")("timeout"_a = 10).attr("topics");
    if (!topics_dict.contains(topic))
        return py::dict();
    py::object partitions = topics_dict[topic].attr("partitions");
    py::int_ num_partitions(py::len(partitions));
    py::int_ replication_factor(py::len(partitions[py::int_(0)].attr("replicas")));

    py::object resource = bindings->ConfigResource("topic", topic);
    py::dict fs = self.attr("describe_configs")(py::list(py::make_tuple(resource)));
    py::object configs = py::dict();
    for (auto item : fs) {
        try {
            configs = item.second.attr("result")();
        } catch (py::error_already_set &e) {
            if (is_kafka_exception(e) && !(retrying && is_lagging_refusal(e)))
                say(self, 30, py::str("Failed to describe {}: {}").format(item.first, e.value()));
            throw;
        }
    }
    py::dict description;
    description["num_partitions"] = num_partitions;
    description["replication_factor"] = replication_factor;
    description["configs"] = configs;
    return description;
}

py::object get_topic_configs(py::handle self, py::handle topic) { return describe(self, topic, false); }

// Brokers learn of a new topic one after another: the one answering the
// metadata request may list it while the one answering the description does
// not know it yet. Such a refusal is retried for up to 10 s, and so, with
// `until_listed`, is a description without the topic.
py::dict describe_when_known(py::handle self, py::handle topic, bool until_listed) {
    // An override of get_topic_configs (in a subclass or on the instance) is
    // called as it is, on every try.
    py::object own = self.attr("get_topic_configs");
    bool overridden = !PyCFunction_Check(own.ptr()) || !py::getattr(own, "__self__").is(self) ||
                      !py::object(py::type::handle_of(self).attr("get_topic_configs")).is(bindings->get_topic_configs);
    double deadline = bindings->monotonic().cast<double>() + 10.0;
    for (;;) {
        bool last_try = bindings->monotonic().cast<double>() >= deadline;
        try {
            py::dict description = overridden ? py::dict(own(topic))
                                              : describe(self, topic, !last_try);
            if (!until_listed || !description.empty() || last_try)
                return description;
        } catch (py::error_already_set &e) {
            if (!is_lagging_refusal(e) || last_try)
                throw;
        }
        bindings->sleep(0.1);
    }
}

void create_or_update_topic(py::handle self, py::handle topic, py::handle num_partitions,
                            py::handle replication_factor, py::handle config_dict) {
    py::dict topic_configs = describe_when_known(self, topic, false);
    if (topic_configs.empty()) {
        try {
            self.attr("create_topic_with_params")(topic, num_partitions, replication_factor);
        } catch (py::error_already_set &e) {
            // Another process created it between our look and our request:
            // the topic exists, which is all this step wants.
            if (!is_kafka_exception(e) || error_name(e) != "TOPIC_ALREADY_EXISTS")
                throw;
        }
        // The other creator's topic may not be in our broker's metadata yet.
        topic_configs = describe_when_known(self, topic, true);
    }
    if (py::object(topic_configs["num_partitions"]) < py::reinterpret_borrow<py::object>(num_partitions))
        self.attr("set_topic_partitions")(topic, num_partitions);

    py::object configs = topic_configs["configs"];
    py::dict given = settings_of(config_dict);
    bool is_equal_cnf = true;
    for (auto item : given) {
        py::object current = configs[item.first].attr("value");
        if (!current.equal(py::str(item.second)))
            is_equal_cnf = false;
    }
    if (is_equal_cnf)
        return;
    py::dict wanted;
    for (auto item : given)
        wanted[item.first] = py::str(item.second);
    self.attr("set_topic_configs")(topic, wanted);
}

void create_topic_with_params(py::handle self, py::handle topic_arg, py::handle num_partitions,
                              py::handle replication_factor, py::handle timeout) {
    py::object topic = py::reinterpret_borrow<py::object>(topic_arg);
    py::object topic_md = bindings->NewTopic(topic, "num_partitions"_a = num_partitions,
                                             "replication_factor"_a = replication_factor);
    py::dict fs = self.attr("create_topics")(py::list(py::make_tuple(topic_md)));
    py::object t = bindings->monotonic();
    if (fs.empty())
        return;
    auto first = *fs.begin();
    topic = py::reinterpret_borrow<py::object>(first.first);
    py::object f = py::reinterpret_borrow<py::object>(first.second);
    try {
        f.attr("result")();
        while (bindings->monotonic() - t < py::reinterpret_borrow<py::object>(timeout)) {
            if (self.attr("list_topics")("timeout"_a = 10).attr("topics").contains(topic)) {
                say(self, 20, py::str("Topic {} created").format(topic));
                return;
            }
            bindings->sleep(0.1);
        }
        std::string message = "Timeout " + text_of(timeout) + "s on creating topic " + text_of(topic) + " expired";
        PyErr_SetString(PyExc_Exception, message.c_str());
        throw py::error_already_set();
    } catch (py::error_already_set &e) {
        if (is_kafka_exception(e)) {
            py::object error = e.value().attr("args")[py::int_(0)];
            if (error.attr("name")().cast<std::string>() != "INVALID_REPLICATION_FACTOR")
                throw;
            long requested = replication_factor.cast<long>();
            long brokers = available_brokers(self, error.attr("str")().cast<std::string>());
            // A count that would not lower the factor (all brokers fenced, say)
            // would only repeat the same rejection forever.
            if (brokers < 1 || brokers >= requested)
                throw;
            say(self, 20, py::str("Topic " + text_of(topic) + " will created with replication_factor = " +
                                    std::to_string(brokers)));
            self.attr("create_topic_with_params")(topic, num_partitions, brokers, timeout);
            return;
        }
        if (!e.matches(PyExc_Exception))
            throw;
        say(self, 30, py::str("Failed to create topic {}: {}").format(topic, e.value()));
        throw;
    }
}

// Sets exactly the given entries. The incremental request leaves every other
// entry of the topic as it is; the replacing one would reset them to their
// defaults, wiping settings an operator made.
py::object set_topic_configs(py::handle self, py::handle topic, py::handle config_dict) {
    py::object resource = bindings->ConfigResource("topic", topic);
    for (auto item : settings_of(config_dict)) {
        resource.attr("set_config")(item.first, item.second);
        // The incremental request takes text only; the replacing one sent a number as its text.
        resource.attr("add_incremental_config")(
            bindings->ConfigEntry(item.first, py::str(item.second), "incremental_operation"_a = bindings->SET));
        say(self, 20, py::make_tuple(item.first, item.second));
    }
    py::dict fs = self.attr("incremental_alter_configs")(py::list(py::make_tuple(resource)));
    for (auto item : fs) {
        item.second.attr("result")();
        say(self, 20, py::str("{} configuration successfully altered").format(item.first));
    }
    return resource;
}

void set_topic_partitions(py::handle self, py::handle topic, py::handle new_total_count) {
    py::int_ total(py::reinterpret_borrow<py::object>(new_total_count));
    py::object new_parts = bindings->NewPartitions(topic, total);
    py::dict fs = self.attr("create_partitions")(py::list(py::make_tuple(new_parts)), "validate_only"_a = false);
    for (auto item : fs) {
        try {
            item.second.attr("result")();
            say(self, 20, py::str("Additional partitions created for topic " + text_of(item.first) +
                                  " now there are " + text_of(new_total_count)));
        } catch (py::error_already_set &e) {
            if (!e.matches(PyExc_Exception))
                throw;
            // A rejected request (a total not above the current count) is
            // reported, not raised: callers ask for "at least" this many.
            say(self, 30, py::str("Failed to add partitions to topic {}: {}").format(item.first, e.value()));
        }
    }
}


// The topics it created, which are empty unless another process wrote to
// them since: a caller that reads them need not ask where they end. None when
// overrides ran, whose creations are theirs to know.
py::object create_or_update_topics(py::handle self, py::handle topics, py::handle num_partitions,
                                   py::handle replication_factor, py::handle config_dict) {
    // A text would be taken as one topic per character.
    if (PyUnicode_Check(topics.ptr()) || PyBytes_Check(topics.ptr()))
        throw py::type_error(std::string("topics must be an iterable of topic names, not ") +
                             Py_TYPE(topics.ptr())->tp_name);
    py::dict seen;  // a topic named twice is one topic
    for (auto topic : py::iter(topics))
        seen[topic] = py::none();
    py::list names(seen);
    // Overrides of the steps are called as they are, topic by topic.
    bool own = is_own_method<create_or_update_topic>(self, "create_or_update_topic") &&
               is_own_method<get_topic_configs>(self, "get_topic_configs") &&
               is_own_method<create_topic_with_params>(self, "create_topic_with_params") &&
               is_own_method<set_topic_configs>(self, "set_topic_configs") &&
               is_own_method<set_topic_partitions>(self, "set_topic_partitions");
    if (!own) {
        for (auto topic : names)
            self.attr("create_or_update_topic")(topic, num_partitions, replication_factor, config_dict);
        return py::none();
    }
    return TopicBatch(self, std::move(names)).run(num_partitions, replication_factor, config_dict);
}

}  // namespace
}  // namespace quarnel

PYBIND11_MODULE(dorrow, m) {
    using namespace quarnel;
    namespace py = pybind11;

    py::object cls =
        make_class(m, "Admin", py::make_tuple(import_from("confluent_kafka.admin", "AdminClient")), nullptr);
    cls.attr("logger") = py::none();

    // The texts of Admin's documentation are part of its interface: none but
    // the partition operation's. The lines before "--" give only signatures.
    define_methods(cls, {
        method<create_or_update_topic>("create_or_update_topic",
                                       {"topic", "num_partitions", "replication_factor", "config_dict"},
                                       "create_or_update_topic($self, topic, num_partitions, replication_factor, "
                                       "config_dict)\n--\n\n"),
        method<create_or_update_topics>("create_or_update_topics",
                                        {"topics", "num_partitions", "replication_factor", "config_dict"},
                                        "create_or_update_topics($self, topics, num_partitions, replication_factor, "
                                        "config_dict)\n--\n\n"),
        method<get_topic_configs>("get_topic_configs", {"topic"}, "get_topic_configs($self, topic)\n--\n\n"),
        method<create_topic_with_params>(
            "create_topic_with_params", {"topic", "num_partitions", "replication_factor", {"timeout", py::int_(10)}},
            "create_topic_with_params($self, topic, num_partitions, replication_factor, timeout=10)\n--\n\n"),
        method<set_topic_configs>("set_topic_configs", {"topic", "config_dict"},
                                  "set_topic_configs($self, topic, config_dict)\n--\n\n"),
        method<set_topic_partitions>("set_topic_partitions", {"topic", "new_total_count"},
                                     "set_topic_partitions($self, topic, new_total_count)\n--\n\n create partitions "),
    });

    static py::gil_safe_call_once_and_store<Bindings> storage;
    bindings = &storage.call_once_and_store_result([&] { return load_bindings(cls); }).get_stored();
}
