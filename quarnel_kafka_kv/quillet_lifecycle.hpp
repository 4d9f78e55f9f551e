// A store's life as one state with checked transitions: construction, the
// consumer thread and the stoppers move it on; status() reads it.
#pragma once

namespace quarnel {
namespace {

enum class Stage {
    kOpening,    // construction: clients, topics, signal handlers
    kReplaying,  // the consumer thread reads the topics into memory
    kLive,       // the copy is complete and follows the topics
    kStopping,   // a stop was asked for; the consumer thread's exit steps run
    kStopped,    // the exit steps are done
    kFailed,     // the consumer thread, or construction, failed
};

class Lifecycle {
  public:
    Stage stage() const { return stage_; }

    // Moves to `to` when it may follow the current stage and tells whether it
    // did: a second stop, or a stop after a failure, changes nothing.
    bool advance(Stage to) {
        if (!allowed(stage_, to))
            return false;
        stage_ = to;
        return true;
    }

    bool stopping_or_over() const { return stage_ >= Stage::kStopping; }
    bool over() const { return stage_ == Stage::kStopped || stage_ == Stage::kFailed; }

    // The four states status() names.
    const char *status_name() const {
        switch (stage_) {
        case Stage::kOpening:
        case Stage::kReplaying:
            return "replaying";
        case Stage::kLive:
            return "live";
        case Stage::kStopping:
        case Stage::kStopped:
            return "stopped";
        case Stage::kFailed:
            break;
        }
        return "failed";
    }

  private:
    static bool allowed(Stage from, Stage to) {
        switch (to) {
        case Stage::kOpening:
            return false;
        case Stage::kReplaying:
            return from == Stage::kOpening;
        case Stage::kLive:
            return from == Stage::kReplaying;
        case Stage::kStopping:
            return from < Stage::kStopping;
        case Stage::kStopped:
            return from == Stage::kStopping;
        case Stage::kFailed:
            return from != Stage::kStopped && from != Stage::kFailed;
        }
        return false;
    }

    Stage stage_ = Stage::kOpening;
};

}  // namespace
}  // namespace quarnel
