// What each send operation puts on the wire.
#include "wire/wire_host.hpp"

#include <gtest/gtest.h>

#include <gloox/tag.h>

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

