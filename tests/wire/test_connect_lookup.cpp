// SPDX-License-Identifier: GPL-3.0-or-later
// Finding the server: a host gives a name, the library asks DNS for the
// client service's SRV records, falls back to the name itself on port 5222,
// and reads /etc/hosts. Each test runs with its own DNS server and its own
// /etc/resolv.conf (a private mount namespace: root, as in CI).
#include "peer/dns_server.hpp"
#include "peer/scripted_peer.hpp"
#include "support/host.hpp"
#include "support/loopback.hpp"

#include <gtest/gtest.h>

#include <unistd.h>

#include <memory>
#include <vector>
#include <string>

using namespace velta_test;
using namespace Velta_Client;
using namespace std::chrono_literals;
using Strings = std::vector<std::string>;

namespace {

const std::string service = "_xmpp-client._tcp.";

class Lookup : public ::testing::Test {
protected:
    // Lines for the private /etc/hosts; empty keeps the real one.
    void use_dns(const std::string& hosts = "") {
        if (::geteuid() != 0) GTEST_SKIP() << "a private /etc/resolv.conf needs root";
        dns = std::make_unique<Dns_Server>();
        if (!use_private_resolver(dns->address(), hosts)) GTEST_SKIP() << "no private mount namespace here";
    }
    void SetUp() override { use_dns(); }

    std::unique_ptr<Dns_Server> dns;
};

class Lookup_With_Hosts : public Lookup {
protected:
    void SetUp() override {}
};

}  // namespace

TEST_F(Lookup, a_service_record_sends_the_client_to_another_address_and_port) {
    Scripted_Peer peer(Scripted_Peer::Listen{5333});
    dns->add_srv(service + "chat.test", 0, 0, 5333, "node7.chat.test");
    dns->add_a("node7.chat.test", peer.address());
    dns->set_delay(20ms);  // an answer that takes a round trip

    Host_At host("chat.test");
    host.start();
    EXPECT_EQ(host.state(), STATE_REGISTERING);  // the outcome comes through poll
    ASSERT_TRUE(host.connected());
    EXPECT_EQ(host.handler.take(), Strings{"on_connected()"});
    EXPECT_EQ(peer.connections_accepted(), 2);
    // The login went where registration went: one service lookup in all.
    EXPECT_EQ(dns->service_queries(), 1);
}

TEST_F(Lookup, targets_are_tried_in_priority_order_past_one_that_refuses) {
    Scripted_Peer peer(Scripted_Peer::Listen{5333});
    dns->add_srv(service + "chat.test", 20, 0, 5333, "live.chat.test");
    dns->add_srv(service + "chat.test", 10, 5, 5333, "dead.chat.test");
    dns->add_srv(service + "chat.test", 30, 0, 5333, "never.chat.test");
    dns->add_a("dead.chat.test", refusing_loopback_address());
    dns->add_a("live.chat.test", peer.address());

    Host_At host("chat.test");
    host.start();
    ASSERT_TRUE(host.connected());
    EXPECT_EQ(peer.connections_accepted(), 2);
}

TEST_F(Lookup, a_name_without_service_records_is_reached_on_port_5222) {
    Scripted_Peer peer;
    dns->add_a("plain.test", peer.address());

    Host_At host("plain.test");
    host.start();
    ASSERT_TRUE(host.connected());
    EXPECT_EQ(dns->service_queries(), 1);
}

TEST_F(Lookup, a_dot_target_is_set_aside_for_the_name_itself) {
    Scripted_Peer peer;
    dns->add_srv(service + "dot.test", 0, 0, 5222, ".");
    dns->add_a("dot.test", peer.address());

    Host_At host("dot.test");
    host.start();
    ASSERT_TRUE(host.connected());
}

TEST_F(Lookup, names_with_only_an_ipv6_or_only_an_ipv4_address) {
    Scripted_Peer six(Scripted_Peer::Listen{5222, true});
    Scripted_Peer four;
    dns->add_aaaa("six.test", "::1");
    dns->add_a("four.test", four.address());

    for (const std::string name : {"six.test", "four.test"}) {
        SCOPED_TRACE(name);
        Host_At host(name);
        host.start();
        ASSERT_TRUE(host.connected());
    }
    EXPECT_EQ(six.connections_accepted(), 2);
    EXPECT_EQ(four.connections_accepted(), 2);
}

