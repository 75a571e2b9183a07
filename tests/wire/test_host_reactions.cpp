// SPDX-License-Identifier: GPL-3.0-or-later
// Hosts that act from inside their callbacks, or go away while connected.
#include "wire/wire_host.hpp"

#include <gtest/gtest.h>

using namespace velta_test;
using namespace Velta_Client;
using Strings = std::vector<std::string>;

TEST(Host_Reactions, messages_of_one_poll_arrive_in_order_and_a_logout_from_a_callback_follows_them) {
    Wire_Host host;
    ASSERT_TRUE(host.log_in());
    host.handler.take();
    host.handler.on_event = [&](const std::string& event) {
        if (event.find("body=two") != std::string::npos) host.manager->logout();
    };
    // Three messages in one read. Natively they land in the same poll; on a
    // slow machine (valgrind) the input budget of a poll may end after any of
    // them, and what the logout finds unread is never heard.
    host.peer.send_raw("<message type='chat' from='_ym9i@localhost/r'><body>one</body></message>"
                       "<message type='chat' from='_ym9i@localhost/r'><body>two</body></message>"
                       "<message type='chat' from='_ym9i@localhost/r'><body>three</body></message>");
    Strings heard;
    ASSERT_TRUE(host.poll_until([&] {
        for (const std::string& event : host.handler.take()) heard.push_back(event);
        return !heard.empty() && heard.back() == "on_disconnected()";
    }));
    EXPECT_EQ(host.state(), STATE_IDLE);  // the reset step ran in the drain that heard the disconnect
    ASSERT_GE(heard.size(), 3u);
    EXPECT_EQ(heard[0], "on_message(from=bob, body=one, time=1000)");
    EXPECT_EQ(heard[1], "on_message(from=bob, body=two, time=1000)");
    if (heard.size() == 4) {
        EXPECT_EQ(heard[2], "on_message(from=bob, body=three, time=1000)");
    }
    EXPECT_LE(heard.size(), 4u);
}

TEST(Host_Reactions, sending_from_a_callback_goes_out_at_once) {
    Wire_Host host("alice");
    ASSERT_TRUE(host.log_in());
    host.handler.on_event = [&](const std::string& event) {
        if (event.rfind("on_message(from=bob", 0) == 0) host.manager->send_message(9, u"bob", u"pong");
    };
    host.peer.send_raw("<message type='chat' from='_ym9i@localhost/r'><body>ping</body></message>");
    ASSERT_TRUE(host.peer.wait_for(
        [&] {
            for (const auto& m : host.sent_messages())
                if (m.attribute("id") == "9") return true;
            return false;
        },
        5s, [&] { host.manager->poll(); }));
}

TEST(Host_Reactions, destroying_a_connected_manager_closes_quietly) {
    Wire_Host host;
    ASSERT_TRUE(host.log_in());
    host.handler.take();
    const int reads = host.clock.reads;
    host.manager.reset();
    EXPECT_TRUE(host.handler.events.empty());
    EXPECT_EQ(host.clock.reads, reads);
    EXPECT_TRUE(host.peer.wait_for([&] { return host.peer.current_connection() == 0; }, 2s));
}
