// SPDX-License-Identifier: GPL-3.0-or-later
// The count of what one element holds, kept between the socket and gloox.
#include "manager/xmpp/stanza_limits.hpp"

#include <gtest/gtest.h>

#include <string>

using Velta_Client::detail::xmpp::Stanza_Limits;

namespace {

bool accepts(Stanza_Limits& limits, const std::string& text) { return limits.accept(text.data(), text.size()); }

}  // namespace

TEST(Stanza_Limits, counts_elements_and_attributes_but_not_end_tags_or_text) {
    Stanza_Limits limits;
    ASSERT_TRUE(accepts(limits, "<message type='chat' from=\"a@b\"><body>a = 'b' \"c\" <x/></body></message>"));
    EXPECT_EQ(limits.nodes(), 5u);  // message, two attributes, body, x
    limits.element_completed();
    EXPECT_EQ(limits.nodes(), 0u);
    EXPECT_EQ(limits.bytes(), 0u);
}

// gloox ends a single-quoted value at either quote: so does the count, or a
// value could hide attributes from it.
TEST(Stanza_Limits, a_single_quoted_value_ends_at_either_quote) {
    Stanza_Limits limits;
    ASSERT_TRUE(accepts(limits, "<m a='x\" b='y'/>"));
    EXPECT_EQ(limits.nodes(), 3u);
}

TEST(Stanza_Limits, character_data_sections_hold_anything) {
    Stanza_Limits limits;
    ASSERT_TRUE(accepts(limits, "<m><![CDATA[<a b='c'> & no reference at all ]]></m>"));
    EXPECT_EQ(limits.nodes(), 1u);
}

TEST(Stanza_Limits, references_of_up_to_eight_characters_pass) {
    Stanza_Limits limits;
    ASSERT_TRUE(accepts(limits, "<m a='&amp;&#x000041;'>&lt;&#1114111;&quot;</m>"));
    Stanza_Limits longer;
    EXPECT_FALSE(accepts(longer, "<m>&#x0000041;</m>"));
    Stanza_Limits in_value;
    EXPECT_FALSE(accepts(in_value, "<m a='&aaaaaaaaa"));
}

TEST(Stanza_Limits, a_reference_split_over_pieces_is_counted_whole) {
    Stanza_Limits limits;
    ASSERT_TRUE(accepts(limits, "<m>&aaaa"));
    EXPECT_FALSE(accepts(limits, "aaaaa"));
    EXPECT_FALSE(accepts(limits, "<m/>")) << "once refused, always refused";
}

TEST(Stanza_Limits, bytes_of_one_element_are_bounded_whether_it_ends_or_not) {
    Stanza_Limits limits;
    const std::string most(Stanza_Limits::max_bytes, 'x');
    ASSERT_TRUE(accepts(limits, most));
    EXPECT_FALSE(accepts(limits, "x"));

    Stanza_Limits again;
    ASSERT_TRUE(accepts(again, most));
    again.element_completed();
    EXPECT_TRUE(accepts(again, most)) << "each element has its own allowance";
}

TEST(Stanza_Limits, elements_and_attributes_together_are_bounded) {
    Stanza_Limits limits;
    std::string text = "<m";
    for (std::size_t i = 1; i < Stanza_Limits::max_nodes; ++i) text += " a='x'";
    ASSERT_TRUE(accepts(limits, text));
    EXPECT_EQ(limits.nodes(), Stanza_Limits::max_nodes);
    EXPECT_FALSE(accepts(limits, "><x/>"));
}

TEST(Stanza_Limits, large_elements_are_told_apart) {
    Stanza_Limits limits;
    ASSERT_TRUE(accepts(limits, "<m><body>" + std::string(100, 'x')));
    EXPECT_FALSE(limits.large());
    ASSERT_TRUE(accepts(limits, std::string(Stanza_Limits::large_bytes, 'x')));
    EXPECT_TRUE(limits.large());
}
