// SPDX-License-Identifier: GPL-3.0-or-later
// Servers that take their time: one whose listen backlog is full (its SYNs
// are dropped), one that accepts and never speaks, one that stops answering
// between registration and login. No call waits for them, and fifteen
// seconds of the host's clock after start (or the login step) without an
// opened stream end the attempt like an unreachable server.
#include "peer/scripted_peer.hpp"
#include "support/host.hpp"
#include "support/loopback.hpp"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <vector>

using namespace velta_test;
using namespace Velta_Client;
using namespace std::chrono_literals;
using Strings = std::vector<std::string>;

namespace {

// A listener whose accept queue is full: the kernel drops every new SYN.
class Full_Backlog {
public:
    Full_Backlog() : address_(refusing_loopback_address()) {
        sockaddr_in at{};
        at.sin_family = AF_INET;
        at.sin_port = htons(5222);
        ::inet_pton(AF_INET, address_.c_str(), &at.sin_addr);
        listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const int one = 1;
        ::setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        if (::bind(listener_, reinterpret_cast<sockaddr*>(&at), sizeof at) != 0 || ::listen(listener_, 0) != 0)
            throw std::runtime_error("Full_Backlog: cannot listen");
        // Backlog 0 holds one connection; the second filler's SYN is the
        // first to be dropped.
        for (int i = 0; i < 2; ++i) {
            const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
            ::connect(fd, reinterpret_cast<sockaddr*>(&at), sizeof at);
            fillers_.push_back(fd);
        }
        std::this_thread::sleep_for(50ms);
    }
    ~Full_Backlog() {
        for (const int fd : fillers_) ::close(fd);
        ::close(listener_);
    }
    const std::string& address() const { return address_; }

private:
    std::string address_;
    int listener_ = -1;
    std::vector<int> fillers_;
};

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

TEST(Connect_Deadline, an_opened_stream_is_not_ended_by_the_clock) {
    Scripted_Peer peer;
    peer.push_registration_outcome("ignore");  // the stream is open; registration never answers
    Host_At host(peer.address());
    host.start();
    ASSERT_TRUE(peer.wait_for([&] { return peer.pending_registration_outcomes() == 0; }, 5s, [&] { host.poll(); }));
    host.clock.time += 100;
    host.poll_for(100ms);
    EXPECT_EQ(host.state(), STATE_REGISTERING);
    EXPECT_TRUE(host.handler.events.empty());
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
