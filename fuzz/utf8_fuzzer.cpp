// SPDX-License-Identifier: GPL-3.0-or-later
// UTF-8 conversion both ways.
//  - Any bytes: from_utf8 gives text or throws codecvt_error, nothing else;
//    bytes that are UTF-8 by RFC 3629 always decode, and encode back to
//    themselves; bytes that decode are RFC 3629 UTF-8 but for surrogates
//    sent as 3-byte sequences (no overlong form, nothing of five or six
//    bytes, nothing past U+10FFFF).
//  - Any UTF-16 units (the input read as little-endian pairs): to_utf8 gives
//    RFC 3629 UTF-8 and never throws; decoding it gives the text back, with
//    each unpaired surrogate as U+FFFD.
//  - Both ways, the one-pass conversion gives what the character-by-character
//    path gives, errors included.
//  - The host's helper <velta_client/text.hpp> gives the library's results
//    wherever the library's are defined: on RFC 3629 UTF-8 and on any UTF-16.
#include "text/utf8.hpp"

#include <velta_client/text.hpp>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace te = Velta_Client::text_encoding;

namespace {

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "utf8 fuzzer: %s\n", what);
    std::abort();
}

// RFC 3629: shortest forms only, no surrogates (unless allowed), nothing
// past U+10FFFF.
bool strict_utf8(const std::string& bytes, bool surrogates = false) {
    std::size_t i = 0;
    while (i < bytes.size()) {
        const auto lead = static_cast<unsigned char>(bytes[i]);
        int length;
        std::uint32_t cp;
        if (lead < 0x80) {
            ++i;
            continue;
        } else if (lead >= 0xC2 && lead <= 0xDF) {
            length = 2;
            cp = lead & 0x1F;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            length = 3;
            cp = lead & 0x0F;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            length = 4;
            cp = lead & 0x07;
        } else {
            return false;
        }
        if (i + static_cast<std::size_t>(length) > bytes.size()) return false;
        for (int k = 1; k < length; ++k) {
            const auto byte = static_cast<unsigned char>(bytes[i + static_cast<std::size_t>(k)]);
            if ((byte & 0xC0) != 0x80) return false;
            cp = (cp << 6) | (byte & 0x3F);
        }
        const std::uint32_t least[] = {0, 0, 0x80, 0x800, 0x10000};
        if (cp < least[length] || cp > 0x10FFFF || (!surrogates && cp >= 0xD800 && cp <= 0xDFFF)) return false;
        i += static_cast<std::size_t>(length);
    }
    return true;
}

// The text with every surrogate that is not half of a pair made U+FFFD.
std::u16string paired_only(const std::u16string& units) {
    std::u16string out(units);
    for (std::size_t i = 0; i < out.size(); ++i) {
        const bool high = out[i] >= 0xD800 && out[i] <= 0xDBFF;
        const bool low = out[i] >= 0xDC00 && out[i] <= 0xDFFF;
        if (high && i + 1 < out.size() && out[i + 1] >= 0xDC00 && out[i + 1] <= 0xDFFF)
            ++i;  // a pair: both halves stay
        else if (high || low)
            out[i] = 0xFFFD;
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string bytes(reinterpret_cast<const char*>(data), size);

    std::u16string decoded;
    bool decodes = true;
    try {
        decoded = te::from_utf8(bytes);
    } catch (const te::codecvt_error&) {
        decodes = false;
    }
    if (decodes && decoded.size() > bytes.size()) fail("more units than bytes");
    try {
        if (te::detail::from_utf8_by_iterator(bytes) != decoded || !decodes)
            fail("the two decoding paths disagree");
    } catch (const te::codecvt_error&) {
        if (decodes) fail("only the character-by-character decoding failed");
    }
    if (decodes && !strict_utf8(bytes, true)) fail("bytes that are not UTF-8 decoded");
    if (strict_utf8(bytes)) {
        if (!decodes) fail("UTF-8 that does not decode");
        if (te::to_utf8(decoded) != bytes) fail("UTF-8 that does not encode back to itself");
        if (Velta_Client::text::from_utf8(bytes) != decoded) fail("the helper decodes UTF-8 otherwise");
    }

    std::u16string units;
    for (std::size_t i = 0; i + 1 < size; i += 2)
        units += static_cast<char16_t>(data[i] | (data[i + 1] << 8));
    const std::string encoded = te::to_utf8(units);
    if (!strict_utf8(encoded)) fail("to_utf8 wrote something that is not UTF-8");
    if (te::detail::to_utf8_by_iterator(units) != encoded) fail("the two encoding paths disagree");
    if (Velta_Client::text::to_utf8(units) != encoded) fail("the helper encodes UTF-16 otherwise");
    if (te::from_utf8(encoded) != paired_only(units)) fail("UTF-16 text did not come back");
    return 0;
}
