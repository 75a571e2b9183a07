#include "text16.hpp"

namespace velta_cli {

namespace {

constexpr char16_t replacement = 0xFFFD;

bool continuation(unsigned char byte) { return (byte & 0xC0) == 0x80; }

void append_utf16(std::u16string& out, char32_t code_point) {
    if (code_point < 0x10000) {
        out += static_cast<char16_t>(code_point);
        return;
    }
    code_point -= 0x10000;
    out += static_cast<char16_t>(0xD800 + (code_point >> 10));
    out += static_cast<char16_t>(0xDC00 + (code_point & 0x3FF));
}

void append_utf8(std::string& out, char32_t code_point) {
    if (code_point < 0x80) {
        out += static_cast<char>(code_point);
    } else if (code_point < 0x800) {
        out += static_cast<char>(0xC0 | (code_point >> 6));
        out += static_cast<char>(0x80 | (code_point & 0x3F));
    } else if (code_point < 0x10000) {
        out += static_cast<char>(0xE0 | (code_point >> 12));
        out += static_cast<char>(0x80 | ((code_point >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code_point & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (code_point >> 18));
        out += static_cast<char>(0x80 | ((code_point >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((code_point >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code_point & 0x3F));
    }
}

}  // namespace

std::u16string to_utf16(std::string_view utf8) {
    std::u16string out;
    out.reserve(utf8.size());
    std::size_t i = 0;
    while (i < utf8.size()) {
        const auto lead = static_cast<unsigned char>(utf8[i]);
        if (lead < 0x80) {
            out += lead;
            ++i;
            continue;
        }
        std::size_t length = 0;
        char32_t code_point = 0, smallest = 0;
        if (lead >= 0xC2 && lead <= 0xDF) {
            length = 2, code_point = lead & 0x1F, smallest = 0x80;
        } else if ((lead & 0xF0) == 0xE0) {
            length = 3, code_point = lead & 0x0F, smallest = 0x800;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            length = 4, code_point = lead & 0x07, smallest = 0x10000;
        } else {
            // A stray continuation byte, C0/C1 (always overlong) or F5..FF.
            out += replacement;
            ++i;
            continue;
        }
        std::size_t taken = 1;
        while (taken < length && i + taken < utf8.size() && continuation(static_cast<unsigned char>(utf8[i + taken]))) {
            code_point = (code_point << 6) | (static_cast<unsigned char>(utf8[i + taken]) & 0x3F);
            ++taken;
        }
        i += taken;
        // A cut-short sequence is replaced once, and whatever stopped it is
        // read afresh as the start of the next character.
        if (taken < length || code_point < smallest || code_point > 0x10FFFF ||
            (code_point >= 0xD800 && code_point <= 0xDFFF))
            out += replacement;
        else
            append_utf16(out, code_point);
    }
    return out;
}

std::string to_utf8(std::u16string_view utf16) {
    std::string out;
    out.reserve(utf16.size());
    for (std::size_t i = 0; i < utf16.size(); ++i) {
        const char16_t unit = utf16[i];
        if (unit >= 0xD800 && unit <= 0xDBFF && i + 1 < utf16.size() && utf16[i + 1] >= 0xDC00 &&
            utf16[i + 1] <= 0xDFFF) {
            append_utf8(out, 0x10000 + ((char32_t(unit) - 0xD800) << 10) + (char32_t(utf16[i + 1]) - 0xDC00));
            ++i;
        } else if (unit >= 0xD800 && unit <= 0xDFFF) {
            append_utf8(out, replacement);
        } else {
            append_utf8(out, unit);
        }
    }
    return out;
}

}  // namespace velta_cli
