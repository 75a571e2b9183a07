// SPDX-License-Identifier: GPL-3.0-or-later
// Senders outside the domain "localhost": a federating server delivers what
// other domains send, and none of it may pass for a service, a local user or
// our own echo. A bound address that is not our own ends the connection.
#include "wire/wire_host.hpp"

#include <gtest/gtest.h>

using namespace velta_test;
using namespace Velta_Client;
using Strings = std::vector<std::string>;

namespace {

const std::string reply_body = "268470416 _ym9i@localhost/r see you";

std::string message_from(const std::string& from, const std::string& body) {
    return "<message type='chat' from='" + from + "' to='_qm9i@localhost'><body>" + body + "</body></message>";
}

}  // namespace

TEST(Forged_Senders, service_replies_from_another_domain_are_dropped) {
    Wire_Host host;
    ASSERT_TRUE(host.log_in());
    host.handler.take();
    host.inject(message_from("admin@evil.example", reply_body), 0);
    host.inject(message_from("cmdadmin@evil.example/x", "268470419 _ym9i@localhost/r hi"), 0);
    host.inject(message_from("admin@localhost.evil.example", reply_body), 0);
    EXPECT_TRUE(host.handler.take().empty());

    host.inject(message_from("admin@localhost", reply_body));
    EXPECT_EQ(host.handler.take(), Strings{"on_admin_text(name=bob, text=see you, time=1000)"});
}

TEST(Forged_Senders, chats_from_another_domain_are_dropped) {
    Wire_Host host;
    ASSERT_TRUE(host.log_in());
    host.handler.take();
    host.inject(message_from("_qm9i@evil.example/r", "hello"), 0);
    host.inject(message_from("evil.example", "hello"), 0);
    host.inject(message_from("", "hello"), 0);
    EXPECT_TRUE(host.handler.take().empty());

    host.inject(message_from("_qm9i@localhost/r", "hello"));
    EXPECT_EQ(host.handler.take(), Strings{"on_message(from=Bob, body=hello, time=1000)"});
}

TEST(Forged_Senders, a_message_without_a_sender_is_from_our_own_account) {
    Wire_Host host;
    ASSERT_TRUE(host.log_in());
    host.handler.take();
    host.inject("<message type='chat'><body>from the account</body></message>");
    EXPECT_EQ(host.handler.take(), Strings{"on_message(from=, body=from the account, time=1000)"});
}

TEST(Forged_Senders, stored_notices_from_another_domain_are_dropped) {
    Wire_Host host;
    ASSERT_TRUE(host.log_in());
    host.handler.take();
    const std::string resource_constraint =
        "<error type='wait'><resource-constraint xmlns='urn:ietf:params:xml:ns:xmpp-stanzas'/></error>";
    host.inject(bounce("_ywxpy2u@evil.example", "id='7'", stored_rule("alice"), resource_constraint), 0);
    EXPECT_TRUE(host.handler.take().empty());
    host.inject(bounce("_ywxpy2u@localhost", "id='7'", stored_rule("alice"), resource_constraint));
    EXPECT_EQ(host.handler.take(), Strings{"on_message_stored(id=7, userid=alice)"});
}

TEST(Forged_Senders, a_bind_result_that_is_not_our_own_address_ends_the_login) {
    for (const std::string bound : {"admin@evil.example/x", "_qm9i@evil.example/x", "admin@localhost/x",
                                    "localhost/x", ""}) {
        SCOPED_TRACE(bound);
        Wire_Host host;
        host.peer.set_bind_answer(bound.empty() ? "<other/>" : "<jid>" + bound + "</jid>");
        host.manager->start();
        ASSERT_TRUE(host.poll_until([&] { return !host.handler.events.empty() && host.state() == STATE_IDLE; }));
        EXPECT_EQ(host.handler.take(), Strings{"on_disconnected()"});
        // Nothing went to the address the server named.
        for (const auto& message : host.peer.messages()) ADD_FAILURE() << message.raw;
    }
}

TEST(Forged_Senders, our_own_node_at_localhost_with_any_resource_is_accepted) {
    Wire_Host host;
    host.peer.set_bind_answer("<jid>_qm9i@localhost/given-by-server</jid>");
    ASSERT_TRUE(host.log_in());
}
