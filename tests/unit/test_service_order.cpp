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

TEST(Service_Order, only_the_first_targets_are_drawn_from_a_large_answer) {
    std::vector<Service_Record> records;
    for (unsigned i = 0; i < 2000; ++i) records.push_back({"t" + std::to_string(i), 2000 - i, 1, 1});
    const auto ordered = in_service_order(records, [](unsigned) { return 0u; }, 32);
    ASSERT_EQ(ordered.size(), 32u);
    EXPECT_EQ(ordered.front().host, "t1999");  // the lowest priority value
    EXPECT_EQ(ordered.back().host, "t1968");
}

namespace {

void put16(std::string& out, unsigned value) {
    out.push_back(static_cast<char>(value >> 8));
    out.push_back(static_cast<char>(value & 0xff));
}

// An answer to "a.test" holding `records` of (type, data), the question's
// name compressed in each.
std::string dns_answer(const std::vector<std::pair<unsigned, std::string>>& records) {
    std::string out("\x12\x34\x84\x00", 4);
    put16(out, 1);
    put16(out, static_cast<unsigned>(records.size()));
    put16(out, 0);
    put16(out, 0);
    out += std::string("\x01" "a\x04test\x00", 8);
    put16(out, 1);
    put16(out, 1);
    for (const auto& [type, data] : records) {
        put16(out, 0xc00c);
        put16(out, type);
        put16(out, 1);
        put16(out, 0);
        put16(out, 60);
        put16(out, static_cast<unsigned>(data.size()));
        out += data;
    }
    return out;
}

std::vector<Endpoint> read_answer(const std::string& answer, int family, std::size_t limit = 16) {
    return addresses_in_answer(reinterpret_cast<const unsigned char*>(answer.data()), answer.size(), family, limit);
}

}  // namespace

TEST(Dns_Answer, addresses_of_the_family_asked_up_to_the_limit_and_nothing_past_the_end) {
    const std::string v4("\x7f\x00\x00\x07", 4);
    const std::string v6(16, '\x01');
    const std::string cname("\x01" "b\x00", 3);
    const std::string answer = dns_answer({{5, cname}, {1, v4}, {28, v6}, {1, v4}});
    EXPECT_EQ(read_answer(answer, AF_INET).size(), 2u);
    ASSERT_EQ(read_answer(answer, AF_INET6).size(), 1u);
    EXPECT_EQ(read_answer(answer, AF_INET6)[0].address.ss_family, AF_INET6);

    std::vector<std::pair<unsigned, std::string>> many(4000, {1, v4});
    EXPECT_EQ(read_answer(dns_answer(many), AF_INET).size(), 16u);

    // Cut anywhere: what is whole is read, nothing beyond.
    for (std::size_t length = 0; length < answer.size(); ++length)
        EXPECT_LE(read_answer(answer.substr(0, length), AF_INET).size(), 2u);
    EXPECT_TRUE(read_answer(dns_answer({{1, "\x7f"}}), AF_INET).empty());  // a short address
}
