// SPDX-License-Identifier: GPL-3.0-or-later
// A catalogue of bad input, from the server and from the host, and what the
// host gets for each kind. (Kinds covered elsewhere: test_incoming.cpp for
// bad ids, unknown codes, bad reserves and unreadable stamps; test_outgoing.cpp
// for forbidden characters and lone surrogates in sent text and too-long
// addressees; the unit tests for the readers themselves.)
#include "wire/wire_host.hpp"

#include <gtest/gtest.h>

#include <gloox/tag.h>

#include <string>
#include <vector>

using namespace velta_test;
using namespace Velta_Client;
using Strings = std::vector<std::string>;

namespace {

std::string command(const std::string& id, const std::string& reserve) {
    return "<message from='cmdadmin@localhost' id='" + id + "'><body>268470420 _ym9i@localhost z</body><amp xmlns='" +
           amp_namespace + "'><rule reserve='" + reserve + "'/></amp></message>";
}

std::string delayed(const std::string& delay) { return chat("s", delay); }

std::string nested(const std::string& inside, int levels) {
    return repeated("<a>", levels) + inside + repeated("</a>", levels);
}

// One kind of input and what the host hears for it, in order.
struct Kind {
    const char* kind;
    std::string server_writes;
    Strings host_hears;
};

// Keeps every received body as the UTF-16 the host got, beside the lines.
struct Unit_Handler : Recording_Handler {
    std::vector<std::u16string> bodies;
    void on_message(const wide_string& from, const wide_string& body, std::int32_t time) override {
        bodies.push_back(body);
        Recording_Handler::on_message(from, body, time);
    }
};

// A logged-in host; each input is followed by a marker message, so that
// everything the host hears before the marker is the input's.
struct Bad_Input : Logged_In {
    void SetUp() override {
        host.manager.reset(new_velta_manager(&host.clock, &handler, wide(host.peer.address()), u"Bob", u"pw"));
        Logged_In::SetUp();
        handler.take();
    }

    Strings heard(const std::string& xml) {
        handler.bodies.clear();
        return host.heard_by(handler, xml);
    }

    void expect_each(const std::vector<Kind>& kinds) {
        for (const Kind& kind : kinds) {
            EXPECT_EQ(heard(kind.server_writes), kind.host_hears) << kind.kind;
            ASSERT_EQ(host.state(), STATE_CONNECTED) << kind.kind;
        }
    }

    Unit_Handler handler;
};

}  // namespace

// Texts the host cannot be given drop their message alone; gloox refuses
// some of them before the library sees them (the message then has no body).
TEST_F(Bad_Input, text_bytes_from_the_server) {
    expect_each({
        {"invalid UTF-8", chat("a\xC3\x28z"), {}},
        {"UTF-8 cut off inside a character", chat("abc\xE4\xB8"), {}},
        {"an overlong form", chat("a\xC0\x80z"), {}},
        {"a five-byte sequence", chat("a\xF8\x88\x80\x80\x80z"), {}},
        {"a control character", chat("a\x01z"), {}},
        {"a NUL byte", chat(std::string("a\0z", 3)), {}},
        {"tab, line feed, carriage return", chat("a\tb\nc\rd"), {"on_message(from=bob, body=a\tb\nc\rd, time=1234)"}},
        {"U+FFFE", chat("a\xEF\xBF\xBEz"), {"on_message(from=bob, body=a\xEF\xBF\xBEz, time=1234)"}},
        // No UTF-8 form goes past U+10FFFF; U+110000 would have been NUL.
        {"a code point past U+10FFFF", chat("a\xF4\x90\x80\x80z"), {}},
        {"character references in the BMP",
         chat("&#65;&#x263A;&#9;"),
         {"on_message(from=bob, body=A\xE2\x98\xBA\t, time=1234)"}},
        {"entities in an attribute",
         bounce("_ym9i@localhost", "id='9'",
                "<rule condition='deliver' value='stored' action='notify' "
                "userid='&lt;b&gt;&amp;&apos;'/>"),
         {"on_message_stored(id=9, userid=<b>&')"}},
    });
}

