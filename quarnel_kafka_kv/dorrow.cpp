// Topic administration: `Admin`, a Kafka AdminClient that brings topics into
// a wanted shape.
#include "host.hpp"

#include <algorithm>
#include <cctype>
#include <map>
#include <optional>
#include <utility>
#include <vector>

namespace quarnel {
namespace {

namespace py = pybind11;
using namespace pybind11::literals;

// Host names bound when the module is loaded. Kept for the life of the
// process, as pybind11 advises for objects that C++ code keeps.
struct Bindings {
    py::object time, sleep, NewTopic, NewPartitions, ConfigResource, ConfigEntry, SET, KafkaException, TopicCollection;
    // The method table's own get_topic_configs, to tell it from an override.
    py::object get_topic_configs;
};
const Bindings *bindings = nullptr;

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
    double deadline = bindings->time().cast<double>() + 10.0;
    for (;;) {
        bool last_try = bindings->time().cast<double>() >= deadline;
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
    bool is_equal_cnf = true;
    for (auto item : py::reinterpret_borrow<py::dict>(config_dict)) {
        py::object current = configs[item.first].attr("value");
        if (!current.equal(py::str(item.second)))
            is_equal_cnf = false;
    }
    if (is_equal_cnf)
        return;
    py::dict wanted;
    for (auto item : py::reinterpret_borrow<py::dict>(config_dict))
        wanted[item.first] = py::str(item.second);
    self.attr("set_topic_configs")(topic, wanted);
}

void create_topic_with_params(py::handle self, py::handle topic_arg, py::handle num_partitions,
                              py::handle replication_factor, py::handle timeout) {
    py::object topic = py::reinterpret_borrow<py::object>(topic_arg);
    py::object topic_md = bindings->NewTopic(topic, "num_partitions"_a = num_partitions,
                                             "replication_factor"_a = replication_factor);
    py::dict fs = self.attr("create_topics")(py::list(py::make_tuple(topic_md)));
    py::object t = bindings->time();
    if (fs.empty())
        return;
    auto first = *fs.begin();
    topic = py::reinterpret_borrow<py::object>(first.first);
    py::object f = py::reinterpret_borrow<py::object>(first.second);
    try {
        f.attr("result")();
        while (bindings->time() - t < py::reinterpret_borrow<py::object>(timeout)) {
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
    for (auto item : py::reinterpret_borrow<py::dict>(config_dict)) {
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


// ------------------------------------------------------------- many topics
//
// What create_or_update_topic does for one topic, done for many with one
// request per step: a service with hundreds of collections would otherwise
// wait for hundreds of rounds on every start. Each topic's lines are kept
// and printed together, in the order of the topics, as calling
// create_or_update_topic topic by topic prints them. A topic that fails ends
// the batch where it would end that loop: the topics before it are brought to
// shape, the lines of those after it are dropped and its failure is raised
// (requests already made for later topics stay made).

// create_topic_with_params's default, which create_or_update_topic uses,
// for each started hundred of topics in one request: a broker lists them
// all at once, when it has applied the whole creation, which takes longer
// the more topics it holds (a thousand: tens of seconds on a busy machine).
constexpr long kCreationTimeout = 10;
constexpr std::size_t kTopicsPerTimeout = 100;
// How long a description refused by a lagging broker is asked for again.
constexpr double kDescriptionRetries = 10.0;

class TopicBatch {
  public:
    TopicBatch(py::handle self, py::list topics)
        : self_(py::reinterpret_borrow<py::object>(self)), topics_(std::move(topics)), count_(py::len(topics_)),
          stop_(count_), lines_(count_), shapes_(count_) {
        for (std::size_t i = 0; i < count_; ++i)
            index_[topics_[i]] = py::int_(i);
    }

    // Returns the topics this call created.
    py::list run(py::handle num_partitions, py::handle replication_factor, py::handle config_dict) {
        py::list created;
        if (count_ == 0)
            return created;
        create(describe_existing(), num_partitions, replication_factor);
        grow_partitions(num_partitions);
        correct_configs(config_dict);
        report();
        for (std::size_t i : created_)
            created.append(topic(i));
        return created;
    }

  private:
    // What a description says of a topic.
    struct Shape {
        bool described = false;
        py::object num_partitions, configs;
    };

    static double now() { return bindings->time().cast<double>(); }
    py::object topic(std::size_t i) const { return topics_[i]; }
    std::size_t index_of(py::handle name) const { return index_[name].cast<std::size_t>(); }

    void line(std::size_t i, int level, py::object message) { lines_[i].emplace_back(level, std::move(message)); }

    void fail(std::size_t i, const py::error_already_set &e) {
        if (i >= stop_)
            return;
        stop_ = i;
        failure_.emplace(e);
    }

    void fail_with(std::size_t i, PyObject *type, py::handle value) {
        PyErr_SetObject(type, value.ptr());
        py::error_already_set e;
        fail(i, e);
    }

    // A failure of a request for several topics is the first one's, as the
    // loop would meet it there.
    void fail_first(const std::vector<std::size_t> &asked, const py::error_already_set &e) {
        for (std::size_t i : asked)
            if (i < stop_) {
                fail(i, e);
                return;
            }
    }

    std::vector<std::size_t> before_stop(const std::vector<std::size_t> &indices) const {
        std::vector<std::size_t> kept;
        for (std::size_t i : indices)
            if (i < stop_)
                kept.push_back(i);
        return kept;
    }

    // Adds to `listed` what the metadata says of these topics, if it lists
    // them. Asked of these topics alone: a listing of the whole cluster, as
    // get_topic_configs makes, costs as much as the cluster has topics,
    // which on a shared cluster can be tens of thousands. The broker answers
    // for a topic that listing would leave out (missing, not to be described
    // by this principal, an invalid name) with an error of its own; an error
    // of the client (no answer came) fails the look as it fails the listing.
    void look(const std::vector<std::size_t> &indices, py::dict &listed) const {
        py::list names;
        for (std::size_t i : indices)
            if (!listed.contains(topic(i)))
                names.append(topic(i));
        if (names.empty())
            return;
        py::dict fs = self_.attr("describe_topics")(bindings->TopicCollection(names), "request_timeout"_a = 10);
        for (auto item : fs) {
            try {
                listed[item.first] = item.second.attr("result")();
            } catch (py::error_already_set &e) {
                if (!is_kafka_exception(e) || error_name(e).rfind('_', 0) == 0)
                    throw;
            }
        }
    }

    // The topics the metadata lists are described; the others are returned.
    std::vector<std::size_t> describe_existing() {
        std::vector<std::size_t> all(count_), found, missing;
        for (std::size_t i = 0; i < count_; ++i)
            all[i] = i;
        py::dict listed;
        look(all, listed);
        for (std::size_t i = 0; i < count_; ++i)
            (listed.contains(topic(i)) ? found : missing).push_back(i);
        for (std::size_t i : describe(found, listed, false))
            missing.push_back(i);
        std::sort(missing.begin(), missing.end());
        return missing;
    }

    bool note_partitions(std::size_t i, const py::dict &listed) {
        try {
            py::object partitions = listed[topic(i)].attr("partitions");
            shapes_[i].num_partitions = py::int_(py::len(partitions));
            py::len(partitions[py::int_(0)].attr("replicas"));  // as get_topic_configs reads it
            return true;
        } catch (py::error_already_set &e) {
            fail(i, e);
            return false;
        }
    }

    // describe_when_known for all of them, one metadata and one
    // configuration request per try. Returns the topics described as
    // missing; with `until_listed` only once the retries are over.
    // `listed`: what the metadata said of some of them a moment ago.
    std::vector<std::size_t> describe(std::vector<std::size_t> pending, py::dict listed, bool until_listed) {
        double deadline = now() + kDescriptionRetries;
        std::vector<std::size_t> unlisted;
        for (;;) {
            pending = before_stop(pending);
            if (pending.empty())
                break;
            bool last_try = now() >= deadline;
            try {
                look(pending, listed);
            } catch (py::error_already_set &e) {
                fail_first(pending, e);
                break;
            }
            std::vector<std::size_t> asked, again;
            for (std::size_t i : pending) {
                if (!listed.contains(topic(i))) {
                    (until_listed && !last_try ? again : unlisted).push_back(i);
                    continue;
                }
                if (note_partitions(i, listed))
                    asked.push_back(i);
            }
            describe_configs(asked, last_try, again);
            pending = std::move(again);
            if (pending.empty())
                break;
            bindings->sleep(0.1);
            listed = py::dict();
        }
        return before_stop(unlisted);
    }

    void describe_configs(const std::vector<std::size_t> &asked, bool last_try, std::vector<std::size_t> &again) {
        if (asked.empty())
            return;
        py::dict fs;
        try {
            py::list resources;
            for (std::size_t i : asked)
                resources.append(bindings->ConfigResource("topic", topic(i)));
            fs = self_.attr("describe_configs")(resources);
        } catch (py::error_already_set &e) {
            fail_first(asked, e);
            return;
        }
        for (auto item : fs) {
            std::size_t i = index_of(item.first.attr("name"));
            try {
                shapes_[i].configs = item.second.attr("result")();
                shapes_[i].described = true;
            } catch (py::error_already_set &e) {
                bool retried = !last_try && is_lagging_refusal(e);
                if (retried) {
                    again.push_back(i);
                    continue;
                }
                if (is_kafka_exception(e))
                    line(i, 30, py::str("Failed to describe {}: {}").format(item.first, e.value()));
                fail(i, e);
            }
        }
        std::sort(again.begin(), again.end());
    }

    // create_topic_with_params for every missing topic: one request per
    // replication factor tried, then one wait until the metadata lists them.
    void create(std::vector<std::size_t> missing, py::handle num_partitions, py::handle replication_factor) {
        std::vector<std::pair<std::size_t, py::object>> asking;
        for (std::size_t i : before_stop(missing))
            asking.emplace_back(i, py::reinterpret_borrow<py::object>(replication_factor));
        std::vector<std::size_t> created, raced;
        std::vector<std::pair<double, long>> sent(count_);  // when, and the seconds it may take
        while (!asking.empty()) {
            std::vector<std::size_t> asked;
            for (auto &ask : asking)
                asked.push_back(ask.first);
            py::dict fs;
            try {
                py::list new_topics;
                for (auto &[i, factor] : asking)
                    new_topics.append(bindings->NewTopic(topic(i), "num_partitions"_a = num_partitions,
                                                         "replication_factor"_a = factor));
                fs = self_.attr("create_topics")(new_topics);
            } catch (py::error_already_set &e) {
                fail_first(asked, e);
                break;
            }
            double t = now();
            long hundreds = static_cast<long>((asking.size() + kTopicsPerTimeout - 1) / kTopicsPerTimeout);
            long limit = kCreationTimeout * hundreds;
            // A rejection whose text names no broker count costs a metadata request: one per text.
            std::map<std::string, long> counted;
            std::vector<std::pair<std::size_t, py::object>> retry;
            for (auto &[i, factor] : asking) {
                if (i >= stop_)
                    continue;
                sent[i] = {t, limit};
                if (!fs.contains(topic(i))) {
                    raced.push_back(i);
                    continue;
                }
                try {
                    py::object(fs[topic(i)]).attr("result")();
                    created.push_back(i);
                } catch (py::error_already_set &e) {
                    if (!is_kafka_exception(e)) {
                        if (!e.matches(PyExc_Exception))
                            throw;
                        line(i, 30, py::str("Failed to create topic {}: {}").format(topic(i), e.value()));
                        fail(i, e);
                        continue;
                    }
                    std::string name = error_name(e);
                    if (name == "TOPIC_ALREADY_EXISTS") {
                        // Another process created it between our look and our request.
                        raced.push_back(i);
                        continue;
                    }
                    if (name != "INVALID_REPLICATION_FACTOR") {
                        fail(i, e);
                        continue;
                    }
                    long requested = factor.cast<long>(), brokers;
                    std::string text = e.value().attr("args")[py::int_(0)].attr("str")().cast<std::string>();
                    try {
                        auto known = counted.find(text);
                        brokers = known != counted.end() ? known->second
                                                         : (counted[text] = available_brokers(self_, text));
                    } catch (py::error_already_set &again) {
                        fail(i, again);
                        continue;
                    }
                    if (brokers < 1 || brokers >= requested) {
                        fail(i, e);
                        continue;
                    }
                    line(i, 20, py::str("Topic " + text_of(topic(i)) + " will created with replication_factor = " +
                                        std::to_string(brokers)));
                    retry.emplace_back(i, py::int_(brokers));
                }
            }
            asking = std::move(retry);
        }
        std::sort(created.begin(), created.end());
        py::dict listed = await_listed(created, sent);
        created_ = before_stop(created);
        // Topics created without settings in one request have the same
        // configuration, the cluster's defaults: the first one's description
        // stands for all (for a thousand topics it is most of the batch's time).
        if (!created_.empty())
            raced.push_back(created_[0]);
        std::sort(raced.begin(), raced.end());
        // A topic the metadata still does not list has no description,
        // which create_or_update_topic meets as a KeyError.
        for (std::size_t i : describe(raced, listed, true))
            fail_with(i, PyExc_KeyError, py::str("num_partitions"));
        for (std::size_t i : created_) {
            if (i >= stop_ || shapes_[i].described || !shapes_[created_[0]].described)
                continue;
            if (note_partitions(i, listed)) {
                shapes_[i].configs = shapes_[created_[0]].configs;
                shapes_[i].described = true;
            }
        }
    }

    // The wait of create_topic_with_params, for all the created topics.
    // Returns what the metadata said of them.
    py::dict await_listed(std::vector<std::size_t> waiting, const std::vector<std::pair<double, long>> &sent) {
        py::dict listed;
        // A broker often lists new topics within tens of milliseconds, and
        // this wait is most of a small database's start: the first looks come
        // soon, later ones at the pace of create_topic_with_params.
        double pause = 0.01;
        for (;;) {
            waiting = before_stop(waiting);
            if (waiting.empty())
                return listed;
            try {
                look(waiting, listed);
            } catch (py::error_already_set &e) {
                if (!is_kafka_exception(e)) {
                    if (!e.matches(PyExc_Exception))
                        throw;
                    line(waiting[0], 30, py::str("Failed to create topic {}: {}").format(topic(waiting[0]), e.value()));
                }
                fail_first(waiting, e);
                return listed;
            }
            std::vector<std::size_t> still;
            double t = now();
            for (std::size_t i : waiting) {
                if (listed.contains(topic(i))) {
                    line(i, 20, py::str("Topic {} created").format(topic(i)));
                } else if (t - sent[i].first >= static_cast<double>(sent[i].second)) {
                    std::string message = "Timeout " + std::to_string(sent[i].second) + "s on creating topic " +
                                          text_of(topic(i)) + " expired";
                    line(i, 30, py::str("Failed to create topic " + text_of(topic(i)) + ": " + message));
                    fail_with(i, PyExc_Exception, py::str(message));
                } else {
                    still.push_back(i);
                }
            }
            if (still.empty())
                return listed;
            waiting = std::move(still);
            bindings->sleep(pause);
            pause = std::min(0.1, pause * 2);
        }
    }

    void grow_partitions(py::handle num_partitions) {
        std::vector<std::size_t> grow;
        for (std::size_t i = 0; i < stop_; ++i) {
            if (!shapes_[i].described)
                continue;
            try {
                if (shapes_[i].num_partitions < py::reinterpret_borrow<py::object>(num_partitions))
                    grow.push_back(i);
            } catch (py::error_already_set &e) {
                fail(i, e);
            }
        }
        grow = before_stop(grow);
        if (grow.empty())
            return;
        py::dict fs;
        try {
            py::int_ total(py::reinterpret_borrow<py::object>(num_partitions));
            py::list requests;
            for (std::size_t i : grow)
                requests.append(bindings->NewPartitions(topic(i), total));
            fs = self_.attr("create_partitions")(requests, "validate_only"_a = false);
        } catch (py::error_already_set &e) {
            fail_first(grow, e);
            return;
        }
        for (auto item : fs) {
            std::size_t i = index_of(item.first);
            try {
                item.second.attr("result")();
                line(i, 20, py::str("Additional partitions created for topic " + text_of(item.first) +
                                    " now there are " + text_of(num_partitions)));
            } catch (py::error_already_set &e) {
                if (!e.matches(PyExc_Exception))
                    throw;
                line(i, 30, py::str("Failed to add partitions to topic {}: {}").format(item.first, e.value()));
            }
        }
    }

    void correct_configs(py::handle config_dict) {
        py::dict given(py::reinterpret_borrow<py::object>(config_dict));
        py::dict wanted;
        for (auto item : given)
            wanted[item.first] = py::str(item.second);
        std::vector<std::size_t> differ;
        for (std::size_t i = 0; i < stop_; ++i) {
            if (!shapes_[i].described)
                continue;
            try {
                bool equal = true;
                for (auto item : given)
                    if (!py::object(shapes_[i].configs[item.first].attr("value")).equal(py::str(item.second)))
                        equal = false;
                if (!equal)
                    differ.push_back(i);
            } catch (py::error_already_set &e) {
                fail(i, e);
            }
        }
        differ = before_stop(differ);
        if (differ.empty())
            return;
        py::dict fs;
        try {
            py::list resources;
            for (std::size_t i : differ) {
                py::object resource = bindings->ConfigResource("topic", topic(i));
                for (auto item : wanted) {
                    resource.attr("set_config")(item.first, item.second);
                    resource.attr("add_incremental_config")(
                        bindings->ConfigEntry(item.first, item.second, "incremental_operation"_a = bindings->SET));
                    line(i, 20, py::make_tuple(item.first, item.second));
                }
                resources.append(resource);
            }
            fs = self_.attr("incremental_alter_configs")(resources);
        } catch (py::error_already_set &e) {
            fail_first(differ, e);
            return;
        }
        for (auto item : fs) {
            std::size_t i = index_of(item.first.attr("name"));
            try {
                item.second.attr("result")();
                line(i, 20, py::str("{} configuration successfully altered").format(item.first));
            } catch (py::error_already_set &e) {
                fail(i, e);
            }
        }
    }

    void report() {
        for (std::size_t i = 0; i < count_ && i <= stop_; ++i)
            for (auto &[level, message] : lines_[i])
                say(self_, level, message);
        if (failure_)
            throw py::error_already_set(*failure_);
    }

    py::object self_;
    py::list topics_;
    std::size_t count_;
    std::size_t stop_;  // the first topic that failed; count_ while none did
    std::optional<py::error_already_set> failure_;
    py::dict index_;
    std::vector<std::vector<std::pair<int, py::object>>> lines_;
    std::vector<Shape> shapes_;
    std::vector<std::size_t> created_;
};

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

    py::object time_module = import_host("time");
    py::object admin_module = import_host("confluent_kafka.admin");
    py::object cls = make_class(m, "Admin", py::make_tuple(admin_module.attr("AdminClient")), nullptr);
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
    bindings = &storage
                    .call_once_and_store_result([&] {
                        return Bindings{time_module.attr("time"),
                                        time_module.attr("sleep"),
                                        admin_module.attr("NewTopic"),
                                        admin_module.attr("NewPartitions"),
                                        admin_module.attr("ConfigResource"),
                                        admin_module.attr("ConfigEntry"),
                                        admin_module.attr("AlterConfigOpType").attr("SET"),
                                        import_host("confluent_kafka").attr("KafkaException"),
                                        import_host("confluent_kafka").attr("TopicCollection"),
                                        cls.attr("get_topic_configs")};
                    })
                    .get_stored();
}
