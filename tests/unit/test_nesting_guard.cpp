// SPDX-License-Identifier: GPL-3.0-or-later
// The element depth count that stands between the socket and gloox.
#include "manager/xmpp/nesting_guard.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

using Velta_Client::detail::xmpp::Nesting_Guard;

namespace {

const std::string header =
    "<?xml version='1.0'?><stream:stream xmlns='jabber:client' xmlns:stream='http://etherx.jabber.org/streams' "
    "id='s' from='localhost' version='1.0'>";

// Depth after each byte, the text fed whole.
std::vector<int> depths(const std::string& text) {
    Nesting_Guard guard;
    std::vector<int> out;
    for (const char c : text) {
        EXPECT_EQ(guard.accept(&c, 1), 1u);
        out.push_back(guard.depth());
    }
    return out;
}

std::string nested(int levels, const std::string& inside = "x") {
    std::string text;
    for (int i = 0; i < levels; ++i) text += "<a>";
    text += inside;
    for (int i = 0; i < levels; ++i) text += "</a>";
    return text;
}

}  // namespace

TEST(Nesting_Guard, counts_elements_not_markup_inside_values_sections_or_entities) {
    const std::string stanza =
        "<message type='chat' title=\"a>b\" q=\"it's\" empty='/'><body>1 > 0 &amp; &#60;<![CDATA[<b><c>]]></body>"
        "<f/><g x='>'/></message>";
    Nesting_Guard guard;
    ASSERT_EQ(guard.accept(header.data(), header.size()), header.size());
    EXPECT_EQ(guard.depth(), 1);
    ASSERT_EQ(guard.accept(stanza.data(), stanza.size()), stanza.size());
    EXPECT_EQ(guard.depth(), 1);

    const std::vector<int> seen = depths(header + "<message><body>hi</body></message>");
    EXPECT_EQ(seen.back(), 1);
    EXPECT_EQ(*std::max_element(seen.begin(), seen.end()), 3);
}

// As gloox's parser reads it: a value that a single quote opened ends at a
// double quote, so what follows is markup.
TEST(Nesting_Guard, a_single_quoted_value_ends_at_a_double_quote) {
    Nesting_Guard guard;
    const std::string text = header + "<x a='1\"><c><c>";
    ASSERT_EQ(guard.accept(text.data(), text.size()), text.size());
    EXPECT_EQ(guard.depth(), 4);
    std::string deep;
    for (int i = 0; i < Nesting_Guard::max_depth; ++i) deep += "<c>";
    EXPECT_LT(guard.accept(deep.data(), deep.size()), deep.size());
    EXPECT_EQ(guard.refusal(), Nesting_Guard::Refusal::too_deep);
}

// gloox opens an element for "<?c ?>" and would put every later stanza
// inside it; the XML declaration between stanzas opens nothing.
TEST(Nesting_Guard, instructions_other_than_the_declaration_end_the_stream) {
    for (const std::string instruction : {"<?c ?>", "<?x a='1'?>", "<?c/>"}) {
        Nesting_Guard guard;
        const std::string text = header + "<message/>" + instruction + "<message/>";
        EXPECT_EQ(guard.accept(text.data(), text.size()), header.size() + 10 + instruction.size() - 1) << instruction;
        EXPECT_EQ(guard.refusal(), Nesting_Guard::Refusal::instruction) << instruction;
    }
    for (const std::string instruction : {"<?c ?>", "<?xml ?>", "<?xml version='1.0'?>"}) {
        Nesting_Guard in_stanza;
        const std::string inside = header + "<message>" + instruction;
        EXPECT_EQ(in_stanza.accept(inside.data(), inside.size()), inside.size() - 1) << instruction;
        EXPECT_EQ(in_stanza.refusal(), Nesting_Guard::Refusal::instruction) << instruction;
    }
    Nesting_Guard declarations;
    const std::string again = header + "<?xml version='1.0'?>" + header + "<?xml ?><message/>";
    EXPECT_EQ(declarations.accept(again.data(), again.size()), again.size());
    EXPECT_EQ(declarations.depth(), 1);
}

