// SPDX-License-Identifier: GPL-3.0-or-later
// A link lost without a word (no FIN, no RST, every packet dropped, as when
// a router loses the route): a firewall rule in the test's own network
// namespace drops every packet to and from the peer once the host is logged
// in. The host, polling with a clock that follows real time, hears
// on_disconnected and is idle again within a minute, whether it keeps
// sending or sends nothing. Needs root and nft; each case waits real time.
// A server that only falls quiet (it reads and acknowledges, and answers
// nothing) is not cut.
#include "wire/wire_host.hpp"

#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <string>

using namespace velta_test;
using namespace Velta_Client;

namespace {

// Drops every TCP packet to and from address:5222 while it lives.
class Dropped_Link {
public:
    explicit Dropped_Link(const std::string& address) : table_("velta_dead_link_" + std::to_string(::getpid())) {
        dropping_ = nft("add table ip " + table_) &&
                    nft("add chain ip " + table_ + " out { type filter hook output priority 0 ; }") &&
                    nft("add rule ip " + table_ + " out ip daddr " + address + " tcp dport 5222 drop") &&
                    nft("add rule ip " + table_ + " out ip saddr " + address + " tcp sport 5222 drop");
    }
    ~Dropped_Link() { nft("delete table ip " + table_); }
    Dropped_Link(const Dropped_Link&) = delete;
    Dropped_Link& operator=(const Dropped_Link&) = delete;

    bool dropping() const { return dropping_; }

private:
    static bool nft(const std::string& command) {
        return std::system(("nft '" + command + "' 2>/dev/null").c_str()) == 0;
    }
    std::string table_;
    bool dropping_ = false;
};

// Polls with the clock following real time (from the clock's reading at
// the call) until done().
template <class Done>
bool poll_in_real_time(Wire_Host& host, Done done, std::chrono::seconds limit,
                       const std::function<void()>& each_second = {}) {
    const auto begun = std::chrono::steady_clock::now();
    const std::int32_t clock_at_begin = host.clock.time;
    return repeat_until(
        [&] {
            const auto elapsed = std::chrono::steady_clock::now() - begun;
            const auto now = clock_at_begin + static_cast<std::int32_t>(
                                                  std::chrono::duration_cast<std::chrono::seconds>(elapsed).count());
            if (now != host.clock.time && each_second) each_second();
            host.clock.time = now;
            host.poll();
        },
        done, limit);
}

void expect_loss_heard_within_a_minute(bool sending) {
    if (::geteuid() != 0 || ::access("/usr/sbin/nft", X_OK) != 0) GTEST_SKIP() << "needs root and nft";
    Wire_Host host;
    ASSERT_TRUE(host.log_in());
    host.handler.take();
    Dropped_Link cut(host.peer.address());
    if (!cut.dropping()) GTEST_SKIP() << "nft refused the rule";

    const bool idle = poll_in_real_time(
        host, [&] { return host.state() == STATE_IDLE; }, std::chrono::seconds(60), [&] {
            if (sending) host.manager->send_message(1, u"alice", u"still there?");
        });
    EXPECT_TRUE(idle);
    EXPECT_GE(host.handler.count("on_disconnected"), 1);
}

}  // namespace

TEST(Dead_Link, a_silently_dead_link_ends_within_a_minute_while_the_host_sends) {
    expect_loss_heard_within_a_minute(true);
}

TEST(Dead_Link, a_silently_dead_link_ends_within_a_minute_while_the_host_sends_nothing) {
    expect_loss_heard_within_a_minute(false);
}

TEST(Dead_Link, a_server_that_only_falls_quiet_is_not_cut) {
    Wire_Host host;
    ASSERT_TRUE(host.log_in());
    host.handler.take();
    host.peer.set_silent(true);
    host.peer.clear_recorded();
    // Four probes unanswered: 44 s, past the time in which a dead link ends.
    const auto probes = [&] {
        int count = 0;
        for (const Recorded& message : host.sent_messages()) count += message.has_child("body") ? 0 : 1;
        return count;
    };
    EXPECT_TRUE(poll_in_real_time(host, [&] { return probes() >= 4; }, std::chrono::seconds(60)));
    EXPECT_EQ(host.state(), STATE_CONNECTED);
    EXPECT_TRUE(host.handler.events.empty());
}