TEST_F(Bad_Input, surrogates_written_as_three_byte_sequences_reach_the_host_as_units) {
    EXPECT_EQ(heard(chat("a\xED\xA0\x80z")).size(), 1u);
    ASSERT_GE(handler.bodies.size(), 1u);
    EXPECT_EQ(handler.bodies[0], u"a\xD800z");  // a lone surrogate, as it came

    EXPECT_EQ(heard(chat("\xED\xA0\xBD\xED\xB8\x80")), Strings{"on_message(from=bob, body=😀, time=1234)"});
    ASSERT_GE(handler.bodies.size(), 1u);
    EXPECT_EQ(handler.bodies[0], u"\xD83D\xDE00");
}

TEST_F(Bad_Input, huge_and_malformed_numbers) {
    expect_each({
        {"id with leading zeros",
         bounce("_ym9i@localhost", "id='007'", stored_rule("a")),
         {"on_message_stored(id=7, userid=a)"}},
        {"id of twenty digits", bounce("_ym9i@localhost", "id='99999999999999999999'", stored_rule("a")), {}},
        {"reserve with leading zeros",
         command("1", "00000000000000000009"),
         {"on_command_values(name=bob, text=z, time=1234, reserve=9)"}},
        {"reserve with a space", command("1", " 5"), {}},
        {"reserve with a plus sign", command("1", "+5"), {}},
        {"empty reserve", command("1", ""), {}},
        {"id past 32 bits beside a reserve", command("4294967296", "5"), {}},
        {"code with leading zeros",
         reply("admin", "000268470416 _ym9i@localhost z"),
         {"on_admin_text(name=bob, text=z, time=1234)"}},
        {"code past 32 bits", reply("admin", "268470416268470416 _ym9i@localhost z"), {}},
        {"negative code", reply("admin", "-268470416 _ym9i@localhost z"), {}},
    });
}

// The count counts bytes: a field may end inside a character.
TEST_F(Bad_Input, identifier_counts) {
    expect_each({
        {"count of exactly what is left", reply("admin", "268470409 _ym9i@localhost 3 abc"),
         {"on_admin_identifier(name=bob, field=abc\\0, text=, time=1234)"}},
        {"count that cuts a character", reply("admin", "268470409 _ym9i@localhost 2 a\xC3\xA9 t"), {}},
        {"count over a four-byte character", reply("admin", "268470409 _ym9i@localhost 4 \xF0\x9F\x98\x80 t"),
         {"on_admin_identifier(name=bob, field=😀\\0, text=t, time=1234)"}},
        {"count of eleven digits", reply("admin", "268470409 _ym9i@localhost 99999999999 abc"), {}},
    });
}

TEST_F(Bad_Input, missing_attributes_and_elements) {
    expect_each({
        {"no sender", "<message type='chat'><body>anon</body></message>", {"on_message(from=, body=anon, time=1234)"}},
        {"no type",
         "<message from='_ym9i@localhost/r'><body>typeless</body></message>",
         {"on_message(from=bob, body=typeless, time=1234)"}},
        {"stored rule without userid",
         bounce("_ym9i@localhost", "id='9'", "<rule condition='deliver' value='stored' action='notify'/>"),
         {}},
        {"amp without its namespace",
         "<message type='error' from='x@localhost' id='9'><amp>" + stored_rule("a") + "</amp>" + service_unavailable +
             "</message>",
         {}},
        {"error without id or body",
         "<message type='error' from='_ym9i@localhost'>" + service_unavailable + "</message>",
         {}},
        {"service reply without body", "<message from='admin@localhost'/>", {}},
        {"delay without stamp",
         delayed("<delay xmlns='urn:xmpp:delay'/>"),
         {"on_message(from=bob, body=s, time=1234)"}},
        {"'@' only in the resource",
         "<message from='localhost/a@b'><body>x</body></message>",
         {"on_message(from=, body=x, time=1234)"}},
    });
}

