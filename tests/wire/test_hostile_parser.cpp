// SPDX-License-Identifier: GPL-3.0-or-later
// A server that writes what gloox's parser reads differently from XML, or
// ends its stream without closing the connection: the host hears the lost
// link and can log in again, instead of a crash or a deaf connection.
#include "wire/wire_host.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace velta_test;
using namespace Velta_Client;
using Strings = std::vector<std::string>;

namespace {

// The server writes `xml`; the host hears the lost link once, is idle after
// it, and logs in again.
void expect_connection_ended(const std::string& what, const std::string& xml, const Strings& heard_first = {}) {
    Wire_Host host;
    ASSERT_TRUE(host.log_in_to_listen()) << what;
    host.peer.send_raw(xml);
    ASSERT_TRUE(host.poll_until([&] { return host.state() == STATE_IDLE; })) << what;
    Strings expected = heard_first;
    expected.insert(expected.end(), {"on_disconnected()", "on_disconnected()"});
    EXPECT_EQ(host.handler.take(), expected) << what;
    ASSERT_TRUE(host.log_in()) << what;
    host.peer.send_raw(chat("again"));
    EXPECT_TRUE(host.poll_until([&] { return host.handler.count("on_message(from=bob, body=again") == 1; })) << what;
}

}  // namespace

// gloox ends a value a single quote opened at a double quote: what follows
// is markup to it, and nested deep enough it overflows the stack.
TEST(Hostile_Parser, nesting_after_a_single_quoted_value_that_holds_a_double_quote) {
    expect_connection_ended("300 levels after a='1\"",
                            "<x a='1\">" + repeated("<c>", 300) + repeated("</c>", 300) + "</x>");
}

// gloox opens an element for every processing instruction.
TEST(Hostile_Parser, repeated_processing_instructions) {
    expect_connection_ended("300 instructions", repeated("<?c ?>", 300));
}

// One instruction between stanzas would put every later stanza inside it.
TEST(Hostile_Parser, a_processing_instruction_between_stanzas) {
    expect_connection_ended("an instruction between two chats", chat("before") + "<?x ?>" + chat("after"),
                            {"on_message(from=bob, body=before, time=1234)"});
}

// The XML declaration a server writes before each stream header still
// passes (the scripted peer writes it at the login's stream restart too).
TEST(Hostile_Parser, the_declaration_between_stanzas_is_read_as_gloox_reads_it) {
    Wire_Host host;
    ASSERT_TRUE(host.log_in_to_listen());
    host.peer.send_raw(chat("one") + "<?xml version='1.0'?>" + chat("two"));
    ASSERT_TRUE(host.poll_until([&] { return host.handler.events.size() >= 2; }));
    EXPECT_EQ(host.handler.take(),
              (Strings{"on_message(from=bob, body=one, time=1234)", "on_message(from=bob, body=two, time=1234)"}));
    EXPECT_EQ(host.state(), STATE_CONNECTED);
}

// The server's end of the stream ends the connection, though TCP stays open.
TEST(Hostile_Parser, the_servers_end_of_the_stream_with_the_connection_left_open) {
    expect_connection_ended("the end of the stream alone", "</stream:stream>");
    expect_connection_ended("a chat, then the end of the stream", chat("last") + "</stream:stream>" + chat("never"),
                            {"on_message(from=bob, body=last, time=1234)"});
}

// Compressed input would pass every guard of the socket unread: a server's
// offer of compression is ignored on both streams and the chat stays plain.
TEST(Hostile_Parser, an_offer_of_stream_compression_is_never_taken) {
    for (const std::string mechanism : {"PLAIN", "SCRAM-SHA-1"}) {
        SCOPED_TRACE(mechanism);
        Wire_Host host;
        host.peer.add_account("_qm9i", "pw");
        host.peer.set_sasl_mechanisms({mechanism});
        host.peer.set_offer_compression(true);
        ASSERT_TRUE(host.log_in());
        host.manager->send_message(1, u"bob", u"plain");
        EXPECT_TRUE(host.poll_until([&] { return host.sent_messages().size() == 2; }));  // own copy, message
        host.peer.send_raw(chat("back"));
        EXPECT_TRUE(host.poll_until([&] { return host.handler.count("on_message(from=bob, body=back") == 1; }));
        EXPECT_TRUE(named(host.peer.stanzas(), "compress").empty());
    }
}
