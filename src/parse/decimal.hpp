// SPDX-License-Identifier: GPL-3.0-or-later
// The one reading of decimal numbers in what servers send: ASCII digits
// only (no sign, no spaces, no locale's digit grouping), 32 bits unsigned.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace Velta_Client::detail {

struct Decimal {
    std::uint32_t value = 0;
    std::size_t length = 0;  // digits read
};

// Every digit at the start of `text`; nothing when there is none or their
// value passes 4294967295.
std::optional<Decimal> leading_decimal(std::string_view text);

// A whole attribute text as an unsigned 32-bit decimal number: digits only.
std::optional<std::uint32_t> decimal_attribute(const std::string& text);

}  // namespace Velta_Client::detail
