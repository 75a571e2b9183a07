// SPDX-License-Identifier: GPL-3.0-or-later
// The gloox client every connection of the library uses: gloox's own, with a
// look at each top-level element the server sends before gloox acts on it.
// What it refuses ends the connection like a lost link (onDisconnect with
// ConnStreamError), and nothing after it on that connection is read:
// - a SASL challenge that is not the one SCRAM-SHA-1 exchange gloox asked
//   for, or one whose iteration count is below 1 or above
//   max_scram_iterations, or whose nonce does not begin with the nonce
//   gloox sent (read exactly as gloox reads it);
// - a resource-binding result whose address is not the user's own node at
//   "localhost";
// - any exception out of gloox's handling of an element: it stops there
//   instead of unwinding through gloox's parser and out of the host's poll;
// - an error answer to resource binding, which gloox would only report and
//   leave the login waiting for ever.
// refusal() then says what was refused, for the host's Connection_End.
#pragma once

#include "manager/xmpp/endpoint.hpp"

#include <gloox/client.h>
#include <gloox/connectionlistener.h>
#include <gloox/jid.h>
#include <gloox/loghandler.h>

#include <string>

namespace Velta_Client::detail::xmpp {

// The SCRAM proof runs inside one poll and costs 1.5 to 2.1 ms of processor
// time per 1,000 iterations on this project's machines: 40,000 keeps that
// poll at 70 to 86 ms, while it is four times what Prosody asks (10,000) and
// ten times ejabberd's 4,096.
constexpr long max_scram_iterations = 40000;

class Checked_Client final : public gloox::Client, private gloox::LogHandler, private gloox::ConnectionListener {
public:
    // Without credentials, for registration.
    explicit Checked_Client(const std::string& server);
    // Logs in as jid with password.
    Checked_Client(const gloox::JID& jid, const std::string& password, int port);
    ~Checked_Client() override;
    Checked_Client(const Checked_Client&) = delete;
    Checked_Client& operator=(const Checked_Client&) = delete;

    // gloox's parser hands every top-level element here.
    void handleTag(gloox::Tag* tag) override;

    // What this client refused, when it ended the connection itself;
    // END_NONE otherwise.
    const Link_End& refusal() const { return refusal_; }

private:
    // Sees what gloox writes while the SASL exchange runs, for its nonce.
    void handleLog(gloox::LogLevel level, gloox::LogArea area, const std::string& message) override;

    // Listens to itself for the one report gloox makes without ending the
    // connection; the rest is the manager's.
    void onConnect() override {}
    void onDisconnect(gloox::ConnectionError) override {}
    bool onTLSConnect(const gloox::CertInfo&) override { return false; }
    void onResourceBindError(const gloox::Error* error) override;

    bool acceptable_challenge(const std::string& payload);
    bool acceptable_bind(const gloox::Tag& iq);
    void stop_watching();
    void refuse(End_Cause cause, std::string detail);

    std::string client_nonce_;
    bool watching_ = false;
    bool challenged_ = false;
    bool refused_ = false;
    Link_End refusal_;
};

// The server-first-message of SCRAM-SHA-1 (decoded) read as gloox 1.0.24
// reads it: acceptable when it names "r=", "s=" and "i=", its nonce begins
// with client_nonce and is longer, its salt is not empty, and its count lies
// in 1..max_scram_iterations.
bool acceptable_scram_challenge(const std::string& decoded, const std::string& client_nonce);

}  // namespace Velta_Client::detail::xmpp
