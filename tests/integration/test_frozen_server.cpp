// SPDX-License-Identifier: GPL-3.0-or-later
// A server that stops reading: sends must not block the host, and the
// connection counts as lost once too much waits to be written.
#include "integration/prosody_fixture.hpp"
#include "support/polling.hpp"

#include <gtest/gtest.h>

using namespace velta_test;
using Velta_Client::STATE_CONNECTED;
using Velta_Client::STATE_IDLE;

TEST(Prosody_Frozen, sends_to_a_frozen_server_end_in_a_lost_connection_not_a_blocked_host) {
    Prosody_Host alice("alice", "pw");
    ASSERT_TRUE(alice.log_in());
    alice.handler.take();

    prosody().freeze();
    const std::u16string text(16 * 1024, u'x');
    int sent = 0;
    // Kernel buffers take a few megabytes on loopback; then the library's own
    // buffer fills, and the manager gives the connection up.
    while (alice.manager->get_state() == STATE_CONNECTED && sent < 2000) {
        alice.manager->send_admin_text(text);
        ++sent;
    }
    prosody().resume();
    EXPECT_LT(sent, 2000);
    alice.manager->poll();
    EXPECT_EQ(alice.manager->get_state(), STATE_IDLE);
    ASSERT_FALSE(alice.handler.events.empty());
    EXPECT_EQ(alice.handler.events.front(), "on_disconnected()");

    // The server recovers; so does the host.
    alice.handler.take();
    ASSERT_TRUE(alice.log_in());
}
