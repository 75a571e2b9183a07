// SPDX-License-Identifier: GPL-3.0-or-later
// The direct conversion path gives exactly what the character-by-character
// one gives, errors included, on text of every kind.
#include "text/utf8.hpp"

#include <gloox/util.h>
#include <gtest/gtest.h>

#include <optional>
#include <iterator>
#include <random>
#include <string>

namespace te = Velta_Client::text_encoding;

namespace {

template <class Convert, class Input>
auto attempt(Convert convert, const Input& input) -> std::optional<decltype(convert(input))> {
    try {
        return convert(input);
    } catch (const te::codecvt_error&) {
        return std::nullopt;
    }
}

}  // namespace

TEST(Utf8_Paths, decoding_agrees_on_random_bytes_biased_to_sequences) {
    std::mt19937 random(7);
    // Lead bytes of every length, continuation bytes and invalid ones, mixed.
    const unsigned char pieces[] = {'a', 'Z', 0x00, 0x7F, 0xC0, 0xC3, 0xDF, 0xE0, 0xE4, 0xED, 0xEF,
                                    0xF0, 0xF4, 0xF7, 0xF8, 0xFC, 0xFE, 0xFF, 0x80, 0x9F, 0xA9, 0xBF};
    for (int round = 0; round < 20000; ++round) {
        std::string bytes;
        const int length = static_cast<int>(random() % 12);
        for (int i = 0; i < length; ++i) bytes += static_cast<char>(pieces[random() % sizeof pieces]);
        EXPECT_EQ(attempt(te::from_utf8, bytes), attempt(te::detail::from_utf8_by_iterator, bytes))
            << ::testing::PrintToString(bytes);
    }
}

TEST(Utf8_Paths, encoding_agrees_on_random_units_with_surrogates) {
    std::mt19937 random(11);
    const char16_t pieces[] = {u'a', 0x00, 0x7F, 0x80, 0x7FF, 0x800, 0x4E2D, 0xD7FF, 0xD800, 0xDBFF,
                               0xDC00, 0xDFFF, 0xE000, 0xFFFD, 0xFFFF};
    for (int round = 0; round < 20000; ++round) {
        std::u16string text;
        const int length = static_cast<int>(random() % 10);
        for (int i = 0; i < length; ++i) text += pieces[random() % (sizeof pieces / sizeof pieces[0])];
        const std::string fast = te::to_utf8(text);
        EXPECT_EQ(fast, te::detail::to_utf8_by_iterator(text));
        EXPECT_EQ(attempt(te::from_utf8, fast), attempt(te::detail::from_utf8_by_iterator, fast));
    }
}

// The sends write the host's text in one pass; it must be the bytes gloox's
// own escaping of the converted, XML-safe text would give.
TEST(Utf8_Paths, xml_text_in_one_pass_is_escaping_after_conversion) {
    std::mt19937 random(11);
    const char16_t pieces[] = {u'a', u'&', u'<', u'>', u'\'', u'"', 0x01, u'\t', u'\n', 0x1F, 0x7F, 0xE9,
                               0x4E16, 0xD83D, 0xDE00, 0xDBFF, 0xDC00, 0xFFFE, 0xFFFF, 0xFFFD};
    for (int round = 0; round < 20000; ++round) {
        std::u16string text(random() % 12, u' ');
        for (char16_t& unit : text) unit = pieces[random() % std::size(pieces)];
        std::string one_pass = "<";
        te::append_xml_text(one_pass, text);
        EXPECT_EQ(one_pass, "<" + gloox::util::escape(te::to_utf8(te::xml_safe(text))));
    }
}
