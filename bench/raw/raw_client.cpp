// SPDX-License-Identifier: GPL-3.0-or-later
#include "raw/raw_client.hpp"

#include <gloox/tag.h>

#include <thread>

namespace velta_bench {

namespace {

template <class Done>
bool recv_until(gloox::Client& client, Done done, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        client.recv(0);
    }
    return true;
}

}  // namespace

Raw_Client::Raw_Client(const std::string& address, const std::string& node, const std::string& password)
    : client(gloox::JID(node + "@localhost"), password, 5222) {
    client.setServer(address);
    client.registerConnectionListener(this);
    client.registerMessageHandler(this);
}

Raw_Client::~Raw_Client() {
    client.removeMessageHandler(this);
    client.removeConnectionListener(this);
}

bool Raw_Client::log_in(std::chrono::milliseconds limit) {
    connected = false;
    disconnected = false;
    if (!client.connect(false)) return false;
    recv_until(
        client, [&] { return connected || disconnected; }, limit);
    return connected;
}

void Raw_Client::send_pair(const gloox::JID& to, const std::string& body, const std::string& id,
                           const std::string& userid) {
    client.send(gloox::Message(gloox::Message::Chat, client.jid(), body));
    gloox::Message message(gloox::Message::Chat, to, body);
    message.setID(id);
    message.addExtension(new Amp_Rule(userid));
    client.send(message);
}

void Raw_Client::handleMessage(const gloox::Message& message, gloox::MessageSession*) {
    ++messages;
    if (message_hook) message_hook(message);
}

void Raw_Client::onDisconnect(gloox::ConnectionError error) {
    connected = false;
    disconnected = true;
    reason = error;
}

Raw_Registration::Raw_Registration(const std::string& address, const std::string& node_, const std::string& password_)
    : client("localhost"), registration(&client), node(node_), password(password_) {
    client.setServer(address);
    client.setPort(5222);  // a named port would need /etc/services
    client.registerConnectionListener(this);
    registration.registerRegistrationHandler(this);
}

Raw_Registration::~Raw_Registration() {
    registration.removeRegistrationHandler();
    client.removeConnectionListener(this);
}

void Raw_Registration::onConnect() { registration.fetchRegistrationFields(); }

void Raw_Registration::onDisconnect(gloox::ConnectionError) { disconnected = true; }

void Raw_Registration::handleRegistrationFields(const gloox::JID&, int fields, std::string) {
    gloox::RegistrationFields values;
    values.username = node;
    values.password = password;
    registration.createAccount(fields, values);
}

void Raw_Registration::handleAlreadyRegistered(const gloox::JID&) {
    finished = true;
    result = gloox::RegistrationConflict;
}

void Raw_Registration::handleRegistrationResult(const gloox::JID&, gloox::RegistrationResult outcome) {
    finished = true;
    result = outcome;
}

bool raw_register(const std::string& address, const std::string& node, const std::string& password,
                  std::chrono::milliseconds limit) {
    Raw_Registration raw(address, node, password);
    if (!raw.client.connect(false)) return false;
    recv_until(
        raw.client, [&] { return raw.finished || raw.disconnected; }, limit);
    raw.client.disconnect();
    return raw.usable();
}

Amp_Rule::Amp_Rule(std::string userid) : gloox::StanzaExtension(extension_type), userid_(std::move(userid)) {}

const std::string& Amp_Rule::filterString() const {
    static const std::string filter = "/message/amp[@xmlns='" + gloox::XMLNS_AMP + "']";
    return filter;
}

gloox::Tag* Amp_Rule::tag() const {
    auto* amp = new gloox::Tag("amp", "xmlns", gloox::XMLNS_AMP);
    auto* rule = new gloox::Tag(amp, "rule");
    rule->addAttribute("condition", "deliver");
    rule->addAttribute("value", "stored");
    rule->addAttribute("action", "notify");
    rule->addAttribute("userid", userid_);
    return amp;
}

}  // namespace velta_bench
