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
//   instead of unwinding through gloox's parser and out of the host's poll.
// Once a Message_Reader is set, message stanzas of the client namespace go
// to it instead of through gloox (see message_reader.hpp), and the stanzas
// the library builds itself go out as text (send_xml), without gloox's
// element tree.
#pragma once

#include "manager/xmpp/message_reader.hpp"
#include "manager/xmpp/scram_login.hpp"

#include <gloox/client.h>
#include <gloox/jid.h>
#include <gloox/statisticshandler.h>

#include <string>

namespace Velta_Client::detail::xmpp {

class Checked_Client final : public gloox::Client {
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

private:
    bool acceptable_bind(const gloox::Tag& iq);
    // Whether gloox, given these features, would log in now rather than
    // negotiate TLS or compression first.
    bool logs_in_next(const gloox::Tag& features) const;
    void refuse();

    // Whether gloox would hand this element to its message handlers.
    static bool is_client_message(const gloox::Tag& tag);

    Scram_Login scram_;
    Message_Reader* reader_ = nullptr;
    bool refused_ = false;
};

}  // namespace Velta_Client::detail::xmpp
