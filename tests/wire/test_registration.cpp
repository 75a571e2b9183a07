// SPDX-License-Identifier: GPL-3.0-or-later
// Registration and login against a scripted server: every answer a server
// may give to the registration requests, and what the host hears.
#include "wire/wire_host.hpp"

#include <gtest/gtest.h>

using namespace velta_test;
using namespace Velta_Client;
using Strings = std::vector<std::string>;

namespace {

// The registration sets (account-creation requests) the client sent.
std::vector<Recorded> creation_requests(Scripted_Peer& peer) {
    std::vector<Recorded> out;
    for (const auto& iq : named(peer.stanzas(), "iq"))
        if (iq.attribute("type") == "set" && iq.raw.find("jabber:iq:register") != std::string::npos)
            out.push_back(iq);
    return out;
}

}  // namespace

TEST(Registration, a_new_user_registers_under_the_escaped_name_and_logs_in) {
    Wire_Host host("Bob");
    host.manager->start();
    EXPECT_EQ(host.state(), STATE_REGISTERING);
    host.manager->start();   // ignored outside idle
    host.manager->logout();  // ignored outside connected
    ASSERT_TRUE(host.poll_until([&] { return host.state() == STATE_CONNECTED; }));
    host.poll_for(100ms);

    EXPECT_EQ(host.handler.take(), Strings{"on_connected()"});
    EXPECT_EQ(host.peer.password_of("_qm9i"), "pw");
    EXPECT_EQ(host.peer.connections_accepted(), 2);
    const auto auth = named(host.peer.stanzas(), "auth");
    ASSERT_EQ(auth.size(), 1u);
    EXPECT_EQ(auth[0].attribute("mechanism"), "PLAIN");
    EXPECT_EQ(host.peer.bound_jid().rfind("_qm9i@localhost/", 0), 0u);
}

TEST(Registration, an_existing_account_or_a_taken_name_leads_to_login_without_error) {
    for (const bool registered_answer : {true, false}) {
        Wire_Host host("Bob");
        host.peer.add_account("_qm9i", "pw");
        if (registered_answer) host.peer.set_registration_fields(Scripted_Peer::registered_fields("_qm9i", "pw"));
        ASSERT_TRUE(host.log_in());
        host.handler.take();
        host.poll_for(100ms);
        EXPECT_TRUE(host.handler.events.empty()) << registered_answer;
        // gloox reports the fields after "registered" too, and they are always answered.
        EXPECT_EQ(creation_requests(host.peer).size(), 1u);
        EXPECT_EQ(host.peer.connections_accepted(), 2);
    }
}

TEST(Registration, a_refused_creation_reports_and_stays_registering) {
    Wire_Host host;
    host.peer.push_registration_outcome("not-acceptable");
    host.manager->start();
    ASSERT_TRUE(host.poll_until([&] { return host.handler.count("on_error") > 0; }));
    host.poll_for(150ms);
    EXPECT_EQ(host.handler.take(), Strings{"on_error(code=2, message=register failed.)"});
    EXPECT_EQ(host.state(), STATE_REGISTERING);
    host.manager->start();
    host.manager->logout();
    EXPECT_EQ(host.state(), STATE_REGISTERING);

    // Only the server ending the connection brings it back to idle.
    host.peer.close_connection();
    ASSERT_TRUE(host.poll_until([&] { return host.state() == STATE_IDLE; }));
    EXPECT_EQ(host.handler.take(), Strings{"on_disconnected()"});
}

TEST(Registration, a_wrong_password_gives_one_error_and_idle_in_the_same_poll) {
    Wire_Host host("Bob", "wrong");
    host.peer.add_account("_qm9i", "right");
    host.manager->start();
    ASSERT_TRUE(host.poll_until([&] { return host.handler.count("on_error") > 0; }));
    EXPECT_EQ(host.state(), STATE_IDLE);
    host.poll_for(100ms);
    EXPECT_EQ(host.handler.take(),
              Strings{"on_error(code=2, message=register failed.\n already have such user with different password)"});
}

TEST(Registration, a_data_form_goes_back_filled_in_and_one_login_follows) {
    Wire_Host host("Bob", "sésame");
    host.peer.set_registration_fields(Scripted_Peer::data_form_fields());
    ASSERT_TRUE(host.log_in());
    host.handler.take();
    host.poll_for(150ms);
    EXPECT_TRUE(host.handler.events.empty());

    const auto requests = creation_requests(host.peer);
    ASSERT_EQ(requests.size(), 2u);  // the form, then the legacy fields
    const std::string& form = requests[0].raw;
    EXPECT_NE(form.find("type='submit'"), std::string::npos) << form;
    EXPECT_NE(form.find("<value>_qm9i</value>"), std::string::npos) << form;
    EXPECT_NE(form.find("<value>s\xC3\xA9same</value>"), std::string::npos) << form;
    EXPECT_NE(form.find("FORM_TYPE"), std::string::npos) << form;
    // Both results say go: still one login connection.
    EXPECT_EQ(host.peer.connections_accepted(), 2);
}

TEST(Registration, a_refused_form_reports_once_and_the_fields_still_log_in) {
    Wire_Host host;
    host.peer.set_registration_fields(Scripted_Peer::data_form_fields());
    host.peer.push_registration_outcome("not-acceptable");
    host.manager->start();
    ASSERT_TRUE(host.poll_until([&] { return host.state() == STATE_CONNECTED; }));
    host.poll_for(100ms);
    EXPECT_EQ(host.handler.take(), (Strings{"on_error(code=2, message=register failed.)", "on_connected()"}));
}

TEST(Registration, an_out_of_band_redirect_reports_its_text_and_resets) {
    struct Case {
        std::optional<std::string> url, desc;
        std::string message;
    };
    for (const Case& c : {Case{"u", "see web", "register failed.\nsee web\nurl: u"},
                          Case{std::nullopt, std::nullopt, "register failed.\n\nurl: "},
                          Case{"http://x/é", "voir là", "register failed.\nvoir là\nurl: http://x/é"}}) {
        Wire_Host host;
        host.peer.set_registration_fields(Scripted_Peer::out_of_band_fields(c.url, c.desc));
        host.manager->start();
        ASSERT_TRUE(host.poll_until([&] { return host.handler.count("on_error") > 0; }));
        EXPECT_EQ(host.state(), STATE_IDLE);
        host.poll_for(200ms);  // the late result of the fields request changes nothing
        EXPECT_EQ(host.handler.take(), Strings{"on_error(code=2, message=" + c.message + ")"});
        EXPECT_EQ(host.state(), STATE_IDLE);
    }
}

TEST(Registration, a_server_offering_starttls_cannot_be_used) {
    Wire_Host host;
    host.peer.set_offer_starttls(true);
    host.manager->start();
    ASSERT_TRUE(host.poll_until([&] { return host.state() == STATE_IDLE; }));
    EXPECT_EQ(host.handler.take(), Strings{"on_disconnected()"});
    EXPECT_EQ(named(host.peer.stanzas(), "starttls").size(), 1u);
    EXPECT_TRUE(creation_requests(host.peer).empty());
}

TEST(Registration, anonymous_login_is_never_used_for_registration) {
    Wire_Host host;
    host.peer.set_sasl_mechanisms({"ANONYMOUS", "PLAIN"});
    ASSERT_TRUE(host.log_in());
    for (const auto& auth : named(host.peer.stanzas(), "auth")) EXPECT_EQ(auth.attribute("mechanism"), "PLAIN");
    EXPECT_EQ(creation_requests(host.peer).size(), 1u);
}
