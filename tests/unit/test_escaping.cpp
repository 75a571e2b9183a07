// SPDX-License-Identifier: GPL-3.0-or-later
#include "text/escaping.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace te = Velta_Client::text_encoding;

namespace {

// Node length worked out from the Base64 text alone: capitals and "/" take two.
std::size_t escaped_length(const std::string& base64) {
    std::size_t length = 0;
    for (char ch : base64) length += (ch == '/' || (ch >= 'A' && ch <= 'Z')) ? 2 : 1;
    return length;
}

}  // namespace

TEST(Base64, UnpaddedBothWays) {
    const char* const encoded[] = {"", "Zg", "Zm8", "Zm9v", "Zm9vYg", "Zm9vYmE", "Zm9vYmFy"};
    for (std::size_t n = 0; n <= 6; ++n) {
        EXPECT_EQ(te::base64_encode(std::string_view("foobar", n)), encoded[n]);
        EXPECT_EQ(te::base64_decode(encoded[n]), std::string("foobar", n));
    }
    const unsigned char high[] = {0xFF, 0xFE, 0xFB};
    EXPECT_EQ(te::base64_encode(high, 3), "//77");
    EXPECT_EQ(te::base64_decode("//77"), "\xFF\xFE\xFB");
}

TEST(Base64, DecodeStopsAtPaddingOrForeignCharacter) {
    EXPECT_EQ(te::base64_decode("Zm9vYg=="), "foob");
    EXPECT_EQ(te::base64_decode("Zm9v=YmFy"), "foo");
    EXPECT_EQ(te::base64_decode("Zm9v!YmFy"), "foo");
    EXPECT_EQ(te::base64_decode("Zm9vY"), "foo");  // a lone final character gives nothing
}

TEST(UserNameEscaping, KnownNames) {
    struct Case {
        std::string name, base64, node;
    };
    const std::vector<Case> cases = {
        {"", "", ""},
        {"a", "YQ", "_y_q"},
        {"abc", "YWJj", "_y_w_jj"},
        {"Bob", "Qm9i", "_qm9i"},
        {"alice", "YWxpY2U", "_y_wxp_y2_u"},
        {"\xC3\xA9", "w6k", "w6k"},
        {"Zo\xC3\xAB", "Wm/Dqw", "_wm___dqw"},
        {"\xFF", "/w", "__w"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(te::base64_encode(c.name), c.base64);
        EXPECT_EQ(te::user_name_to_node(c.name), c.node);
        EXPECT_EQ(te::node_to_user_name(c.node), c.name) << c.node;
    }
}

TEST(UserNameEscaping, ForeignNodesDecodeAsFarAsTheyCan) {
    EXPECT_EQ(te::node_to_user_name("abc_"), te::node_to_user_name("abc"));  // trailing "_" is dropped
    EXPECT_EQ(te::node_to_user_name("admin"), te::base64_decode("admin"));
    EXPECT_EQ(te::node_to_user_name("_y_q_1_y_q"), "a");  // "_1" is no Base64 character
}

TEST(UserNameEscaping, NodeLengthBound) {
    // 36 bytes always fit, even when every Base64 character is escaped.
    EXPECT_EQ(te::user_name_to_node(std::string(36, '\xFF')), std::string(96, '_'));

    // Base64 without capitals: 74 bytes give 99 characters, 75 give 100.
    const std::string plain = te::base64_decode(std::string(99, 'g'));
    ASSERT_EQ(plain.size(), 74u);
    EXPECT_EQ(te::user_name_to_node(plain), std::string(99, 'g'));
    EXPECT_EQ(te::user_name_to_node(plain + "\x82"), std::nullopt);

    // A capital whose escape would take characters 99 and 100.
    const std::string fits = te::base64_decode(std::string(97, 'g') + "Q");
    EXPECT_EQ(te::user_name_to_node(fits), std::string(97, 'g') + "_q");
    const std::string straddles = te::base64_decode(std::string(98, 'g') + "Q");
    ASSERT_EQ(te::base64_encode(straddles), std::string(98, 'g') + "Q");
    EXPECT_EQ(te::user_name_to_node(straddles), std::nullopt);
}

// Any byte string maps to a node that maps back exactly, unless the node
// would be longer than the bound, and only then.
TEST(UserNameEscaping, RandomNamesRoundTripOrAreRefused) {
    std::uint32_t seed = 2024;
    auto next = [&seed] { return (seed = seed * 1664525u + 1013904223u) >> 8; };
    for (int round = 0; round < 2000; ++round) {
        std::string name(next() % 90, '\0');
        for (char& ch : name) ch = static_cast<char>(next());
        const auto node = te::user_name_to_node(name);
        const std::size_t length = escaped_length(te::base64_encode(name));
        ASSERT_EQ(node.has_value(), length <= te::max_node_length) << "round " << round;
        if (node) {
            ASSERT_EQ(node->size(), length);
            ASSERT_EQ(te::node_to_user_name(*node), name) << "round " << round;
        }
    }
}

TEST(UserNameEscaping, LongNodesDecodeInFull) {
    // Pieces of a multiple of 3 bytes encode independently, so the node of
    // the whole name is the nodes of its pieces joined.
    const std::string piece = "Zo\xC3\xAB AZaz09/+?!";
    std::string name, node;
    for (int i = 0; i < 12; ++i) {
        name += piece;
        node += te::user_name_to_node(piece).value();
    }
    ASSERT_GT(node.size(), 300u);
    EXPECT_EQ(te::user_name_to_node(name), std::nullopt);
    EXPECT_EQ(te::node_to_user_name(node), name);
}
