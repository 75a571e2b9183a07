// SPDX-License-Identifier: GPL-3.0-or-later
#include "text/utf8.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace te = Velta_Client::text_encoding;
using namespace std::string_literals;

namespace {

const std::string replacement = "\xEF\xBF\xBD";
const std::string grinning = "\xF0\x9F\x98\x80";  // U+1F600, D83D DE00 in UTF-16

// Independent UTF-8 encoder of one code point, the oracle for round trips.
void append_utf8(std::string& out, char32_t cp) {
    const int n = cp < 0x80 ? 1 : cp < 0x800 ? 2 : cp < 0x10000 ? 3 : 4;
    const unsigned lead[] = {0, 0, 0xC0, 0xE0, 0xF0};
    out += static_cast<char>(lead[n] | (cp >> (6 * (n - 1))));
    for (int i = n - 2; i >= 0; --i) out += static_cast<char>(0x80 | ((cp >> (6 * i)) & 0x3F));
}

}  // namespace

TEST(Utf8Encode, EachSequenceLength) {
    const std::vector<std::pair<std::u16string, std::string>> cases = {
        {u"", ""}, {u"\0"s, "\0"s}, {u"\x7F", "\x7F"}, {u"\x80", "\xC2\x80"}, {u"\x7FF", "\xDF\xBF"},
        {u"\x800", "\xE0\xA0\x80"}, {u"\xFFFF", "\xEF\xBF\xBF"},
        {u"\xD83D\xDE00", grinning}, {u"\xDBFF\xDFFF", "\xF4\x8F\xBF\xBF"}, {u"a\xD83D\xDE00z", "a" + grinning + "z"},
    };
    for (const auto& [text, expected] : cases) EXPECT_EQ(te::to_utf8(text), expected);
}

TEST(Utf8Encode, LoneSurrogatesBecomeReplacement) {
    EXPECT_EQ(te::to_utf8(u"\xD83D"), replacement);                          // high at the end
    EXPECT_EQ(te::to_utf8(u"\xD83Dz"), replacement + "z");                   // high before a non-surrogate
    EXPECT_EQ(te::to_utf8(u"\xDE00"), replacement);                          // low alone
    EXPECT_EQ(te::to_utf8(u"\xDE00\xD83D"), replacement + replacement);      // reversed pair
    EXPECT_EQ(te::to_utf8(u"\xD83D\xD83D\xDE00"), replacement + grinning);   // high, then a pair
    EXPECT_EQ(te::to_utf8(u"\xD83D\xDE00\xDE00"), grinning + replacement);   // pair, then a low
}

TEST(Utf8Decode, AcceptedSequences) {
    const std::vector<std::pair<std::string, std::u16string>> cases = {
        {"", u""}, {"\xE4\xB8\xAD", u"\x4E2D"}, {grinning, u"\xD83D\xDE00"}, {"\xF4\x8F\xBF\xBF", u"\xDBFF\xDFFF"},
        {"\xC2\x80", u"\x80"}, {"\xE0\xA0\x80", u"\x800"}, {"\xF0\x90\x80\x80", u"\xD800\xDC00"},
        // Surrogates sent as 3-byte sequences come through as units.
        {"\xED\xA0\x80", u"\xD800"}, {"\xED\xA0\xBD\xED\xB8\x80", u"\xD83D\xDE00"},
    };
    for (const auto& [input, expected] : cases) EXPECT_EQ(te::from_utf8(input), expected) << testing::PrintToString(input);
}

TEST(Utf8Decode, InvalidBytesThrowBadCast) {
    for (const std::string input : {"\x80", "\xFE", "\xFF", "\xC3\x28", "ok\xBFok",
                                    // Overlong forms: "<" and U+0000 in two, three and four bytes.
                                    "\xC0\xBC", "\xC1\xBF", "\xE0\x80\xBC", "\xE0\x80\x80", "\xE0\x9F\xBF",
                                    "\xF0\x80\x80\xBC", "\xF0\x8F\xBF\xBF", "a\xC0\x80" "b",
                                    // Five- and six-byte forms, and four bytes past U+10FFFF.
                                    "\xF8\x88\x80\x80\x80", "\xFC\x84\x80\x80\x80\x80", "\xF4\x90\x80\x80",
                                    "\xF4\x90\x80\xBC", "\xF7\xBF\xBF\xBF"}) {
        try {
            te::from_utf8(input);
            ADD_FAILURE() << "no exception for " << testing::PrintToString(input);
        } catch (const std::bad_cast& error) {
            EXPECT_NE(dynamic_cast<const te::codecvt_error*>(&error), nullptr);
            EXPECT_STREQ(error.what(), "bad cast");
        }
    }
}

// A sequence that can never complete ends the decoding once, after every
// character before it, without repeating one.
TEST(Utf8Decode, SequencesThatCannotCompleteFail) {
    for (const std::string tail : {"\xE4\xB8", "\xF0\x9F\x98", "\xC3", "\xFC\x80\x80\x80\x80\x80",
                                   "\xFC\x80\x80\x80\x80\x80" "cd"}) {
        const std::string input = "ab" + tail;
        std::u16string seen;
        auto it = te::decoding_iterator::begin(input);
        const auto end = te::decoding_iterator::end(input);
        EXPECT_THROW(for (; it != end; ++it) seen += *it, te::codecvt_error) << testing::PrintToString(input);
        EXPECT_EQ(seen, u"ab");
        EXPECT_THROW(te::from_utf8(input), te::codecvt_error);
    }
}

