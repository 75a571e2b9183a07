// SPDX-License-Identifier: GPL-3.0-or-later
// What the host's process keeps: its rand() and its errno. gloox calls
// srand(time(0)) for every client it builds and every connection it ends, and
// draws its stanza ids from rand(). None of that may reach the host's
// sequence, however many threads drive managers. The SCRAM nonce is the
// library's own, from the kernel. The sockets' errors may not reach the
// host's errno.
#include "support/loopback.hpp"
#include "wire/wire_host.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <memory>
#include <thread>

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

// A host's life on one thread: managers made, logged in, chatting, logged
// out and deleted, `cycles` times.
void chat_cycles(int cycles, bool& ok) {
    ok = true;
    for (int cycle = 0; cycle < cycles && ok; ++cycle) {
        Wire_Host host;
        host.peer.add_account("_qm9i", "pw");
        host.peer.set_sasl_mechanisms({"SCRAM-SHA-1"});
        ok = host.log_in();
        host.manager->send_message(1, wide("alice"), wide("hi"));
        ok = ok && log_out(host);
    }
}

}  // namespace

TEST(Host_Rand, managers_on_other_threads_leave_the_hosts_rand_and_srand_its_own) {
    for (const int threads : {2, 4}) {
        SCOPED_TRACE(threads);
        std::srand(99);
        std::vector<int> drawn{std::rand(), std::rand()};
        std::vector<std::thread> workers;
        std::vector<bool> ok(static_cast<std::size_t>(threads));
        std::vector<char> done(static_cast<std::size_t>(threads));
        for (int t = 0; t < threads; ++t)
            workers.emplace_back([&, t] {
                bool result = false;
                chat_cycles(4, result);
                ok[static_cast<std::size_t>(t)] = result;
            });
        for (auto& worker : workers) worker.join();
        for (int t = 0; t < threads; ++t) EXPECT_TRUE(ok[static_cast<std::size_t>(t)]) << "thread " << t;
        drawn.push_back(std::rand());
        drawn.push_back(std::rand());

        std::srand(99);
        for (std::size_t i = 0; i < drawn.size(); ++i) EXPECT_EQ(drawn[i], std::rand()) << "draw " << i;
        // The host's srand() still seeds the host's generator.
        std::srand(5);
        const int first = std::rand();
        Wire_Host host;  // builds a client: gloox calls srand(time(0))
        std::srand(5);
        EXPECT_EQ(std::rand(), first);
    }
}

TEST(Host_Rand, every_call_leaves_errno_as_the_host_left_it) {
    Wire_Host host;
    auto call = [&](const char* what, auto&& work) {
        errno = 4321;
        work();
        EXPECT_EQ(errno, 4321) << what;
    };
    call("start", [&] { host.manager->start(); });
    call("poll to connected", [&] { host.poll_until([&] { return host.state() == STATE_CONNECTED; }); });
    call("send", [&] { host.manager->send_message(1, wide("alice"), wide("hi")); });
    host.peer.reset_connection();  // the next read finds ECONNRESET
    call("poll to idle", [&] { host.poll_until([&] { return host.state() == STATE_IDLE; }); });
    Host refused(refusing_loopback_address(), "bob", "pw");  // the connect is refused
    call("refused start", [&] { refused.manager->start(); });
    call("refused poll", [&] { refused.poll_until([&] { return refused.state() == STATE_IDLE; }); });
    call("delete", [&] { refused.manager.reset(); });
}

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
