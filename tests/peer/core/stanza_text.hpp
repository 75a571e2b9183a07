// SPDX-License-Identifier: GPL-3.0-or-later
// Text of the stanzas the in-memory server writes.
#pragma once

#include <string>

namespace velta_test {

extern const std::string ns_data;  // "jabber:x:data"

// Escapes text for element content and for attributes in either quote style.
std::string escape(const std::string& text);

// <iq type='type' id='id' from='from' (from only when not empty), unclosed.
std::string iq_head(const std::string& type, const std::string& id, const std::string& from);

// A whole IQ error with the condition's usual type and legacy code.
std::string iq_error(const std::string& id, const std::string& from, const std::string& condition);

}  // namespace velta_test
