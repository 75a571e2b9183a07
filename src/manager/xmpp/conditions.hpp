// SPDX-License-Identifier: GPL-3.0-or-later
// The names XMPP gives the conditions gloox reports as numbers: what the
// host reads in a Connection_End's text ("host-unknown", "not-authorized").
#pragma once

#include <gloox/gloox.h>
#include <gloox/registrationhandler.h>

#include <string>

namespace gloox {
class Error;
}

namespace Velta_Client::detail::xmpp {

std::string stream_condition(gloox::StreamError error);
std::string sasl_condition(gloox::AuthenticationError error);
std::string registration_condition(gloox::RegistrationResult result);
// The defined condition of a stanza error; "undefined-condition" without one.
std::string stanza_condition(const gloox::Error* error);

}  // namespace Velta_Client::detail::xmpp
