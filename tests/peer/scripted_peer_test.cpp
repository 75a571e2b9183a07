// SPDX-License-Identifier: GPL-3.0-or-later
// The scripted peer against real gloox clients.
#include "peer/scripted_peer.hpp"

#include <gloox/client.h>
#include <gloox/connectionlistener.h>
#include <gloox/dataform.h>
#include <gloox/message.h>
#include <gloox/messagehandler.h>
#include <gloox/oob.h>
#include <gloox/registration.h>
#include <gloox/registrationhandler.h>
#include <gloox/tag.h>

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

using namespace std::chrono_literals;
using velta_test::Recorded;
using velta_test::Scripted_Peer;

namespace {

// A gloox client and the listeners the tests look at.
class Probe : public gloox::ConnectionListener, public gloox::RegistrationHandler, public gloox::MessageHandler {
public:
    // Without credentials, for registration: fetches the fields on connect.
    explicit Probe(const Scripted_Peer& peer) : client(std::make_unique<gloox::Client>("localhost")) {
        client->setSASLMechanisms(gloox::SaslMechAll & ~gloox::SaslMechAnonymous);
        registration = std::make_unique<gloox::Registration>(client.get());
        registration->registerRegistrationHandler(this);
        setup(peer);
    }
    Probe(const Scripted_Peer& peer, const std::string& user, const std::string& password)
        : client(std::make_unique<gloox::Client>(gloox::JID(user + "@localhost"), password)) {
        setup(peer);
    }

    std::unique_ptr<gloox::Client> client;
    std::unique_ptr<gloox::Registration> registration;  // destroyed before its client

    bool connected = false;
    std::optional<gloox::ConnectionError> disconnected;
    bool accept_certificate = false;
    int certificates = 0;
    std::vector<std::string> events;  // registration callbacks, in order
    std::vector<std::string> bodies;  // messages received
    std::string create_user;          // createAccount with these when the fields arrive
    std::string create_password;
    int creations = 1;

    bool done() const { return connected || disconnected.has_value(); }

    void onConnect() override {
        connected = true;
        if (registration) registration->fetchRegistrationFields();
    }
    void onDisconnect(gloox::ConnectionError e) override { disconnected = e; }
    bool onTLSConnect(const gloox::CertInfo&) override {
        ++certificates;
        return accept_certificate;
    }

