// SPDX-License-Identifier: GPL-3.0-or-later
// The in-memory server on its own: bytes in, bytes out, no transport.
#include "peer/core/xmpp_server.hpp"

#include <gloox/base64.h>

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

using velta_test::Recorded;
using velta_test::Xmpp_Server;

namespace {

const std::string header =
    "<?xml version='1.0' ?><stream:stream to='localhost' xmlns='jabber:client' "
    "xmlns:stream='http://etherx.jabber.org/streams' version='1.0'>";

std::string plain_auth(const std::string& user, const std::string& password) {
    return "<auth xmlns='urn:ietf:params:xml:ns:xmpp-sasl' mechanism='PLAIN'>" +
           gloox::Base64::encode64(std::string(1, '\0') + user + '\0' + password) + "</auth>";
}

// A server whose sessions write into strings, one per session.
struct Bench {
    std::map<int, std::string> written;
    std::vector<Recorded> seen;
    Xmpp_Server server{[this](int session, const std::string& bytes) { written[session] += bytes; },
                       [this](const Recorded& element) { seen.push_back(element); }};

    std::string feed(int session, const std::string& bytes) {
        written[session].clear();
        EXPECT_EQ(server.receive(session, bytes.data(), bytes.size()), bytes.size());
        return written[session];
    }

    // Through the login, up to a bound resource.
    void log_in(int session, const std::string& user, const std::string& resource) {
        server.open(session);
        feed(session, header);
        feed(session, plain_auth(user, "pw"));
        feed(session, header);
        feed(session, "<iq type='set' id='b'><bind xmlns='urn:ietf:params:xml:ns:xmpp-bind'><resource>" + resource +
                          "</resource></bind></iq>");
    }
};

}  // namespace

TEST(Xmpp_Server, answers_a_login_as_the_client_writes_it) {
    Bench bench;
    bench.server.script.accounts["bob"] = "pw";
    bench.server.open(1);

    const std::string features = bench.feed(1, header);
    EXPECT_EQ(features.find("<?xml version='1.0'?><stream:stream "), 0u);
    EXPECT_NE(features.find("<mechanism>PLAIN</mechanism>"), std::string::npos);
    EXPECT_NE(features.find("<register xmlns='http://jabber.org/features/iq-register'/>"), std::string::npos);
    EXPECT_EQ(bench.feed(1, plain_auth("Bob", "pw")), "<success xmlns='urn:ietf:params:xml:ns:xmpp-sasl'/>");
    const std::string bound_features = bench.feed(1, header);
    EXPECT_NE(bound_features.find("<bind xmlns='urn:ietf:params:xml:ns:xmpp-bind'/><session"), std::string::npos);
    EXPECT_EQ(bench.feed(1, "<iq type='set' id='b1'><bind xmlns='urn:ietf:params:xml:ns:xmpp-bind'/></iq>"),
              "<iq type='result' id='b1'><bind xmlns='urn:ietf:params:xml:ns:xmpp-bind'>"
              "<jid>Bob@localhost/peer-1</jid></bind></iq>");
    EXPECT_EQ(bench.server.bound_session(), 1);
    EXPECT_EQ(bench.server.bound_jid(), "Bob@localhost/peer-1");

    ASSERT_EQ(bench.seen.size(), 4u);
    EXPECT_EQ(bench.seen[0].name, "stream:stream");
    EXPECT_EQ(bench.seen[0].raw, header);
    EXPECT_EQ(bench.seen[1].name, "auth");
    EXPECT_EQ(bench.seen[3].name, "iq");
    EXPECT_EQ(bench.seen[3].connection, 1);
}

TEST(Xmpp_Server, bytes_in_any_pieces_get_the_same_answers) {
    const std::string client = header + plain_auth("bob", "pw") + header +
                               "<iq type='set' id='b'><bind xmlns='urn:ietf:params:xml:ns:xmpp-bind'/></iq>"
                               "<iq type='get' id='r'><query xmlns='jabber:iq:roster'/></iq>";
    Bench whole;
    whole.server.script.auth_mode = velta_test::Auth_Mode::always_succeed;
    whole.server.open(1);
    const std::string at_once = whole.feed(1, client);

    Bench bytes;
    bytes.server.script.auth_mode = velta_test::Auth_Mode::always_succeed;
    bytes.server.open(1);
    for (const char ch : client) bytes.server.receive(1, &ch, 1);
    EXPECT_EQ(bytes.written[1], at_once);
    ASSERT_EQ(bytes.seen.size(), whole.seen.size());
    for (std::size_t i = 0; i < whole.seen.size(); ++i) EXPECT_EQ(bytes.seen[i].raw, whole.seen[i].raw);
    EXPECT_NE(at_once.find("<iq type='result' id='r'><query xmlns='jabber:iq:roster'/></iq>"), std::string::npos);
}

TEST(Xmpp_Server, reads_no_further_than_an_accepted_starttls) {
    Bench bench;
    bench.server.script.offer_starttls = true;
    bench.server.open(1);
    EXPECT_NE(bench.feed(1, header).find("<starttls xmlns='urn:ietf:params:xml:ns:xmpp-tls'/>"), std::string::npos);

    const std::string starttls = "<starttls xmlns='urn:ietf:params:xml:ns:xmpp-tls'/>";
    const std::string bytes = starttls + "\x16\x03\x01 a TLS record";
    bench.written[1].clear();
    EXPECT_EQ(bench.server.receive(1, bytes.data(), bytes.size()), starttls.size());
    EXPECT_EQ(bench.written[1], "<proceed xmlns='urn:ietf:params:xml:ns:xmpp-tls'/>");
    EXPECT_TRUE(bench.server.awaits_tls(1));

    // Inside TLS: a new stream, whose features no longer offer TLS.
    bench.server.restart_stream(1);
    EXPECT_FALSE(bench.server.awaits_tls(1));
    EXPECT_EQ(bench.feed(1, header).find("starttls"), std::string::npos);
}

TEST(Xmpp_Server, routes_a_message_to_another_session_and_stamps_the_sender) {
    Bench bench;
    bench.server.script.auth_mode = velta_test::Auth_Mode::always_succeed;
    bench.log_in(1, "alice", "a");
    bench.log_in(2, "bob", "b");
    bench.written.clear();

    bench.feed(1, "<message to='bob@localhost' type='chat'><body>hi</body></message>");
    EXPECT_EQ(bench.written[2],
              "<message from='alice@localhost/a' to='bob@localhost' type='chat'><body>hi</body></message>");
    EXPECT_EQ(bench.written[1], "");

    // A session the transport has lost takes no messages.
    bench.server.forget(2);
    bench.written.clear();
    bench.feed(1, "<message to='bob@localhost'><body>hi</body></message>");
    EXPECT_TRUE(bench.written[2].empty());
}

TEST(Xmpp_Server, a_closing_session_writes_nothing_more) {
    Bench bench;
    bench.server.script.auth_mode = velta_test::Auth_Mode::always_fail;
    bench.server.open(1);
    bench.feed(1, header);
    EXPECT_EQ(bench.feed(1, plain_auth("bob", "pw")),
              "<failure xmlns='urn:ietf:params:xml:ns:xmpp-sasl'><not-authorized/></failure></stream:stream>");
    EXPECT_TRUE(bench.server.closing(1));
    EXPECT_EQ(bench.feed(1, "<iq type='get' id='p'><ping xmlns='urn:xmpp:ping'/></iq>"), "");
    ASSERT_FALSE(bench.seen.empty());
    EXPECT_EQ(bench.seen.back().name, "iq");  // still read and recorded
}
