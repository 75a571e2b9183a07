// UTF-8 (terminal, scripts, JSON) to UTF-16 (the library's host text) and
// back. Invalid input never stops a conversion: each malformed UTF-8
// sequence and each lone surrogate becomes U+FFFD.
#pragma once

#include <string>
#include <string_view>

namespace velta_cli {

std::u16string to_utf16(std::string_view utf8);
std::string to_utf8(std::u16string_view utf16);

}  // namespace velta_cli
