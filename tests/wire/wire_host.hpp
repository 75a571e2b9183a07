// A host on a scripted peer: its clock, its handler, one manager, and the
// peer it talks to.
#pragma once

#include "peer/scripted_peer.hpp"
#include "support/host_doubles.hpp"
#include "support/polling.hpp"

#include <velta_client/velta_client.hpp>

#include <memory>
#include <string>

namespace velta_test {

struct Wire_Host {
    explicit Wire_Host(const std::string& user = "Bob", const std::string& password = "pw")
        : manager(new_velta_manager(&clock, &handler, wide(peer.address()), wide(user), wide(password))) {}

    Scripted_Peer peer;
    Test_Clock clock;
    Recording_Handler handler;
    std::unique_ptr<Velta_Client::Velta_Manager> manager;

    int state() { return manager->get_state(); }

    // Polls until done() or a 10-second limit.
    template <class Done>
    bool poll_until(Done done, std::chrono::milliseconds limit = std::chrono::seconds(10)) {
        return velta_test::poll_until(*manager, done, limit);
    }
    void poll_for(std::chrono::milliseconds span) { velta_test::poll_for(*manager, span); }

    // start() and poll until the login completed; the host's events so far
    // are cleared.
    bool log_in() {
        manager->start();
        const bool ok = poll_until([&] { return state() == Velta_Client::STATE_CONNECTED; });
        handler.take();
        return ok;
    }

    // Sends xml to the logged-in connection and polls until the host has
    // heard `events` more calls (or, with 0, for a short while).
    void inject(const std::string& xml, std::size_t events = 1) {
        const std::size_t before = handler.events.size();
        peer.send_raw(xml);
        if (events == 0)
            poll_for(std::chrono::milliseconds(150));
        else
            poll_until([&] { return handler.events.size() >= before + events; });
    }

    // Messages the peer received on the logged-in connection.
    std::vector<Recorded> sent_messages() {
        std::vector<Recorded> out;
        for (auto& stanza : peer.messages())
            if (stanza.connection == peer.bound_connection()) out.push_back(stanza);
        return out;
    }
};

}  // namespace velta_test
