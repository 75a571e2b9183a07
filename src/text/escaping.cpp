// SPDX-License-Identifier: GPL-3.0-or-later
#include "text/escaping.hpp"

#include <array>
#include <cstdint>

namespace Velta_Client::text_encoding {

namespace {

constexpr char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

constexpr std::uint8_t not_base64 = 0xFF;

constexpr std::array<std::uint8_t, 256> make_values() {
    std::array<std::uint8_t, 256> values{};
    for (auto& value : values) value = not_base64;
    for (std::uint8_t i = 0; i < 64; ++i) values[static_cast<unsigned char>(alphabet[i])] = i;
    return values;
}

constexpr std::array<std::uint8_t, 256> values = make_values();

}  // namespace

std::string base64_encode(const unsigned char* data, std::size_t size) {
    std::string text;
    text.reserve((size * 4 + 2) / 3);
    std::size_t i = 0;
    for (; i + 3 <= size; i += 3) {
        const std::uint32_t group = (data[i] << 16) | (data[i + 1] << 8) | data[i + 2];
        text += alphabet[group >> 18];
        text += alphabet[(group >> 12) & 0x3F];
        text += alphabet[(group >> 6) & 0x3F];
        text += alphabet[group & 0x3F];
    }
    const std::size_t left = size - i;
    if (left > 0) {
        std::uint32_t group = data[i] << 16;
        if (left == 2) group |= data[i + 1] << 8;
        text += alphabet[group >> 18];
        text += alphabet[(group >> 12) & 0x3F];
        if (left == 2) text += alphabet[(group >> 6) & 0x3F];
    }
    return text;
}

std::string base64_encode(std::string_view bytes) {
    return base64_encode(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
}

std::string base64_decode(std::string_view text) {
    std::string bytes;
    bytes.reserve(text.size() * 3 / 4);
    std::uint32_t group = 0;
    int held = 0;
    for (const char ch : text) {
        const std::uint8_t value = values[static_cast<unsigned char>(ch)];
        if (value == not_base64) break;
        group = (group << 6) | value;
        if (++held == 4) {
            bytes += static_cast<char>(group >> 16);
            bytes += static_cast<char>((group >> 8) & 0xFF);
            bytes += static_cast<char>(group & 0xFF);
            group = 0;
            held = 0;
        }
    }
    // A partial group of k characters carries k - 1 whole bytes; its leftover
    // bits are dropped.
    if (held >= 2) {
        group <<= 6 * (4 - held);
        bytes += static_cast<char>(group >> 16);
        if (held == 3) bytes += static_cast<char>((group >> 8) & 0xFF);
    }
    return bytes;
}

std::optional<std::string> user_name_to_node(std::string_view utf8_name) {
    const std::string text = base64_encode(utf8_name);
    std::string node;
    node.reserve(max_node_length);
    for (const char ch : text) {
        const std::size_t width = (ch == '/' || (ch >= 'A' && ch <= 'Z')) ? 2 : 1;
        if (node.size() + width > max_node_length) return std::nullopt;
        if (ch == '/') {
            node += "__";
        } else if (width == 2) {
            node += '_';
            node += static_cast<char>(ch - 'A' + 'a');
        } else {
            node += ch;
        }
    }
    return node;
}

std::string node_to_user_name(std::string_view node) {
    std::string text;
    text.reserve(node.size());
    for (std::size_t i = 0; i < node.size(); ++i) {
        if (node[i] != '_') {
            text += node[i];
        } else if (i + 1 < node.size()) {
            const char next = node[++i];
            // "_x" stands for x - 0x20, which turns a lowercase letter back
            // into its capital; anything else it yields ends the Base64 text.
            text += next == '_' ? '/' : static_cast<char>(static_cast<unsigned char>(next) - 0x20);
        }
    }
    return base64_decode(text);
}

}  // namespace Velta_Client::text_encoding
