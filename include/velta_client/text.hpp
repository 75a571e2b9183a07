// SPDX-License-Identifier: GPL-3.0-or-later
/// \file
/// UTF-8 text to the library's wide_string (UTF-16) and back, for hosts whose
/// strings are UTF-8. Header only; the C++ standard library only.
///
/// The rules are the library's own, from the same code
/// (<velta_client/detail/utf8.hpp>); where the library refuses bytes it
/// received, the helper replaces:
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

#include <velta_client/detail/utf8.hpp>
#include <velta_client/velta_client.hpp>

#include <cstddef>
#include <string>
#include <string_view>

namespace Velta_Client {
namespace text {

/// The replacement character, U+FFFD.
constexpr char16_t replacement_character = 0xFFFD;

/// UTF-8 to wide_string; never fails (see the rules above).
inline wide_string from_utf8(std::string_view utf8) {
    wide_string out;
    out.reserve(utf8.size());
    const auto* const begin = reinterpret_cast<const unsigned char*>(utf8.data());
    const auto* const end = begin + utf8.size();
    for (const unsigned char* p = begin; p != end;) {
        if (*p < 0x80) {
            out += static_cast<char16_t>(*p++);
            continue;
        }
        if (!detail::can_start_character(*p)) {
            out += replacement_character;
            ++p;
            continue;
        }
        const detail::utf8_sequence sequence = detail::read_utf8(p, end);
        p += sequence.taken;
        if (sequence.kind == detail::utf8_kind::character)
            detail::append_utf16(out, sequence.value);
        else
            out += replacement_character;
    }
    return out;
}

/// wide_string to UTF-8; never fails (see the rules above).
inline std::string to_utf8(std::u16string_view text) {
    std::string out;
    out.reserve(text.size());
    for (auto it = text.begin(); it != text.end();) detail::append_utf8(out, detail::read_utf16(it, text.end()));
    return out;
}

}  // namespace text
}  // namespace Velta_Client

#endif
