// SPDX-License-Identifier: GPL-3.0-or-later
// The gloox client every connection of the library uses: gloox's own, with a
// look at each top-level element the server sends before gloox acts on it.
// The SCRAM-SHA-1 exchange of a login is the library's own (Scram_Login):
// its elements go there first, and every receive advances its proof. What it
// refuses ends the connection like a lost link (onDisconnect with
// ConnStreamError), and nothing after it on that connection is read:
// - a SASL challenge out of turn, a server-first-message Scram_Sha1 refuses
//   (nonce, salt, an iteration count outside 1..max_scram_iterations), a
//   success before the proof or with a wrong server signature;
// - a resource-binding result whose address is not the user's own node at
//   "localhost";
// - any exception out of gloox's handling of an element: it stops there
//   instead of unwinding through gloox's parser and out of the host's poll;
// - an error answer to resource binding, which gloox would only report and
//   leave the login waiting for ever.
// refusal() then says what was refused, for the host's Connection_End.
// Once a Message_Reader is set, message stanzas of the client namespace go
// to it instead of through gloox (see message_reader.hpp), and the stanzas
// the library builds itself go out as text (send_xml), without gloox's
// element tree.
#pragma once

#include "manager/xmpp/endpoint.hpp"
#include "manager/xmpp/message_reader.hpp"
#include "manager/xmpp/scram_login.hpp"

#include <gloox/client.h>
#include <gloox/connectionlistener.h>
#include <gloox/jid.h>

#include <string>

namespace Velta_Client::detail::xmpp {

class Checked_Client final : public gloox::Client, private gloox::ConnectionListener {
public:
    // Without credentials, for registration.
    explicit Checked_Client(const std::string& server);
    // Logs in as jid with password; SCRAM-SHA-1 keys are kept in scram_keys.
    Checked_Client(const gloox::JID& jid, const std::string& password, int port, sasl::Scram_Key_Cache& scram_keys);
    ~Checked_Client() override;
    Checked_Client(const Checked_Client&) = delete;
    Checked_Client& operator=(const Checked_Client&) = delete;

    // gloox's parser hands every top-level element here.
    void handleTag(gloox::Tag* tag) override;
    // Each receive also advances a SCRAM proof being computed, within
    // sasl::scram_slice_ns of processor time counted from its start.
    gloox::ConnectionError recv(int timeout) override;

    // Where received messages go from now on (null: through gloox again).
    void read_messages_with(Message_Reader* reader) { reader_ = reader; }
    // Writes a whole stanza, already serialised, if the stream is open.
    void send_xml(const std::string& xml) { gloox::ClientBase::send(xml); }

    // What this client refused, when it ended the connection itself;
    // END_NONE otherwise.
    const Link_End& refusal() const { return refusal_; }

private:
    // Listens to itself for the one report gloox makes without ending the
    // connection; the rest is the manager's.
    void onConnect() override {}
    void onDisconnect(gloox::ConnectionError) override {}
    bool onTLSConnect(const gloox::CertInfo&) override { return false; }
    void onResourceBindError(const gloox::Error* error) override;

    bool acceptable_bind(const gloox::Tag& iq);
    // Whether gloox, given these features, would log in now rather than
    // negotiate TLS first.
    bool logs_in_next(const gloox::Tag& features) const;
    void refuse(End_Cause cause, std::string detail);

    // Whether gloox would hand this element to its message handlers.
    static bool is_client_message(const gloox::Tag& tag);

    Scram_Login scram_;
    Message_Reader* reader_ = nullptr;
    bool refused_ = false;
    Link_End refusal_;
};

}  // namespace Velta_Client::detail::xmpp