// Only an error with a defined condition is a bounce; gloox's own reading of
// <error> leaks with several undefined ones (ASan and valgrind runs notice).
TEST_F(Bad_Input, error_stanzas) {
    expect_each({
        {"error with only a legacy code",
         bounce("_ym9i@localhost", "id='9'", stored_rule("a"), "<error code='503'/>") + chat("b"),
         {"on_message(from=bob, body=b, time=1234)"}},
        {"error with conditions nobody defines",
         bounce("_ym9i@localhost", "id='9'", stored_rule("a"),
                "<error type='cancel'><service-unavailable xmlns='urn:ietf:params:xml:ns:xmpp-stanzas'/>"
                "<x xmlns='a'/><y xmlns='b'><z/></y><text xmlns='urn:ietf:params:xml:ns:xmpp-stanzas'>t</text>"
                "<w/></error>"),
         {"on_message_stored(id=9, userid=a)"}},
    });
}

// An unreadable stamp gives the clock's time; a readable one is cut to 32 bits.
TEST_F(Bad_Input, stamps_out_of_range) {
    expect_each({
        {"legacy year 1399", delayed("<x xmlns='jabber:x:delay' stamp='13991231T23:59:59'/>"),
         {"on_message(from=bob, body=s, time=1234)"}},
        // Before the least 32-bit time: no time the host's clock can show.
        {"year 0", delayed("<delay xmlns='urn:xmpp:delay' stamp='0000-01-01T00:00:00Z'/>"),
         {"on_message(from=bob, body=s, time=1234)"}},
        {"year 9999", delayed("<delay xmlns='urn:xmpp:delay' stamp='9999-12-31T23:59:59Z'/>"),
         {"on_message(from=bob, body=s, time=-769665)"}},
        {"year 10000", delayed("<delay xmlns='urn:xmpp:delay' stamp='10000-01-01T00:00:00Z'/>"),
         {"on_message(from=bob, body=s, time=1234)"}},
        {"offset of 24 hours", delayed("<delay xmlns='urn:xmpp:delay' stamp='2008-01-15T10:20:30+24:00'/>"),
         {"on_message(from=bob, body=s, time=1234)"}},
        {"an unreadable stamp before a readable one",
         delayed("<delay xmlns='urn:xmpp:delay' stamp='soon'/><x xmlns='jabber:x:delay' stamp='20080115T10:20:30'/>"),
         {"on_message(from=bob, body=s, time=1234)"}},
    });
}

TEST_F(Bad_Input, long_names_deep_and_huge_stanzas) {
    std::string long_node;
    for (int i = 0; i < 428; ++i) long_node += "_y_w_fh";  // "aaa" each
    const std::string body(60 * 1024, 'x');
    expect_each({
        {"a node of 2996 characters",
         chat_from(long_node, "hi"),
         {"on_message(from=" + std::string(1284, 'a') + ", body=hi, time=1234)"}},
        {"two bodies",
         "<message from='_ym9i@localhost/r'><body xml:lang='en'>one</body><body>two</body></message>",
         {"on_message(from=bob, body=two, time=1234)"}},
        // The default body (RFC 6121 5.2.3) whatever follows it, or the one in
        // the stanza's own language.
        {"a default body before another language",
         "<message from='_ym9i@localhost/r'><body>english</body><body xml:lang='de'>deutsch</body></message>",
         {"on_message(from=bob, body=english, time=1234)"}},
        {"the body in the stanza's language",
         "<message from='_ym9i@localhost/r' xml:lang='en'><body xml:lang='de'>deutsch</body>"
         "<body xml:lang='en'>english</body></message>",
         {"on_message(from=bob, body=english, time=1234)"}},
        // The message and 15 levels below it: the 16 allowed.
        {"15 levels of children", chat("deep", nested("", 15)), {"on_message(from=bob, body=deep, time=1234)"}},
        {"a body of 60 KiB", chat(body), {"on_message(from=bob, body=" + body + ", time=1234)"}},
        {"a foreign element and an IQ",
         "<foo xmlns='bar'><baz/></foo><iq type='get' id='q' from='localhost'>"
         "<query xmlns='jabber:iq:version'/></iq>",
         {}},
    });

    std::string many;
    Strings expected;
    for (int i = 0; i < 1000; ++i) {
        many += chat(std::to_string(i));
        expected.push_back("on_message(from=bob, body=" + std::to_string(i) + ", time=1234)");
    }
    EXPECT_EQ(heard(many), expected) << "a thousand stanzas in one write";
}

