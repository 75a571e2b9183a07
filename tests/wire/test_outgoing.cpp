// SPDX-License-Identifier: GPL-3.0-or-later
// What each send operation puts on the wire.
#include "wire/wire_host.hpp"

#include <gtest/gtest.h>

#include <gloox/tag.h>

#include <set>
#include <string>
#include <vector>

using namespace velta_test;
using namespace Velta_Client;

namespace {

struct Sent {
    std::vector<Recorded> messages;
    const Recorded& operator[](std::size_t i) const { return messages.at(i); }
    std::size_t size() const { return messages.size(); }
};

// Runs send() on a logged-in host and returns the messages it put out: a
// marker request sent behind them tells when all of them have arrived.
template <class Send>
Sent sent_by(Wire_Host& host, Send send) {
    host.peer.clear_recorded();
    send(*host.manager);
    host.manager->send_admin_text(u"end of test sends");
    const auto is_marker = [](const Recorded& m) { return m.child_text("body") == "end of test sends"; };
    host.peer.wait_for(
        [&] {
            const auto all = host.sent_messages();
            return !all.empty() && is_marker(all.back());
        },
        5s);
    Sent sent{host.sent_messages()};
    if (!sent.messages.empty() && is_marker(sent.messages.back())) sent.messages.pop_back();
    return sent;
}

}  // namespace

TEST(Outgoing, a_chat_message_sends_our_copy_first_then_the_message_with_its_amp_rule) {
    Wire_Host host("alice");
    ASSERT_TRUE(host.log_in());
    const Sent sent = sent_by(host, [](Velta_Manager& m) { m.send_message(7, u"Bob", u"hi"); });
    ASSERT_EQ(sent.size(), 2u);

    EXPECT_EQ(sent[0].attribute("to"), host.peer.bound_jid());
    EXPECT_EQ(sent[0].child_text("body"), "hi");
    EXPECT_FALSE(sent[0].has_attribute("id"));
    EXPECT_FALSE(sent[0].has_child("amp"));

    EXPECT_EQ(sent[1].attribute("type"), "chat");
    EXPECT_EQ(sent[1].attribute("to"), "_qm9i@localhost");
    EXPECT_EQ(sent[1].attribute("id"), "7");
    EXPECT_EQ(sent[1].child_text("body"), "hi");
    EXPECT_FALSE(sent[1].has_child("subject"));
    EXPECT_FALSE(sent[1].has_child("thread"));
    EXPECT_EQ(raw_rule(sent[1]), "<rule condition='deliver' value='stored' action='notify' userid='Bob'/>");
    // The server stamps the sender; the library writes none.
    EXPECT_FALSE(sent[0].has_attribute("from"));
    EXPECT_FALSE(sent[1].has_attribute("from"));
}

TEST(Outgoing, chat_messages_that_cannot_go_send_nothing) {
    Wire_Host host;
    ASSERT_TRUE(host.log_in());
    EXPECT_EQ(sent_by(host, [](Velta_Manager& m) { m.send_message(1, u"alice", u""); }).size(), 0u);
    const std::u16string too_long(75, u'x');  // its node would pass 99 characters
    EXPECT_EQ(sent_by(host, [&](Velta_Manager& m) { m.send_message(1, too_long, u"hi"); }).size(), 0u);
    EXPECT_EQ(sent_by(host, [&](Velta_Manager& m) { m.send_command_message(1, too_long, u"hi", 0); }).size(), 0u);
}

TEST(Outgoing, an_empty_addressee_is_the_bare_domain_and_has_no_userid) {
    Wire_Host host;
    ASSERT_TRUE(host.log_in());
    const Sent sent = sent_by(host, [](Velta_Manager& m) { m.send_message(4294967295u, u"", u"x"); });
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[1].attribute("to"), "localhost");
    EXPECT_EQ(sent[1].attribute("id"), "4294967295");
    EXPECT_EQ(raw_rule(sent[1]), "<rule condition='deliver' value='stored' action='notify'/>");
}

