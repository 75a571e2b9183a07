// SPDX-License-Identifier: GPL-3.0-or-later
// Why a connection ended, for the host to ask (get_last_end): the cause
// comes from whoever knew it first: the manager itself (logout, the
// deadline, a refused registration), the client (what it refused), its
// socket (a failed connect, a broken link, input refused), or gloox.
#include "manager/manager.hpp"

#include "manager/xmpp/client_factory.hpp"
#include "manager/xmpp/conditions.hpp"
#include "manager/xmpp/socket_connection.hpp"

#include <velta_client/end_words.hpp>
#include <velta_client/text.hpp>

namespace Velta_Client::detail {

namespace words = end_words;
using xmpp::Link_End;

Connection_End Velta_Manager_Impl::get_last_end() {
    return {last_end_.cause, text::from_utf8(last_end_.detail)};
}

void Velta_Manager_Impl::note_end(End_Cause cause, std::string detail) {
    // The server closing a connection on which it refused the account is
    // how that refusal ends, not a second cause.
    if (registration_refused_ && cause != END_REGISTRATION_REFUSED) return;
    last_end_ = {cause, std::move(detail)};
}

std::string Velta_Manager_Impl::at_server(const std::string& what) {
    if (const std::optional<xmpp::Endpoint> reached = xmpp::reached_endpoint(*client_))
        return xmpp::endpoint_text(*reached) + ": " + what;
    return text::to_utf8(server_) + ": " + what;
}

Link_End Velta_Manager_Impl::disconnect_cause(gloox::ConnectionError reason) {
    if (own_ending_) {
        Link_End own = std::move(*own_ending_);
        own_ending_.reset();
        return own;
    }
    if (client_->refusal().cause != END_NONE) return {client_->refusal().cause, at_server(client_->refusal().detail)};
    if (auto* socket = dynamic_cast<xmpp::Socket_Connection*>(client_->connectionImpl()))
        if (socket->link_end().cause != END_NONE) return socket->link_end();

    switch (reason) {
    case gloox::ConnUserDisconnected:
        return {END_LOGGED_OUT, at_server(words::logged_out)};
    case gloox::ConnStreamError: {
        const std::string condition = xmpp::stream_condition(client_->streamError());
        std::string detail = std::string(words::stream_error) + " " + condition;
        if (condition == "host-unknown") detail = std::string(words::not_localhost) + " (" + detail + ")";
        const std::string& said = client_->streamErrorText();
        if (!said.empty()) detail += ": " + said.substr(0, 200);
        return {END_STREAM_ERROR, at_server(detail)};
    }
    case gloox::ConnStreamVersionError:
        return {END_STREAM_ERROR, at_server(std::string(words::stream_error) + " unsupported-version")};
    case gloox::ConnStreamClosed:
        return {END_CLOSED_BY_SERVER, at_server(words::ended_stream)};
    case gloox::ConnTlsFailed:
    case gloox::ConnTlsNotAvailable:
        return {END_STARTTLS, at_server(words::offers_starttls)};
    case gloox::ConnNoSupportedAuth:
        return {END_AUTHENTICATION_FAILED, at_server(words::no_mechanism)};
    case gloox::ConnAuthenticationFailed:
        if (states_.is(STATE_LOGGING_IN))
            return {END_AUTHENTICATION_FAILED,
                    at_server(std::string(words::login_refused) + " (" +
                              xmpp::sasl_condition(client_->authError()) + ")")};
        return {END_PROTOCOL, at_server(std::string(words::broke_protocol) + ": a login failure after the login")};
    case gloox::ConnParseError:
        return {END_PROTOCOL, at_server(std::string(words::broke_protocol) + ": input that is not XML")};
    case gloox::ConnConnectionRefused:
        return {END_REFUSED, at_server(words::nothing_listens)};
    case gloox::ConnDnsError:
        return {END_NO_ADDRESS, std::string(words::cannot_find_address) + " \"" + text::to_utf8(server_) + "\""};
    default:
        return {END_DEAD_LINK, at_server(words::link_broke)};
    }
}

}  // namespace Velta_Client::detail
