// SPDX-License-Identifier: GPL-3.0-or-later
#include "manager/xmpp/checked_client.hpp"

#include "manager/xmpp/conditions.hpp"

#include <velta_client/end_words.hpp>

#include <gloox/base64.h>
#include <gloox/gloox.h>
#include <gloox/tag.h>

#include <cerrno>
#include <cstdlib>

namespace Velta_Client::detail::xmpp {

namespace {

bool is_sasl(const gloox::Tag& tag, const char* name) {
    return tag.name() == name && tag.xmlns() == gloox::XMLNS_STREAM_SASL;
}

// "<auth xmlns='...' mechanism='SCRAM-SHA-1'>base64</auth>", as gloox
// writes it: the nonce of its client-first-message, or "".
std::string scram_nonce_of(const std::string& xml) {
    if (xml.compare(0, 6, "<auth ") != 0 || xml.find("mechanism='SCRAM-SHA-1'") == std::string::npos) return {};
    const std::size_t open = xml.find('>');
    const std::size_t close = xml.rfind("</auth>");
    if (open == std::string::npos || close == std::string::npos || close < open) return {};
    const std::string message = gloox::Base64::decode64(xml.substr(open + 1, close - open - 1));
    const std::size_t nonce = message.rfind(",r=");
    return nonce == std::string::npos ? std::string() : message.substr(nonce + 3);
}

}  // namespace

bool acceptable_scram_challenge(const std::string& decoded, const std::string& client_nonce) {
    if (client_nonce.empty()) return false;
    // gloox takes the first "r=", "s=" and "i=" wherever they stand, the
    // nonce up to one character before "s=", the salt up to one before
    // "i=", and the count with strtol from after "i=". The same reading
    // here, so that what is checked is what gloox will use.
    const std::size_t r = decoded.find("r=");
    const std::size_t s = decoded.find("s=");
    const std::size_t i = decoded.find("i=");
    if (r == std::string::npos || s == std::string::npos || i == std::string::npos) return false;
    const std::string nonce = decoded.substr(r + 2, s - r - 3);
    const std::string salt = gloox::Base64::decode64(decoded.substr(s + 2, i - s - 3));
    const std::string count_text = decoded.substr(i + 2);
    errno = 0;
    const long count = std::strtol(count_text.c_str(), nullptr, 10);
    if (errno != 0 || count < 1 || count > max_scram_iterations) return false;
    return !salt.empty() && nonce.size() > client_nonce.size() && nonce.compare(0, client_nonce.size(), client_nonce) == 0;
}

Checked_Client::Checked_Client(const std::string& server) : gloox::Client(server) {}

Checked_Client::Checked_Client(const gloox::JID& jid, const std::string& password, int port)
    : gloox::Client(jid, password, port) {
    logInstance().registerLogHandler(gloox::LogLevelDebug, gloox::LogAreaXmlOutgoing, this);
    watching_ = true;
    registerConnectionListener(this);
}

Checked_Client::~Checked_Client() {
    stop_watching();
    removeConnectionListener(this);
}

void Checked_Client::onResourceBindError(const gloox::Error* error) {
    if (!refused_)
        refuse(END_BINDING_REFUSED, std::string(end_words::binding_refused) + " (" + stanza_condition(error) + ")");
}

void Checked_Client::stop_watching() {
    if (!watching_) return;
    watching_ = false;
    logInstance().removeLogHandler(this);
}

void Checked_Client::handleLog(gloox::LogLevel, gloox::LogArea area, const std::string& message) {
    if (area != gloox::LogAreaXmlOutgoing || !client_nonce_.empty()) return;
    client_nonce_ = scram_nonce_of(message);
}

bool Checked_Client::acceptable_challenge(const std::string& payload) {
    // SCRAM-SHA-1 has one challenge; gloox answers every other mechanism's,
    // or a second one, with work the server chooses.
    if (challenged_) return false;
    challenged_ = true;
    return acceptable_scram_challenge(gloox::Base64::decode64(payload), client_nonce_);
}

bool Checked_Client::acceptable_bind(const gloox::Tag& iq) {
    const gloox::Tag* bind = iq.findChild("bind", "xmlns", gloox::XMLNS_STREAM_BIND);
    if (!bind || iq.findAttribute("type") != "result" || jid().username().empty()) return true;
    const gloox::Tag* address = bind->findChild("jid");
    if (!address) return false;
    const gloox::JID bound(address->cdata());
    return bound.username() == jid().username() && bound.server() == "localhost";
}

void Checked_Client::refuse(End_Cause cause, std::string detail) {
    refused_ = true;
    refusal_ = {cause, std::move(detail)};
    stop_watching();
    // Client's own override is private; the stream ends the same way.
    ClientBase::disconnect(gloox::ConnStreamError);
}

void Checked_Client::handleTag(gloox::Tag* tag) {
    if (refused_) return;  // the connection is over; the rest of the read is not ours
    if (tag) {
        if (is_sasl(*tag, "challenge")) {
            if (!acceptable_challenge(tag->cdata())) {
                refuse(END_PROTOCOL, std::string(end_words::broke_protocol) +
                                         ": a SASL challenge the library does not answer (not SCRAM-SHA-1's one, "
                                         "an iteration count outside 1 to 40,000, or a nonce not its own)");
                return;
            }
        } else if (is_sasl(*tag, "success") || is_sasl(*tag, "failure")) {
            stop_watching();
        } else if (tag->name() == "iq" && !acceptable_bind(*tag)) {
            refuse(END_PROTOCOL, std::string(end_words::broke_protocol) +
                                     ": the login was bound to an address that is not the user's own");
            return;
        }
    }
    try {
        gloox::Client::handleTag(tag);
    } catch (...) {
        // Whatever gloox was doing with this element is unfinished: the
        // connection cannot go on.
        refuse(END_PROTOCOL, std::string(end_words::broke_protocol) + ": an element gloox could not handle");
    }
}

}  // namespace Velta_Client::detail::xmpp
