// The host's rand(): gloox calls srand(time(0)) for every client it builds
// and every connection it ends, and draws its stanza ids from rand(). None
// of that may reach the host's sequence. The SCRAM nonce is the library's
// own, from the kernel.
#include "wire/wire_host.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>

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
        host->peer.set_sasl_mechanisms({"SCRAM-SHA-1"});
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

TEST(Host_Rand, two_logins_in_the_same_second_send_different_nonces_from_the_kernel) {
    Wire_Host host;
    host.peer.add_account("_qm9i", "pw");
    host.peer.set_sasl_mechanisms({"SCRAM-SHA-1"});
    ASSERT_TRUE(host.log_in());
    ASSERT_TRUE(log_out(host));
    ASSERT_TRUE(host.log_in());

    const auto nonces = scram_nonces(host.peer);
    ASSERT_EQ(nonces.size(), 2u);
    EXPECT_NE(nonces[0], nonces[1]);
    for (const auto& nonce : nonces) EXPECT_EQ(nonce.size(), 32u) << nonce;  // 24 bytes in base64
}