TEST(Outgoing, admin_requests_carry_their_code_and_fields_in_the_subject) {
    Wire_Host host;
    ASSERT_TRUE(host.log_in());
    const std::uint32_t values[] = {1, 20, 300, 4294967295u};
    Identifier128 identifier{};
    for (int i = 0; i < 16; ++i) identifier.bytes[i] = static_cast<std::uint8_t>(i);

    const Sent sent = sent_by(host, [&](Velta_Manager& m) {
        m.send_admin_values(values, 4, u"v");
        m.send_admin_values(nullptr, 0, u"");
        m.send_admin_identifier(identifier, u"id");
        m.send_admin_text(u"t");
    });
    ASSERT_EQ(sent.size(), 4u);
    EXPECT_EQ(sent[0].child_text("subject"), "268470408 1 20 300 4294967295 ");
    EXPECT_EQ(sent[1].child_text("subject"), "268470408 ");
    EXPECT_FALSE(sent[1].has_child("body"));
    EXPECT_EQ(sent[2].child_text("subject"), "268470409 0F0E0D0C0B0A09080706050403020100 ");
    EXPECT_EQ(sent[3].child_text("subject"), "268470416 ");
    for (const Recorded& request : sent.messages) {
        EXPECT_EQ(request.attribute("to"), "admin@localhost");
        EXPECT_EQ(request.attribute("type"), "chat");
        EXPECT_FALSE(request.has_attribute("id"));
        EXPECT_FALSE(request.has_child("amp"));
    }
    EXPECT_EQ(sent[3].child_text("body"), "t");
}

TEST(Outgoing, command_requests_carry_id_and_reserve) {
    Wire_Host host;
    ASSERT_TRUE(host.log_in());
    const std::uint32_t values[] = {3};
    const Sent sent = sent_by(host, [&](Velta_Manager& m) {
        m.send_command_message(5, u"Bob", u"x", 9);
        m.send_command_values(values, 1, u"y", 4294967295u);
    });
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0].attribute("to"), "cmdadmin@localhost");
    EXPECT_EQ(sent[0].child_text("subject"), "268470419 _qm9i@localhost/zorvan ");
    EXPECT_EQ(sent[0].attribute("id"), "5");
    EXPECT_EQ(raw_rule(sent[0]),
              "<rule condition='deliver' value='stored' action='notify' reserve='9' userid='Bob'/>");
    EXPECT_EQ(sent[1].child_text("subject"), "268470420 3 ");
    EXPECT_EQ(sent[1].attribute("id"), "0");
    EXPECT_EQ(raw_rule(sent[1]), "<rule reserve='4294967295'/>");
    ASSERT_NE(rule_of(sent[1]), nullptr);
}

TEST(Outgoing, text_is_utf8_with_emoji_whole_and_forbidden_characters_replaced) {
    Wire_Host host;
    ASSERT_TRUE(host.log_in());
    std::u16string text = u"a\u0001b\u0009c\uFFFEd\U0001F600e\xD800";
    text += u'\0';
    std::u16string user = u"Zo\u00EB\u0007";
    const Sent sent = sent_by(host, [&](Velta_Manager& m) { m.send_message(1, user, text); });
    ASSERT_EQ(sent.size(), 2u);
    const std::string expected = "a\xEF\xBF\xBD" "b\tc\xEF\xBF\xBD" "d\xF0\x9F\x98\x80" "e\xEF\xBF\xBD\xEF\xBF\xBD";
    EXPECT_EQ(sent[0].child_text("body"), expected);
    EXPECT_EQ(sent[1].child_text("body"), expected);
    EXPECT_EQ(rule_of(sent[1])->findAttribute("userid"), "Zo\xC3\xAB\xEF\xBF\xBD");
    EXPECT_EQ(host.state(), STATE_CONNECTED);
}

