// SPDX-License-Identifier: GPL-3.0-or-later
// The scanner that stands between the socket and gloox: depth, what one
// element holds, and where each ends. Depths count the levels of gloox's
// tree, which a stream header starts afresh (the stream is none of them).
#include "manager/xmpp/stream_scanner.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

using Velta_Client::detail::xmpp::Stream_Scanner;

namespace {

const std::string header =
    "<?xml version='1.0'?><stream:stream xmlns='jabber:client' xmlns:stream='http://etherx.jabber.org/streams' "
    "id='s' from='localhost' version='1.0'>";

// Depth after each byte, the text fed whole.
std::vector<int> depths(const std::string& text) {
    Stream_Scanner guard;
    std::vector<int> out;
    for (const char c : text) {
        EXPECT_EQ(guard.accept(&c, 1), 1u);
        out.push_back(guard.depth());
    }
    return out;
}

// <r> holding count - 1 empty children: count elements in all.
std::string repeated_children(std::size_t count) {
    std::string text = "<r>";
    for (std::size_t i = 1; i < count; ++i) text += "<e/>";
    return text + "</r>";
}

std::string nested(int levels, const std::string& inside = "x") {
    std::string text;
    for (int i = 0; i < levels; ++i) text += "<a>";
    text += inside;
    for (int i = 0; i < levels; ++i) text += "</a>";
    return text;
}

}  // namespace

TEST(Stream_Scanner, counts_elements_not_markup_inside_values_sections_or_entities) {
    const std::string stanza =
        "<message type='chat' title=\"a>b\" q=\"it's\" empty='/'><body>1 > 0 &amp; &#60;<![CDATA[<b><c>]]></body>"
        "<f/><g x='>'/></message>";
    Stream_Scanner guard;
    ASSERT_EQ(guard.accept(header.data(), header.size()), header.size());
    EXPECT_EQ(guard.depth(), 0);
    ASSERT_EQ(guard.accept(stanza.data(), stanza.size()), stanza.size());
    EXPECT_EQ(guard.depth(), 0);

    const std::vector<int> seen = depths(header + "<message><body>hi</body></message>");
    EXPECT_EQ(seen.back(), 0);
    EXPECT_EQ(*std::max_element(seen.begin(), seen.end()), 2);
}

// As gloox's parser reads it: a value that a single quote opened ends at a
// double quote, so what follows is markup.
TEST(Stream_Scanner, a_single_quoted_value_ends_at_a_double_quote) {
    Stream_Scanner guard;
    const std::string text = header + "<x a='1\"><c><c>";
    ASSERT_EQ(guard.accept(text.data(), text.size()), text.size());
    EXPECT_EQ(guard.depth(), 3);
    std::string deep;
    for (int i = 0; i < Stream_Scanner::max_depth; ++i) deep += "<c>";
    EXPECT_LT(guard.accept(deep.data(), deep.size()), deep.size());
    EXPECT_EQ(guard.refusal(), Stream_Scanner::Refusal::too_deep);
}

// gloox opens an element for "<?c ?>" and would put every later stanza
// inside it; the XML declaration between stanzas opens nothing.
TEST(Stream_Scanner, instructions_other_than_the_declaration_end_the_stream) {
    for (const std::string instruction : {"<?c ?>", "<?x a='1'?>", "<?c/>"}) {
        Stream_Scanner guard;
        const std::string text = header + "<message/>" + instruction + "<message/>";
        EXPECT_EQ(guard.accept(text.data(), text.size()), header.size() + 10 + instruction.size() - 1) << instruction;
        EXPECT_EQ(guard.refusal(), Stream_Scanner::Refusal::instruction) << instruction;
    }
    for (const std::string instruction : {"<?c ?>", "<?xml ?>", "<?xml version='1.0'?>"}) {
        Stream_Scanner in_stanza;
        const std::string inside = header + "<message>" + instruction;
        EXPECT_EQ(in_stanza.accept(inside.data(), inside.size()), inside.size() - 1) << instruction;
        EXPECT_EQ(in_stanza.refusal(), Stream_Scanner::Refusal::instruction) << instruction;
    }
    Stream_Scanner declarations;
    const std::string again = header + "<?xml version='1.0'?>" + header + "<?xml ?><message/>";
    EXPECT_EQ(declarations.accept(again.data(), again.size()), again.size());
    EXPECT_EQ(declarations.depth(), 0);
}

