// SPDX-License-Identifier: GPL-3.0-or-later
#include "parse/address.hpp"

namespace Velta_Client::detail {

Address_Parts split_address(std::string_view address) {
    Address_Parts parts;
    const std::size_t slash = address.find('/');
    std::string_view bare = address.substr(0, slash);
    if (slash != std::string_view::npos) parts.resource = address.substr(slash + 1);
    const std::size_t at = bare.find('@');  // an '@' in the resource is the resource's
    if (at != std::string_view::npos) {
        parts.node = bare.substr(0, at);
        bare = bare.substr(at + 1);
    }
    parts.domain = bare;
    return parts;
}

}  // namespace Velta_Client::detail
