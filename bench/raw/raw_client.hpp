// SPDX-License-Identifier: GPL-3.0-or-later
// The baselines: gloox 1.0.24 used the way its documentation shows, with what
// it does by default. A client gets gloox's own TCP connection (select(2), a
// blocking socket, Nagle's algorithm on), the GnuTLS object gloox builds at
// every connect and disconnect (the server here offers no STARTTLS, so it is
// built and never used), and the stanza extensions a gloox::Client registers
// for itself. Nothing of the library is used here.
#pragma once

#include <gloox/client.h>
#include <gloox/connectionlistener.h>
#include <gloox/message.h>
#include <gloox/messagehandler.h>
#include <gloox/registration.h>
#include <gloox/registrationhandler.h>
#include <gloox/stanzaextension.h>

#include <chrono>
#include <functional>
#include <string>

namespace velta_bench {

// A logged-in client. handleMessage counts, then calls the hook when one is
// set (the round-trip peer answers from there); that is all it does.
class Raw_Client : public gloox::MessageHandler, public gloox::ConnectionListener {
public:
    // node is the address's node ("<node>@localhost"); address is where the
    // server listens (port 5222).
    Raw_Client(const std::string& address, const std::string& node, const std::string& password = "pw");
    ~Raw_Client() override;
    Raw_Client(const Raw_Client&) = delete;
    Raw_Client& operator=(const Raw_Client&) = delete;

    // connect(false), then recv(0) until onConnect, a disconnect or the limit.
    bool log_in(std::chrono::milliseconds limit = std::chrono::seconds(20));

    // What the library's send_message puts on the wire, stanza for stanza: a
    // copy of the body to the own full address, then the message itself with
    // its id and an amp rule that asks for a stored notice and names the user.
    void send_pair(const gloox::JID& to, const std::string& body, const std::string& id, const std::string& userid);

    void handleMessage(const gloox::Message& message, gloox::MessageSession* session) override;
    void onConnect() override { connected = true; }
    void onDisconnect(gloox::ConnectionError error) override;
    bool onTLSConnect(const gloox::CertInfo&) override { return true; }

    gloox::Client client;
    bool connected = false;
    bool disconnected = false;
    gloox::ConnectionError reason = gloox::ConnNoError;
    long messages = 0;
    std::function<void(const gloox::Message&)> message_hook;
};

// In-band registration with a credential-less client: fetch the fields when
// connected, answer them, wait for the result.
class Raw_Registration : public gloox::RegistrationHandler, public gloox::ConnectionListener {
public:
    Raw_Registration(const std::string& address, const std::string& node, const std::string& password = "pw");
    ~Raw_Registration() override;
    Raw_Registration(const Raw_Registration&) = delete;
    Raw_Registration& operator=(const Raw_Registration&) = delete;

    void onConnect() override;
    void onDisconnect(gloox::ConnectionError error) override;
    bool onTLSConnect(const gloox::CertInfo&) override { return true; }
    void handleRegistrationFields(const gloox::JID& from, int fields, std::string instructions) override;
    void handleAlreadyRegistered(const gloox::JID& from) override;
    void handleRegistrationResult(const gloox::JID& from, gloox::RegistrationResult result) override;
    void handleDataForm(const gloox::JID&, const gloox::DataForm&) override {}
    void handleOOB(const gloox::JID&, const gloox::OOB&) override {}

    // Created, or already there (a conflict): the account can log in.
    bool usable() const {
        return finished && (result == gloox::RegistrationSuccess || result == gloox::RegistrationConflict);
    }

    // Declared before the registration, which must be destroyed first.
    gloox::Client client;
    gloox::Registration registration;
    std::string node;
    std::string password;
    bool finished = false;
    bool disconnected = false;
    gloox::RegistrationResult result = gloox::RegistrationUnknownError;
};

// Registers the account with a Raw_Registration: connect, recv(0) until the
// result, disconnect. True when the account can log in.
bool raw_register(const std::string& address, const std::string& node, const std::string& password = "pw",
                  std::chrono::milliseconds limit = std::chrono::seconds(20));

// The amp element the library attaches to a chat message. A raw gloox program
// needs a StanzaExtension of its own for it (gloox's AMP class drops the
// "userid" attribute); this one builds the element when serialised.
class Amp_Rule : public gloox::StanzaExtension {
public:
    static constexpr int extension_type = gloox::ExtUser + 0x5b1;
    explicit Amp_Rule(std::string userid = std::string());
    const std::string& filterString() const override;
    gloox::StanzaExtension* newInstance(const gloox::Tag*) const override { return new Amp_Rule(); }
    gloox::Tag* tag() const override;
    gloox::StanzaExtension* clone() const override { return new Amp_Rule(userid_); }

private:
    std::string userid_;
};

}  // namespace velta_bench