TEST(Stream_Scanner, what_gloox_cannot_parse_ends_the_stream_where_gloox_would_fail) {
    for (const std::string bad : {"<!-- x -->", "<!DOCTYPE x>", "<a b='<'/>", "</a>", "<a>&abcdefghij;</a>",
                                  "<a>&a;</a>", "< >"}) {
        Stream_Scanner guard;
        const std::string text = header + bad;
        EXPECT_LT(guard.accept(text.data(), text.size()), text.size()) << bad;
        EXPECT_EQ(guard.refusal(), Stream_Scanner::Refusal::malformed) << bad;
    }
}

TEST(Stream_Scanner, the_end_of_the_stream_is_the_last_byte_handed_on) {
    Stream_Scanner guard;
    const std::string text = header + "<message><body>x</body></message></stream:stream><message/>";
    EXPECT_EQ(guard.accept(text.data(), text.size()), text.size() - 10);
    EXPECT_TRUE(guard.stream_ended());
    EXPECT_EQ(guard.accept("<a/>", 4), 0u);
}

TEST(Stream_Scanner, a_stream_element_inside_one_of_the_stream_namespace_starts_over_as_in_gloox) {
    Stream_Scanner guard;
    const std::string text = header + "<m xmlns='http://etherx.jabber.org/streams'><a><stream>";
    ASSERT_EQ(guard.accept(text.data(), text.size()), text.size());
    EXPECT_EQ(guard.depth(), 0);
    // The namespace is read with its entities decoded, and the last
    // declaration counts.
    Stream_Scanner encoded;
    const std::string text2 = header + "<m xmlns='x' xmlns='http://etherx.jabber.org/stream&#115;'><a><stream>";
    ASSERT_EQ(encoded.accept(text2.data(), text2.size()), text2.size());
    EXPECT_EQ(encoded.depth(), 0);
    Stream_Scanner overridden;
    const std::string text3 = header + "<p:m xmlns:p='http://etherx.jabber.org/streams' xmlns:p='x'><a><stream>";
    ASSERT_EQ(overridden.accept(text3.data(), text3.size()), text3.size());
    EXPECT_EQ(overridden.depth(), 3);
}

TEST(Stream_Scanner, any_split_of_the_stream_counts_the_same) {
    const std::string text = header + "<message a='x/>'><body><![CDATA[]]>]]>&amp;</body><x/><y b=\"'\"/></message>" +
                             nested(5) + "<a><b/>";
    Stream_Scanner whole;
    ASSERT_EQ(whole.accept(text.data(), text.size()), text.size());
    for (std::size_t cut = 0; cut <= text.size(); ++cut) {
        Stream_Scanner split;
        ASSERT_EQ(split.accept(text.data(), cut), cut);
        ASSERT_EQ(split.accept(text.data() + cut, text.size() - cut), text.size() - cut);
        ASSERT_EQ(split.depth(), whole.depth()) << cut;
    }
    EXPECT_EQ(whole.depth(), 1);
}

