#include "integration/prosody_fixture.hpp"

#include "support/polling.hpp"

namespace velta_test {

Prosody_Server& prosody() {
    static Prosody_Server server;
    return server;
}

Host::Host(const std::string& user, const std::string& password)
    : manager(new_velta_manager(&clock, &handler, prosody().server(), wide(user), wide(password))) {}

bool Host::log_in() {
    manager->start();
    poll_until(*manager, [&] {
        return handler.count("on_connected") > 0 || handler.count("on_error") > 0 ||
               manager->get_state() == Velta_Client::STATE_IDLE;
    });
    return manager->get_state() == Velta_Client::STATE_CONNECTED;
}

}  // namespace velta_test

namespace velta_test {

bool Host::settle(const std::u16string& own_name) {
    const int before = handler.count("on_message");
    manager->send_message(0, own_name, u"settle");
    return poll_until(*manager, [&] { return handler.count("on_message") >= before + 2; });
}

}  // namespace velta_test
