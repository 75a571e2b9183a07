// SPDX-License-Identifier: GPL-3.0-or-later
#include "text/utf8.hpp"

#include <algorithm>
#include <cstring>

namespace Velta_Client::text_encoding {

namespace {

namespace rules = Velta_Client::text::detail;

enum class scan { whole, invalid, incomplete };

// Reads one sequence at from, as the facet sees it.  whole: next is past it
// (a surrogate sent as a 3-byte sequence is whole too).  invalid: next is at
// the byte that cannot start or continue a sequence, or past a whole
// sequence that is not UTF-8.  incomplete: the input ends inside the
// sequence; next is back at its lead byte.
scan scan_sequence(const char* from, const char* end, const char*& next, char32_t& value) {
    const auto* const bytes = reinterpret_cast<const unsigned char*>(from);
    const rules::utf8_sequence found = rules::read_utf8(bytes, reinterpret_cast<const unsigned char*>(end));
    switch (found.kind) {
    case rules::utf8_kind::character:
    case rules::utf8_kind::surrogate:
        value = found.value;
        next = from + found.taken;
        return scan::whole;
    case rules::utf8_kind::cut_by_end:
        next = from;
        return scan::incomplete;
    case rules::utf8_kind::not_a_lead:
        next = from;
        return scan::invalid;
    default:  // cut by a byte (next is at it), overlong, past U+10FFFF
        next = from + found.taken;
        return scan::invalid;
    }
}

}  // namespace

const char* codecvt_error::what() const noexcept { return "bad cast"; }

codecvt_by_charset<charset::utf8>::codecvt_by_charset() : detail::utf8_codecvt_facet(1) {}

codecvt_by_charset<charset::utf8>::~codecvt_by_charset() = default;

const codecvt_by_charset<charset::utf8>& codecvt_by_charset<charset::utf8>::instance() {
    static const codecvt_by_charset facet;
    return facet;
}

bool codecvt_by_charset<charset::utf8>::do_always_noconv() const noexcept { return false; }

// Counted in input bytes per output unit; an upper bound (no UTF-8
// sequence is longer than four bytes).
int codecvt_by_charset<charset::utf8>::do_max_length() const noexcept { return 6; }

int codecvt_by_charset<charset::utf8>::do_encoding() const noexcept { return 0; }

std::codecvt_base::result codecvt_by_charset<charset::utf8>::do_in(state_type&, const char* from,
                                                                   const char* from_end, const char*& from_next,
                                                                   char16_t* to, char16_t* to_end,
                                                                   char16_t*& to_next) const {
    result outcome = ok;
    while (from != from_end && to != to_end) {
        const char* next = from;
        char32_t value = 0;
        const scan found = scan_sequence(from, from_end, next, value);
        if (found != scan::whole) {
            outcome = found == scan::invalid ? error : partial;
            from = next;
            break;
        }
        // A code point beyond the BMP becomes a pair, which needs room for both.
        if (value >= 0x10000 && to_end - to < 2) {
            outcome = partial;
            break;
        }
        to = rules::write_utf16(value, to);
        from = next;
    }
    if (outcome == ok && from != from_end) outcome = partial;
    from_next = from;
    to_next = to;
    return outcome;
}

std::codecvt_base::result codecvt_by_charset<charset::utf8>::do_out(state_type&, const char16_t* from,
                                                                    const char16_t* from_end,
                                                                    const char16_t*& from_next, char* to,
                                                                    char* to_end, char*& to_next) const {
    result outcome = ok;
    while (from != from_end) {
        const char16_t* next = from;
        const char32_t code = rules::read_utf16(next, from_end);
        if (to_end - to < rules::utf8_length(code)) {
            outcome = partial;
            break;
        }
        to = rules::write_utf8(code, to);
        from = next;
    }
    from_next = from;
    to_next = to;
    return outcome;
}

std::codecvt_base::result codecvt_by_charset<charset::utf8>::do_unshift(state_type&, char* to, char*,
                                                                        char*& to_next) const {
    to_next = to;
    return ok;
}

// Like do_in, max counts UTF-16 units: a pair is not taken when only one unit
// of the allowance is left.
int codecvt_by_charset<charset::utf8>::do_length(state_type&, const char* from, const char* from_end,
                                                 std::size_t max) const {
    const char* p = from;
    std::size_t units = 0;
    while (p != from_end && units < max) {
        const char* next = p;
        char32_t value = 0;
        if (scan_sequence(p, from_end, next, value) != scan::whole) break;
        units += value >= 0x10000 ? 2 : 1;
        if (units > max) break;
        p = next;
    }
    return static_cast<int>(p - from);
}

decoding_iterator decoding_iterator::begin(const std::string& source) {
    decoding_iterator it(source, source.begin(), 0);
    it.fill();
    return it;
}

decoding_iterator decoding_iterator::end(const std::string& source) {
    return decoding_iterator(source, source.end(), -1);
}

void decoding_iterator::fill() {
    if (trail_ != 0) {
        value_ = trail_;
        trail_ = 0;
        return;
    }
    const auto source_end = source_->end();
    while (position_ != source_end && count_ < window_size) window_[count_++] = *position_++;
    if (count_ == 0) {
        count_ = -1;
        return;
    }
    // One fill decodes exactly one sequence.  Only a four-byte sequence can
    // yield two units, so it alone gets room for two, and no more input than
    // its own so the facet cannot go on to the next sequence.
    const bool four_bytes = rules::announced_length(static_cast<unsigned char>(window_[0])) == 4;
    const char* input_end = window_ + (four_bytes ? std::min(count_, 4) : count_);
    char16_t units[2];
    std::mbstate_t state{};
    const char* from_next = window_;
    char16_t* to_next = units;
    const auto outcome =
        utf8_facet::instance().in(state, window_, input_end, from_next, units, units + (four_bytes ? 2 : 1), to_next);
    // Nothing decoded with the window full (or the source exhausted) means a
    // sequence that can never complete: more bytes cannot come, so it fails
    // like an invalid byte instead of being retried forever.
    if (outcome == std::codecvt_base::error || to_next == units) throw codecvt_error();
    value_ = units[0];
    if (to_next - units == 2) trail_ = units[1];
    const int consumed = static_cast<int>(from_next - window_);
    count_ -= consumed;
    std::memmove(window_, window_ + consumed, static_cast<std::size_t>(count_));
}

std::string detail::to_utf8_by_iterator(const std::u16string& text) {
    const utf8_encoding_range range(utf16_range(text.begin(), text.end()));
    std::string bytes;
    bytes.reserve(text.size());
    for (const char byte : range) bytes.push_back(byte);
    return bytes;
}

std::u16string detail::from_utf8_by_iterator(const std::string& bytes) {
    std::u16string text;
    // Every unit takes at least one byte, so this is the most ever needed.
    text.reserve(bytes.size());
    const auto end = decoding_iterator::end(bytes);
    for (auto it = decoding_iterator::begin(bytes); it != end; ++it) text.push_back(*it);
    return text;
}

// Received text is converted inside the host's frame, a message at a time,
// so these take the text in one pass, ASCII on the shortest road.
std::string to_utf8(const std::u16string& text) {
    std::string bytes;
    bytes.reserve(text.size() + text.size() / 2);
    const auto end = text.end();
    for (auto it = text.begin(); it != end;) {
        if (*it < 0x80) {
            bytes += static_cast<char>(*it++);
            continue;
        }
        rules::append_utf8(bytes, rules::read_utf16(it, end));
    }
    return bytes;
}

std::u16string from_utf8(const std::string& bytes) {
    std::u16string text;
    // Every unit takes at least one byte, so this is the most ever needed.
    text.reserve(bytes.size());
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    const auto* const end = p + bytes.size();
    while (p != end) {
        if (*p < 0x80) {
            text += static_cast<char16_t>(*p++);
            continue;
        }
        const rules::utf8_sequence found = rules::read_utf8(p, end);
        if (found.kind != rules::utf8_kind::character && found.kind != rules::utf8_kind::surrogate)
            throw codecvt_error();
        rules::append_utf16(text, found.value);
        p += found.taken;
    }
    return text;
}

std::u16string xml_safe(const std::u16string& text) {
    std::u16string safe(text);
    for (char16_t& unit : safe) {
        const bool control = unit < 0x20 && unit != u'\t' && unit != u'\n' && unit != u'\r';
        if (control || unit == 0xFFFE || unit == 0xFFFF) unit = 0xFFFD;
    }
    return safe;
}

void append_xml_text(std::string& out, const std::u16string& text) {
    out.reserve(out.size() + text.size() + text.size() / 2);
    const auto end = text.end();
    for (auto it = text.begin(); it != end;) {
        const char16_t unit = *it;
        if (unit < 0x80) {
            ++it;
            switch (unit) {
            case u'&': out += "&amp;"; break;
            case u'<': out += "&lt;"; break;
            case u'>': out += "&gt;"; break;
            case u'\'': out += "&apos;"; break;
            case u'"': out += "&quot;"; break;
            default:
                if (unit < 0x20 && unit != u'\t' && unit != u'\n' && unit != u'\r')
                    rules::append_utf8(out, rules::replacement_code);
                else
                    out += static_cast<char>(unit);
            }
            continue;
        }
        if (unit == 0xFFFE || unit == 0xFFFF) {
            ++it;
            rules::append_utf8(out, rules::replacement_code);
            continue;
        }
        rules::append_utf8(out, rules::read_utf16(it, end));
    }
}

}  // namespace Velta_Client::text_encoding