TEST(Utf8Iterators, IncrementingAtTheEndThrowsOutOfRange) {
    auto it = te::decoding_iterator::begin(grinning);
    EXPECT_EQ(*it, 0xD83D);
    EXPECT_EQ(*++it, 0xDE00);
    EXPECT_TRUE(++it == te::decoding_iterator::end(grinning));
    EXPECT_THROW(++it, std::out_of_range);

    const std::u16string text = u"\xD83D\xDE00";
    const te::utf8_encoding_range range(te::utf16_range(text.begin(), text.end()));
    auto byte = range.begin();
    for (int i = 0; i < 4; ++i) ++byte;
    EXPECT_TRUE(byte == range.end());
    EXPECT_THROW(++byte, std::out_of_range);
}

TEST(Utf8Facet, Properties) {
    const auto& facet = te::utf8_facet::instance();
    EXPECT_EQ(&facet, &te::utf8_facet::instance());
    EXPECT_EQ(facet.max_length(), 6);
    EXPECT_EQ(facet.encoding(), 0);
    EXPECT_FALSE(facet.always_noconv());

    // Output is counted in units: a pair needs room for two and is otherwise
    // left whole for the next call.
    std::mbstate_t state{};
    const std::string input = "a" + grinning + "\xE4\xB8";
    const char* begin = input.data();
    const char* const end = begin + input.size();
    char16_t units[2];
    const char* in_next = nullptr;
    char16_t* units_next = nullptr;
    EXPECT_EQ(facet.in(state, begin, end, in_next, units, units + 2, units_next), std::codecvt_base::partial);
    EXPECT_EQ(in_next - begin, 1);
    EXPECT_EQ(units_next - units, 1);
    EXPECT_EQ(facet.length(state, begin, end, 2), 1);
    EXPECT_EQ(facet.length(state, begin, end, 3), 5);
    EXPECT_EQ(facet.length(state, begin, end, 9), 5);  // E4 B8 is incomplete

    // Handed more than one character, out still pairs only high with low.
    const char16_t text[] = {0xD83D, u'z', 0xD83D, 0xDE00};
    char bytes[7];
    const char16_t* text_next = nullptr;
    char* bytes_next = nullptr;
    EXPECT_EQ(facet.out(state, text, text + 4, text_next, bytes, bytes + 7, bytes_next), std::codecvt_base::partial);
    EXPECT_EQ(std::string(bytes, bytes_next), replacement + "z");
    EXPECT_EQ(text_next - text, 2);
}

TEST(Utf8RoundTrip, RandomValidTextMatchesIndependentEncoder) {
    std::uint32_t seed = 12345;
    auto next = [&seed] { return (seed = seed * 1664525u + 1013904223u) >> 8; };
    const char32_t low[] = {0, 0x80, 0x800, 0xE000, 0x10000};
    const char32_t span[] = {0x80, 0x780, 0xD000, 0x2000, 0x100000};
    for (int round = 0; round < 500; ++round) {
        std::u16string text;
        std::string utf8;
        for (auto length = next() % 40; length > 0; --length) {
            const auto kind = next() % 5;
            const char32_t cp = low[kind] + next() % span[kind];
            if (cp < 0x10000) {
                text += static_cast<char16_t>(cp);
            } else {
                text += static_cast<char16_t>(0xD800 + ((cp - 0x10000) >> 10));
                text += static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
            }
            append_utf8(utf8, cp);
        }
        ASSERT_EQ(te::to_utf8(text), utf8) << "round " << round;
        ASSERT_EQ(te::from_utf8(utf8), text) << "round " << round;
    }
}

TEST(Utf8EncodedString, DecodesOnlyWhenConverted) {
    const te::utf8_string good("H\xC3\xA9" + grinning);
    const std::u16string converted = good;
    EXPECT_EQ(converted, u"H\xE9\xD83D\xDE00");
    EXPECT_EQ(good.decode(), converted);

    const te::utf8_string bad("\xFF");
    EXPECT_EQ(bad.bytes(), "\xFF");
    EXPECT_THROW(bad.decode(), te::codecvt_error);
}

TEST(XmlSafe, ReplacesOnlyWhatXmlCannotCarry) {
    std::u16string text;
    for (char16_t u = 0; u < 0x22; ++u) text += u;
    text += u"\xD83D\xDE00\xDC00\xFFFE\xFFFF\xFFFD\xE000";

    std::u16string expected(0x20, 0xFFFD);
    expected[9] = u'\t';
    expected[10] = u'\n';
    expected[13] = u'\r';
    expected += u" !\xD83D\xDE00\xDC00\xFFFD\xFFFD\xFFFD\xE000";
    EXPECT_EQ(te::xml_safe(text), expected);
}