TEST_F(Lookup, a_name_that_does_not_exist_is_heard_at_a_later_poll) {
    dns->set_delay(20ms);
    Host_At host("nowhere.test");
    host.start();
    EXPECT_EQ(host.state(), STATE_REGISTERING);
    EXPECT_TRUE(host.handler.events.empty());
    ASSERT_TRUE(host.poll_until([&] { return host.state() == STATE_IDLE; }));
    EXPECT_EQ(host.handler.take(), Strings{"on_disconnected()"});
    EXPECT_GE(dns->queries(), 2);  // the service, then the name itself
}

TEST_F(Lookup, a_dns_server_that_never_answers_ends_at_the_deadline) {
    dns->set_silent(true);
    Host_At host("silent.test");
    host.start();
    host.poll_for(200ms);
    EXPECT_EQ(host.state(), STATE_REGISTERING);
    EXPECT_GE(dns->queries(), 1);

    host.clock.time += 15;  // not yet: fifteen seconds are allowed
    host.poll();
    EXPECT_EQ(host.state(), STATE_REGISTERING);
    EXPECT_TRUE(host.handler.events.empty());

    host.clock.time += 1;
    host.poll();
    EXPECT_EQ(host.handler.take(), Strings{"on_disconnected()"});
    EXPECT_EQ(host.state(), STATE_IDLE);
    EXPECT_LT(host.longest_call_ms(), network_wait_ms);

    // The manager can start again, and the same rule holds.
    dns->set_silent(false);
    dns->set_delay(20ms);
    host.start();
    EXPECT_EQ(host.state(), STATE_REGISTERING);
    ASSERT_TRUE(host.poll_until([&] { return host.state() == STATE_IDLE; }));
    EXPECT_EQ(host.handler.take(), Strings{"on_disconnected()"});
}

TEST_F(Lookup, an_ip_literal_asks_no_dns) {
    Scripted_Peer peer;
    Host_At host(peer.address());
    host.start();
    ASSERT_TRUE(host.connected());
    EXPECT_EQ(dns->queries(), 0);
}

TEST_F(Lookup_With_Hosts, etc_hosts_is_read_and_localhost_is_never_asked_of_dns) {
    Scripted_Peer peer;
    use_dns(peer.address() + " box.hosts.test\n" + peer.address() + " localhost\n");
    if (IsSkipped()) return;

    for (const std::string name : {"box.hosts.test", "localhost"}) {
        SCOPED_TRACE(name);
        Host_At host(name);
        host.start();
        ASSERT_TRUE(host.connected());
    }
    EXPECT_EQ(dns->service_queries(), 1);  // box.hosts.test only
    EXPECT_EQ(peer.connections_accepted(), 4);
}

TEST_F(Lookup, a_manager_deleted_or_reset_mid_lookup_leaves_no_descriptor_behind) {
    dns->set_silent(true);
    const int before = open_descriptors();
    for (int round = 0; round < 20; ++round) {
        Host_At host("silent.test");
        host.start();
        host.poll_for(5ms);
        if (round % 2 == 0) continue;  // deleted while looking up
        host.clock.time += 16;
        host.poll();
        ASSERT_EQ(host.state(), STATE_IDLE);
    }
    EXPECT_EQ(open_descriptors(), before);
}

// ---- silent endpoints: the next one starts after the attempt delay ---------

namespace {

// Logs in through `name` with the host's clock standing still, every call
// quick, and no descriptor of the race left behind once the host is gone.
void expect_login_past_silent_endpoints(const std::string& name, const Scripted_Peer& peer) {
    SCOPED_TRACE(name);
    const int before = open_descriptors();
    const int accepted = peer.connections_accepted();
    {
        Host_At host(name);
        host.start();
        ASSERT_TRUE(host.connected());
        EXPECT_EQ(host.clock.time, 1000);
        EXPECT_LT(host.longest_call_ms(), network_wait_ms);
    }
    EXPECT_EQ(peer.connections_accepted(), accepted + 2);
    // The peer closes its side of the two connections once it sees them end.
    EXPECT_TRUE(repeat_until([] {}, [&] { return open_descriptors() == before; }, 5s));
}

}  // namespace

