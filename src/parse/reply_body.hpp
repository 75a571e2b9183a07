// SPDX-License-Identifier: GPL-3.0-or-later
// Reading the body of a service reply:
//   code, whitespace, address, one separator, text
//   CODE_ADMIN_IDENTIFIER: code, whitespace, address, separator, count,
//                          separator, field (count bytes), separator, text
// Numbers are decimal with leading whitespace skipped; a separator is any
// one byte; the text is the rest of the body, line breaks included.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace Velta_Client::detail {

struct Reply_Body {
    std::uint32_t code = 0;
    std::string node;   // the address's node part, still escaped
    std::string field;  // CODE_ADMIN_IDENTIFIER only: count bytes and one NUL
    std::string text;
};

// Nothing for a body that does not start with a number, a code that no reply
// uses, or an identifier reply whose count is missing, below 2, or larger
// than what follows it.
std::optional<Reply_Body> read_reply_body(std::string_view body);

}  // namespace Velta_Client::detail
