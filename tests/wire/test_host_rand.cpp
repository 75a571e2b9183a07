// SPDX-License-Identifier: GPL-3.0-or-later
// The host's rand(): gloox calls srand(time(0)) for every client it builds
// and every connection it ends, and makes its SCRAM nonce from rand(). None
// of that may reach the host's sequence, and the nonce may not be the
// clock's.
#include "wire/wire_host.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <memory>
#include <set>

using namespace velta_test;
using namespace Velta_Client;

namespace {

std::vector<std::string> scram_nonces(const Scripted_Peer& peer) {
    std::vector<std::string> out;
    for (const auto& stanza : peer.stanzas()) {
        if (stanza.name != "auth" || stanza.attribute("mechanism") != "SCRAM-SHA-1") continue;
        out.push_back(scram_client_nonce(stanza));
    }
    return out;
}

bool log_out(Wire_Host& host) {
    host.manager->logout();
    return host.poll_until([&] { return host.state() == STATE_IDLE; });
}

}  // namespace

TEST(Host_Rand, a_whole_login_and_logout_leaves_the_hosts_rand_sequence_as_it_was) {
    std::srand(1234);
    std::vector<int> drawn;
    {
        auto host = std::make_unique<Wire_Host>();  // builds the manager and its first client
        host->peer.add_account("_qm9i", "pw");
        host->peer.set_sasl_mechanisms({"SCRAM-SHA-1"});  // gloox draws its nonce
        drawn.push_back(std::rand());
        host->handler.on_event = [&](const std::string&) { drawn.push_back(std::rand()); };
        for (int round = 0; round < 2; ++round) {
            host->manager->start();
            drawn.push_back(std::rand());
            ASSERT_TRUE(host->poll_until([&] { return host->state() == STATE_CONNECTED; }));
            host->manager->send_message(1, wide("alice"), wide("hi"));
            drawn.push_back(std::rand());
            ASSERT_TRUE(log_out(*host));
            drawn.push_back(std::rand());
        }
        host->handler.on_event = nullptr;
    }  // the manager goes, and its client with it
    drawn.push_back(std::rand());

    std::srand(1234);
    for (std::size_t i = 0; i < drawn.size(); ++i) EXPECT_EQ(drawn[i], std::rand()) << "draw " << i;
    EXPECT_GT(drawn.size(), 10u);
}

TEST(Host_Rand, two_logins_in_the_same_second_send_different_nonces_that_the_clock_does_not_give) {
    Wire_Host host;
    host.peer.add_account("_qm9i", "pw");
    host.peer.set_sasl_mechanisms({"SCRAM-SHA-1"});
    const std::time_t began = std::time(nullptr);
    ASSERT_TRUE(host.log_in());
    ASSERT_TRUE(log_out(host));
    ASSERT_TRUE(host.log_in());
    const std::time_t ended = std::time(nullptr);

    const auto nonces = scram_nonces(host.peer);
    ASSERT_EQ(nonces.size(), 2u);
    EXPECT_NE(nonces[0], nonces[1]);

    // srand(time(0)) seeded from any second the logins ran in gives none of
    // the nonces' words among its first values.
    std::set<unsigned long> from_clock;
    for (std::time_t second = began - 1; second <= ended + 1; ++second) {
        std::srand(static_cast<unsigned>(second));
        for (int i = 0; i < 64; ++i) from_clock.insert(static_cast<unsigned long>(std::rand()));
    }
    for (const auto& nonce : nonces) {
        ASSERT_EQ(nonce.size(), 32u);
        for (std::size_t word = 0; word < 4; ++word)
            EXPECT_EQ(from_clock.count(std::stoul(nonce.substr(word * 8, 8), nullptr, 16)), 0u) << nonce;
    }
}
