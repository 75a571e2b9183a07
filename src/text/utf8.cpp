#include "text/utf8.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>

namespace Velta_Client::text_encoding {

namespace {

enum class scan { whole, invalid, incomplete };

// Reads one sequence at from.  whole: next is past it.  invalid: next is at
// the byte that cannot start or continue a sequence, or past a whole
// sequence that is not UTF-8.  incomplete: the input ends inside the
// sequence; next is back at its lead byte.
//
// Only the shortest form of a code point up to U+10FFFF is UTF-8 (RFC 3629).
// A longer form of "<" (C0 BC, E0 80 BC) or of U+0000 would slip past every
// check made on the bytes and reach the host as that character, so overlong
// forms, five- and six-byte forms and four-byte values past U+10FFFF are
// invalid.  Surrogates sent as 3-byte sequences still decode to their unit.
scan scan_sequence(const char* from, const char* end, const char*& next, std::uint32_t& value, int& length) {
    static constexpr std::uint32_t least[] = {0, 0, 0x80, 0x800, 0x10000};
    const auto lead = static_cast<unsigned char>(*from);
    if (lead < 0x80) {
        length = 1;
        value = lead;
    } else if (lead < 0xC0) {
        next = from;
        return scan::invalid;
    } else if (lead < 0xE0) {
        length = 2;
        value = lead - 0xC0u;
    } else if (lead < 0xF0) {
        length = 3;
        value = lead - 0xE0u;
    } else if (lead < 0xF8) {
        length = 4;
        value = lead - 0xF0u;
    } else {
        next = from;
        return scan::invalid;
    }
    const char* p = from + 1;
    for (int i = 1; i < length; ++i, ++p) {
        if (p == end) {
            next = from;
            return scan::incomplete;
        }
        const auto byte = static_cast<unsigned char>(*p);
        if (byte < 0x80 || byte > 0xBF) {
            next = p;
            return scan::invalid;
        }
        value = (value << 6) | (byte - 0x80u);
    }
    next = p;
    if (length > 1 && (value < least[length] || value > 0x10FFFF)) return scan::invalid;
    return scan::whole;
}

// A four-byte sequence (a code point beyond the BMP) becomes a pair.
bool is_supplementary(std::uint32_t value, int length) {
    return length == 4 && value >= 0x10000 && value <= 0x10FFFF;
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
        std::uint32_t value = 0;
        int length = 0;
        const scan found = scan_sequence(from, from_end, next, value, length);
        if (found != scan::whole) {
            outcome = found == scan::invalid ? error : partial;
            from = next;
            break;
        }
        if (is_supplementary(value, length)) {
            if (to_end - to < 2) {
                outcome = partial;
                break;
            }
            value -= 0x10000;
            *to++ = static_cast<char16_t>(0xD800 + (value >> 10));
            *to++ = static_cast<char16_t>(0xDC00 + (value & 0x3FF));
        } else {
            *to++ = static_cast<char16_t>(value & 0xFFFF);
        }
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
        std::uint32_t code = *from;
        int taken = 1;
        if (detail::is_high_surrogate(*from)) {
            if (from + 1 != from_end && detail::is_low_surrogate(from[1])) {
                code = 0x10000 + ((code - 0xD800) << 10) + (from[1] - 0xDC00u);
                taken = 2;
            } else {
                code = 0xFFFD;
            }
        } else if (detail::is_low_surrogate(*from)) {
            code = 0xFFFD;
        }
        const int length = code < 0x80 ? 1 : code < 0x800 ? 2 : code < 0x10000 ? 3 : 4;
        if (to_end - to < length) {
            outcome = partial;
            break;
        }
        switch (length) {
        case 1:
            *to++ = static_cast<char>(code);
            break;
        case 2:
            *to++ = static_cast<char>(0xC0 | (code >> 6));
            *to++ = static_cast<char>(0x80 | (code & 0x3F));
            break;
        case 3:
            *to++ = static_cast<char>(0xE0 | (code >> 12));
            *to++ = static_cast<char>(0x80 | ((code >> 6) & 0x3F));
            *to++ = static_cast<char>(0x80 | (code & 0x3F));
            break;
        default:
            *to++ = static_cast<char>(0xF0 | (code >> 18));
            *to++ = static_cast<char>(0x80 | ((code >> 12) & 0x3F));
            *to++ = static_cast<char>(0x80 | ((code >> 6) & 0x3F));
            *to++ = static_cast<char>(0x80 | (code & 0x3F));
            break;
        }
        from += taken;
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
        std::uint32_t value = 0;
        int length = 0;
        if (scan_sequence(p, from_end, next, value, length) != scan::whole) break;
        units += is_supplementary(value, length) ? 2 : 1;
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
    const auto lead = static_cast<unsigned char>(window_[0]);
    const bool four_bytes = lead >= 0xF0 && lead <= 0xF7;
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

// Received text is converted inside the host's frame, a message at a time:
// units below the surrogates go straight through, and only the rest (from
// the first surrogate on) takes the character-by-character road. Each
// character is encoded on its own, so the two roads agree at any boundary.
std::string to_utf8(const std::u16string& text) {
    std::string bytes;
    bytes.reserve(text.size() + text.size() / 2);
    std::size_t at = 0;
    for (; at < text.size(); ++at) {
        const char16_t unit = text[at];
        if (unit < 0x80) {
            bytes += static_cast<char>(unit);
        } else if (unit < 0x800) {
            bytes += static_cast<char>(0xC0 | (unit >> 6));
            bytes += static_cast<char>(0x80 | (unit & 0x3F));
        } else if (unit < 0xD800 || unit > 0xDFFF) {
            bytes += static_cast<char>(0xE0 | (unit >> 12));
            bytes += static_cast<char>(0x80 | ((unit >> 6) & 0x3F));
            bytes += static_cast<char>(0x80 | (unit & 0x3F));
        } else {
            break;
        }
    }
    if (at < text.size()) bytes += detail::to_utf8_by_iterator(text.substr(at));
    return bytes;
}

// The same for decoding: shortest 1- to 3-byte sequences whose continuation
// bytes are all there decode directly; anything else, from that sequence on,
// goes through the iterator, which also raises the errors.
std::u16string from_utf8(const std::string& bytes) {
    std::u16string text;
    text.reserve(bytes.size());
    const auto* data = reinterpret_cast<const unsigned char*>(bytes.data());
    const std::size_t size = bytes.size();
    const auto continuation = [&](std::size_t i) { return i < size && (data[i] & 0xC0) == 0x80; };
    std::size_t at = 0;
    while (at < size) {
        const unsigned char lead = data[at];
        if (lead < 0x80) {
            text += static_cast<char16_t>(lead);
            ++at;
        } else if (lead >= 0xC2 && lead <= 0xDF && continuation(at + 1)) {
            text += static_cast<char16_t>(((lead - 0xC0) << 6) | (data[at + 1] - 0x80));
            at += 2;
        } else if (lead >= 0xE0 && lead <= 0xEF && continuation(at + 1) && continuation(at + 2) &&
                   (lead != 0xE0 || data[at + 1] >= 0xA0)) {
            text += static_cast<char16_t>(((lead - 0xE0) << 12) | ((data[at + 1] - 0x80) << 6) | (data[at + 2] - 0x80));
            at += 3;
        } else {
            break;
        }
    }
    if (at < size) text += detail::from_utf8_by_iterator(bytes.substr(at));
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

}  // namespace Velta_Client::text_encoding
