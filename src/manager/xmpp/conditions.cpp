// SPDX-License-Identifier: GPL-3.0-or-later
#include "manager/xmpp/conditions.hpp"

#include <gloox/error.h>
#include <gloox/tag.h>

#include <iterator>
#include <memory>

namespace Velta_Client::detail::xmpp {

namespace {

// In the order of gloox's StreamError.
constexpr const char* stream_conditions[] = {
    "bad-format",          "bad-namespace-prefix", "conflict",           "connection-timeout",
    "host-gone",           "host-unknown",         "improper-addressing", "internal-server-error",
    "invalid-from",        "invalid-id",           "invalid-namespace",  "invalid-xml",
    "not-authorized",      "policy-violation",     "remote-connection-failed", "resource-constraint",
    "restricted-xml",      "see-other-host",       "system-shutdown",    "undefined-condition",
    "unsupported-encoding", "unsupported-stanza-type", "unsupported-version", "xml-not-well-formed"};
static_assert(std::size(stream_conditions) == gloox::StreamErrorUndefined, "one name per stream error");

// In the order of gloox's AuthenticationError, from SaslAborted.
constexpr const char* sasl_conditions[] = {"aborted",          "incorrect-encoding", "invalid-authzid",
                                           "invalid-mechanism", "malformed-request", "mechanism-too-weak",
                                           "not-authorized",   "temporary-auth-failure"};
static_assert(std::size(sasl_conditions) == gloox::NonSaslConflict - gloox::SaslAborted, "one name per condition");

}  // namespace

std::string stream_condition(gloox::StreamError error) {
    const auto index = static_cast<std::size_t>(error);
    return index < std::size(stream_conditions) ? stream_conditions[index] : "undefined-condition";
}

std::string sasl_condition(gloox::AuthenticationError error) {
    if (error >= gloox::SaslAborted && error < gloox::NonSaslConflict)
        return sasl_conditions[error - gloox::SaslAborted];
    return "undefined-condition";
}

std::string registration_condition(gloox::RegistrationResult result) {
    switch (result) {
    case gloox::RegistrationNotAcceptable: return "not-acceptable";
    case gloox::RegistrationConflict: return "conflict";
    case gloox::RegistrationNotAuthorized: return "not-authorized";
    case gloox::RegistrationBadRequest: return "bad-request";
    case gloox::RegistrationForbidden: return "forbidden";
    case gloox::RegistrationRequired: return "registration-required";
    case gloox::RegistrationUnexpectedRequest: return "unexpected-request";
    case gloox::RegistrationNotAllowed: return "not-allowed";
    case gloox::RegistrationConstraint: return "resource-constraint";
    default: return "undefined-condition";
    }
}

std::string stanza_condition(const gloox::Error* error) {
    if (!error) return "undefined-condition";
    const std::unique_ptr<gloox::Tag> tag(error->tag());
    if (tag)
        for (const gloox::Tag* child : tag->children())
            if (child->xmlns() == gloox::XMLNS_XMPP_STANZAS && child->name() != "text") return child->name();
    return "undefined-condition";
}

}  // namespace Velta_Client::detail::xmpp
