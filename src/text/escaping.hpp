// SPDX-License-Identifier: GPL-3.0-or-later
// The mapping between user names and the nodes of their XMPP addresses.
//
// A node must be case-insensitive and use few characters, while user names
// are free text.  A name's node is the Base64 of its UTF-8 bytes with each
// uppercase letter written as "_" and its lowercase form, and "/" as "__".
// Every peer of the system must map names the same way.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace Velta_Client::text_encoding {

constexpr std::size_t max_node_length = 99;

// Standard alphabet, no "=" padding: n bytes give ceil(4n / 3) characters.
std::string base64_encode(const unsigned char* data, std::size_t size);
std::string base64_encode(std::string_view bytes);

// Stops at the end of the text, at "=", or at the first character outside the
// alphabet.  A final group of k characters gives k - 1 bytes.
std::string base64_decode(std::string_view text);

// The node for a UTF-8 user name, or nullopt when it would be longer than
// max_node_length.
std::optional<std::string> user_name_to_node(std::string_view utf8_name);

// The UTF-8 user name of a node.  Any node decodes, whatever its length; one
// not made by user_name_to_node gives whatever bytes its characters spell up
// to the first one that ends the Base64 text.
std::string node_to_user_name(std::string_view node);

}  // namespace Velta_Client::text_encoding
