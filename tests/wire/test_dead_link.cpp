// A link lost without a word (no FIN, no RST, every packet dropped, as when
// a router loses the route): a firewall rule in the test's own network
// namespace drops every packet to and from the peer once the host is logged
// in. The host, polling with a clock that follows real time, hears
// on_disconnected and is idle again within a minute, whether it keeps
// sending or sends nothing. Needs root and nft; each case waits real time.
#include "wire/wire_host.hpp"

#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <cstdlib>
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

void expect_loss_heard_within_a_minute(bool sending) {
    if (::geteuid() != 0 || ::access("/usr/sbin/nft", X_OK) != 0) GTEST_SKIP() << "needs root and nft";
    Wire_Host host;
    ASSERT_TRUE(host.log_in());
    host.handler.take();
    Dropped_Link cut(host.peer.address());
    if (!cut.dropping()) GTEST_SKIP() << "nft refused the rule";

    const auto begun = std::chrono::steady_clock::now();
    const std::int32_t clock_at_cut = host.clock.time;
    std::int32_t last_send = clock_at_cut;
    const bool idle = repeat_until(
        [&] {
            const auto elapsed = std::chrono::steady_clock::now() - begun;
            host.clock.time = clock_at_cut + static_cast<std::int32_t>(
                                                 std::chrono::duration_cast<std::chrono::seconds>(elapsed).count());
            if (sending && host.clock.time != last_send) {
                last_send = host.clock.time;
                host.manager->send_message(1, u"alice", u"still there?");
            }
            host.poll();
        },
        [&] { return host.state() == STATE_IDLE; }, std::chrono::seconds(60));
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
