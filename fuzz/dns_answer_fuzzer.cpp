// SPDX-License-Identifier: GPL-3.0-or-later
// A DNS answer as the library reads it: any bytes, either family, any
// limit up to the first byte's value. Never reads outside the answer (the
// sanitizers watch), never gives more than the limit, and every address is
// of the family asked for.
#include "manager/xmpp/service_lookup.hpp"

#include <cstdint>
#include <cstdlib>

using Velta_Client::detail::xmpp::addresses_in_answer;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const std::size_t limit = data[0] % 32;
    for (const int family : {AF_INET, AF_INET6}) {
        const auto found = addresses_in_answer(data + 1, size - 1, family, limit);
        if (found.size() > limit) std::abort();
        for (const auto& endpoint : found)
            if (endpoint.address.ss_family != family) std::abort();
    }
    return 0;
}
