// SPDX-License-Identifier: GPL-3.0-or-later
// The header-only helper <velta_client/text.hpp>: its own rules, and the same
// results as the library's conversion wherever the library defines one.
#include <velta_client/text.hpp>

#include "text/utf8.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>

namespace helper = Velta_Client::text;
namespace te = Velta_Client::text_encoding;

namespace {

const std::u16string bad(1, 0xFFFD);

}  // namespace

TEST(Text_Helper, utf8_and_utf16_convert_both_ways_with_surrogate_pairs) {
    const std::string text = "aé€😀 Привет こんにちは 🎉";
    EXPECT_EQ(helper::from_utf8("\xF0\x9F\x98\x80"), (std::u16string{0xD83D, 0xDE00}));
    EXPECT_EQ(helper::from_utf8("\xF4\x8F\xBF\xBF"), (std::u16string{0xDBFF, 0xDFFF}));  // U+10FFFF
    EXPECT_EQ(helper::from_utf8("\xEF\xBF\xBF"), std::u16string(1, 0xFFFF));
    EXPECT_EQ(helper::to_utf8(helper::from_utf8(text)), text);
    EXPECT_EQ(helper::to_utf8(std::u16string(1, u'\0')), std::string(1, '\0'));
    EXPECT_EQ(helper::from_utf8(std::string(1, '\0')), std::u16string(1, u'\0'));
    EXPECT_EQ(helper::from_utf8(""), u"");
    EXPECT_EQ(helper::to_utf8(u""), "");
}

TEST(Text_Helper, each_malformed_piece_becomes_one_replacement_character) {
    EXPECT_EQ(helper::from_utf8("a\x80z"), u"a" + bad + u"z");           // stray continuation
    EXPECT_EQ(helper::from_utf8("\xC0\x80"), bad + bad);                 // C0 never starts a character
    EXPECT_EQ(helper::from_utf8("\xE0\x80\x80"), bad);                   // overlong
    EXPECT_EQ(helper::from_utf8("\xED\xA0\x80"), bad);                   // a surrogate in UTF-8
    EXPECT_EQ(helper::from_utf8("\xF4\x90\x80\x80"), bad);               // past U+10FFFF
    EXPECT_EQ(helper::from_utf8("\xF5\x80"), bad + bad);
    EXPECT_EQ(helper::from_utf8("\xE2\x82" "A"), bad + u"A");            // cut short: A is kept
    EXPECT_EQ(helper::from_utf8("\xF0\x9F\x98"), bad);                   // cut short by the end

    EXPECT_EQ(helper::to_utf8(std::u16string{u'x', 0xD83D}), "x\xEF\xBF\xBD");            // high at the end
    EXPECT_EQ(helper::to_utf8(std::u16string{0xDE00, u'y'}), "\xEF\xBF\xBDy");            // low alone
    EXPECT_EQ(helper::to_utf8(std::u16string{0xD83D, 0xD83D, 0xDE00}), "\xEF\xBF\xBD\xF0\x9F\x98\x80");
}

TEST(Text_Helper, overlong_and_five_or_six_byte_forms_are_replaced) {
    EXPECT_EQ(helper::from_utf8("\xC1\xBF"), bad + bad);                 // overlong 2-byte (U+007F)
    EXPECT_EQ(helper::from_utf8("\xE0\x9F\xBF"), bad);                   // overlong 3-byte (U+07FF)
    EXPECT_EQ(helper::from_utf8("\xF0\x8F\xBF\xBF"), bad);               // overlong 4-byte (U+FFFF)
    // Lead bytes of the 5- and 6-byte forms start nothing: each byte is one U+FFFD.
    EXPECT_EQ(helper::from_utf8("\xF8\x88\x80\x80\x80"), bad + bad + bad + bad + bad);
    EXPECT_EQ(helper::from_utf8("\xFC\x84\x80\x80\x80\x80" "a"), bad + bad + bad + bad + bad + bad + u"a");
    EXPECT_EQ(helper::from_utf8("\xFE\xFF"), bad + bad);
    // The smallest and largest of each length are kept.
    EXPECT_EQ(helper::from_utf8("\xC2\x80\xDF\xBF\xE0\xA0\x80\xF0\x90\x80\x80"),
              (std::u16string{0x80, 0x7FF, 0x800, 0xD800, 0xDC00}));
    EXPECT_EQ(helper::from_utf8("\xED\x9F\xBF\xEE\x80\x80"), (std::u16string{0xD7FF, 0xE000}));
}

namespace {

void append_code_point(std::string& out, char32_t c) {
    std::u16string units;
    if (c >= 0x10000) {
        units += static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10));
        units += static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF));
    } else {
        units += static_cast<char16_t>(c);
    }
    out += te::to_utf8(units);  // the library's encoder builds the well-formed input
}

