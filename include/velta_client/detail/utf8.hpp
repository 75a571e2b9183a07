// SPDX-License-Identifier: GPL-3.0-or-later
/// \file
/// The rules of UTF-16 and UTF-8, one character at a time: pairing
/// surrogates, the length of a sequence, and what makes a sequence invalid.
/// Both <velta_client/text.hpp> and the library's own conversion are built on
/// these functions, so the two cannot differ in the rules; they differ only
/// in what they do with text that breaks them (the helper writes U+FFFD, the
/// library refuses received bytes).
///
/// Not part of the interface: include <velta_client/text.hpp> instead.
/// Header only; the C++ standard library only.
#ifndef VELTA_CLIENT_DETAIL_UTF8_HPP
#define VELTA_CLIENT_DETAIL_UTF8_HPP

#include <iterator>
#include <string>

namespace Velta_Client {
namespace text {
namespace detail {

/// U+FFFD, written in place of what cannot be carried.
constexpr char32_t replacement_code = 0xFFFD;

constexpr bool is_high_surrogate(char32_t c) noexcept { return c >= 0xD800 && c <= 0xDBFF; }
constexpr bool is_low_surrogate(char32_t c) noexcept { return c >= 0xDC00 && c <= 0xDFFF; }
constexpr bool is_surrogate(char32_t c) noexcept { return c >= 0xD800 && c <= 0xDFFF; }
constexpr bool is_continuation(unsigned char byte) noexcept { return (byte & 0xC0) == 0x80; }

// ---------------------------------------------------------------- UTF-16

/// The units of the character at from (from != end): 2 for a high surrogate
/// followed by a low one, else 1.
template <class Iterator>
int character_units(Iterator from, Iterator end) {
    if (!is_high_surrogate(*from)) return 1;
    ++from;
    return from != end && is_low_surrogate(*from) ? 2 : 1;
}

/// The character at from (from != end), and from moved past it: the code
/// point a pair encodes, U+FFFD for a surrogate that is not half of a pair,
/// else the unit itself. The end of the input is the end of the text: a high
/// surrogate there has no partner coming.
template <class Iterator>
char32_t read_utf16(Iterator& from, Iterator end) {
    const char32_t unit = *from;
    ++from;
    if (!is_surrogate(unit)) return unit;
    if (is_high_surrogate(unit) && from != end) {
        const char32_t low = *from;
        if (is_low_surrogate(low)) {
            ++from;
            return 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
        }
    }
    return replacement_code;
}

/// Writes c (at most U+10FFFF) as UTF-16: a pair past U+FFFF, else one unit.
template <class Output>
Output write_utf16(char32_t c, Output out) {
    if (c < 0x10000) {
        *out++ = static_cast<char16_t>(c);
    } else {
        c -= 0x10000;
        *out++ = static_cast<char16_t>(0xD800 + (c >> 10));
        *out++ = static_cast<char16_t>(0xDC00 + (c & 0x3FF));
    }
    return out;
}

inline void append_utf16(std::u16string& out, char32_t c) { write_utf16(c, std::back_inserter(out)); }

// ----------------------------------------------------------------- UTF-8

/// Bytes of the UTF-8 form of c (at most U+10FFFF).
constexpr int utf8_length(char32_t c) noexcept { return c < 0x80 ? 1 : c < 0x800 ? 2 : c < 0x10000 ? 3 : 4; }

/// Writes the utf8_length(c) bytes of c's UTF-8 form.
template <class Output>
Output write_utf8(char32_t c, Output out) {
    if (c < 0x80) {
        *out++ = static_cast<char>(c);
    } else if (c < 0x800) {
        *out++ = static_cast<char>(0xC0 | (c >> 6));
        *out++ = static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        *out++ = static_cast<char>(0xE0 | (c >> 12));
        *out++ = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        *out++ = static_cast<char>(0x80 | (c & 0x3F));
    } else {
        *out++ = static_cast<char>(0xF0 | (c >> 18));
        *out++ = static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        *out++ = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        *out++ = static_cast<char>(0x80 | (c & 0x3F));
    }
    return out;
}

inline void append_utf8(std::string& out, char32_t c) { write_utf8(c, std::back_inserter(out)); }

/// The length a lead byte announces: 1 below 0x80, 2 for C0-DF, 3 for E0-EF,
/// 4 for F0-F7; 0 for a continuation byte and for F8-FF (the leads of the
/// obsolete 5- and 6-byte forms, and bytes UTF-8 never used).
constexpr int announced_length(unsigned char lead) noexcept {
    return lead < 0x80 ? 1 : lead < 0xC0 ? 0 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : lead < 0xF8 ? 4 : 0;
}

/// Whether a sequence that starts with lead can be valid at all: C0 and C1
/// announce only overlong forms, F5-F7 only values past U+10FFFF.
constexpr bool can_start_character(unsigned char lead) noexcept {
    return lead < 0x80 || (lead >= 0xC2 && lead <= 0xF4);
}

enum class utf8_kind {
    character,    // the shortest form of a code point up to U+10FFFF, not a surrogate
    surrogate,    // a 3-byte form of U+D800-U+DFFF
    overlong,     // a longer form than the code point needs
    past_maximum, // a 4-byte form past U+10FFFF
    cut_by_byte,  // a byte that does not continue the sequence came first
    cut_by_end,   // the input ends inside the sequence
    not_a_lead,   // the first byte starts nothing: announced_length is 0
};

struct utf8_sequence {
    utf8_kind kind;
    char32_t value;  // the code point, for character and surrogate
    int length;      // bytes the lead announces (0 for not_a_lead)
    int taken;       // the lead and the continuation bytes read: length,
                     // but less when cut (and 1 for not_a_lead)
};

/// Reads the sequence whose lead byte is at from (from != end). Only the
/// shortest form of a code point up to U+10FFFF is UTF-8 (RFC 3629): a longer
/// form of "<" (C0 BC, E0 80 BC) or of U+0000 would slip past every check
/// made on the bytes and reach the reader as that character, so overlong
/// forms, 5- and 6-byte forms and values past U+10FFFF are never a character.
inline utf8_sequence read_utf8(const unsigned char* from, const unsigned char* end) noexcept {
    const unsigned char lead = *from;
    const int length = announced_length(lead);
    if (length == 0) return {utf8_kind::not_a_lead, 0, 0, 1};
    if (length == 1) return {utf8_kind::character, lead, 1, 1};
    char32_t value = lead & (0x7Fu >> length);
    for (int taken = 1; taken < length; ++taken) {
        if (from + taken == end) return {utf8_kind::cut_by_end, 0, length, taken};
        const unsigned char byte = from[taken];
        if (!is_continuation(byte)) return {utf8_kind::cut_by_byte, 0, length, taken};
        value = (value << 6) | (byte & 0x3Fu);
    }
    constexpr char32_t least[] = {0, 0, 0x80, 0x800, 0x10000};
    utf8_kind kind = utf8_kind::character;
    if (value < least[length])
        kind = utf8_kind::overlong;
    else if (value > 0x10FFFF)
        kind = utf8_kind::past_maximum;
    else if (is_surrogate(value))
        kind = utf8_kind::surrogate;
    return {kind, value, length, length};
}

}  // namespace detail
}  // namespace text
}  // namespace Velta_Client

#endif
