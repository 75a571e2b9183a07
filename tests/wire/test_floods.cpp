// SPDX-License-Identifier: GPL-3.0-or-later
// Floods from the server and bursts from the host: the input is handed on a
// budget at a time over as many polls as it takes, nothing of it is lost;
// what one element may hold is bounded, and past a bound the connection
// ends; a burst of sends is carried whole.
#include "wire/wire_host.hpp"

#include <gtest/gtest.h>

#include <gloox/tag.h>

#include <map>
#include <string>
#include <vector>

using namespace velta_test;
using namespace Velta_Client;
using Strings = std::vector<std::string>;

namespace {

std::string heard_chat(const std::string& body) { return "on_message(from=bob, body=" + body + ", time=1000)"; }

}  // namespace

// ---- floods: everything arrives, in order, over several polls ----------------

TEST(Floods, thousands_of_chat_messages_in_one_write_all_reach_the_host_in_order) {
    Wire_Host host;
    ASSERT_TRUE(host.log_in());
    host.handler.take();
    std::string flood;
    Strings expected;
    for (int i = 0; i < 3000; ++i) {
        flood += chat(std::to_string(i));
        expected.push_back(heard_chat(std::to_string(i)));
    }
    host.peer.send_raw(flood);
    int delivering_polls = 0;
    std::size_t before = 0;
    ASSERT_TRUE(host.poll_until(
        [&] {
            if (host.handler.events.size() > before) ++delivering_polls;
            before = host.handler.events.size();
            return before >= expected.size();
        },
        60s));
    EXPECT_EQ(host.handler.take(), expected);
    EXPECT_GT(delivering_polls, 1);
    EXPECT_EQ(host.state(), STATE_CONNECTED);
}

// Empty messages are the cheapest stanzas to send and among the dearest to
// handle; requests make gloox write an answer each.
TEST(Floods, empty_messages_and_requests_by_the_thousand_are_all_handled) {
    Wire_Host host;
    ASSERT_TRUE(host.log_in());
    host.handler.take();
    host.peer.clear_recorded();
    std::string flood = repeated("<message/>", 20000);
    for (int i = 0; i < 2000; ++i)
        flood += "<iq type='get' id='q" + std::to_string(i) + "' from='localhost'><query xmlns='x:unknown'/></iq>";
    host.peer.send_raw(flood + chat("marker"));
    ASSERT_TRUE(host.poll_until([&] { return host.handler.count("on_message(from=bob, body=marker") > 0; }, 60s));
    EXPECT_EQ(host.handler.take(), Strings{heard_chat("marker")});

    std::vector<std::string> answered;
    ASSERT_TRUE(host.peer.wait_for(
        [&] {
            answered.clear();
            for (const Recorded& stanza : host.peer.stanzas_on(host.peer.bound_connection()))
                if (stanza.name == "iq" && stanza.attribute("type") == "error") answered.push_back(stanza.attribute("id"));
            return answered.size() >= 2000;
        },
        20s, [&] { host.manager->poll(); }));
    ASSERT_EQ(answered.size(), 2000u);
    for (int i = 0; i < 2000; ++i) EXPECT_EQ(answered[i], "q" + std::to_string(i));
    EXPECT_EQ(host.state(), STATE_CONNECTED);
}

// ---- what one element may hold ----------------------------------------------

TEST(Element_Bounds, elements_within_the_bounds_are_delivered) {
    Wire_Host host;
    ASSERT_TRUE(host.log_in());
    const std::string body(60 * 1024, 'x');
    const std::vector<std::string> within = {
        chat(body),
        // The message, its body, two attributes and 1,000 children: 1,004 of 1,024.
        chat("children", repeated("<a/>", 1000)),
        chat("attributes", "", attributes(1000)),
        chat("references &#65533; &#x000041; &amp; &lt;"),
        chat("data", "<x><![CDATA[a & b without an end ;]]></x>"),
    };
    for (const std::string& xml : within) {
        host.handler.take();
        host.peer.send_raw(xml);
        ASSERT_TRUE(host.poll_until([&] { return !host.handler.events.empty(); })) << xml.substr(0, 80);
        EXPECT_EQ(host.handler.events.size(), 1u) << xml.substr(0, 80);
        EXPECT_EQ(host.handler.events[0].rfind("on_message(from=bob, body=", 0), 0u) << xml.substr(0, 80);
        ASSERT_EQ(host.state(), STATE_CONNECTED) << xml.substr(0, 80);
    }
    EXPECT_EQ(host.handler.events[0], heard_chat("data"));
}

// Elements past a bound end the connection: see input_that_ends_the_stream
// in test_bad_input.cpp, which lists them beside the other such input.

// ---- what a logged-in client still answers ----------------------------------

// Ping requests are answered; requests for what the library never reads
// (here service discovery) get an error, and the connection goes on.
TEST(Requests, pings_are_answered_and_other_requests_refused) {
    Wire_Host host;
    ASSERT_TRUE(host.log_in());
    host.peer.clear_recorded();
    host.peer.send_raw("<iq type='get' id='ping1' from='localhost'><ping xmlns='urn:xmpp:ping'/></iq>"
                       "<iq type='get' id='disco1' from='localhost'>"
                       "<query xmlns='http://jabber.org/protocol/disco#info'/></iq>");
    std::map<std::string, std::string> answers;
    ASSERT_TRUE(host.peer.wait_for(
        [&] {
            for (const Recorded& stanza : host.peer.stanzas())
                if (stanza.name == "iq") answers[stanza.attribute("id")] = stanza.attribute("type");
            return answers.size() >= 2;
        },
        10s, [&] { host.manager->poll(); }));
    EXPECT_EQ(answers["ping1"], "result");
    EXPECT_EQ(answers["disco1"], "error");
    EXPECT_EQ(host.state(), STATE_CONNECTED);
}

// ---- bursts from the host ----------------------------------------------------

// Ten thousand chat messages sent in one frame are about 6 MB, more than the
// kernel takes at once: the rest waits and goes out over the next polls.
TEST(Host_Bursts, ten_thousand_messages_in_one_frame_all_reach_the_server) {
    Wire_Host host;
    host.peer.set_echo(false);
    ASSERT_TRUE(host.log_in());
    host.handler.take();
    host.peer.clear_recorded();
    const std::u16string text(200, u'x');
    constexpr std::uint32_t count = 10000;
    for (std::uint32_t id = 1; id <= count; ++id) host.manager->send_message(id, u"alice", text);
    ASSERT_EQ(host.state(), STATE_CONNECTED);

    std::vector<Recorded> sent;
    ASSERT_TRUE(host.peer.wait_for(
        [&] {
            sent = host.sent_messages();
            return sent.size() >= 2 * count;
        },
        120s, [&] { host.manager->poll(); }));
    ASSERT_EQ(sent.size(), 2 * count);
    // Each send is a copy to the sender's own address, then the message.
    for (std::uint32_t id = 1; id <= count; ++id)
        ASSERT_EQ(sent[2 * id - 1].attribute("id"), std::to_string(id)) << id;
    EXPECT_EQ(host.state(), STATE_CONNECTED);
    EXPECT_TRUE(host.handler.events.empty());
}
