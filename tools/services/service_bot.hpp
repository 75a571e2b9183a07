// SPDX-License-Identifier: GPL-3.0-or-later
// A reference service: one XMPP account ("admin" or "cmdadmin") that answers
// the library's requests with replies in the body layout the library reads:
//
//   request subject                 reply body
//   268470408 V1 V2 ...             268470408 <requester> values=V1,V2,... text=<body>
//   268470409 <32 hex digits>       268470409 <requester> 32 <hex digits> text=<body>
//   268470416                       268470416 <requester> <body>
//   268470419 <node>@localhost/...  268470419 <requester> to=<user name> text=<body>
//   268470420 V1 V2 ...             268470420 <requester> values=V1,V2,... text=<body>
//
// <requester> is the sender's full address, whose node is the escaped user
// name. Command replies keep the request's "id" and carry its "reserve" back
// on an amp rule. An admin text request whose body is "stored ID USER NAME"
// is answered with a stored-offline notice for that id and user instead,
// as a server that implements message processing rules would send.
#pragma once

#include <gloox/client.h>
#include <gloox/connectionlistener.h>
#include <gloox/messagehandler.h>
#include <gloox/registrationhandler.h>

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace gloox {
class Registration;
}

namespace velta_services {

class Service_Bot : public gloox::ConnectionListener,
                    public gloox::MessageHandler,
                    public gloox::RegistrationHandler {
public:
    // node: "admin" or "cmdadmin". server: the network address (port 5222).
    Service_Bot(std::string server, std::string node, std::string password);
    ~Service_Bot() override;
    Service_Bot(const Service_Bot&) = delete;
    Service_Bot& operator=(const Service_Bot&) = delete;

    // Registers the account if needed and logs in; false when that did not
    // happen within the limit.
    bool connect(std::chrono::milliseconds limit = std::chrono::seconds(10));
    // Reads and answers what has arrived, waiting at most timeout_us.
    void poll(int timeout_us = 0);
    bool connected() const { return connected_; }
    int answered() const { return answered_; }

    // Optional: told one line per request answered.
    void (*log)(const std::string& line) = nullptr;

    void onConnect() override;
    void onDisconnect(gloox::ConnectionError reason) override;
    bool onTLSConnect(const gloox::CertInfo&) override { return false; }
    void handleMessage(const gloox::Message& message, gloox::MessageSession* session) override;
    void handleRegistrationFields(const gloox::JID&, int, std::string) override {}
    void handleAlreadyRegistered(const gloox::JID&) override { registered_ = true; }
    void handleRegistrationResult(const gloox::JID&, gloox::RegistrationResult result) override;
    void handleDataForm(const gloox::JID&, const gloox::DataForm&) override {}
    void handleOOB(const gloox::JID&, const gloox::OOB&) override {}

private:
    bool run_until(const bool& flag, std::chrono::steady_clock::time_point deadline);

    std::string server_, node_, password_;
    std::unique_ptr<gloox::Registration> registration_;
    std::unique_ptr<gloox::Client> client_;
    bool registered_ = false;
    bool refused_ = false;
    bool connected_ = false;
    bool link_up_ = false;
    int answered_ = 0;
};

// The reply body for a request (subject and body as received), or nothing
// for a subject that is not a request. Exposed for tests and for readers.
std::optional<std::string> reply_body(const std::string& requester, const std::string& subject,
                                      const std::string& body);

// The user name (UTF-8 bytes) whose node is node, mapped as every peer maps
// names: the node is the name's Base64 (no padding) with each capital X
// written "_x" and "/" written "__". Any node decodes, up to the first
// character that ends the Base64 text.
std::string user_name_of_node(std::string_view node);

}  // namespace velta_services