    void handleRegistrationFields(const gloox::JID&, int fields, std::string instructions) override {
        events.push_back("fields " + std::to_string(fields) + " " + instructions);
        if (create_user.empty()) return;
        gloox::RegistrationFields values;
        values.username = create_user;
        values.password = create_password;
        for (int i = 0; i < creations; ++i) registration->createAccount(fields, values);
    }
    void handleAlreadyRegistered(const gloox::JID&) override { events.push_back("registered"); }
    void handleRegistrationResult(const gloox::JID&, gloox::RegistrationResult result) override {
        events.push_back("result " + std::to_string(result));
    }
    void handleDataForm(const gloox::JID&, const gloox::DataForm& form) override {
        events.push_back("form " + std::to_string(form.fields().size()));
    }
    void handleOOB(const gloox::JID&, const gloox::OOB& oob) override {
        events.push_back("oob " + oob.url() + "|" + oob.desc());
    }
    void handleMessage(const gloox::Message& message, gloox::MessageSession*) override {
        bodies.push_back(message.body());
    }

private:
    void setup(const Scripted_Peer& peer) {
        client->registerConnectionListener(this);
        client->registerMessageHandler(this);
        client->setServer(peer.address());
        client->setPort(Scripted_Peer::port);  // a named port would need /etc/services
    }
};

// Runs the clients until the condition holds.
bool run_until(const Scripted_Peer& peer, const std::vector<Probe*>& probes, const std::function<bool()>& condition) {
    return peer.wait_for(condition, 5s, [&] {
        for (Probe* p : probes) p->client->recv(0);
    });
}

std::vector<std::string> names(const std::vector<Recorded>& records) {
    std::vector<std::string> out;
    for (const auto& r : records) out.push_back(r.name + (r.tag ? " " + r.attribute("type") : ""));
    return out;
}

// Logs user in (the account must exist) and returns the connected probe.
std::unique_ptr<Probe> logged_in(Scripted_Peer& peer, const std::string& user) {
    auto probe = std::make_unique<Probe>(peer, user, *peer.password_of(user));
    EXPECT_TRUE(probe->client->connect(false));
    EXPECT_TRUE(run_until(peer, {probe.get()}, [&] { return probe->done(); }));
    EXPECT_TRUE(probe->connected);
    return probe;
}

TEST(Scripted_Peer, peers_get_distinct_loopback_addresses) {
    Scripted_Peer a;
    Scripted_Peer b;
    EXPECT_EQ(a.address().rfind("127.0.0.", 0), 0u);
    EXPECT_NE(a.address(), "127.0.0.1");
    EXPECT_NE(a.address(), b.address());
}

TEST(Scripted_Peer, registers_then_logs_in_with_overlapping_connections) {
    Scripted_Peer peer;
    Probe reg(peer);
    reg.create_user = "bob";
    reg.create_password = "pw";
    ASSERT_TRUE(reg.client->connect(false));
    ASSERT_TRUE(run_until(peer, {&reg}, [&] { return reg.events.size() >= 2 || reg.disconnected; }));
    EXPECT_EQ(reg.events, (std::vector<std::string>{"fields 5 Choose a user name and password.", "result 0"}));
    EXPECT_EQ(peer.password_of("bob"), "pw");
    EXPECT_EQ(names(peer.stanzas_on(1)), (std::vector<std::string>{"stream:stream ", "iq get", "iq set"}));
    EXPECT_EQ(peer.stanzas_on(1)[2].tag->findChild("query")->findChild("username")->cdata(), "bob");

    // The registration connection stays open while the login runs.
    Probe login(peer, "bob", "pw");
    ASSERT_TRUE(login.client->connect(false));
    ASSERT_TRUE(run_until(peer, {&reg, &login}, [&] { return login.done(); }));
    EXPECT_TRUE(login.connected);
    EXPECT_TRUE(peer.is_open(1));
    EXPECT_EQ(peer.connections_accepted(), 2);
    EXPECT_EQ(peer.bound_connection(), 2);
    EXPECT_EQ(peer.bound_jid(), "bob@localhost/peer-2");
    EXPECT_EQ(login.client->jid().full(), "bob@localhost/peer-2");
    // gloox sends its initial presence just before onConnect.
    ASSERT_TRUE(peer.wait_for([&] { return peer.stanzas_on(2).size() >= 8; }, 2s));
    EXPECT_EQ(names(peer.stanzas_on(2)),
              (std::vector<std::string>{"stream:stream ", "auth ", "stream:stream ", "iq set", "iq set", "iq get",
                                        "iq get", "presence "}));
    EXPECT_EQ(peer.stanzas_on(2)[1].attribute("mechanism"), "PLAIN");
}

TEST(Scripted_Peer, registration_outcomes_follow_the_script_then_the_account_table) {
    Scripted_Peer peer;
    peer.add_account("carol", "old");
    peer.push_registration_outcome("not-acceptable");
    Probe reg(peer);
    reg.create_user = "Carol";  // gloox sends it as given; a server nodepreps it
    reg.create_password = "new";
    reg.creations = 2;
    ASSERT_TRUE(reg.client->connect(false));
    ASSERT_TRUE(run_until(peer, {&reg}, [&] { return reg.events.size() >= 3; }));
    EXPECT_EQ(reg.events[1], "result " + std::to_string(gloox::RegistrationNotAcceptable));
    EXPECT_EQ(reg.events[2], "result " + std::to_string(gloox::RegistrationConflict));
    EXPECT_EQ(peer.password_of("carol"), "old");
    EXPECT_EQ(peer.pending_registration_outcomes(), 0u);
}

TEST(Scripted_Peer, field_presets_reach_the_matching_handlers) {
    struct Case {
        std::string fields;
        std::vector<std::string> events;
    };
    const Case cases[] = {
        // gloox reports the legacy fields even with <registered/>.
        {Scripted_Peer::registered_fields("bob", "pw"), {"registered", "fields 5 "}},
        {Scripted_Peer::data_form_fields(), {"form 3", "fields 5 Choose a user name and password."}},
        {Scripted_Peer::out_of_band_fields("u", "see web"),
         {"oob u|see web", "fields 5 Choose a user name and password."}},
        {Scripted_Peer::out_of_band_fields(std::nullopt, std::nullopt),
         {"oob |", "fields 5 Choose a user name and password."}},
        {"<username/>", {"fields 1 "}},
    };
    for (const Case& c : cases) {
        Scripted_Peer peer;
        peer.set_registration_fields(c.fields);
        Probe reg(peer);
        ASSERT_TRUE(reg.client->connect(false));
        run_until(peer, {&reg}, [&] { return reg.events.size() >= c.events.size(); });
        EXPECT_EQ(reg.events, c.events) << c.fields;
    }
}

TEST(Scripted_Peer, wrong_password_ends_with_authentication_failed) {
    Scripted_Peer peer;
    peer.add_account("bob", "pw");
    Probe login(peer, "bob", "wrong");
    ASSERT_TRUE(login.client->connect(false));
    ASSERT_TRUE(run_until(peer, {&login}, [&] { return login.done(); }));
    EXPECT_FALSE(login.connected);
    EXPECT_EQ(login.disconnected, gloox::ConnAuthenticationFailed);
    EXPECT_EQ(peer.bound_connection(), 0);

    peer.set_auth_mode(velta_test::Auth_Mode::always_succeed);
    Probe forced(peer, "nobody", "x");
    ASSERT_TRUE(forced.client->connect(false));
    ASSERT_TRUE(run_until(peer, {&forced}, [&] { return forced.done(); }));
    EXPECT_TRUE(forced.connected);
}

TEST(Scripted_Peer, starttls_offer_ends_the_connection_when_the_certificate_is_refused) {
    Scripted_Peer peer;
    peer.set_offer_starttls(true);
    Probe refusing(peer);
    ASSERT_TRUE(refusing.client->connect(false));
    ASSERT_TRUE(run_until(peer, {&refusing}, [&] { return refusing.done(); }));
    EXPECT_EQ(refusing.disconnected, gloox::ConnTlsFailed);
    EXPECT_EQ(refusing.certificates, 1);
    EXPECT_EQ(names(peer.stanzas_on(1)), (std::vector<std::string>{"stream:stream ", "starttls "}));

    // A client that accepts the certificate goes on over TLS.
    Probe accepting(peer);
    accepting.accept_certificate = true;
    ASSERT_TRUE(accepting.client->connect(false));
    ASSERT_TRUE(run_until(peer, {&accepting}, [&] { return accepting.events.size() >= 1 || accepting.disconnected; }));
    EXPECT_TRUE(accepting.connected);
    EXPECT_EQ(names(peer.stanzas_on(2)),
              (std::vector<std::string>{"stream:stream ", "starttls ", "stream:stream ", "iq get"}));

    // Without TLS the offer is passed over.
    Probe plain(peer);
    plain.client->setTls(gloox::TLSDisabled);
    ASSERT_TRUE(plain.client->connect(false));
    ASSERT_TRUE(run_until(peer, {&plain}, [&] { return plain.done(); }));
    EXPECT_TRUE(plain.connected);
    EXPECT_EQ(plain.certificates, 0);
}

TEST(Scripted_Peer, echoes_and_records_messages_byte_exact) {
    Scripted_Peer peer;
    peer.add_account("bob", "pw");
    auto bob = logged_in(peer, "bob");
    const gloox::JID self = bob->client->jid();

    peer.set_echo(false);
    bob->client->send(gloox::Message(gloox::Message::Chat, self, "dropped"));
    ASSERT_TRUE(run_until(peer, {bob.get()}, [&] { return peer.messages().size() == 1; }));
    peer.set_echo(true);
    bob->client->send(gloox::Message(gloox::Message::Chat, self, "a < b & 'c'"));
    ASSERT_TRUE(run_until(peer, {bob.get()}, [&] { return !bob->bodies.empty(); }));
    EXPECT_EQ(bob->bodies, (std::vector<std::string>{"a < b & 'c'"}));

    const std::vector<Recorded> messages = peer.messages();
    ASSERT_EQ(messages.size(), 2u);
    const Recorded& m = messages[1];
    EXPECT_EQ(m.connection, 1);
    EXPECT_EQ(m.attribute("to"), self.full());
    EXPECT_EQ(m.child_text("body"), "a < b & 'c'");
    // The record holds exactly the bytes gloox wrote.
    EXPECT_EQ(m.raw, "<message to='bob@localhost/peer-1' type='chat' from='bob@localhost/peer-1' "
                     "xmlns='jabber:client'><body>a &lt; b &amp; &apos;c&apos;</body></message>");
}

TEST(Scripted_Peer, routes_messages_between_its_connections) {
    Scripted_Peer peer;
    peer.add_account("bob", "pw");
    peer.add_account("alice", "pw");
    auto bob = logged_in(peer, "bob");
    auto alice = logged_in(peer, "alice");
    bob->client->send(gloox::Message(gloox::Message::Chat, gloox::JID("alice@localhost"), "hi alice"));
    ASSERT_TRUE(run_until(peer, {bob.get(), alice.get()}, [&] { return !alice->bodies.empty(); }));
    EXPECT_EQ(alice->bodies, (std::vector<std::string>{"hi alice"}));
    EXPECT_TRUE(bob->bodies.empty());
}

TEST(Scripted_Peer, injects_stanzas_and_connection_failures) {
    Scripted_Peer peer;
    peer.add_account("bob", "pw");
    auto bob = logged_in(peer, "bob");
    ASSERT_TRUE(peer.send_raw("<message from='admin@localhost' type='chat'><body>injected</body></message>"));
    ASSERT_TRUE(run_until(peer, {bob.get()}, [&] { return !bob->bodies.empty(); }));
    EXPECT_EQ(bob->bodies, (std::vector<std::string>{"injected"}));

    ASSERT_TRUE(peer.close_connection());
    ASSERT_TRUE(run_until(peer, {bob.get()}, [&] { return bob->disconnected && !peer.is_open(1); }));
    EXPECT_EQ(bob->disconnected, gloox::ConnStreamClosed);

    auto again = logged_in(peer, "bob");
    ASSERT_TRUE(peer.reset_connection());
    ASSERT_TRUE(run_until(peer, {again.get()}, [&] { return again->disconnected.has_value(); }));
    EXPECT_EQ(again->disconnected, gloox::ConnIoError);
    EXPECT_FALSE(peer.send_raw("<message/>"));
}

TEST(Scripted_Peer, silent_mode_records_but_never_answers) {
    Scripted_Peer peer;
    peer.set_silent(true);
    Probe reg(peer);
    ASSERT_TRUE(reg.client->connect(false));
    EXPECT_TRUE(run_until(peer, {&reg}, [&] { return !peer.stanzas().empty(); }));
    EXPECT_FALSE(peer.wait_for([&] { return reg.done(); }, 300ms, [&] { reg.client->recv(0); }));
    EXPECT_EQ(peer.stanzas()[0].attribute("to"), "localhost");
}

}  // namespace