TEST(Stream_Scanner, refuses_from_the_tag_that_opens_a_level_beyond_the_limit) {
    // A stanza and its children: max_depth levels in all.
    const std::string allowed = header + nested(Stream_Scanner::max_depth);
    Stream_Scanner guard;
    EXPECT_EQ(guard.accept(allowed.data(), allowed.size()), allowed.size());
    EXPECT_EQ(guard.depth(), 0);

    std::string too_deep = nested(Stream_Scanner::max_depth + 1);
    const std::size_t first_refused = 3 * (Stream_Scanner::max_depth + 1) - 1;  // the last '>' of the openings
    ASSERT_EQ(too_deep[first_refused], '>');
    EXPECT_EQ(guard.accept(too_deep.data(), too_deep.size()), first_refused);
    // Refused for good, even what would close the levels again.
    EXPECT_EQ(guard.accept("</a>", 4), 0u);

    // Empty elements open nothing, however many there are.
    Stream_Scanner flat;
    std::string many = header;
    for (int i = 0; i < 10000; ++i) many += "<a/>";
    EXPECT_EQ(flat.accept(many.data(), many.size()), many.size());
}

namespace {

// The scanner after the stream header, fed text whole.
struct After_Header {
    Stream_Scanner scanner;
    After_Header() { scanner.accept(header.data(), header.size()); }
    std::size_t feed(const std::string& text) { return scanner.accept(text.data(), text.size()); }
};

}  // namespace

TEST(Stream_Scanner, counts_elements_and_attributes_but_not_end_tags_or_text) {
    After_Header s;
    const std::string open = "<message type='chat' from=\"a@b\"><body>a = 'b' \"c\" <x/></body>";
    ASSERT_EQ(s.feed(open), open.size());
    EXPECT_EQ(s.scanner.element_nodes(), 5u);  // message, two attributes, body, x
    EXPECT_EQ(s.scanner.element_bytes(), open.size());
    ASSERT_EQ(s.feed("</message>"), 10u);
    EXPECT_EQ(s.scanner.element_nodes(), 0u);
    EXPECT_EQ(s.scanner.element_bytes(), 0u);

    // As gloox reads them: a single-quoted value ends at either quote (or it
    // could hide attributes), and character data sections hold anything.
    After_Header quotes;
    const std::string two = "<m a='x\" b='y'";
    ASSERT_EQ(quotes.feed(two), two.size());
    EXPECT_EQ(quotes.scanner.element_nodes(), 2u);  // m counts at its '>'
    After_Header cdata;
    const std::string section = "<m><![CDATA[<a b='c'> & no reference at all ]]>";
    ASSERT_EQ(cdata.feed(section), section.size());
    EXPECT_EQ(cdata.scanner.element_nodes(), 1u);
}

TEST(Stream_Scanner, references_end_within_nine_bytes_split_or_not) {
    After_Header s;
    const std::string fine = "<m a='&amp;&#x000041;'>&lt;&#65535;&quot;</m>";
    EXPECT_EQ(s.feed(fine), fine.size());
    for (const std::string longer : {"<m>&#x0000041;</m>", "<m a='&aaaaaaaaa"}) {
        After_Header t;
        EXPECT_LT(t.feed(longer), longer.size()) << longer;
        EXPECT_EQ(t.scanner.refusal(), Stream_Scanner::Refusal::malformed) << longer;
    }
    After_Header split;
    ASSERT_EQ(split.feed("<m>&aaaa"), 8u);
    EXPECT_LT(split.feed("aaaaa"), 5u);
    EXPECT_EQ(split.feed("<m/>"), 0u) << "once refused, always refused";
}

TEST(Stream_Scanner, bytes_of_one_element_are_bounded_whether_it_ends_or_not) {
    const std::string most = "<m>" + std::string(Stream_Scanner::max_bytes - 3, 'x');
    After_Header s;
    ASSERT_EQ(s.feed(most), most.size());
    EXPECT_EQ(s.feed("x"), 0u);
    EXPECT_EQ(s.scanner.refusal(), Stream_Scanner::Refusal::too_long);

    // Counted from the end of the element before, split or whole.
    const std::string whole = "<m>" + std::string(Stream_Scanner::max_bytes - 7, 'x') + "</m>";
    After_Header again;
    ASSERT_EQ(again.feed(whole), whole.size());
    ASSERT_EQ(again.feed(whole.substr(0, 100)), 100u);
    ASSERT_EQ(again.feed(whole.substr(100)), whole.size() - 100) << "each element has its own allowance";
    const std::string longer = "<m>" + std::string(Stream_Scanner::max_bytes, 'x');
    EXPECT_EQ(again.feed(longer), Stream_Scanner::max_bytes) << "the byte past the bound is the first refused";
    EXPECT_EQ(again.scanner.refusal(), Stream_Scanner::Refusal::too_long);
}

