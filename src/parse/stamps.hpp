// SPDX-License-Identifier: GPL-3.0-or-later
// Delay stamps to seconds since 1970-01-01 00:00:00 UTC.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace Velta_Client::detail {

// The legacy reading: "%Y%m%dT%H:%M:%S" as Boost's time facet applies it
// (literal characters are skipped whatever they are; anything after the
// seconds, a zone or a fraction, is ignored).
std::optional<std::int64_t> read_legacy_stamp(const std::string& stamp);

// The XMPP date-time profile: YYYY-MM-DDThh:mm:ss[.fraction](Z|+hh:mm|-hh:mm),
// with the offset applied.
std::optional<std::int64_t> read_xmpp_stamp(const std::string& stamp);

// Either reading, legacy first, cut to 32 bits (times from 2038 on wrap);
// nothing for a time before 1901-12-13T20:45:52Z, the least 32-bit time.
std::optional<std::int32_t> read_stamp(const std::string& stamp);

}  // namespace Velta_Client::detail