// A scalar value from each range: ASCII, 2-byte, 3-byte (surrogates left
// out), 4-byte, and the edges.
char32_t random_scalar(std::mt19937& random) {
    static const char32_t edges[] = {0, 0x7F, 0x80, 0x7FF, 0x800, 0xD7FF, 0xE000, 0xFFFD, 0xFFFE, 0xFFFF,
                                     0x10000, 0x10FFFF};
    switch (random() % 6) {
    case 0:
        return random() % 0x80;
    case 1:
        return 0x80 + random() % (0x800 - 0x80);
    case 2: {
        char32_t c = 0x800 + random() % (0x10000 - 0x800 - 0x800);
        return c >= 0xD800 ? c + 0x800 : c;
    }
    case 3:
        return 0x10000 + random() % (0x110000 - 0x10000);
    default:
        return edges[random() % (sizeof edges / sizeof edges[0])];
    }
}

}  // namespace

TEST(Text_Helper, encodes_random_utf16_exactly_as_the_library) {
    std::mt19937 random(20261208);
    for (int round = 0; round < 20000; ++round) {
        std::u16string text;
        const int length = static_cast<int>(random() % 40);
        for (int i = 0; i < length; ++i) {
            switch (random() % 5) {
            case 0:
                text += static_cast<char16_t>(0xD800 + random() % 0x800);  // any surrogate, paired or not
                break;
            case 1:
                text += static_cast<char16_t>(random() % 0x80);
                break;
            default:
                text += static_cast<char16_t>(random() % 0x10000);
                break;
            }
        }
        ASSERT_EQ(helper::to_utf8(text), te::to_utf8(text)) << testing::PrintToString(text);
    }
}

TEST(Text_Helper, decodes_random_well_formed_utf8_exactly_as_the_library) {
    std::mt19937 random(8122026);
    for (int round = 0; round < 20000; ++round) {
        std::string bytes;
        const int length = static_cast<int>(random() % 40);
        for (int i = 0; i < length; ++i) append_code_point(bytes, random_scalar(random));
        ASSERT_EQ(helper::from_utf8(bytes), te::from_utf8(bytes)) << testing::PrintToString(bytes);
        ASSERT_EQ(helper::to_utf8(helper::from_utf8(bytes)), bytes);
    }
}

// Random bytes, mostly malformed. Where the input is well-formed (it comes
// back unchanged through the helper) the library must decode it to the same
// text. Malformed input the library may refuse (it throws) or, for forms it
// does not check, decode its own way: nothing is compared then, but the
// library must never refuse well-formed text, and the helper's result is
// always well-formed UTF-16 that goes there and back unchanged.
TEST(Text_Helper, decodes_random_bytes_as_the_library_wherever_they_are_well_formed) {
    std::mt19937 random(31337);
    static const unsigned char interesting[] = {0x00, 0x41, 0x7F, 0x80, 0x8F, 0x90, 0x9F, 0xA0, 0xBF, 0xC0, 0xC1,
                                                0xC2, 0xDF, 0xE0, 0xE1, 0xED, 0xEE, 0xEF, 0xF0, 0xF1, 0xF4, 0xF5,
                                                0xF7, 0xF8, 0xFB, 0xFC, 0xFD, 0xFE, 0xFF};
    int compared = 0;
    int refused = 0;
    for (int round = 0; round < 50000; ++round) {
        std::string bytes;
        const int length = static_cast<int>(random() % 12);
        for (int i = 0; i < length; ++i) {
            if (random() % 3 == 0)
                append_code_point(bytes, random_scalar(random));
            else if (random() % 2 == 0)
                bytes += static_cast<char>(interesting[random() % sizeof interesting]);
            else
                bytes += static_cast<char>(random() % 256);
        }
        const std::u16string mine = helper::from_utf8(bytes);
        const bool well_formed = helper::to_utf8(mine) == bytes;
        ASSERT_EQ(helper::from_utf8(helper::to_utf8(mine)), mine) << testing::PrintToString(bytes);
        std::u16string theirs;
        try {
            theirs = te::from_utf8(bytes);
        } catch (const te::codecvt_error&) {
            ASSERT_FALSE(well_formed) << "the library refused well-formed text " << testing::PrintToString(bytes);
            ++refused;
            continue;
        }
        if (well_formed) {
            ASSERT_EQ(mine, theirs) << testing::PrintToString(bytes);
            ++compared;
        } else {
            ASSERT_NE(mine.find(0xFFFD), std::u16string::npos) << testing::PrintToString(bytes);
        }
    }
    // Both kinds of input were met in numbers.
    EXPECT_GT(compared, 5000);
    EXPECT_GT(refused, 5000);
}