TEST_F(Lookup, silent_targets_give_way_to_the_next_one) {
    Scripted_Peer peer(Scripted_Peer::Listen{5333});
    Full_Backlog first;
    Full_Backlog second;
    dns->add_srv(service + "one.test", 10, 0, 5222, "dead1.test");
    dns->add_srv(service + "one.test", 20, 0, 5333, "live.test");
    dns->add_srv(service + "two.test", 10, 0, 5222, "dead1.test");
    dns->add_srv(service + "two.test", 20, 0, 5222, "dead2.test");
    dns->add_srv(service + "two.test", 30, 0, 5333, "live.test");
    dns->add_a("dead1.test", first.address());
    dns->add_a("dead2.test", second.address());
    dns->add_a("live.test", peer.address());

    expect_login_past_silent_endpoints("one.test", peer);
    expect_login_past_silent_endpoints("two.test", peer);
}

TEST_F(Lookup, silent_addresses_give_way_to_the_next_address_of_the_name) {
    Scripted_Peer peer;
    // Nine: more than the connects open at once.
    std::vector<std::unique_ptr<Full_Backlog>> silent;
    for (int i = 0; i < 9; ++i) {
        silent.push_back(std::make_unique<Full_Backlog>());
        dns->add_a(i == 0 ? "one.test" : "nine.test", silent.back()->address());
        if (i == 0) dns->add_a("nine.test", silent.back()->address());
    }
    dns->add_a("one.test", peer.address());
    dns->add_a("nine.test", peer.address());
    expect_login_past_silent_endpoints("one.test", peer);
    expect_login_past_silent_endpoints("nine.test", peer);
}

TEST_F(Lookup, a_silent_ipv6_address_gives_way_to_the_ipv4_one) {
    Scripted_Peer peer(Scripted_Peer::Listen{5334});
    Full_Backlog silent("::1", 5334);
    dns->add_srv(service + "dual.test", 0, 0, 5334, "both.test");
    dns->add_aaaa("both.test", "::1");
    dns->add_a("both.test", peer.address());
    expect_login_past_silent_endpoints("dual.test", peer);
}

TEST_F(Lookup, only_the_first_32_targets_and_16_addresses_of_an_answer_are_tried) {
    // Both answers pass 512 bytes: they come truncated, then over TCP.
    Scripted_Peer peer;
    const std::string refusing = refusing_loopback_address();
    for (unsigned i = 0; i < 32; ++i) {
        dns->add_srv(service + "targets.test", i, 0, 5222, "t" + std::to_string(i) + ".test");
        dns->add_a("t" + std::to_string(i) + ".test", refusing);
    }
    dns->add_srv(service + "targets.test", 32, 0, 5222, "live.test");
    dns->add_a("live.test", peer.address());
    for (int i = 0; i < 16; ++i) dns->add_a("addresses.test", refusing);
    dns->add_a("addresses.test", peer.address());

    for (const std::string name : {"targets.test", "addresses.test"}) {
        SCOPED_TRACE(name);
        Host_At host(name);
        host.start();
        ASSERT_TRUE(host.poll_until([&] { return host.state() == STATE_IDLE; }));
        EXPECT_EQ(host.handler.take(), Strings{"on_disconnected()"});
        EXPECT_LT(host.longest_call_ms(), network_wait_ms);
    }
    EXPECT_EQ(peer.connections_accepted(), 0);

    // One refusing address fewer, and the live one is reached.
    for (int i = 0; i < 15; ++i) dns->add_a("fewer.test", refusing);
    dns->add_a("fewer.test", peer.address());
    Host_At host("fewer.test");
    host.start();
    EXPECT_TRUE(host.connected());
}
