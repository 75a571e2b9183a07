// SPDX-License-Identifier: GPL-3.0-or-later
// The fixed values of the manager's side of the protocol, named once.
#pragma once

#include <cstdint>

namespace Velta_Client::detail {

// The XMPP domain of every address the library writes or accepts.
inline constexpr const char* xmpp_domain = "localhost";

// The nodes of the two services that take numbered requests.
inline constexpr const char* admin_node = "admin";
inline constexpr const char* command_node = "cmdadmin";

// A probe goes out when more than this many seconds of the host's clock
// have passed since the last one.
inline constexpr std::int32_t keep_alive_interval_seconds = 10;

// More probes than this unanswered count as a dead link.
inline constexpr std::int32_t unanswered_probe_limit = 100;

// A connection without its outcome after this many seconds of the host's
// clock ends like an unreachable server.
inline constexpr std::int32_t connect_deadline_seconds = 15;

}  // namespace Velta_Client::detail
