// A store that owns its process takes its SIGTERM and SIGINT: its `close`
// becomes their handler, as a script wants. What it took it gives back: a
// stopped store's handler hands the signals to the ones it replaced, skipping
// other stores that stopped meanwhile, and a child forked from the process
// gets the handlers the process had before any store was opened. The host
// sets handlers only on its main thread, so all of this happens there.
#pragma once

#include "quillet_core.hpp"

#include <vector>

namespace quarnel {
namespace {

bool on_main_thread() {
    return call(host->get_ident).equal(py::getattr(call(host->main_thread), intern("ident")));
}

class SignalClaims {
  public:
    // Makes the store's close the handler of both signals.
    void install(py::handle self, const StoreCore &core) {
        Claim claim{&core, py::getattr(self, host->n.close), {}};
        for (int i = 0; i < 2; ++i)
            claim.replaced[i] = call(host->signal, signal_of(i), claim.handler);
        claims_.push_back(std::move(claim));
    }

    // The store stopped: where its handler is still in force, the first one
    // below it that belongs to no stopped store takes over again.
    void give_back(const StoreCore &core) {
        Claim *claim = claim_of(core);
        if (!claim || !claim->active)
            return;
        claim->active = false;
        for (int i = 0; i < 2; ++i) {
            py::object current = call(host->getsignal, signal_of(i));
            if (current.is(claim->handler))
                set_handler(i, resolve(current, i, false));
        }
        forget_unreferenced();
    }

    // A stopped store's close, run as a handler because another thread
    // stopped it (only the main thread may hand the signals back): the signal
    // goes to the handler it would have reached without the store.
    bool forward(const StoreCore &core, py::handle signum, py::handle frame) {
        Claim *claim = claim_of(core);
        if (!claim)
            return false;
        int i = signum.equal(host->sigterm) ? 0 : 1;
        py::object below = claim->replaced[i];  // taken first: giving back may forget the claim
        give_back(core);
        py::object handler = resolve(below, i, false);
        if (handler.is(host->sig_dfl)) {
            set_handler(i, handler);
            call(host->raise_signal, signum);
        } else if (!handler.is(host->sig_ign) && !handler.is_none()) {
            call(handler, signum, frame);
        }
        return true;
    }

    // In a child just forked: every store belongs to the parent.
    void reset_in_child() {
        for (int i = 0; i < 2; ++i) {
            py::object current = call(host->getsignal, signal_of(i));
            py::object before = resolve(current, i, true);
            if (!before.is(current))
                set_handler(i, before);
        }
        claims_.clear();
    }

  private:
    struct Claim {
        const StoreCore *core;  // alive as long as the claim: `handler` holds its store
        py::object handler;
        py::object replaced[2];  // SIGTERM's and SIGINT's, as they were
        bool active = true;
    };

    static py::object signal_of(int i) { return i == 0 ? host->sigterm : host->sigint; }

    static void set_handler(int i, py::handle handler) {
        if (!handler.is_none())  // not set from Python: nothing can put it back
            call(host->signal, signal_of(i), handler);
    }

    Claim *claim_of(const StoreCore &core) {
        for (Claim &claim : claims_)
            if (claim.core == &core)
                return &claim;
        return nullptr;
    }

    // Follows `handler` down past the stores that stopped (all of them, in a child).
    py::object resolve(py::object handler, int i, bool in_child) {
        for (;;) {
            const Claim *claim = nullptr;
            for (const Claim &c : claims_)
                if (c.handler.is(handler))
                    claim = &c;
            if (!claim || (claim->active && !in_child))
                return handler;
            handler = claim->replaced[i];
        }
    }

    // A stopped store's claim is kept while its handler is in force or
    // another claim would hand the signals back to it: until then it holds
    // its store.
    void forget_unreferenced() {
        py::object current[2] = {call(host->getsignal, host->sigterm), call(host->getsignal, host->sigint)};
        for (bool dropped = true; dropped;) {
            dropped = false;
            for (auto it = claims_.begin(); it != claims_.end(); ++it) {
                if (it->active || it->handler.is(current[0]) || it->handler.is(current[1]) || replaces(it->handler))
                    continue;
                claims_.erase(it);
                dropped = true;
                break;
            }
        }
    }

    bool replaces(const py::object &handler) const {
        for (const Claim &c : claims_)
            if (c.replaced[0].is(handler) || c.replaced[1].is(handler))
                return true;
        return false;
    }

    std::vector<Claim> claims_;
};

// The process's claims; lives as long as the process.
SignalClaims *signal_claims = nullptr;

// In a child just forked (the C library's fork handler counted the fork): the
// stores of the parent hand the signals back, so the child stops as it would
// without them, and their clients are never destroyed there (the client's
// threads, which a destruction waits for, stayed in the parent).
void forget_parents_stores() {
    signal_claims->reset_in_child();
    for (auto store : py::list(host->open_stores)) {
        try {
            for (py::handle client : {host->n.consumer, host->n.producer, host->n.admin})
                py::getattr(store, client).inc_ref();  // never released, on purpose
        } catch (py::error_already_set &e) {
            e.discard_as_unraisable(py::reinterpret_borrow<py::object>(store));
        }
    }
}

}  // namespace
}  // namespace quarnel
