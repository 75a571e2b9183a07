// SPDX-License-Identifier: GPL-3.0-or-later
// Why the last connection ended, as the host reads it with get_last_end()
// after the callback that reported the end: one test per cause, each reached
// the way a host meets it.
#include "support/loopback.hpp"
#include "wire/wire_host.hpp"

#include <velta_client/end_words.hpp>

#include <gtest/gtest.h>

using namespace velta_test;
using namespace Velta_Client;
using Strings = std::vector<std::string>;
using namespace std::chrono_literals;

namespace {

// The cause, and a text that holds every fragment.
void expect_end(Host& host, End_Cause cause, std::initializer_list<std::string> fragments) {
    const Connection_End end = host.manager->get_last_end();
    EXPECT_EQ(end_words::name(end.cause), std::string(end_words::name(cause)));
    for (const std::string& fragment : fragments)
        EXPECT_NE(utf8(end.text).find(fragment), std::string::npos) << utf8(end.text) << " lacks " << fragment;
}

// A host logged in to its peer, then the server does `act`; polls until the
// host heard the end.
template <class Act>
void after_login(Wire_Host& host, Act act) {
    ASSERT_TRUE(host.log_in());
    host.handler.take();
    act();
    ASSERT_TRUE(host.poll_until([&] { return host.state() == STATE_IDLE; }));
    EXPECT_GE(host.handler.count("on_disconnected"), 1u);
}

// Started where the end is known at once: the next poll reports it.
void start_and_poll(Host& host) {
    host.start();
    host.poll();
    EXPECT_EQ(host.handler.take(), Strings{"on_disconnected()"});
}

}  // namespace

TEST(End_Causes, none_until_an_end_then_logged_out_kept_through_the_next_start) {
    Wire_Host host;
    EXPECT_EQ(host.manager->get_last_end().cause, END_NONE);
    EXPECT_TRUE(host.manager->get_last_end().text.empty());
    ASSERT_TRUE(host.log_in());
    EXPECT_EQ(host.manager->get_last_end().cause, END_NONE);
    host.manager->logout();
    expect_end(host, END_LOGGED_OUT, {host.peer.address() + ":5222: ", end_words::logged_out});
    host.poll();
    ASSERT_TRUE(host.log_in());  // a start does not clear it; the next end replaces it
    expect_end(host, END_LOGGED_OUT, {end_words::logged_out});
}

TEST(End_Causes, refused) {
    Host_At host(refusing_loopback_address());
    start_and_poll(host);
    expect_end(host, END_REFUSED, {refusing_loopback_address() + ":5222: " + end_words::nothing_listens});
}

TEST(End_Causes, unreachable) {
    // TCP never connects to a broadcast address: the kernel says at once
    // that the network is unreachable, and nothing leaves the machine.
    Host_At host("255.255.255.255");
    start_and_poll(host);
    expect_end(host, END_UNREACHABLE, {"255.255.255.255:5222: "});
}

TEST(End_Causes, deadline) {
    Wire_Host host;
    host.peer.set_silent(true);
    host.start();
    ASSERT_TRUE(host.peer.wait_for([&] { return !host.peer.stanzas().empty(); }, 2s, [&] { host.poll(); }));
    host.clock.time += 16;
    host.poll();
    EXPECT_EQ(host.handler.take(), Strings{"on_disconnected()"});
    expect_end(host, END_DEADLINE, {host.peer.address() + ":5222: ", std::string(end_words::no_answer_within) + " 15 s"});
}

TEST(End_Causes, no_address) {
    for (const auto& [server, words] : {std::pair<std::string, std::string>{"", end_words::empty_server},
                                        {"not a host!", end_words::not_an_address}}) {
        Host_At host(server);
        start_and_poll(host);
        expect_end(host, END_NO_ADDRESS, {words});
    }
}

TEST(End_Causes, starttls) {
    Wire_Host host;
    host.peer.set_offer_starttls(true);
    EXPECT_FALSE(host.log_in());
    expect_end(host, END_STARTTLS, {host.peer.address() + ":5222: ", end_words::offers_starttls});
}

