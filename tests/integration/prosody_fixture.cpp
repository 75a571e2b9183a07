// SPDX-License-Identifier: GPL-3.0-or-later
#include "integration/prosody_fixture.hpp"

namespace velta_test {

Prosody_Server& prosody() {
    static Prosody_Server server;
    return server;
}

Prosody_Host::Prosody_Host(const std::string& user, const std::string& password)
    : Host(prosody().address(), user, password) {}

bool Prosody_Host::settle(const std::u16string& own_name) {
    const int before = handler.count("on_message");
    manager->send_message(0, own_name, u"settle");
    return poll_until([&] { return handler.count("on_message") >= before + 2; });
}

}  // namespace velta_test
