// SPDX-License-Identifier: GPL-3.0-or-later
// Hosts that answer an event by calling the manager again: start() from
// on_error and from on_disconnected, logout() from on_connected, the six sends
// from every callback. Whatever the outcome of a start, no poll may run
// without end; a host whose poll ran away gives up by throwing out of its
// Handler after a thousand calls.
#include "wire/wire_host.hpp"

#include <gtest/gtest.h>

#include <thread>

using namespace velta_test;
using namespace Velta_Client;

namespace {

struct Runaway {};

struct Retry_Host : Wire_Host {
    bool start_on_error = true;
    bool start_on_disconnected = true;
    bool logout_on_connected = false;
    bool send_on_every_event = true;
    int calls_this_poll = 0;
    int runaway_polls = 0;

    explicit Retry_Host(const std::string& user = "Bob") : Wire_Host(user) {
        handler.on_event = [this](const std::string& event) {
            if (++calls_this_poll > 1000) throw Runaway{};
            if (send_on_every_event) send_every_operation(*manager);
            if (start_on_error && event.rfind("on_error", 0) == 0) manager->start();
            if (start_on_disconnected && event.rfind("on_disconnected", 0) == 0) manager->start();
            if (logout_on_connected && event.rfind("on_connected", 0) == 0) manager->logout();
        };
    }

    // One frame; counts the polls that ran away instead of hanging.
    void frame() {
        calls_this_poll = 0;
        try {
            manager->poll();
        } catch (const Runaway&) {
            ++runaway_polls;
        }
    }

    template <class Done>
    bool frames_until(Done done, std::chrono::milliseconds limit = 5s) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (true) {
            frame();
            if (done() || runaway_polls > 0) return done();
            if (std::chrono::steady_clock::now() > deadline) return false;
            std::this_thread::sleep_for(1ms);
        }
    }

    void frames_for(std::chrono::milliseconds span) {
        frames_until([] { return false; }, span);
    }
};

}  // namespace

TEST(Retry_Hosts, a_user_name_too_long_is_refused_once_per_start) {
    Retry_Host host(std::string(75, 'x'));
    host.manager->start();
    host.frames_for(100ms);
    EXPECT_EQ(host.runaway_polls, 0);
    EXPECT_EQ(host.handler.count("on_error"), 1);
    EXPECT_EQ(host.state(), STATE_IDLE);
}

TEST(Retry_Hosts, an_unreachable_server) {
    Retry_Host host;
    host.peer.stop_listening();
    host.manager->start();
    host.frames_for(100ms);
    EXPECT_EQ(host.runaway_polls, 0);
    EXPECT_EQ(host.handler.count("on_disconnected"), 1);
    EXPECT_EQ(host.state(), STATE_IDLE);
}

TEST(Retry_Hosts, a_wrong_password) {
    Retry_Host host;
    host.peer.add_account("_qm9i", "other");
    host.manager->start();
    ASSERT_TRUE(host.frames_until([&] { return host.handler.count("on_error") > 0; }));
    host.frames_for(100ms);
    EXPECT_EQ(host.runaway_polls, 0);
    EXPECT_EQ(host.handler.count("on_error"), 1);
    EXPECT_EQ(host.state(), STATE_IDLE);
}

TEST(Retry_Hosts, a_refused_registration_and_an_out_of_band_answer) {
    {
        Retry_Host host;
        host.peer.push_registration_outcome("not-acceptable");
        host.manager->start();
        ASSERT_TRUE(host.frames_until([&] { return host.handler.count("on_error") > 0; }));
        host.frames_for(100ms);
        EXPECT_EQ(host.runaway_polls, 0);
        EXPECT_EQ(host.state(), STATE_REGISTERING);  // until the server ends it
    }
    {
        Retry_Host host;
        host.peer.set_registration_fields(Scripted_Peer::out_of_band_fields("u", "see web"));
        host.manager->start();
        ASSERT_TRUE(host.frames_until([&] { return host.handler.count("on_error") > 0; }));
        host.frames_for(100ms);
        EXPECT_EQ(host.runaway_polls, 0);
        EXPECT_EQ(host.handler.count("on_error"), 1);
    }
}

TEST(Retry_Hosts, a_login_the_server_cannot_serve) {
    Retry_Host host;
    host.peer.set_sasl_mechanisms({"DIGEST-MD5"});
    host.manager->start();
    ASSERT_TRUE(host.frames_until([&] { return host.handler.count("on_disconnected") > 0; }));
    host.frames_for(100ms);
    EXPECT_EQ(host.runaway_polls, 0);
    EXPECT_EQ(host.handler.count("on_disconnected"), 1);
    EXPECT_EQ(host.state(), STATE_IDLE);
}

TEST(Retry_Hosts, a_lost_login_is_retried_until_connected_again) {
    Retry_Host host;
    host.manager->start();
    ASSERT_TRUE(host.frames_until([&] { return host.state() == STATE_CONNECTED; }));
    host.peer.close_connection();
    ASSERT_TRUE(host.frames_until([&] { return host.handler.count("on_disconnected") > 0; }));
    ASSERT_TRUE(host.frames_until([&] { return host.state() == STATE_CONNECTED; }));
    host.frames_for(100ms);
    EXPECT_EQ(host.runaway_polls, 0);
    EXPECT_EQ(host.handler.count("on_connected"), 2);
}

TEST(Retry_Hosts, logout_from_on_connected) {
    Retry_Host host;
    host.start_on_disconnected = false;
    host.logout_on_connected = true;
    host.manager->start();
    ASSERT_TRUE(host.frames_until([&] { return host.handler.count("on_disconnected") > 0; }));
    host.frames_for(100ms);
    EXPECT_EQ(host.runaway_polls, 0);
    EXPECT_EQ(host.handler.count("on_connected"), 1);
    EXPECT_EQ(host.handler.count("on_disconnected"), 1);
    EXPECT_EQ(host.state(), STATE_IDLE);
}

TEST(Retry_Hosts, every_reaction_at_once_while_messages_flow) {
    Retry_Host host;
    host.logout_on_connected = true;  // and start again from on_disconnected
    host.manager->start();
    // The login's time is the machine's (valgrind takes a second): wait for
    // its end, then go on reacting for a while.
    ASSERT_TRUE(host.frames_until([&] { return host.handler.count("on_disconnected") > 0; }, 30s));
    host.frames_for(300ms);
    EXPECT_EQ(host.runaway_polls, 0);
    // The start from on_disconnected comes while resetting: refused.
    EXPECT_EQ(host.handler.count("on_connected"), 1);
    EXPECT_EQ(host.state(), STATE_IDLE);
}