TEST(End_Causes, stream_error_with_its_condition) {
    Wire_Host host;
    after_login(host, [&] {
        host.peer.send_raw("<stream:error><policy-violation xmlns='urn:ietf:params:xml:ns:xmpp-streams'/>"
                           "<text xmlns='urn:ietf:params:xml:ns:xmpp-streams'>too fast</text></stream:error>");
    });
    expect_end(host, END_STREAM_ERROR, {"stream error policy-violation", "too fast"});

    Wire_Host other;
    after_login(other, [&] {
        other.peer.send_raw("<stream:error><host-unknown xmlns='urn:ietf:params:xml:ns:xmpp-streams'/></stream:error>");
    });
    expect_end(other, END_STREAM_ERROR, {end_words::not_localhost, "host-unknown"});
}

TEST(End_Causes, closed_by_the_server) {
    Wire_Host host;
    after_login(host, [&] { host.peer.close_connection(true); });
    expect_end(host, END_CLOSED_BY_SERVER, {host.peer.address() + ":5222: " + end_words::ended_stream});
    // The repeated notice of the lost login still reads the loss.
    host.handler.take();
    host.poll();
    EXPECT_EQ(host.handler.take(), Strings{"on_disconnected()"});
    EXPECT_EQ(host.manager->get_last_end().cause, END_CLOSED_BY_SERVER);
}

TEST(End_Causes, dead_link) {
    Wire_Host host;
    after_login(host, [&] { host.peer.reset_connection(); });
    expect_end(host, END_DEAD_LINK, {host.peer.address() + ":5222: " + end_words::link_broke, "reset"});
}

TEST(End_Causes, authentication_failed) {
    Wire_Host host("Bob", "wrong");
    host.peer.add_account("_qm9i", "right");
    EXPECT_FALSE(host.log_in());
    EXPECT_EQ(host.handler.count("on_error"), 1u);
    expect_end(host, END_AUTHENTICATION_FAILED, {end_words::login_refused, "not-authorized"});
}

TEST(End_Causes, registration_refused_stays_the_cause_when_the_server_then_closes) {
    Wire_Host host;
    host.peer.push_registration_outcome("not-acceptable");
    host.start();
    ASSERT_TRUE(host.poll_until([&] { return host.handler.count("on_error") > 0; }));
    expect_end(host, END_REGISTRATION_REFUSED, {end_words::registration_refused, "not-acceptable"});
    host.peer.close_connection();
    ASSERT_TRUE(host.poll_until([&] { return host.state() == STATE_IDLE; }));
    expect_end(host, END_REGISTRATION_REFUSED, {"not-acceptable"});
}

TEST(End_Causes, binding_refused) {
    Wire_Host host;
    host.peer.set_bind_error("conflict");
    EXPECT_FALSE(host.log_in());
    EXPECT_EQ(host.handler.take(), Strings{"on_disconnected()"});
    expect_end(host, END_BINDING_REFUSED, {end_words::binding_refused, "conflict"});
}

TEST(End_Causes, protocol_broken_or_a_bound_passed) {
    Wire_Host host;
    after_login(host, [&] { host.peer.send_raw(std::string(300, '<').insert(0, "<a>")); });
    expect_end(host, END_PROTOCOL, {end_words::broke_protocol});

    Wire_Host forged;
    forged.peer.set_bind_answer("<jid>admin@localhost/x</jid>");
    EXPECT_FALSE(forged.log_in());
    expect_end(forged, END_PROTOCOL, {end_words::broke_protocol, "not the user's own"});
}

TEST(End_Causes, user_name) {
    Host_At host("127.0.0.1", std::string(80, 'x'));
    host.start();
    host.poll();
    EXPECT_EQ(host.handler.count("on_error"), 1u);
    expect_end(host, END_USER_NAME, {end_words::user_name_too_long});
}
