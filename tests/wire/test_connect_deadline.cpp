// SPDX-License-Identifier: GPL-3.0-or-later
// Servers that take their time: one whose listen backlog is full (its SYNs
// are dropped), one that accepts and never speaks, one that stops answering
// between registration and login or at any request after its features. No
// call waits for them, and fifteen seconds of the host's clock after start
// (or the login step) without the connection's outcome (the account known
// to exist, the login) end the attempt like an unreachable server.
#include "peer/scripted_peer.hpp"
#include "support/host.hpp"
#include "support/loopback.hpp"

#include <gtest/gtest.h>

#include <utility>
#include <vector>

using namespace velta_test;
using namespace Velta_Client;
using namespace std::chrono_literals;
using Strings = std::vector<std::string>;

namespace {

// Polls for a while of real time at a fixed host time, then lets the host's
// clock pass the deadline: the attempt ends in that poll.
void expect_deadline_ends_it(Host_At& host, int state_while_waiting) {
    host.poll_for(300ms);
    EXPECT_EQ(host.state(), state_while_waiting);
    EXPECT_TRUE(host.handler.events.empty());
    host.clock.time += 15;
    host.poll();
    EXPECT_EQ(host.state(), state_while_waiting);
    host.clock.time += 1;
    host.poll();
    EXPECT_EQ(host.handler.take(), Strings{"on_disconnected()"});
    EXPECT_EQ(host.state(), STATE_IDLE);
    host.poll_for(50ms);
    EXPECT_TRUE(host.handler.events.empty());
}

}  // namespace

TEST(Connect_Deadline, a_server_dropping_the_syn_takes_no_frame_and_ends_at_the_deadline) {
    Full_Backlog server;
    Host_At host(server.address());
    host.start();
    EXPECT_EQ(host.state(), STATE_REGISTERING);
    expect_deadline_ends_it(host, STATE_REGISTERING);
    EXPECT_LT(host.longest_call_ms(), network_wait_ms);
}

TEST(Connect_Deadline, a_server_that_accepts_and_never_speaks_ends_at_the_deadline) {
    Scripted_Peer peer;
    peer.set_silent(true);
    Host_At host(peer.address());
    host.start();
    ASSERT_TRUE(peer.wait_for([&] { return !peer.stanzas().empty(); }, 2s, [&] { host.poll(); }));
    EXPECT_EQ(peer.stanzas()[0].name, "stream:stream");  // the header went out once connected
    expect_deadline_ends_it(host, STATE_REGISTERING);
    EXPECT_LT(host.longest_call_ms(), network_wait_ms);
}

TEST(Connect_Deadline, a_server_that_stops_answering_before_the_login_ends_at_the_deadline) {
    Scripted_Peer peer;
    peer.set_silent_from_connection(2);
    Host_At host(peer.address());
    host.start();
    host.clock.time += 10;  // registration takes its time: the login has its own fifteen seconds
    ASSERT_TRUE(host.poll_until([&] { return host.state() == STATE_LOGGING_IN; }));
    expect_deadline_ends_it(host, STATE_LOGGING_IN);
    EXPECT_LT(host.longest_call_ms(), network_wait_ms);
}

namespace {

// Whether the client has sent the request the peer holds back.
bool asked(const Scripted_Peer& peer, const std::string& request) {
    for (const Recorded& element : peer.stanzas()) {
        if (request == "auth" && element.name == "auth") return true;
        if (element.name != "iq") continue;
        if (request == "bind" && element.has_child("bind")) return true;
        if (request == "register-" + element.attribute("type") && element.has_child("query")) return true;
    }
    return false;
}

}  // namespace

TEST(Connect_Deadline, a_server_silent_after_its_features_ends_at_the_deadline_at_every_step) {
    const std::pair<std::string, int> steps[] = {{"register-get", STATE_REGISTERING},
                                                 {"register-set", STATE_REGISTERING},
                                                 {"auth", STATE_LOGGING_IN},
                                                 {"bind", STATE_LOGGING_IN}};
    for (const auto& [request, state_while_waiting] : steps) {
        SCOPED_TRACE(request);
        Scripted_Peer peer;
        peer.set_unanswered(request);
        Host_At host(peer.address());
        host.start();
        ASSERT_TRUE(peer.wait_for([&] { return asked(peer, request); }, 5s, [&] { host.poll(); }));
        expect_deadline_ends_it(host, state_while_waiting);

        // The same server, answering again: the next start logs in.
        peer.set_unanswered("");
        EXPECT_TRUE(host.log_in());
    }
}

TEST(Connect_Deadline, a_refused_registration_stays_registering_until_the_deadline) {
    Scripted_Peer peer;
    peer.push_registration_outcome("not-acceptable");
    Host_At host(peer.address());
    host.start();
    ASSERT_TRUE(host.poll_until([&] { return host.handler.count("on_error") > 0; }));
    EXPECT_EQ(host.handler.take(), Strings{"on_error(code=2, message=register failed.)"});
    host.start();  // ignored: still registering
    expect_deadline_ends_it(host, STATE_REGISTERING);
    EXPECT_EQ(peer.connections_accepted(), 1);
}

TEST(Connect_Deadline, a_clock_set_back_counts_again_from_its_new_reading) {
    Scripted_Peer peer;
    peer.set_unanswered("register-get");
    Host_At host(peer.address());
    host.start();
    ASSERT_TRUE(peer.wait_for([&] { return asked(peer, "register-get"); }, 5s, [&] { host.poll(); }));
    host.clock.time -= 3600;
    host.poll();
    expect_deadline_ends_it(host, STATE_REGISTERING);
}

TEST(Connect_Deadline, a_completed_login_is_never_cut_by_the_clock) {
    Scripted_Peer peer;
    Host_At host(peer.address());
    ASSERT_TRUE(host.log_in());
    for (const int jump : {100, -3600, 1 << 30}) {
        host.clock.time += jump;
        host.poll_for(20ms);
    }
    EXPECT_EQ(host.state(), STATE_CONNECTED);
    EXPECT_EQ(host.handler.take(), Strings{"on_connected()"});
}

TEST(Connect_Deadline, what_is_known_at_once_is_heard_at_the_next_poll) {
    for (const std::string& server : {std::string(), std::string("not a host!"), refusing_loopback_address()}) {
        SCOPED_TRACE(server);
        Host_At host(server);
        host.start();
        EXPECT_EQ(host.state(), STATE_RESETTING);
        host.poll();
        EXPECT_EQ(host.handler.take(), Strings{"on_disconnected()"});
        EXPECT_EQ(host.state(), STATE_IDLE);
    }
}
