// SPDX-License-Identifier: GPL-3.0-or-later
#include "manager/xmpp/checked_client.hpp"

#include "manager/constants.hpp"
#include "manager/xmpp/conditions.hpp"

#include <velta_client/end_words.hpp>

#include <gloox/gloox.h>
#include <gloox/tag.h>

namespace Velta_Client::detail::xmpp {

Checked_Client::Checked_Client(const std::string& server) : gloox::Client(server), scram_(nullptr) {}

Checked_Client::Checked_Client(const gloox::JID& jid, const std::string& password, int port,
                               sasl::Scram_Key_Cache& scram_keys)
    : gloox::Client(jid, password, port), scram_(&scram_keys) {
    registerConnectionListener(this);
}

Checked_Client::~Checked_Client() { removeConnectionListener(this); }

void Checked_Client::onResourceBindError(const gloox::Error* error) {
    if (!refused_)
        refuse(END_BINDING_REFUSED, std::string(end_words::binding_refused) + " (" + stanza_condition(error) + ")");
}

bool Checked_Client::logs_in_next(const gloox::Tag& features) const {
    // gloox's order (Client::handleNormalNode): STARTTLS when offered (the
    // library's TLS object then ends the connection), then the login with
    // the credentials. Compression, which would come between, is off.
    return !authed() && sasl() && !username().empty() && !password().empty() &&
           !features.hasChild("starttls", "xmlns", gloox::XMLNS_STREAM_TLS);
}

gloox::ConnectionError Checked_Client::recv(int timeout) {
    const long began = scram_.computing() ? sasl::thread_cpu_ns() : -1;
    const gloox::ConnectionError result = gloox::Client::recv(timeout);
    if (!refused_ && scram_.computing() && state() == gloox::StateConnected)
        scram_.advance(*this, (began < 0 ? sasl::thread_cpu_ns() : began) + sasl::scram_slice_ns);
    return result;
}

bool Checked_Client::acceptable_bind(const gloox::Tag& iq) {
    const gloox::Tag* bind = iq.findChild("bind", "xmlns", gloox::XMLNS_STREAM_BIND);
    if (!bind || iq.findAttribute("type") != "result" || jid().username().empty()) return true;
    const gloox::Tag* address = bind->findChild("jid");
    if (!address) return false;
    const gloox::JID bound(address->cdata());
    return bound.username() == jid().username() && bound.server() == xmpp_domain;
}

void Checked_Client::refuse(End_Cause cause, std::string detail) {
    refused_ = true;
    refusal_ = {cause, std::move(detail)};
    // Client's own override is private; the stream ends the same way.
    ClientBase::disconnect(gloox::ConnStreamError);
}

bool Checked_Client::is_client_message(const gloox::Tag& tag) {
    // The test gloox's handleTag makes; no "message" is a stream-level
    // element that its handleNormalNode would take first.
    return tag.name() == "message" && (tag.xmlns().empty() || tag.xmlns() == gloox::XMLNS_CLIENT);
}

void Checked_Client::handleTag(gloox::Tag* tag) {
    if (refused_) return;  // the connection is over; the rest of the read is not ours
    if (tag) {
        // What fails in the exchange (no memory, no randomness) refuses.
        Scram_Login::Verdict verdict = Scram_Login::Verdict::refused;
        try {
            verdict = scram_.on_element(*this, *tag, tag->name() == "features" && logs_in_next(*tag));
        } catch (...) {
        }
        switch (verdict) {
            case Scram_Login::Verdict::refused:
                refuse(END_PROTOCOL, std::string(end_words::broke_protocol) +
                                         ": a SASL exchange the library does not take (a challenge out of turn, "
                                         "a nonce not its own, an empty salt, an iteration count outside 1 to "
                                         "100,000, or a wrong server signature)");
                return;
            case Scram_Login::Verdict::taken:
                return;
            case Scram_Login::Verdict::not_mine:
                break;
        }
        if (tag->name() == "iq" && !acceptable_bind(*tag)) {
            refuse(END_PROTOCOL, std::string(end_words::broke_protocol) +
                                     ": the login was bound to an address that is not the user's own");
            return;
        }
    }
    if (reader_ && tag && is_client_message(*tag)) {
        reader_->read_message(*tag);
        return;
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
