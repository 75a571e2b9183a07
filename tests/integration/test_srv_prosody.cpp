// SPDX-License-Identifier: GPL-3.0-or-later
// A real server published the way a deployment would: only a name, whose
// SRV record points at Prosody on another port. Two hosts find it, log in
// and chat.
#include "integration/prosody_server.hpp"
#include "peer/dns_server.hpp"
#include "support/host.hpp"

#include <gtest/gtest.h>

#include <unistd.h>

using namespace velta_test;
using namespace Velta_Client;
using namespace std::chrono_literals;

TEST(Prosody_Srv, hosts_find_the_server_through_its_service_record_and_chat) {
    if (::geteuid() != 0) GTEST_SKIP() << "a private /etc/resolv.conf needs root";
    Dns_Server dns;
    if (!use_private_resolver(dns.address())) GTEST_SKIP() << "no private mount namespace here";
    Prosody_Server prosody(5333);
    dns.add_srv("_xmpp-client._tcp.world.test", 5, 0, 5333, "xmpp1.world.test");
    dns.add_a("xmpp1.world.test", prosody.address());

    Host_At alice("world.test", "alice", "a-pw");
    Host_At bob("world.test", "bob", "b-pw");
    alice.start();
    bob.start();
    ASSERT_TRUE(alice.connected());
    ASSERT_TRUE(bob.connected());

    alice.manager->send_message(7, wide("bob"), wide("found you through SRV"));
    ASSERT_TRUE(bob.poll_until([&] { return bob.handler.count("on_message") > 0; }));
    const auto heard = bob.handler.take();
    ASSERT_EQ(heard.size(), 2u);
    EXPECT_EQ(heard[0], "on_connected()");
    EXPECT_EQ(heard[1].rfind("on_message(from=alice, body=found you through SRV", 0), 0u) << heard[1];
    EXPECT_EQ(dns.service_queries(), 2);  // one per host: the logins reused what registration reached
}
