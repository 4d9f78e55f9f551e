// The book of a batch of topics brought into shape together, and how it
// describes them: what each topic came to, its lines, and the first that failed.
#pragma once

#include "dorrow_host.hpp"

#include <algorithm>
#include <map>
#include <optional>
#include <utility>
#include <vector>

namespace quarnel {
namespace {

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

// What each topic of a batch came to: its description, its lines, and the
// first topic that failed, where the batch ends.
class BatchBook {
  public:
    BatchBook(py::handle self, py::list topics)
        : self_(py::reinterpret_borrow<py::object>(self)), topics_(std::move(topics)), count_(py::len(topics_)),
          stop_(count_), lines_(count_), shapes_(count_) {
        for (std::size_t i = 0; i < count_; ++i)
            index_[topics_[i]] = py::int_(i);
    }

  protected:
    // What a description says of a topic.
    struct Shape {
        bool described = false;
        py::object num_partitions, configs;
    };

    static double now() { return bindings->monotonic().cast<double>(); }
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

// Which topics of a batch exist, and what their descriptions say.
class BatchDescription : public BatchBook {
  public:
    using BatchBook::BatchBook;

  protected:
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
            call(bindings->sleep, py::float_(0.1));
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

};

}  // namespace
}  // namespace quarnel
