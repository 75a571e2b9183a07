// SPDX-License-Identifier: GPL-3.0-or-later
#include "parse/decimal.hpp"

namespace Velta_Client::detail {

std::optional<Decimal> leading_decimal(std::string_view text) {
    Decimal number;
    std::uint64_t value = 0;
    while (number.length < text.size() && text[number.length] >= '0' && text[number.length] <= '9') {
        value = value * 10 + static_cast<std::uint64_t>(text[number.length] - '0');
        if (value > 0xFFFFFFFFu) return std::nullopt;
        ++number.length;
    }
    if (number.length == 0) return std::nullopt;
    number.value = static_cast<std::uint32_t>(value);
    return number;
}

std::optional<std::uint32_t> decimal_attribute(const std::string& text) {
    const std::optional<Decimal> number = leading_decimal(text);
    if (!number || number->length != text.size()) return std::nullopt;
    return number->value;
}

}  // namespace Velta_Client::detail
