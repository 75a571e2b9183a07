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

TEST(Nesting_Guard, counts_elements_not_markup_inside_values_sections_comments_or_instructions) {
    const std::string stanza =
        "<message type='chat' title=\"a>b\" path='</x>' empty='/'><body>1 > 0 &amp; <![CDATA[<b><c>]]></body>"
        "<!-- <d> --><?pi <e> ?><f/><g x='>'/></message>";
    Nesting_Guard guard;
    ASSERT_EQ(guard.accept(header.data(), header.size()), header.size());
    EXPECT_EQ(guard.depth(), 1);
    ASSERT_EQ(guard.accept(stanza.data(), stanza.size()), stanza.size());
    EXPECT_EQ(guard.depth(), 1);

    const std::vector<int> seen = depths(header + "<message><body>hi</body></message></stream:stream>");
    EXPECT_EQ(seen.back(), 0);
    EXPECT_EQ(*std::max_element(seen.begin(), seen.end()), 3);
}

TEST(Nesting_Guard, any_split_of_the_stream_counts_the_same) {
    const std::string text = header + "<message a='x/>'><body><![CDATA[]]>]]></body><x/><!--->--></message>" +
                             nested(5) + "<?x ?>";
    Nesting_Guard whole;
    ASSERT_EQ(whole.accept(text.data(), text.size()), text.size());
    for (std::size_t cut = 0; cut <= text.size(); ++cut) {
        Nesting_Guard split;
        ASSERT_EQ(split.accept(text.data(), cut), cut);
        ASSERT_EQ(split.accept(text.data() + cut, text.size() - cut), text.size() - cut);
        ASSERT_EQ(split.depth(), whole.depth()) << cut;
    }
    EXPECT_EQ(whole.depth(), 1);
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
