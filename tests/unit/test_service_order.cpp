// SPDX-License-Identifier: GPL-3.0-or-later
// RFC 2782 order of service targets, with the random draw fixed.
#include "manager/xmpp/endpoint.hpp"
#include "manager/xmpp/service_lookup.hpp"

#include <gtest/gtest.h>

using namespace Velta_Client::detail::xmpp;

namespace {

std::vector<std::string> hosts(const std::vector<Service_Record>& records) {
    std::vector<std::string> out;
    for (const auto& r : records) out.push_back(r.host);
    return out;
}

}  // namespace

TEST(Service_Order, priority_first_then_weighted_draw_with_zero_weights_first_in_the_sum) {
    const std::vector<Service_Record> records{
        {"c", 20, 0, 1}, {"a1", 10, 0, 1}, {"a2", 10, 30, 1}, {"a3", 10, 70, 1}, {"dot", 5, 0, 1}};
    std::vector<Service_Record> with_dot = records;
    with_dot.back().host = ".";

    // Draw 0 picks the zero-weight target first; then the running sum.
    EXPECT_EQ(hosts(in_service_order(with_dot, [](unsigned) { return 0u; })),
              (std::vector<std::string>{"a1", "a2", "a3", "c"}));
    // The largest draw picks the last target of the running sum each time.
    EXPECT_EQ(hosts(in_service_order(with_dot, [](unsigned total) { return total; })),
              (std::vector<std::string>{"a3", "a2", "a1", "c"}));
    // 31 of 100 lands past a1 (0) and a2 (30): a3.
    std::vector<unsigned> draws{31, 0, 0};
    std::size_t next = 0;
    EXPECT_EQ(hosts(in_service_order(with_dot, [&](unsigned) { return draws[next++ % draws.size()]; })),
              (std::vector<std::string>{"a3", "a1", "a2", "c"}));
    EXPECT_TRUE(in_service_order({{".", 0, 0, 5222}}, [](unsigned) { return 0u; }).empty());
}

TEST(Server_String, literals_names_and_what_cannot_be_either) {
    EXPECT_TRUE(ip_literal("127.0.0.9", 5222));
    EXPECT_TRUE(ip_literal("::1", 5222));
    EXPECT_TRUE(ip_literal("[::1]", 5222));
    EXPECT_FALSE(ip_literal("127.0.0", 5222));
    EXPECT_FALSE(ip_literal("chat.test", 5222));

    EXPECT_TRUE(is_host_name("chat.test"));
    EXPECT_TRUE(is_host_name("chat.test."));
    EXPECT_TRUE(is_host_name("_x-1.a"));
    for (const std::string& bad : std::vector<std::string>{"", ".", "a..b", ".a", "a b", "a:5222", std::string(64, 'a'),
                                  std::string(254, 'a'), "é.test"})
        EXPECT_FALSE(is_host_name(bad)) << bad;

    EXPECT_TRUE(is_local_name("localhost"));
    EXPECT_TRUE(is_local_name("LocalHost."));
    EXPECT_TRUE(is_local_name("game.localhost"));
    EXPECT_FALSE(is_local_name("notlocalhost"));
}
