// SPDX-License-Identifier: GPL-3.0-or-later
// A host as a game is one: its clock, its handler and one manager, driven
// from the test's thread the way a frame loop drives it. The wire tests put
// a scripted peer behind it (wire/wire_host.hpp), the integration tests a
// private Prosody (integration/prosody_fixture.hpp); Host_At takes any
// server string and times every call it makes into the library.
#pragma once

#include "support/host_doubles.hpp"
#include "support/polling.hpp"

#include <velta_client/velta_client.hpp>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

namespace velta_test {

struct Host {
    Host(const std::string& server, const std::string& user, const std::string& password)
        : manager(new_velta_manager(&clock, &handler, wide(server), wide(user), wide(password))) {}
    virtual ~Host() = default;
    // The manager holds the addresses of clock and handler.
    Host(const Host&) = delete;
    Host& operator=(const Host&) = delete;

    Test_Clock clock;
    Recording_Handler handler;
    std::unique_ptr<Velta_Client::Velta_Manager> manager;

    int state() { return manager->get_state(); }

    virtual void start() { manager->start(); }
    // One frame's poll.
    virtual void poll() { manager->poll(); }

    // Polls about once a millisecond until done() or the real-time limit.
    template <class Done>
    bool poll_until(Done done, std::chrono::milliseconds limit = std::chrono::seconds(10)) {
        return repeat_until([&] { poll(); }, done, limit);
    }
    // Polls for a while and expects nothing in particular.
    void poll_for(std::chrono::milliseconds span) {
        poll_until([] { return false; }, span);
    }

    // start(), then polls until the login has its outcome (or the 10-second
    // limit passes): connected, or idle again after an error or a lost
    // connection. True when connected. Every event stays in handler.events,
    // the login's own as well (on_connected, on_error, and the on_disconnected
    // a lost earlier login repeats until this one completes): a test that
    // looks only at what follows the login takes them first.
    bool log_in() {
        start();
        poll_until([&] {
            const int now = state();
            return now == Velta_Client::STATE_CONNECTED || now == Velta_Client::STATE_IDLE;
        });
        return state() == Velta_Client::STATE_CONNECTED;
    }
};

// Each of the six send operations once, as a host calls them that does not
// look at the state first.
inline void send_every_operation(Velta_Client::Velta_Manager& manager) {
    const std::uint32_t values[2] = {1, 2};
    manager.send_message(1, u"Bob", u"to myself");
    manager.send_admin_values(values, 2, u"v");
    manager.send_admin_identifier(Velta_Client::Identifier128{}, u"i");
    manager.send_admin_text(u"t");
    manager.send_command_message(2, u"alice", u"c", 3);
    manager.send_command_values(values, 2, u"cv", 4);
}

// A host whose server string is anything the test chooses (a name for the
// private DNS server, a silent listener), timing every start and poll it
// makes into the library.
struct Host_At : Host {
    explicit Host_At(const std::string& server, const std::string& user = "Bob", const std::string& password = "pw")
        : Host(server, user, password) {}

    // The longest single call into the library so far, by the wall clock.
    std::chrono::steady_clock::duration longest_call{};

    template <class Call>
    void timed(Call call) {
        const auto begun = std::chrono::steady_clock::now();
        call();
        longest_call = std::max(longest_call, std::chrono::steady_clock::now() - begun);
    }
    void start() override {
        timed([&] { manager->start(); });
    }
    void poll() override {
        timed([&] { manager->poll(); });
    }

    // Polls (after a start of the test's own) until the login completed.
    bool connected() {
        return poll_until([&] { return state() == Velta_Client::STATE_CONNECTED; });
    }

    double longest_call_ms() const {
        return std::chrono::duration<double, std::milli>(longest_call).count();
    }
};

// Wall time below which no call can have waited for the network here: a wait
// would last the resolver's 2 s try, the SYN's 1 s retransmission or the 15 s
// deadline. The frame-sized promise itself is measured in bench/; under
// valgrind on a loaded machine a call took 245 ms of wall time.
constexpr double network_wait_ms = 1000.0;

}  // namespace velta_test