TEST(Nesting_Guard, what_gloox_cannot_parse_ends_the_stream_where_gloox_would_fail) {
    for (const std::string bad : {"<!-- x -->", "<!DOCTYPE x>", "<a b='<'/>", "</a>", "<a>&abcdefghij;</a>",
                                  "<a>&a;</a>", "< >"}) {
        Nesting_Guard guard;
        const std::string text = header + bad;
        EXPECT_LT(guard.accept(text.data(), text.size()), text.size()) << bad;
        EXPECT_EQ(guard.refusal(), Nesting_Guard::Refusal::malformed) << bad;
    }
}

TEST(Nesting_Guard, the_end_of_the_stream_is_the_last_byte_handed_on) {
    Nesting_Guard guard;
    const std::string text = header + "<message><body>x</body></message></stream:stream><message/>";
    EXPECT_EQ(guard.accept(text.data(), text.size()), text.size() - 10);
    EXPECT_TRUE(guard.stream_ended());
    EXPECT_EQ(guard.accept("<a/>", 4), 0u);
}

TEST(Nesting_Guard, a_stream_element_inside_one_of_the_stream_namespace_starts_over_as_in_gloox) {
    Nesting_Guard guard;
    const std::string text = header + "<m xmlns='http://etherx.jabber.org/streams'><a><stream>";
    ASSERT_EQ(guard.accept(text.data(), text.size()), text.size());
    EXPECT_EQ(guard.depth(), 1);
    // The namespace is read with its entities decoded, and the last
    // declaration counts.
    Nesting_Guard encoded;
    const std::string text2 = header + "<m xmlns='x' xmlns='http://etherx.jabber.org/stream&#115;'><a><stream>";
    ASSERT_EQ(encoded.accept(text2.data(), text2.size()), text2.size());
    EXPECT_EQ(encoded.depth(), 1);
    Nesting_Guard overridden;
    const std::string text3 = header + "<p:m xmlns:p='http://etherx.jabber.org/streams' xmlns:p='x'><a><stream>";
    ASSERT_EQ(overridden.accept(text3.data(), text3.size()), text3.size());
    EXPECT_EQ(overridden.depth(), 4);
}

TEST(Nesting_Guard, any_split_of_the_stream_counts_the_same) {
    const std::string text = header + "<message a='x/>'><body><![CDATA[]]>]]>&amp;</body><x/><y b=\"'\"/></message>" +
                             nested(5) + "<a><b/>";
    Nesting_Guard whole;
    ASSERT_EQ(whole.accept(text.data(), text.size()), text.size());
    for (std::size_t cut = 0; cut <= text.size(); ++cut) {
        Nesting_Guard split;
        ASSERT_EQ(split.accept(text.data(), cut), cut);
        ASSERT_EQ(split.accept(text.data() + cut, text.size() - cut), text.size() - cut);
        ASSERT_EQ(split.depth(), whole.depth()) << cut;
    }
    EXPECT_EQ(whole.depth(), 2);
}

TEST(Nesting_Guard, refuses_from_the_tag_that_opens_a_level_beyond_the_limit) {
    // The stream is level 1; 255 more levels are allowed.
    const std::string allowed = header + nested(Nesting_Guard::max_depth - 1);
    Nesting_Guard guard;
    EXPECT_EQ(guard.accept(allowed.data(), allowed.size()), allowed.size());
    EXPECT_EQ(guard.depth(), 1);

    std::string too_deep = nested(Nesting_Guard::max_depth);
    const std::size_t first_refused = 3 * Nesting_Guard::max_depth - 1;  // the last '>' of the openings
    ASSERT_EQ(too_deep[first_refused], '>');
    EXPECT_EQ(guard.accept(too_deep.data(), too_deep.size()), first_refused);
    // Refused for good, even what would close the levels again.
    EXPECT_EQ(guard.accept("</a>", 4), 0u);

    // Empty elements open nothing, however many there are.
    Nesting_Guard flat;
    std::string many = header;
    for (int i = 0; i < 10000; ++i) many += "<a/>";
    EXPECT_EQ(flat.accept(many.data(), many.size()), many.size());
}
