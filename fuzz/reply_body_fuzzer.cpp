// SPDX-License-Identifier: GPL-3.0-or-later
// Service reply bodies and numeric attributes.
//  - Any body: nothing, or a reply with a known code whose text is the end of
//    the body and whose identifier field is its count of bytes and a NUL.
//  - Bodies built from the input's parts are read back into those parts.
//  - Any attribute text is a number exactly when it is all decimal digits
//    and at most 4294967295.
#include "parse/address.hpp"
#include "parse/decimal.hpp"
#include "parse/reply_body.hpp"

#include <velta_client/velta_client.hpp>

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

using namespace Velta_Client;
using Velta_Client::detail::address_node;
using Velta_Client::detail::decimal_attribute;
using Velta_Client::detail::read_reply_body;

namespace {

[[noreturn]] void fail(const char* what, const std::string& body) {
    std::fprintf(stderr, "reply body fuzzer: %s: \"%s\"\n", what, body.c_str());
    std::abort();
}

const std::uint32_t codes[] = {CODE_ADMIN_VALUES, CODE_ADMIN_IDENTIFIER, CODE_ADMIN_TEXT, CODE_COMMAND_MESSAGE,
                               CODE_COMMAND_VALUES};

bool known(std::uint32_t code) {
    for (const std::uint32_t c : codes)
        if (c == code) return true;
    return false;
}

bool ends_with(const std::string& text, const std::string& end) {
    return end.size() <= text.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

bool space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }

std::optional<std::uint32_t> decimal_oracle(const std::string& text) {
    if (text.empty()) return std::nullopt;
    std::uint64_t value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + static_cast<std::uint64_t>(c - '0');
        if (value > 0xFFFFFFFFu) return std::nullopt;
    }
    return static_cast<std::uint32_t>(value);
}

void any_body(const std::string& body) {
    const std::optional<detail::Reply_Body> reply = read_reply_body(body);
    if (!reply) return;
    if (!known(reply->code)) fail("unknown code accepted", body);
    if (!ends_with(body, reply->text)) fail("text is not the end of the body", body);
    if (reply->node.find('@') != std::string::npos) fail("node with an '@'", body);
    if (reply->code == CODE_ADMIN_IDENTIFIER) {
        if (reply->field.size() < 3 || reply->field.back() != '\0') fail("identifier field without its NUL", body);
    } else if (!reply->field.empty()) {
        fail("field outside an identifier reply", body);
    }
}

void built_body(FuzzedDataProvider& input) {
    const std::uint32_t code = input.ConsumeBool() ? codes[input.ConsumeIntegralInRange(0, 4)]
                                                   : input.ConsumeIntegral<std::uint32_t>();
    const std::string spaces[] = {" ", "\t", "\n", "\r\n ", ""};
    const std::string lead = spaces[input.ConsumeIntegralInRange(0, 4)];
    const std::string zeros(input.ConsumeIntegralInRange(0, 3), '0');
    std::string token = input.ConsumeRandomLengthString(40);
    for (char& c : token)
        if (space(c)) c = '_';
    if (token.empty()) token = "x";
    const char separator = spaces[input.ConsumeIntegralInRange(0, 2)][0];
    std::string field = input.ConsumeRandomLengthString(40);
    const bool honest_count = input.ConsumeBool();
    const std::uint32_t count =
        honest_count ? static_cast<std::uint32_t>(field.size()) : input.ConsumeIntegral<std::uint32_t>();
    char field_separator = static_cast<char>(input.ConsumeIntegral<std::uint8_t>());
    if (field_separator >= '0' && field_separator <= '9') field_separator = ' ';  // it would lengthen the count
    const std::string text = input.ConsumeRemainingBytesAsString();

    std::string body = lead + zeros + std::to_string(code) + " " + token + separator;
    if (code == CODE_ADMIN_IDENTIFIER) body += std::to_string(count) + field_separator + field + field_separator;
    body += text;

    const std::optional<detail::Reply_Body> reply = read_reply_body(body);
    if (!known(code)) {
        if (reply) fail("unknown code accepted", body);
        return;
    }
    if (code == CODE_ADMIN_IDENTIFIER) {
        const std::size_t after_separator = field.size() + 1 + text.size();
        if (count < 2 || count > after_separator) {
            if (reply) fail("identifier count below 2 or beyond the body accepted", body);
            return;
        }
        if (!honest_count) return;  // the field ends elsewhere; any_body() checks its form
    }
    if (!reply) fail("well-formed body refused", body);
    if (reply->code != code) fail("wrong code", body);
    if (reply->node != address_node(token)) fail("wrong node", body);
    if (reply->text != text) fail("wrong text", body);
    if (code == CODE_ADMIN_IDENTIFIER && reply->field != field + '\0') fail("wrong field", body);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    any_body(bytes);
    if (decimal_attribute(bytes) != decimal_oracle(bytes)) fail("decimal attribute misread", bytes);
    const std::string_view node = address_node(bytes);
    if (bytes.compare(0, node.size(), node) != 0 || node.find('@') != std::string_view::npos)
        fail("address node is not the start of the address", bytes);

    FuzzedDataProvider input(data, size);
    built_body(input);
    return 0;
}
