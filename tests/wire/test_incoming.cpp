// SPDX-License-Identifier: GPL-3.0-or-later
// What the host hears for each kind of message a server may deliver.
#include "wire/wire_host.hpp"

#include <gtest/gtest.h>

using namespace velta_test;
using Strings = std::vector<std::string>;

namespace {

struct Incoming : Logged_In {};

}  // namespace

TEST_F(Incoming, a_stored_offline_bounce_names_each_matching_rule) {
    EXPECT_EQ(host.heard(bounce("bob@localhost", "id='42'",
                                stored_rule("Bob") + "<rule condition='deliver'/>" + stored_rule(""))),
              (Strings{"on_message_stored(id=42, userid=Bob)", "on_message_stored(id=42, userid=)"}));
}

TEST_F(Incoming, an_error_with_an_id_but_no_stored_rule_is_dropped_whoever_sent_it) {
    EXPECT_TRUE(host.heard(bounce("bob@localhost", "id='1'", "")).empty());
    EXPECT_TRUE(host.heard("<message type='error' id='2' from='admin@localhost'><body>268470416 a@localhost x</body>"
                           "<error type='cancel'><item-not-found xmlns='urn:ietf:params:xml:ns:xmpp-stanzas'/>"
                           "</error></message>")
                    .empty());
}

TEST_F(Incoming, an_error_without_an_id_is_an_ordinary_chat_message) {
    EXPECT_EQ(host.heard("<message type='error' from='_ym9i@localhost'><body>oops</body><error type='cancel'>"
                         "<service-unavailable xmlns='urn:ietf:params:xml:ns:xmpp-stanzas'/></error></message>"),
              Strings{"on_message(from=bob, body=oops, time=1234)"});
}

TEST_F(Incoming, bad_ids_drop_only_their_own_message) {
    EXPECT_TRUE(host.heard(bounce("bob@localhost", "id='x1'", stored_rule("a"))).empty());
    EXPECT_TRUE(host.heard(bounce("bob@localhost", "id='-1'", stored_rule("a"))).empty());
    EXPECT_TRUE(host.heard(bounce("bob@localhost", "id='4294967296'", stored_rule("a"))).empty());
    EXPECT_EQ(host.heard(bounce("bob@localhost", "id=''", stored_rule("a")) +
                         bounce("bob@localhost", "id='4294967295'", stored_rule("b"))),
              Strings{"on_message_stored(id=4294967295, userid=b)"});
}

TEST_F(Incoming, both_services_answer_with_every_code) {
    for (const std::string service : {"admin", "cmdadmin"}) {
        EXPECT_EQ(host.heard(reply(service, "268470416 _ym9i@localhost/zorvan see you")),
                  Strings{"on_admin_text(name=bob, text=see you, time=1234)"});
        EXPECT_EQ(host.heard(reply(service, "268470408 _ym9i@localhost 1 2\n3")),
                  Strings{"on_admin_values(name=bob, text=1 2\n3, time=1234)"});
        EXPECT_EQ(host.heard(reply(service, "268470409 _ym9i@localhost 4 abcd rest")),
                  Strings{"on_admin_identifier(name=bob, field=abcd\\0, text=rest, time=1234)"});
        EXPECT_EQ(host.heard(reply(service, "268470420 _ym9i@localhost ")),
                  Strings{"on_command_values(name=bob, text=, time=1234, reserve=0)"});
    }
}

TEST_F(Incoming, command_replies_take_the_reserve_of_the_last_rule) {
    const std::string rules = "<amp xmlns='" + amp_namespace + "'><rule reserve='3'/><rule/><rule reserve='7'/></amp>";
    EXPECT_EQ(host.heard("<message type='chat' from='cmdadmin@localhost' id='5'><body>268470419 _ym9i@localhost "
                         "done</body>" +
                         rules + "</message>"),
              Strings{"on_command_message(code=268470419, name=bob, text=done, time=1234, reserve=7)"});
    // A rule with a reserve needs a numeric message id; a bad reserve drops it too.
    EXPECT_TRUE(host.heard("<message type='chat' from='cmdadmin@localhost'><body>268470419 a@localhost x</body>" +
                           rules + "</message>")
                    .empty());
    EXPECT_TRUE(host.heard("<message type='chat' from='cmdadmin@localhost' id='1'><body>268470420 a@localhost x"
                           "</body><amp xmlns='" +
                           amp_namespace + "'><rule reserve='nine'/></amp></message>")
                    .empty());
}

