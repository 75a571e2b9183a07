/// \file
/// UTF-8 text to the library's wide_string (UTF-16) and back, for hosts whose
/// strings are UTF-8. Header only; the C++ standard library only.
///
/// The rules are the library's own:
/// - A character past U+FFFF becomes a surrogate pair, and a pair becomes the
///   one character it encodes (4 bytes of UTF-8).
/// - What cannot be carried becomes U+FFFD, and the conversion goes on:
///   - in UTF-16, a lone surrogate (one U+FFFD for each unit);
///   - in UTF-8, each byte that cannot start a character (a continuation byte
///     0x80-0xBF out of place, 0xC0, 0xC1, 0xF5-0xFF: among them the lead
///     bytes of the obsolete 5- and 6-byte forms) gives one U+FFFD;
///   - a sequence cut short (by a byte that does not continue it, or by the
///     end of the text) gives one U+FFFD, and the byte that stopped it is read
///     again as the start of the next character;
///   - a whole sequence that is overlong (a longer form than the character
///     needs), a surrogate (U+D800-U+DFFF), or past U+10FFFF gives one U+FFFD.
///   So every string converts, and well-formed text goes there and back
///   unchanged.
/// (Text received from the network is decoded by the library itself; this
/// helper is for the host's own strings.)
///
/// \code
///   #include <velta_client/text.hpp>
///   manager->send_message(7, Velta_Client::text::from_utf8(name), Velta_Client::text::from_utf8(line));
///   std::string shown = Velta_Client::text::to_utf8(body);   // in on_message
/// \endcode
#ifndef VELTA_CLIENT_TEXT_HPP
#define VELTA_CLIENT_TEXT_HPP

#include <velta_client/velta_client.hpp>

#include <cstddef>
#include <string>
#include <string_view>

namespace Velta_Client {
namespace text {

/// The replacement character, U+FFFD.
constexpr char16_t replacement_character = 0xFFFD;

namespace detail {

constexpr bool is_continuation(unsigned char byte) noexcept { return (byte & 0xC0) == 0x80; }
constexpr bool is_surrogate(char32_t c) noexcept { return c >= 0xD800 && c <= 0xDFFF; }

inline void append_utf16(wide_string& out, char32_t c) {
    if (c < 0x10000) {
        out += static_cast<char16_t>(c);
    } else {
        c -= 0x10000;
        out += static_cast<char16_t>(0xD800 + (c >> 10));
        out += static_cast<char16_t>(0xDC00 + (c & 0x3FF));
    }
}

inline void append_utf8(std::string& out, char32_t c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

}  // namespace detail

/// UTF-8 to wide_string; never fails (see the rules above).
inline wide_string from_utf8(std::string_view utf8) {
    wide_string out;
    out.reserve(utf8.size());
    std::size_t i = 0;
    while (i < utf8.size()) {
        const auto lead = static_cast<unsigned char>(utf8[i]);
        if (lead < 0x80) {
            out += static_cast<char16_t>(lead);
            ++i;
            continue;
        }
        std::size_t length = 0;
        char32_t c = 0;
        char32_t smallest = 0;
        if (lead >= 0xC2 && lead <= 0xDF) {
            length = 2, c = lead & 0x1F, smallest = 0x80;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            length = 3, c = lead & 0x0F, smallest = 0x800;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            length = 4, c = lead & 0x07, smallest = 0x10000;
        } else {
            out += replacement_character;
            ++i;
            continue;
        }
        std::size_t taken = 1;
        while (taken < length && i + taken < utf8.size() &&
               detail::is_continuation(static_cast<unsigned char>(utf8[i + taken]))) {
            c = (c << 6) | (static_cast<unsigned char>(utf8[i + taken]) & 0x3F);
            ++taken;
        }
        i += taken;
        if (taken < length || c < smallest || c > 0x10FFFF || detail::is_surrogate(c))
            out += replacement_character;
        else
            detail::append_utf16(out, c);
    }
    return out;
}

/// wide_string to UTF-8; never fails (see the rules above).
inline std::string to_utf8(std::u16string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char16_t unit = text[i];
        if (unit >= 0xD800 && unit <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
            text[i + 1] <= 0xDFFF) {
            detail::append_utf8(out, 0x10000 + ((char32_t(unit) - 0xD800) << 10) + (char32_t(text[i + 1]) - 0xDC00));
            ++i;
        } else if (detail::is_surrogate(unit)) {
            detail::append_utf8(out, replacement_character);
        } else {
            detail::append_utf8(out, unit);
        }
    }
    return out;
}

}  // namespace text
}  // namespace Velta_Client

#endif
