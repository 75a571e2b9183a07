// SPDX-License-Identifier: GPL-3.0-or-later
/// \file
/// The words for why a connection ended: a stable name for each End_Cause
/// and the phrases that the library's Connection_End texts and velta-check's
/// verdicts are made of, so that both say the same thing the same way.
/// Header only; the standard library and velta_client.hpp only.
#ifndef VELTA_CLIENT_END_WORDS_HPP
#define VELTA_CLIENT_END_WORDS_HPP

#include <velta_client/velta_client.hpp>

namespace Velta_Client::end_words {

/// "logged_out", "refused", ...: one word per cause, for logs and JSON;
/// "unknown" for a number this copy of the header does not know.
inline constexpr const char* name(End_Cause cause) {
    switch (cause) {
    case END_NONE: return "none";
    case END_LOGGED_OUT: return "logged_out";
    case END_REFUSED: return "refused";
    case END_UNREACHABLE: return "unreachable";
    case END_DEADLINE: return "deadline";
    case END_NO_ADDRESS: return "no_address";
    case END_STARTTLS: return "starttls";
    case END_STREAM_ERROR: return "stream_error";
    case END_CLOSED_BY_SERVER: return "closed_by_server";
    case END_DEAD_LINK: return "dead_link";
    case END_AUTHENTICATION_FAILED: return "authentication_failed";
    case END_REGISTRATION_REFUSED: return "registration_refused";
    case END_BINDING_REFUSED: return "binding_refused";
    case END_PROTOCOL: return "protocol";
    case END_USER_NAME: return "user_name";
    }
    return "unknown";
}

// What happened, in the words both the library and velta-check print.
inline constexpr const char* logged_out = "the host logged out";
inline constexpr const char* nothing_listens = "nothing listens";
inline constexpr const char* cannot_find_address = "cannot find the address of";  // + " \"name\""
inline constexpr const char* empty_server = "the server string is empty";
inline constexpr const char* not_an_address = "is neither an IP address nor a host name";  // "\"x\" " + this
inline constexpr const char* no_answer_within = "no answer within";                    // + " 15 s"
inline constexpr const char* offers_starttls = "the server offers STARTTLS; the library never uses TLS";
inline constexpr const char* not_localhost = "the server does not serve the domain \"localhost\"";
inline constexpr const char* stream_error = "stream error";  // + " <condition>"
inline constexpr const char* ended_stream = "the server ended the stream";
inline constexpr const char* closed_connection = "the server closed the connection";
inline constexpr const char* link_broke = "the connection broke";  // + " (<system's words>)"
inline constexpr const char* probes_unanswered = "more than 100 keep-alive probes unanswered; the connection is left open";
inline constexpr const char* write_buffer_full = "16 MiB waited to be written: the server reads nothing";
inline constexpr const char* login_refused = "the server refused the login";  // + " (<condition>)"
inline constexpr const char* no_mechanism = "no login mechanism the library can use";
inline constexpr const char* registration_refused = "the server refused to create the account";  // + " (<condition>)"
inline constexpr const char* registration_elsewhere = "the server sends registration elsewhere";
inline constexpr const char* binding_refused = "the server refused to bind the login";  // + " (<condition>)"
inline constexpr const char* broke_protocol = "the server broke the protocol";         // + ": <what>"
inline constexpr const char* user_name_too_long = "the user name is too long to become an address";

}  // namespace Velta_Client::end_words

#endif
