// SPDX-License-Identifier: GPL-3.0-or-later
// Servers that attack the login: obsolete mechanisms, challenges that made
// gloox throw, and SCRAM exchanges that prove nothing or freeze the host.
// Each ends that connection like a lost link (on_disconnected and the reset),
// never as a wrong password, and nothing leaves poll.
#include "wire/wire_host.hpp"

#include <gtest/gtest.h>

#include <gloox/base64.h>
#include <gloox/tag.h>

#include <algorithm>
#include <chrono>

using namespace velta_test;
using namespace Velta_Client;
using Strings = std::vector<std::string>;

namespace {

// Polls (catching nothing: an exception fails the test) until the manager is
// back in idle after it heard something.
bool poll_to_idle(Wire_Host& host) {
    return host.poll_until([&] { return !host.handler.events.empty() && host.state() == STATE_IDLE; });
}

struct Scram_Host : Wire_Host {
    Scram_Host() {
        peer.add_account("_qm9i", "pw");
        peer.set_sasl_mechanisms({"SCRAM-SHA-1"});
    }
};

}  // namespace

TEST(Hostile_Auth, digest_md5_is_never_offered_and_a_server_with_nothing_else_ends_the_login) {
    Wire_Host host;
    host.peer.add_account("_qm9i", "pw");
    host.peer.set_sasl_mechanisms({"DIGEST-MD5"});
    host.peer.set_sasl_challenge("bm9uY2U9");  // "nonce=": gloox's parser of it throws
    host.manager->start();
    ASSERT_TRUE(poll_to_idle(host));
    EXPECT_EQ(host.handler.take(), Strings{"on_disconnected()"});
    EXPECT_TRUE(named(host.peer.stanzas(), "auth").empty());
}

TEST(Hostile_Auth, a_challenge_to_a_mechanism_without_one_ends_the_connection) {
    for (const std::string challenge : {"bm9uY2U9", "cmVhbG09"}) {  // "nonce=", "realm="
        SCOPED_TRACE(challenge);
        Wire_Host host;
        host.peer.add_account("_qm9i", "pw");
        host.peer.set_sasl_mechanisms({"DIGEST-MD5", "PLAIN"});
        host.peer.set_sasl_challenge(challenge);
        host.manager->start();
        ASSERT_TRUE(poll_to_idle(host));
        EXPECT_EQ(host.handler.take(), Strings{"on_disconnected()"});
        const auto auths = named(host.peer.stanzas(), "auth");
        ASSERT_EQ(auths.size(), 1u);
        EXPECT_EQ(auths[0].attribute("mechanism"), "PLAIN");
        EXPECT_TRUE(named(host.peer.stanzas(), "response").empty());
        host.poll_for(50ms);
        EXPECT_TRUE(host.handler.events.empty());
    }
}

TEST(Hostile_Auth, scram_with_an_ordinary_count_logs_in) {
    Scram_Host host;
    host.peer.set_scram_iterations(4096);
    ASSERT_TRUE(host.log_in());
    EXPECT_EQ(named(host.peer.stanzas(), "auth").back().attribute("mechanism"), "SCRAM-SHA-1");
    EXPECT_EQ(named(host.peer.stanzas(), "response").size(), 1u);
}

TEST(Hostile_Auth, scram_counts_outside_one_to_the_bound_end_the_connection_without_a_proof) {
    for (const long count : {0L, -1L, 100001L, 10000000L}) {
        SCOPED_TRACE(count);
        Scram_Host host;
        host.peer.set_scram_iterations(count);
        host.manager->start();
        const auto began = std::chrono::steady_clock::now();
        ASSERT_TRUE(poll_to_idle(host));
        EXPECT_LT(std::chrono::steady_clock::now() - began, 5s);
        // A lost link, not a wrong password.
        EXPECT_EQ(host.handler.take(), Strings{"on_disconnected()"});
        EXPECT_TRUE(named(host.peer.stanzas(), "response").empty());
    }
}

TEST(Hostile_Auth, scram_without_a_salt_ends_the_connection_without_a_proof) {
    Scram_Host host;
    host.peer.set_scram_salt(std::string());
    host.manager->start();
    ASSERT_TRUE(poll_to_idle(host));
    EXPECT_EQ(host.handler.take(), Strings{"on_disconnected()"});
    EXPECT_TRUE(named(host.peer.stanzas(), "response").empty());
}

TEST(Hostile_Auth, a_scram_nonce_that_does_not_extend_the_clients_ends_the_connection) {
    Scram_Host host;
    host.peer.set_scram_server_nonce(std::string("0123456789abcdef0123456789abcdef-server"));
    host.manager->start();
    ASSERT_TRUE(poll_to_idle(host));
    EXPECT_EQ(host.handler.take(), Strings{"on_disconnected()"});
    EXPECT_TRUE(named(host.peer.stanzas(), "response").empty());
}

TEST(Hostile_Auth, a_second_scram_challenge_ends_the_connection) {
    Scram_Host host;
    host.manager->start();
    ASSERT_TRUE(host.poll_until([&] { return !named(host.peer.stanzas(), "response").empty(); }));
    // Instead of the server's final message: a challenge with the same nonce
    // and a count that would freeze the host.
    const auto auth = named(host.peer.stanzas(), "auth").back();
    const std::string nonce = scram_client_nonce(auth);
    host.peer.send_raw("<challenge xmlns='urn:ietf:params:xml:ns:xmpp-sasl'>" +
                       gloox::Base64::encode64("r=" + nonce + "x,s=c2FsdA==,i=4096") + "</challenge>");
    ASSERT_TRUE(poll_to_idle(host));
    EXPECT_EQ(host.handler.count("on_connected"), 0);
    EXPECT_EQ(named(host.peer.stanzas(), "response").size(), 1u);
}
