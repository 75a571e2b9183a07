// SPDX-License-Identifier: GPL-3.0-or-later
// Driving managers the way a host's frame loop does, with a real-time limit
// so that a test that fails never hangs.
#pragma once

#include <velta_client/velta_client.hpp>

#include <chrono>
#include <initializer_list>
#include <thread>

namespace velta_test {

using namespace std::chrono_literals;

// Runs round() about once a millisecond until done() holds after a round,
// or the limit passes. Returns done().
template <class Round, class Done>
bool repeat_until(Round round, Done done, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (true) {
        round();
        if (done()) return true;
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(1ms);
    }
}

// Polls every manager once per round until done() holds after a round, or
// the limit passes. Returns done().
template <class Done>
bool poll_until(std::initializer_list<Velta_Client::Velta_Manager*> managers, Done done,
                std::chrono::milliseconds limit = 10s) {
    return repeat_until([&] { for (auto* manager : managers) manager->poll(); }, done, limit);
}

template <class Done>
bool poll_until(Velta_Client::Velta_Manager& manager, Done done, std::chrono::milliseconds limit = 10s) {
    return poll_until({&manager}, done, limit);
}

// Polls for a while and expects nothing in particular (lets traffic settle).
inline void poll_for(Velta_Client::Velta_Manager& manager, std::chrono::milliseconds span) {
    poll_until(manager, [] { return false; }, span);
}

}  // namespace velta_test
