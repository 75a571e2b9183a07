// SPDX-License-Identifier: GPL-3.0-or-later
#include "service_bot.hpp"

#include <velta_client/velta_client.hpp>

#include <gloox/message.h>
#include <gloox/registration.h>
#include <gloox/stanzaextension.h>
#include <gloox/tag.h>

#include <cstdint>
#include <memory>
#include <sstream>
#include <vector>

namespace velta_services {

namespace {

// A copy of each received message element: gloox's own AMP class drops the
// rule attributes a request's "reserve" travels in.
class Message_Copy final : public gloox::StanzaExtension {
public:
    static constexpr int extension_type = gloox::ExtUser + 0x5e1;

    explicit Message_Copy(const gloox::Tag* element = nullptr)
        : gloox::StanzaExtension(extension_type), element_(element ? element->clone() : nullptr) {}

    const std::string& filterString() const override {
        static const std::string filter = "/message";
        return filter;
    }
    gloox::StanzaExtension* newInstance(const gloox::Tag* tag) const override { return new Message_Copy(tag); }
    gloox::Tag* tag() const override { return element_ ? element_->clone() : nullptr; }
    gloox::StanzaExtension* clone() const override { return new Message_Copy(element_.get()); }

    const gloox::Tag* element() const { return element_.get(); }

private:
    std::unique_ptr<gloox::Tag> element_;
};

std::vector<std::string> words(const std::string& text) {
    std::istringstream stream(text);
    std::vector<std::string> out;
    for (std::string word; stream >> word;) out.push_back(word);
    return out;
}

std::string joined(const std::vector<std::string>& items, std::size_t from) {
    std::string out;
    for (std::size_t i = from; i < items.size(); ++i) out += (i > from ? "," : "") + items[i];
    return out;
}

// The "reserve" of the request's amp rule, if it has one.
std::string request_reserve(const gloox::Message& message) {
    const auto* copy = message.findExtension<Message_Copy>(Message_Copy::extension_type);
    if (!copy || !copy->element()) return {};
    for (const gloox::Tag* amp : copy->element()->children())
        if (amp->name() == "amp")
            for (const gloox::Tag* rule : amp->children())
                if (rule->hasAttribute("reserve")) return rule->findAttribute("reserve");
    return {};
}

// The user name behind an address, for the log.
std::string requester_name(const gloox::JID& address) { return user_name_of_node(address.username()); }

gloox::Tag* amp_with(const std::vector<std::pair<std::string, std::string>>& attributes) {
    auto* amp = new gloox::Tag("amp", "xmlns", gloox::XMLNS_AMP);
    auto* rule = new gloox::Tag(amp, "rule");
    for (const auto& [name, value] : attributes) rule->addAttribute(new gloox::Tag::Attribute(name, value));
    return amp;
}

}  // namespace

// The node is the user name's Base64 with "_x" for each capital X and "__"
// for "/": undo the escapes, then read the Base64 up to its first character
// outside the alphabet ("=" included). A last group of k characters holds
// k - 1 bytes.
std::string user_name_of_node(std::string_view node) {
    std::string base64;
    for (std::size_t i = 0; i < node.size(); ++i) {
        if (node[i] != '_') {
            base64 += node[i];
        } else if (i + 1 < node.size()) {
            const char escaped = node[++i];
            base64 += escaped == '_' ? '/' : static_cast<char>(static_cast<unsigned char>(escaped) - 0x20);
        }
    }
    std::string name;
    std::uint32_t bits = 0;
    int count = 0;
    for (const char ch : base64) {
        int value;
        if (ch >= 'A' && ch <= 'Z')
            value = ch - 'A';
        else if (ch >= 'a' && ch <= 'z')
            value = ch - 'a' + 26;
        else if (ch >= '0' && ch <= '9')
            value = ch - '0' + 52;
        else if (ch == '+')
            value = 62;
        else if (ch == '/')
            value = 63;
        else
            break;
        bits = (bits << 6) | static_cast<std::uint32_t>(value);
        if (++count == 4) {
            for (int shift = 16; shift >= 0; shift -= 8) name += static_cast<char>((bits >> shift) & 0xFF);
            bits = 0;
            count = 0;
        }
    }
    bits <<= 6 * (4 - count);
    for (int k = 1, shift = 16; k < count; ++k, shift -= 8) name += static_cast<char>((bits >> shift) & 0xFF);
    return name;
}

std::optional<std::string> reply_body(const std::string& requester, const std::string& subject,
                                      const std::string& body) {
    const std::vector<std::string> fields = words(subject);
    if (fields.empty()) return std::nullopt;
    const std::string& code = fields[0];
    const std::string head = code + " " + requester + " ";
    if (code == std::to_string(Velta_Client::CODE_ADMIN_VALUES) ||
        code == std::to_string(Velta_Client::CODE_COMMAND_VALUES))
        return head + "values=" + joined(fields, 1) + " text=" + body;
    if (code == std::to_string(Velta_Client::CODE_ADMIN_IDENTIFIER) && fields.size() >= 2)
        return head + std::to_string(fields[1].size()) + " " + fields[1] + " text=" + body;
    if (code == std::to_string(Velta_Client::CODE_ADMIN_TEXT)) return head + body;
    if (code == std::to_string(Velta_Client::CODE_COMMAND_MESSAGE) && fields.size() >= 2) {
        const std::string target = fields[1].substr(0, fields[1].find('@'));
        return head + "to=" + user_name_of_node(target) + " text=" + body;
    }
    return std::nullopt;
}

Service_Bot::Service_Bot(std::string server, std::string node, std::string password)
    : server_(std::move(server)), node_(std::move(node)), password_(std::move(password)) {}

Service_Bot::~Service_Bot() {
    registration_.reset();
    if (client_) {
        client_->removeConnectionListener(this);
        client_->disconnect();
    }
}

bool Service_Bot::run_until(const bool& flag, std::chrono::steady_clock::time_point deadline) {
    while (!flag && !refused_ && link_up_ && std::chrono::steady_clock::now() < deadline) client_->recv(10000);
    return flag;
}

bool Service_Bot::connect(std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;

    // First an account: a connection without credentials, one creation
    // request; a taken name means the account is there already.
    client_ = std::make_unique<gloox::Client>("localhost");
    client_->setServer(server_);
    client_->setPort(5222);  // a named port would need /etc/services
    client_->setTls(gloox::TLSDisabled);
    client_->setSASLMechanisms(gloox::SaslMechAll & ~gloox::SaslMechAnonymous);
    client_->registerConnectionListener(this);
    registration_ = std::make_unique<gloox::Registration>(client_.get());
    registration_->registerRegistrationHandler(this);
    link_up_ = client_->connect(false);
    run_until(registered_, deadline);
    registration_.reset();
    client_->removeConnectionListener(this);
    client_->disconnect();
    if (!registered_) return false;

    gloox::JID jid;
    jid.setServer("localhost");
    jid.setUsername(node_);
    jid.setResource("service");
    client_ = std::make_unique<gloox::Client>(jid, password_, 5222);
    client_->setServer(server_);
    client_->setTls(gloox::TLSDisabled);
    client_->registerStanzaExtension(new Message_Copy());
    client_->registerConnectionListener(this);
    client_->registerMessageHandler(this);
    link_up_ = client_->connect(false);
    return run_until(connected_, deadline);
}

void Service_Bot::poll(int timeout_us) {
    if (client_ && link_up_) client_->recv(timeout_us);
}

void Service_Bot::onConnect() {
    if (registration_) {
        gloox::RegistrationFields values;
        values.username = node_;
        values.password = password_;
        registration_->createAccount(gloox::Registration::FieldUsername | gloox::Registration::FieldPassword,
                                     values);
    } else {
        connected_ = true;
    }
}

void Service_Bot::onDisconnect(gloox::ConnectionError) {
    link_up_ = false;
    connected_ = false;
}

void Service_Bot::handleRegistrationResult(const gloox::JID&, gloox::RegistrationResult result) {
    if (result == gloox::RegistrationSuccess || result == gloox::RegistrationConflict)
        registered_ = true;
    else
        refused_ = true;
}

void Service_Bot::handleMessage(const gloox::Message& message, gloox::MessageSession*) {
    const std::string requester = message.from().full();
    const std::vector<std::string> command = words(message.body());
    const std::size_t user_at = message.body().find(' ', std::string("stored ").size());

    if (node_ == "admin" && message.subject() == std::to_string(Velta_Client::CODE_ADMIN_TEXT) + " " &&
        command.size() >= 3 && command[0] == "stored" && message.body().rfind("stored ", 0) == 0 &&
        user_at != std::string::npos) {
        // A stored-offline notice, shaped as servers bounce it.
        auto* notice = new gloox::Tag("message");
        notice->addAttribute("to", requester);
        notice->addAttribute("type", "error");
        notice->addAttribute("id", command[1]);
        notice->addChild(amp_with({{"condition", "deliver"}, {"value", "stored"}, {"action", "notify"},
                                   {"userid", message.body().substr(user_at + 1)}}));
        auto* error = new gloox::Tag(notice, "error");
        error->addAttribute("type", "cancel");
        new gloox::Tag(error, "service-unavailable", "xmlns", "urn:ietf:params:xml:ns:xmpp-stanzas");
        client_->send(notice);
        ++answered_;
        if (log)
            log(node_ + " sent " + requester_name(message.from()) + " a stored-offline notice for message " +
                command[1] + " to " + message.body().substr(user_at + 1));
        return;
    }

    const std::optional<std::string> body = reply_body(requester, message.subject(), message.body());
    if (!body) return;
    auto* reply = new gloox::Tag("message");
    reply->addAttribute("to", requester);
    reply->addAttribute("type", "chat");
    const std::string reserve = request_reserve(message);
    if (!reserve.empty()) reply->addAttribute("id", message.id().empty() ? "0" : message.id());
    new gloox::Tag(reply, "body", *body);
    if (!reserve.empty()) reply->addChild(amp_with({{"reserve", reserve}}));
    client_->send(reply);
    ++answered_;
    if (log) log(node_ + " answered " + requester_name(message.from()) + ": " + *body);
}

}  // namespace velta_services
