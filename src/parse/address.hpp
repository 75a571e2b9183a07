// SPDX-License-Identifier: GPL-3.0-or-later
// The one splitting of an XMPP address into its parts, exactly as written
// (no stringprep): the first '/' starts the resource, and an '@' before it
// ends the node.
#pragma once

#include <string_view>

namespace Velta_Client::detail {

struct Address_Parts {
    std::string_view node;  // empty when the address has none
    std::string_view domain;
    std::string_view resource;
};

Address_Parts split_address(std::string_view address);

// The node of an address exactly as written ("Node@domain/res" gives
// "Node"); empty when the address has none.
inline std::string_view address_node(std::string_view address) { return split_address(address).node; }

}  // namespace Velta_Client::detail
