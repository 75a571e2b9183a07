// SPDX-License-Identifier: GPL-3.0-or-later
// User names and nodes. Any byte string is a user name: its node has only
// the characters a-z 0-9 + _, is at most 99 characters long, and gives the
// name back; or, exactly when that escaped form would be longer, there is
// none. Names of up to 36 bytes always have one. Any text decodes as a node
// without failing.
#include "text/escaping.hpp"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace te = Velta_Client::text_encoding;

namespace {

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "escaping fuzzer: %s\n", what);
    std::abort();
}

bool node_character(char ch) {
    return (ch >= 'a' && ch <= 'z') || (ch >= '0' && ch <= '9') || ch == '+' || ch == '_';
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string name(reinterpret_cast<const char*>(data), size);

    const std::string base64 = te::base64_encode(name);
    if (base64.size() != (4 * size + 2) / 3) fail("Base64 of the wrong length");
    if (te::base64_decode(base64) != name) fail("Base64 does not decode back");

    // Capitals and '/' take two characters once escaped.
    std::size_t escaped_length = 0;
    for (const char ch : base64) escaped_length += (ch == '/' || (ch >= 'A' && ch <= 'Z')) ? 2 : 1;

    const std::optional<std::string> node = te::user_name_to_node(name);
    if (node.has_value() != (escaped_length <= te::max_node_length)) fail("refused a node that fits, or the reverse");
    if (size <= 36 && !node) fail("a name of 36 bytes or fewer has no node");
    if (node) {
        if (node->size() != escaped_length) fail("node of the wrong length");
        for (const char ch : *node)
            if (!node_character(ch)) fail("node character outside a-z 0-9 + _");
        if (te::node_to_user_name(*node) != name) fail("node does not give the name back");
    }

    // Any text as a received node: Base64 gives at most 3 bytes per 4 characters.
    if (te::node_to_user_name(name).size() > size * 3 / 4) fail("a node decoded to too many bytes");
    return 0;
}
