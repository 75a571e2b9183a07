// SPDX-License-Identifier: GPL-3.0-or-later
// One private Prosody per test process, started on first use.
#pragma once

#include "integration/prosody_server.hpp"
#include "support/host.hpp"

#include <string>

namespace velta_test {

Prosody_Server& prosody();

// A host (support/host.hpp) on the private server.
struct Prosody_Host : Host {
    Prosody_Host(const std::string& user, const std::string& password);

    // Sends a message to itself (own_name) and waits for the server's copy:
    // everything this host sent before has then been handled by the server.
    bool settle(const std::u16string& own_name);
};

}  // namespace velta_test