// Input that ends the stream: the host hears the lost link, the manager is
// idle after that poll, and a new start logs in.
TEST(Bad_Input_Ending, input_that_ends_the_stream) {
    const std::string many_children = repeated("<a/>", 1100);
    const std::string many_attributes = attributes(2000);
    const std::vector<Kind> kinds = {
        {"not XML", "<message><body>x</bod></message>", {}},
        // gloox reads no reference past U+FFFF, though XML allows them.
        {"a reference to a character past U+FFFF", chat("&#x1F600;"), {}},
        {"a reference to a control character", chat("&#x1;"), {}},
        {"an undefined entity", chat("&nbsp;"), {}},
        {"a stream error", "<stream:error><conflict xmlns='urn:ietf:params:xml:ns:xmpp-streams'/></stream:error>", {}},
        {"a comment", "<!-- hi -->", {}},
        {"a document type", "<!DOCTYPE x>", {}},
        // Not an error about the password: the login was long accepted.
        {"a SASL failure after login",
         "<failure xmlns='urn:ietf:params:xml:ns:xmpp-sasl'><not-authorized/></failure>",
         {}},
        // Refused before gloox, whose recursion would overflow the stack.
        {"nesting beyond 16 levels", chat("deep", nested("", 16)), {}},
        {"nesting 100,000 levels deep", chat("deep", nested("", 100000)), {}},
        // One element may hold 64 KiB and 1,024 elements and attributes,
        // finished or not; a reference has at most 8 characters.
        {"a body of a megabyte", chat(std::string(1 << 20, 'x')), {}},
        {"a stanza of 70,000 bytes", chat(std::string(70000, 'x')), {}},
        {"an unfinished stanza past 64 KiB", "<message from='_ym9i@localhost/r'><body>" + std::string(70000, 'x'), {}},
        {"a stanza with 1,100 children", chat("many", many_children), {}},
        {"an unfinished start tag with 2,000 attributes", "<message" + many_attributes, {}},
        {"a reference without its ';'", "<message from='_ym9i@localhost/r'><body>&" + std::string(100, 'a'), {}},
        {"a reference without its ';' in an attribute", "<message from='&" + std::string(100, 'a'), {}},
    };
    for (const Kind& kind : kinds) {
        Wire_Host host;
        ASSERT_TRUE(host.log_in()) << kind.kind;
        host.handler.take();
        host.peer.send_raw(kind.server_writes);
        ASSERT_TRUE(host.poll_until([&] { return host.state() != STATE_CONNECTED; })) << kind.kind;
        EXPECT_EQ(host.state(), STATE_IDLE) << kind.kind;
        EXPECT_EQ(host.handler.take(), (Strings{"on_disconnected()", "on_disconnected()"})) << kind.kind;
        ASSERT_TRUE(host.log_in()) << kind.kind;
    }
}

// The stream's end is the end of the connection, though the server leaves
// TCP open.
TEST_F(Bad_Input, the_end_of_the_stream_alone_ends_the_connection) {
    host.peer.send_raw("</stream:stream>");
    ASSERT_TRUE(host.poll_until([&] { return host.state() == STATE_IDLE; }));
    EXPECT_EQ(handler.take(), (Strings{"on_disconnected()", "on_disconnected()"}));
}

// ---- from the host ---------------------------------------------------------

