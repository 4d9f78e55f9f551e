// Bringing many topics into shape at once: what create_or_update_topic does
// for one topic, done for many with one request per step.
#pragma once

#include "dorrow_batch_book.hpp"

namespace quarnel {
namespace {

// Creating the missing topics of a batch, and waiting until the metadata lists them.
class BatchCreation : public BatchDescription {
  public:
    using BatchDescription::BatchDescription;

  protected:
    // The answer to a creation request for topic `i`: created, created by
    // another process meanwhile, to be asked again with fewer replicas (the
    // factor is returned), or failed. `counted`: the broker count each
    // rejection's text gave, a metadata request for a text that names none.
    std::optional<long> creation_answered(std::size_t i, long requested, py::handle future,
                                          std::map<std::string, long> &counted, std::vector<std::size_t> &created,
                                          std::vector<std::size_t> &raced) {
        try {
            call_method(future, intern("result"));
            created.push_back(i);
            return std::nullopt;
        } catch (py::error_already_set &e) {
            if (!is_kafka_exception(e)) {
                if (!e.matches(PyExc_Exception))
                    throw;
                line(i, 30, py::str("Failed to create topic {}: {}").format(topic(i), e.value()));
                fail(i, e);
                return std::nullopt;
            }
            std::string name = error_name(e);
            if (name == "TOPIC_ALREADY_EXISTS") {
                // Another process created it between our look and our request.
                raced.push_back(i);
                return std::nullopt;
            }
            if (name != "INVALID_REPLICATION_FACTOR") {
                fail(i, e);
                return std::nullopt;
            }
            long brokers;
            std::string text = e.value().attr("args")[py::int_(0)].attr("str")().cast<std::string>();
            try {
                auto known = counted.find(text);
                brokers = known != counted.end() ? known->second : (counted[text] = available_brokers(self_, text));
            } catch (py::error_already_set &again) {
                fail(i, again);
                return std::nullopt;
            }
            if (brokers < 1 || brokers >= requested) {
                fail(i, e);
                return std::nullopt;
            }
            line(i, 20, py::str("Topic " + text_of(topic(i)) + " will created with replication_factor = " +
                                std::to_string(brokers)));
            return brokers;
        }
    }

    // create_topic_with_params for every missing topic: one request per
    // replication factor tried, then one wait until the metadata lists them.
    void create(std::vector<std::size_t> missing, py::handle num_partitions, py::handle replication_factor) {
        std::vector<std::pair<std::size_t, long>> asking;
        for (std::size_t i : before_stop(missing))
            asking.emplace_back(i, replication_factor.cast<long>());
        std::vector<std::size_t> created, raced;
        std::vector<std::pair<double, long>> sent(count_);  // when, and the seconds it may take
        while (!asking.empty()) {
            std::vector<std::size_t> asked;
            py::dict fs;
            try {
                py::list new_topics;
                for (auto &[i, factor] : asking) {
                    asked.push_back(i);
                    new_topics.append(bindings->NewTopic(topic(i), "num_partitions"_a = num_partitions,
                                                         "replication_factor"_a = factor));
                }
                fs = self_.attr("create_topics")(new_topics);
            } catch (py::error_already_set &e) {
                fail_first(asked, e);
                break;
            }
            double t = now();
            long limit = kCreationTimeout *
                         static_cast<long>((asking.size() + kTopicsPerTimeout - 1) / kTopicsPerTimeout);
            std::map<std::string, long> counted;
            std::vector<std::pair<std::size_t, long>> retry;
            for (auto &[i, factor] : asking) {
                if (i >= stop_)
                    continue;
                sent[i] = {t, limit};
                if (!fs.contains(topic(i)))
                    raced.push_back(i);
                else if (std::optional<long> fewer = creation_answered(i, factor, fs[topic(i)], counted, created, raced))
                    retry.emplace_back(i, *fewer);
            }
            asking = std::move(retry);
        }
        std::sort(created.begin(), created.end());
        describe_created(created, raced, await_listed(created, sent));
    }

    // Topics created without settings in one request have the same
    // configuration, the cluster's defaults: the first one's description
    // stands for all (for a thousand topics it is most of the batch's time).
    void describe_created(const std::vector<std::size_t> &created, std::vector<std::size_t> raced, py::dict listed) {
        created_ = before_stop(created);
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
            call(bindings->sleep, py::float_(pause));
            pause = std::min(0.1, pause * 2);
        }
    }
};

class TopicBatch : public BatchCreation {
  public:
    using BatchCreation::BatchCreation;

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
};

}  // namespace
}  // namespace quarnel
