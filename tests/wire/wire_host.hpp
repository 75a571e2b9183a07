// SPDX-License-Identifier: GPL-3.0-or-later
// A host on a scripted peer: the host of support/host.hpp, and the peer it
// talks to.
#pragma once

#include "peer/scripted_peer.hpp"
#include "support/host.hpp"
#include "support/stanzas.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace velta_test {

// Made before the host, whose manager is given the peer's address, and
// gone after it.
struct Peer_Side {
    Scripted_Peer peer;
};

struct Wire_Host : Peer_Side, Host {
    explicit Wire_Host(const std::string& user = "Bob", const std::string& password = "pw")
        : Host(peer.address(), user, password) {}

    // Logs in, then takes what the host heard of the login and sets its
    // clock to 1234, the time every unstamped delivery reads in the tests.
    bool log_in_to_listen() {
        if (!log_in()) return false;
        handler.take();
        clock.time = 1234;
        return true;
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

    // What the host hears for xml the server writes, in order. A chat from
    // bob written behind it marks its end: everything `listener` hears before
    // the marker is xml's. What it heard before is taken first.
    std::vector<std::string> heard_by(Recording_Handler& listener, const std::string& xml) {
        listener.take();
        peer.send_raw(xml + chat("marker"));
        poll_until([&] { return listener.count("on_message(from=bob, body=marker") > 0; });
        std::vector<std::string> events = listener.take();
        if (!events.empty()) events.pop_back();
        return events;
    }
    std::vector<std::string> heard(const std::string& xml) { return heard_by(handler, xml); }

    // Messages the peer received on the logged-in connection.
    std::vector<Recorded> sent_messages() {
        std::vector<Recorded> out;
        for (auto& stanza : peer.messages())
            if (stanza.connection == peer.bound_connection()) out.push_back(stanza);
        return out;
    }
};

// The fixture of the tests that start from a logged-in host.
struct Logged_In : ::testing::Test {
    void SetUp() override { ASSERT_TRUE(host.log_in_to_listen()); }
    Wire_Host host;
};

}  // namespace velta_test