// gloox drops a text with a character XML cannot carry: sent as it is, such a
// password would create the account with an empty one, and the login fail.
TEST(Bad_Host_Input, passwords_with_characters_xml_cannot_carry_register_what_the_login_gives) {
    for (const std::u16string& password : {std::u16string(u"p\x01w"), std::u16string(u"p\0w", 3)}) {
        Wire_Host host;
        host.manager.reset(new_velta_manager(&host.clock, &host.handler, wide(host.peer.address()), u"bob", password));
        ASSERT_TRUE(host.log_in());
        host.handler.take();
        EXPECT_EQ(host.peer.password_of("_ym9i"), "p\xEF\xBF\xBDw");
        host.poll_for(50ms);
        EXPECT_TRUE(host.handler.events.empty());
    }
}

TEST(Bad_Host_Input, odd_user_names_become_nodes_and_log_in) {
    struct Name {
        std::u16string user;
        std::string node;
    };
    const std::u16string nine_emoji = u"😀😀😀😀😀😀😀😀😀";  // 36 bytes: always fits
    const std::string three_emoji = "8_j+_yg_p_cfm_i_dwn5i_a";
    for (const Name& name : {Name{u"\xD800", "77+9"}, Name{std::u16string(u"a\0b", 3), "_y_q_bi"},
                             Name{nine_emoji, three_emoji + three_emoji + three_emoji}}) {
        Wire_Host host;
        host.manager.reset(new_velta_manager(&host.clock, &host.handler, wide(host.peer.address()), name.user, u"pw"));
        ASSERT_TRUE(host.log_in()) << name.node;
        EXPECT_EQ(host.peer.bound_jid().substr(0, host.peer.bound_jid().find('@')), name.node);
    }
}

TEST(Bad_Host_Input, sends_with_odd_addressees_and_huge_payloads_go_out_whole) {
    Wire_Host host;
    ASSERT_TRUE(host.log_in());
    host.peer.clear_recorded();
    const std::u16string big(200 * 1024, u'\x4E2D');  // 600 KB of UTF-8
    std::vector<std::uint32_t> values(10000);
    for (std::uint32_t i = 0; i < values.size(); ++i) values[i] = 4294967295u - i;
    host.manager->send_message(1, u"\xD800", u"to nobody in particular");
    host.manager->send_admin_text(big);
    host.manager->send_admin_values(values.data(), static_cast<std::uint32_t>(values.size()), u"v");
    ASSERT_TRUE(
        host.peer.wait_for([&] { return host.sent_messages().size() >= 4; }, 10s, [&] { host.manager->poll(); }));

    const std::vector<Recorded> sent = host.sent_messages();
    EXPECT_EQ(sent[1].attribute("to"), "77+9@localhost");
    EXPECT_EQ(sent[1].tag->findChild("amp")->findChild("rule")->findAttribute("userid"), "\xEF\xBF\xBD");
    EXPECT_EQ(sent[2].child_text("body").size(), big.size() * 3);
    std::string subject = "268470408 ";
    for (const std::uint32_t value : values) subject += std::to_string(value) + ' ';
    EXPECT_EQ(sent[3].child_text("subject"), subject);
    EXPECT_EQ(host.state(), STATE_CONNECTED);
}

// What a socket has not taken waits in a buffer of 16 MiB; a message that
// alone is larger can never go, and counts as a lost connection.
TEST(Bad_Host_Input, a_message_larger_than_the_send_buffer_ends_the_connection) {
    Wire_Host host;
    ASSERT_TRUE(host.log_in());
    host.handler.take();
    host.manager->send_admin_text(std::u16string(6 * 1024 * 1024, u'\x4E2D'));  // 18 MB of UTF-8
    EXPECT_EQ(host.state(), STATE_RESETTING);
    host.manager->poll();
    EXPECT_EQ(host.state(), STATE_IDLE);
    EXPECT_EQ(host.handler.take(), (Strings{"on_disconnected()", "on_disconnected()"}));
    ASSERT_TRUE(host.log_in());
}
