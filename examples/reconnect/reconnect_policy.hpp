// SPDX-License-Identifier: GPL-3.0-or-later
// When to start() again after a connection ended: the recipe of RFC 6120,
// section 3.3, for a game. The first try waits about `first` seconds, each
// failed try doubles the wait up to `cap` (truncated binary exponential
// back-off), and each wait is drawn at random from the upper half of its
// window (jitter), so that the thousands of players a server restart cuts
// off do not all come back in the same second.
//
// The host's Handler tells it what happened (connected(), lost()), and the
// game loop asks it every frame, after poll(), whether to call start().
// It needs only the public header.
#pragma once

#include <velta_client/velta_client.hpp>

#include <algorithm>
#include <random>

class Reconnect_Policy {
public:
    explicit Reconnect_Policy(double first = 1.0, double cap = 60.0, unsigned seed = std::random_device{}())
        : first_(first), cap_(cap), random_(seed) {}

    // on_connected(): the next loss starts again from the first window.
    void connected() {
        failures_ = 0;
        phase_ = Phase::connected;
    }

    // on_disconnected() or on_error(), with manager.get_last_end(). The
    // first report of an end schedules one try; the repeats that follow a
    // lost login (one at every poll until a login completes) change nothing.
    // False when another try cannot help: the host logged out, the password
    // or the user name is wrong.
    bool lost(const Velta_Client::Connection_End& end, double now) {
        if (phase_ == Phase::waiting || phase_ == Phase::trying || phase_ == Phase::stopped)
            return phase_ != Phase::stopped;
        switch (end.cause) {
        case Velta_Client::END_LOGGED_OUT:
        case Velta_Client::END_AUTHENTICATION_FAILED:
        case Velta_Client::END_USER_NAME:
            phase_ = Phase::stopped;
            return false;
        default:
            schedule(now);
            return true;
        }
    }

    // Every frame, after poll(). True when it is time to call start(): the
    // wait is over and the manager is idle (after "register failed." it
    // stays registering until the server ends that connection).
    bool due(double now, int state) {
        if (phase_ == Phase::trying && state == Velta_Client::STATE_IDLE) {
            ++failures_;  // the try ended without on_connected
            schedule(now);
        }
        if (phase_ != Phase::waiting || now < next_try_ || state != Velta_Client::STATE_IDLE) return false;
        phase_ = Phase::trying;
        return true;
    }

    // When the scheduled try is due, and how many tries have failed since
    // the last login.
    double next_try() const { return next_try_; }
    int failures() const { return failures_; }
    bool stopped() const { return phase_ == Phase::stopped; }

private:
    enum class Phase { connected, waiting, trying, stopped };

    void schedule(double now) {
        double window = first_;
        for (int i = 0; i < failures_ && window < cap_; ++i) window *= 2;
        window = std::min(window, cap_);
        next_try_ = now + std::uniform_real_distribution<double>(window / 2, window)(random_);
        phase_ = Phase::waiting;
    }

    double first_;
    double cap_;
    std::mt19937 random_;
    Phase phase_ = Phase::connected;
    int failures_ = 0;
    double next_try_ = 0;
};