// The send operations act only while connected. In every other state a host
// reaches, with the server watching the wire, the six of them put nothing on
// it and report nothing; nor does logout() outside connected. The host calls
// them from its frame, and from every callback it gets outside connected.
TEST(Outgoing, no_send_reaches_the_server_outside_the_connected_state) {
    using Strings = std::vector<std::string>;
    Wire_Host host;
    std::vector<int> states_in_callbacks;
    host.handler.on_event = [&](const std::string&) {
        states_in_callbacks.push_back(host.state());
        if (host.state() != STATE_CONNECTED) send_every_operation(*host.manager);
    };
    // Everything the client wrote on `connection` has been read once the
    // peer has seen the client close it.
    const auto closed = [&](int connection) {
        return host.peer.wait_for([&] { return !host.peer.is_open(connection); }, 5s, [&] { host.manager->poll(); });
    };

    // Idle before the first start: no connection is opened.
    host.manager->logout();
    send_every_operation(*host.manager);
    host.manager->poll();
    EXPECT_EQ(host.state(), STATE_IDLE);
    EXPECT_TRUE(host.handler.events.empty());
    host.poll_for(50ms);
    EXPECT_EQ(host.peer.connections_accepted(), 0);

    // Registering and logging in: the sends right after start() and at every
    // poll until connected, among them polls with the stream of each open.
    std::set<int> sent_with_stream_open;
    host.manager->start();
    EXPECT_EQ(host.state(), STATE_REGISTERING);
    send_every_operation(*host.manager);
    ASSERT_TRUE(host.poll_until([&] {
        const int state = host.state();
        if (state == STATE_REGISTERING || state == STATE_LOGGING_IN) {
            const int connection = state == STATE_REGISTERING ? 1 : 2;
            if (!host.peer.stanzas_on(connection).empty()) sent_with_stream_open.insert(state);
            send_every_operation(*host.manager);
        }
        return state == STATE_CONNECTED;
    }));
    EXPECT_EQ(sent_with_stream_open, (std::set<int>{STATE_REGISTERING, STATE_LOGGING_IN}));
    // Connected, a send goes out: the only message on either connection.
    host.manager->send_admin_text(u"connected");
    ASSERT_TRUE(closed(1));
    ASSERT_TRUE(host.peer.wait_for([&] { return !host.peer.messages().empty(); }, 5s));
    host.poll_for(50ms);
    const std::vector<Recorded> logged_in = host.peer.messages();
    ASSERT_EQ(logged_in.size(), 1u);
    EXPECT_EQ(logged_in[0].child_text("body"), "connected");
    EXPECT_EQ(host.handler.take(), Strings{"on_connected()"});
    EXPECT_EQ(states_in_callbacks, std::vector<int>{STATE_CONNECTED});

    // Resetting after a logout, then idle.
    host.peer.clear_recorded();
    states_in_callbacks.clear();
    host.manager->logout();
    EXPECT_EQ(host.state(), STATE_RESETTING);
    send_every_operation(*host.manager);
    host.manager->logout();
    host.manager->poll();
    EXPECT_EQ(host.state(), STATE_IDLE);
    send_every_operation(*host.manager);
    host.poll_for(50ms);
    EXPECT_EQ(host.handler.take(), Strings{"on_disconnected()"});
    EXPECT_EQ(states_in_callbacks, std::vector<int>{STATE_RESETTING});
    ASSERT_TRUE(closed(2));
    EXPECT_TRUE(host.peer.messages().empty());

    // Registering after a refused creation, the connection left open until
    // the server ends it.
    states_in_callbacks.clear();
    host.peer.push_registration_outcome("not-acceptable");
    host.manager->start();
    ASSERT_TRUE(host.poll_until([&] { return host.handler.count("on_error") > 0; }));
    EXPECT_EQ(host.state(), STATE_REGISTERING);
    const int refused = host.peer.current_connection();
    send_every_operation(*host.manager);
    host.manager->logout();
    host.poll_for(100ms);
    EXPECT_EQ(host.state(), STATE_REGISTERING);
    EXPECT_EQ(host.handler.take(), Strings{"on_error(code=2, message=register failed.)"});
    host.peer.close_connection();
    ASSERT_TRUE(host.poll_until([&] { return host.state() == STATE_IDLE; }));
    EXPECT_EQ(host.handler.take(), Strings{"on_disconnected()"});
    EXPECT_EQ(states_in_callbacks, (std::vector<int>{STATE_REGISTERING, STATE_RESETTING}));
    ASSERT_TRUE(closed(refused));
    EXPECT_TRUE(host.peer.messages().empty());

    // Resetting after a redirect, the registration connection still open.
    states_in_callbacks.clear();
    host.peer.set_registration_fields(Scripted_Peer::out_of_band_fields("u", "see web"));
    host.manager->start();
    ASSERT_TRUE(host.poll_until([&] { return host.handler.count("on_error") > 0; }));
    const int redirected = host.peer.current_connection();
    host.poll_for(100ms);
    EXPECT_EQ(host.state(), STATE_IDLE);
    EXPECT_EQ(host.handler.take(), Strings{"on_error(code=2, message=register failed.\nsee web\nurl: u)"});
    EXPECT_EQ(states_in_callbacks, std::vector<int>{STATE_RESETTING});
    ASSERT_TRUE(closed(redirected));
    EXPECT_TRUE(host.peer.messages().empty());

    // Resetting and then idle after the server ended a logged-in connection,
    // which the host hears at every poll until its next login.
    host.peer.set_registration_fields(Scripted_Peer::legacy_fields());
    ASSERT_TRUE(host.log_in());
    host.handler.take();
    const int lost = host.peer.bound_connection();
    host.peer.clear_recorded();
    states_in_callbacks.clear();
    host.peer.close_connection(lost);
    ASSERT_TRUE(host.poll_until([&] { return host.state() == STATE_IDLE; }));
    for (int frame = 0; frame < 3; ++frame) {
        send_every_operation(*host.manager);
        host.manager->poll();
    }
    EXPECT_EQ(host.handler.take(), Strings(5, "on_disconnected()"));
    EXPECT_EQ(states_in_callbacks,
              (std::vector<int>{STATE_RESETTING, STATE_IDLE, STATE_IDLE, STATE_IDLE, STATE_IDLE}));
    ASSERT_TRUE(closed(lost));
    EXPECT_TRUE(host.peer.messages().empty());
}
