// SPDX-License-Identifier: GPL-3.0-or-later
// The node of a user name as every peer of the system maps it: the Base64 of
// its UTF-8 bytes (no padding) with each capital X written "_x" and "/"
// written "__". The check's own copy of the mapping (tools use only the
// public header and gloox); the check removes the account at that node.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace velta_check {

inline std::string user_node(std::string_view utf8_name) {
    static constexpr char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string base64;
    const auto byte = [&](std::size_t i) { return static_cast<std::uint32_t>(static_cast<unsigned char>(utf8_name[i])); };
    for (std::size_t i = 0; i < utf8_name.size(); i += 3) {
        const std::size_t left = utf8_name.size() - i;
        const std::uint32_t group =
            byte(i) << 16 | (left > 1 ? byte(i + 1) << 8 : 0) | (left > 2 ? byte(i + 2) : 0);
        for (std::size_t k = 0; k < (left > 2 ? 4 : left + 1); ++k) base64 += alphabet[(group >> (18 - 6 * k)) & 0x3F];
    }
    std::string node;
    for (const char c : base64) {
        if (c == '/') {
            node += "__";
        } else if (c >= 'A' && c <= 'Z') {
            node += '_';
            node += static_cast<char>(c - 'A' + 'a');
        } else {
            node += c;
        }
    }
    return node;
}

}  // namespace velta_check