TEST_F(Incoming, unusable_replies_are_dropped_silently) {
    for (const std::string body : {"12 _ym9i@localhost x", "hello", "268470409 _ym9i@localhost 1 a x",
                                   "268470409 _ym9i@localhost 4294967295 abc", "268470409 _ym9i@localhost x"})
        EXPECT_TRUE(host.heard(reply("admin", body)).empty()) << body;
    // A capitalised node is not a service: an ordinary chat message.
    EXPECT_EQ(host.heard(reply("Admin", "268470416 a@localhost x")).size(), 1u);
}

TEST_F(Incoming, chat_messages_carry_their_delay_stamp_or_the_clock) {
    EXPECT_EQ(host.heard(chat("now")), Strings{"on_message(from=bob, body=now, time=1234)"});
    EXPECT_EQ(host.heard(chat("old", "<x xmlns='jabber:x:delay' stamp='20080115T10:20:30'/>")),
              Strings{"on_message(from=bob, body=old, time=1200392430)"});
    EXPECT_EQ(host.heard(chat("new", "<delay xmlns='urn:xmpp:delay' stamp='2008-01-15T10:20:30.123+02:00'/>")),
              Strings{"on_message(from=bob, body=new, time=1200385230)"});
    EXPECT_EQ(host.heard(chat("bad", "<delay xmlns='urn:xmpp:delay' stamp='2008-02-30T10:20:30Z'/>")),
              Strings{"on_message(from=bob, body=bad, time=1234)"});
}

TEST_F(Incoming, texts_arrive_whole_and_undecodable_ones_drop_alone) {
    EXPECT_EQ(host.heard(chat("\xF0\x9F\x98\x80 \xE4\xB8\xAD\xE6\x96\x87 \xD0\xBC\xD0\xB8\xD1\x80")),
              Strings{"on_message(from=bob, body=😀 中文 мир, time=1234)"});
    // A received node of any length decodes in full.
    const std::string long_name(120, 'a');
    std::string node;
    for (char c : std::string("YWFh")) node += c == 'Y' ? std::string("_y") : std::string(1, c);
    std::string long_node;
    for (int i = 0; i < 40; ++i) long_node += node;
    EXPECT_EQ(host.heard(chat_from(long_node, "hi")),
              Strings{"on_message(from=" + long_name + ", body=hi, time=1234)"});
    // A node whose bytes are not UTF-8 (FF) cannot become host text: dropped.
    EXPECT_TRUE(host.heard(chat_from("__w", "from nowhere")).empty());
}

// The default body is the first that names no language or the stanza's own,
// wherever the others stand; with none, the last body is read.
TEST_F(Incoming, a_message_in_several_languages_gives_its_default_body) {
    auto bodies = [](const std::string& lang, const std::string& children) {
        return "<message type='chat' from='_ym9i@localhost/r'" + lang + ">" + children + "</message>";
    };
    const std::string de = "<body xml:lang='de'>deutsch</body>";
    const std::string plain = "<body>default</body>";
    for (const auto& [what, xml] : std::vector<std::pair<std::string, std::string>>{
             {"default first", bodies(" xml:lang='en'", plain + de)},
             {"default last", bodies(" xml:lang='en'", de + plain)},
             {"the stanza's own language", bodies(" xml:lang='en'", de + "<body xml:lang='en'>default</body>")},
             {"the first of two", bodies("", plain + "<body>second</body>")},
             {"no stanza language", bodies("", de + plain + "<body xml:lang='fr'>fr</body>")}}) {
        EXPECT_EQ(host.heard(xml), Strings{"on_message(from=bob, body=default, time=1234)"}) << what;
    }
    EXPECT_EQ(host.heard(bodies(" xml:lang='en'", "<body xml:lang='fr'>fr</body>" + de)),
              Strings{"on_message(from=bob, body=deutsch, time=1234)"})
        << "no default body";
    EXPECT_EQ(host.heard("<message type='chat' from='admin@localhost/service'><body xml:lang='de'>268470416 "
                         "_ym9i@localhost/z falsch</body><body>268470416 _ym9i@localhost/z right</body></message>"),
              Strings{"on_admin_text(name=bob, text=right, time=1234)"});
}
