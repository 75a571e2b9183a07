// SPDX-License-Identifier: GPL-3.0-or-later
// velta-services reads user names out of addresses with its own code; these
// vectors, written out by hand, pin it to the mapping every peer uses (the
// library's side is pinned to the same names in tests/unit/test_escaping.cpp).
#include "service_bot.hpp"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

using velta_services::user_name_of_node;

TEST(Service_Names, nodes_of_known_names_give_the_names_back) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"", ""},
        {"_y_q", "a"},
        {"_y_w_jj", "abc"},
        {"_qm9i", "Bob"},
        {"_ym9i", "bob"},
        {"_y_wxp_y2_u", "alice"},
        {"em9ydm_fu", "zorvan"},
        {"w6k", "\xC3\xA9"},
        {"_wm___dqw", "Zo\xC3\xAB"},
        {"__w", "\xFF"},
        {"0_j___rg_n_c40_l_l_qtd_g_c", "\xD0\x9F\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82"},
        {"_wm___dqy_b_b_wm_f6_m_dkv_kz8h", "Zo\xC3\xAB AZaz09/+?!"},
    };
    for (const auto& [node, name] : cases) EXPECT_EQ(user_name_of_node(node), name) << node;
}

TEST(Service_Names, foreign_nodes_decode_as_far_as_they_can) {
    EXPECT_EQ(user_name_of_node("admin"), "i\xD9\xA2");            // "n" alone holds no byte
    EXPECT_EQ(user_name_of_node("cmdadmin"), "rgZvh\xA7");
    EXPECT_EQ(user_name_of_node("_y_w_jj_"), "abc");               // a trailing "_" is dropped
    EXPECT_EQ(user_name_of_node("_y_q_1_y_q"), "a");               // "_1" is no Base64 character
    EXPECT_EQ(user_name_of_node("_zm9v_yg=="), "foob");            // "=" ends the text
    EXPECT_EQ(user_name_of_node("_zm9v_y"), "foo");                // a lone last character gives nothing
}

TEST(Service_Names, long_nodes_decode_in_full) {
    std::string node, name;
    for (int i = 0; i < 12; ++i) {
        node += "_wm___dqy_b_b_wm_f6_m_dkv_kz8h";
        name += "Zo\xC3\xAB AZaz09/+?!";
    }
    EXPECT_EQ(user_name_of_node(node), name);
}