TEST(Stream_Scanner, elements_and_attributes_together_are_bounded) {
    std::string text = "<m";
    for (std::size_t i = 1; i < Stream_Scanner::max_nodes; ++i) text += " a='x'";
    After_Header s;
    ASSERT_EQ(s.feed(text + ">"), text.size() + 1);
    EXPECT_EQ(s.scanner.element_nodes(), Stream_Scanner::max_nodes);
    EXPECT_EQ(s.feed("<x/>"), 3u);  // refused at the '>' that would open one more
    EXPECT_EQ(s.scanner.refusal(), Stream_Scanner::Refusal::too_many_nodes);
}

TEST(Stream_Scanner, tells_where_elements_end_and_which_are_large) {
    Stream_Scanner s;
    ASSERT_EQ(s.accept(header.data(), header.size()), header.size());
    ASSERT_EQ(s.element_ends().size(), 1u);  // the stream header, after its declaration
    EXPECT_EQ(s.element_ends()[0].end, header.size());

    const std::string small = "<a/> <b>x</b><c><d/>";
    ASSERT_EQ(s.accept(small.data(), small.size()), small.size());
    ASSERT_EQ(s.element_ends().size(), 2u);
    EXPECT_EQ(s.element_ends()[0].end, 4u);
    EXPECT_EQ(s.element_ends()[1].end, 13u);
    EXPECT_FALSE(s.element_ends()[1].large);

    const std::string rest = "</c><m>" + std::string(Stream_Scanner::large_bytes, 'x') + "</m>" +
                             repeated_children(Stream_Scanner::large_nodes) + "</stream:stream><a/>";
    ASSERT_EQ(s.accept(rest.data(), rest.size()), rest.size() - 4);
    ASSERT_EQ(s.element_ends().size(), 4u);
    EXPECT_FALSE(s.element_ends()[0].large);  // "<c><d/></c>"
    EXPECT_TRUE(s.element_ends()[1].large);   // by its bytes
    EXPECT_TRUE(s.element_ends()[2].large);   // by its nodes
    EXPECT_EQ(s.element_ends()[3].end, rest.size() - 4);  // the stream's end
    EXPECT_TRUE(s.stream_ended());
}

// gloox serialises what it handles itself for its log, each '>' or quote
// as a reference of four to six bytes: outside a message's content they
// weigh that much against the byte bound.
TEST(Stream_Scanner, characters_gloox_escapes_weigh_more_outside_messages) {
    const std::size_t fitting = Stream_Scanner::max_bytes / (1 + Stream_Scanner::escape_weight) - 64;
    for (const std::string text : {">", "'", "\""}) {
        std::string many;
        for (std::size_t i = 0; i < fitting; ++i) many += text;
        const std::string iq = "<iq type='get' id='q'><q xmlns='x'>" + many + "</q></iq>";
        After_Header weighed;
        EXPECT_EQ(weighed.feed(iq), iq.size()) << text;
        After_Header past;
        const std::string more = "<iq type='get' id='q'><q xmlns='x'>" + many + many + "</q></iq>";
        EXPECT_LT(past.feed(more), more.size()) << text;
        EXPECT_EQ(past.scanner.refusal(), Stream_Scanner::Refusal::too_long) << text;

        After_Header message;
        const std::string body = "<message><body>" + many + many + many + "</body></message>";
        EXPECT_EQ(message.feed(body), body.size()) << "a message's content is not weighed: " << text;
    }
}
