// SPDX-License-Identifier: GPL-3.0-or-later
// start, logout, the connection listener, and the two deferred steps that
// replace the gloox client.
#include "manager/manager.hpp"

#include "manager/constants.hpp"
#include "manager/xmpp/client_factory.hpp"
#include "manager/xmpp/private_rand.hpp"
#include "text/escaping.hpp"
#include "text/utf8.hpp"

#include <velta_client/end_words.hpp>

namespace Velta_Client::detail {

using Event = Connection_States::Event;
using text_encoding::to_utf8;
using text_encoding::user_name_to_node;

void Velta_Manager_Impl::start() {
    if (!states_.allows(Event::started)) return;
    registration_refused_ = false;

    // A name that cannot become an address would be refused by every server;
    // say so instead of opening a connection that cannot succeed. Like every
    // other refusal it passes through resetting, so that a host retrying
    // from on_error is refused until the reset has run.
    if (!user_name_to_node(to_utf8(user_))) {
        report_error("register failed.\n user name too long");
        note_end(END_USER_NAME, end_words::user_name_too_long);
        end_connection(Event::start_refused);
        return;
    }

    states_.on(Event::started);
    begin_connect_deadline();
    const xmpp::Private_Rand rand_scope;
    client_->setServer(to_utf8(server_));
    client_->registerConnectionListener(this);
    registration_->registerRegistrationHandler(this);

    // gloox refuses to begin (an empty address) without calling anyone back;
    // end that attempt like an unreachable server.
    if (!client_->connect(false) && states_.allows(Event::registration_connect_refused)) {
        note_end(END_NO_ADDRESS, server_.empty() ? std::string(end_words::empty_server)
                                                 : at_server("the connection could not begin"));
        queue_handler_call(events::handler_call(handler_, &Handler::on_disconnected));
        end_connection(Event::registration_connect_refused);
    }
}

void Velta_Manager_Impl::logout() {
    if (!states_.is(STATE_CONNECTED)) return;
    logged_in_ = false;
    own_ending_ = xmpp::Link_End{END_LOGGED_OUT, at_server(end_words::logged_out)};
    const xmpp::Private_Rand rand_scope;
    client_->disconnect();  // calls onDisconnect before it returns
    own_ending_.reset();
}

void Velta_Manager_Impl::onConnect() {
    if (states_.is(STATE_REGISTERING)) {
        if (registration_) registration_->fetchRegistrationFields();
    } else if (states_.allows(Event::logged_in)) {
        logged_in_ = true;
        awaiting_outcome_ = false;
        states_.on(Event::logged_in);
        // Probes lost on an earlier connection say nothing about this one.
        unanswered_probes_ = 0;
        xmpp::drop_unread_extensions(*client_);
        queue_handler_call(events::handler_call(handler_, &Handler::on_connected));
    }
}

void Velta_Manager_Impl::onDisconnect(gloox::ConnectionError reason) {
    if (!states_.allows(Event::disconnected)) return;
    xmpp::Link_End cause = disconnect_cause(reason);
    note_end(cause.cause, std::move(cause.detail));
    // Only a login can be refused; a server that sends a SASL failure into
    // an established session has ended a link like any other.
    if (reason == gloox::ConnAuthenticationFailed && states_.is(STATE_LOGGING_IN))
        report_error("register failed.\n already have such user with different password");
    else
        queue_handler_call(events::handler_call(handler_, &Handler::on_disconnected));
    end_connection(Event::disconnected);
}

void Velta_Manager_Impl::begin_connect_deadline() {
    connect_started_ = clock_->now();
    awaiting_outcome_ = true;
}

void Velta_Manager_Impl::queue_login_step() {
    awaiting_outcome_ = false;
    queue_->append([this] { login_step(); });
}

void Velta_Manager_Impl::check_connect_deadline() {
    if (!awaiting_outcome_ || !states_.allows(Event::connect_deadline_passed)) return;
    // Wrapping difference, as for the probes: the host's clock may pass 2038.
    const std::int32_t now = clock_->now();
    const auto waited =
        static_cast<std::int32_t>(static_cast<std::uint32_t>(now) - static_cast<std::uint32_t>(connect_started_));
    // A clock set back counts again from where it now stands: a negative
    // wait would otherwise hold the deadline off for as long as it was set back.
    if (waited < 0) connect_started_ = now;
    if (waited <= connect_deadline_seconds) return;
    awaiting_outcome_ = false;
    const bool connected = xmpp::reached_endpoint(*client_).has_value();
    const std::string seconds = std::to_string(connect_deadline_seconds) + " s";
    own_ending_ = xmpp::Link_End{END_DEADLINE, connected
                                                   ? at_server(std::string(end_words::no_answer_within) + ' ' + seconds)
                                                   : at_server("no connection within " + seconds)};
    {
        const xmpp::Private_Rand rand_scope;
        client_->disconnect();  // a connection still being set up reports the loss
    }
    if (own_ending_) {  // nobody reported the loss: the manager does
        note_end(own_ending_->cause, std::move(own_ending_->detail));
        own_ending_.reset();
    }
    if (states_.allows(Event::connect_deadline_passed)) {
        queue_handler_call(events::handler_call(handler_, &Handler::on_disconnected));
        end_connection(Event::connect_deadline_passed);
    }
}

// Every certificate is refused: the library speaks to servers without TLS only.
bool Velta_Manager_Impl::onTLSConnect(const gloox::CertInfo&) { return false; }

void Velta_Manager_Impl::end_connection(Connection_States::Event event) {
    states_.on(event);
    queue_->append([this] { reset_step(); });
}

void Velta_Manager_Impl::report_error(const std::string& message) {
    queue_handler_call(events::handler_call(handler_, &Handler::on_error, Error(message, 2)));
}

void Velta_Manager_Impl::reset_step() {
    if (!states_.allows(Event::reset_step)) return;
    states_.on(Event::reset_step);
    rebuild_idle_client();
}

void Velta_Manager_Impl::end_after_failure() {
    if (!states_.allows(Event::failed_inside)) return;
    note_end(END_PROTOCOL,
             at_server(std::string(end_words::broke_protocol) + ": a failure inside gloox while reading its input"));
    queue_handler_call(events::handler_call(handler_, &Handler::on_disconnected));
    end_connection(Event::failed_inside);
}

void Velta_Manager_Impl::rebuild_idle_client() {
    const xmpp::Private_Rand rand_scope;
    registration_.reset();
    xmpp::detach(*client_, *this);
    client_.reset();
    xmpp::build_registration_client(client_);
    registration_.emplace(&*client_);
}

void Velta_Manager_Impl::login_step() {
    if (!states_.allows(Event::account_ready)) return;
    const std::optional<std::string> node = user_name_to_node(to_utf8(user_));
    if (!node) return;  // start() refuses such names
    states_.on(Event::account_ready);
    const xmpp::Private_Rand rand_scope;

    // The login goes where the registration went, without a second lookup;
    // the server string is looked up again only if that endpoint fails.
    const std::optional<xmpp::Endpoint> reached = xmpp::reached_endpoint(*client_);

    // The registration client is still connected; detached first, its
    // farewell does not reach the manager.
    registration_.reset();
    xmpp::detach(*client_, *this);
    client_.reset();

    gloox::JID jid;
    jid.setServer(xmpp_domain);
    jid.setUsername(*node);
    xmpp::build_login_client(client_, jid, to_utf8(password_), scram_keys_);
    client_->read_messages_with(this);
    client_->registerConnectionListener(this);
    client_->setServer(to_utf8(server_));
    if (reached) xmpp::prefer_endpoint(*client_, *reached);
    begin_connect_deadline();

    bool connecting = false;
    try {
        connecting = client_->connect(false);
    } catch (...) {
        // Runs inside the host's poll, where only the host's own exceptions
        // may come out.
    }
    if (!connecting && states_.allows(Event::login_connect_refused)) {
        note_end(END_UNREACHABLE, at_server("the login connection could not begin"));
        queue_handler_call(events::handler_call(handler_, &Handler::on_disconnected));
        end_connection(Event::login_connect_refused);
    }
}

}  // namespace Velta_Client::detail
