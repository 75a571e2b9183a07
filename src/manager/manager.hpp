// SPDX-License-Identifier: GPL-3.0-or-later
// Velta_Manager_Impl: the one implementation behind the host's Velta_Manager.
// It owns one gloox client at a time (credential-less while registering, the
// user's while logging in and connected) and turns everything gloox reports
// into deferred calls that the end of poll() delivers.
#pragma once

#include "events/call_queue.hpp"
#include "events/handler_calls.hpp"
#include "manager/states.hpp"
#include "manager/xmpp/checked_client.hpp"
#include "manager/xmpp/private_rand.hpp"
#include "sasl/scram_key_cache.hpp"

#include <velta_client/velta_client.hpp>

#include <gloox/client.h>
#include <gloox/connectionlistener.h>
#include <gloox/registration.h>
#include <gloox/registrationhandler.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace Velta_Client::detail {

struct Amp_Rule;  // outgoing.cpp

class Velta_Manager_Impl final : public Velta_Manager,
                                 public xmpp::Message_Reader,
                                 public gloox::ConnectionListener,
                                 public gloox::RegistrationHandler {
public:
    Velta_Manager_Impl(Clock* clock, Handler* handler, const wide_string& server, const wide_string& user,
                       const wide_string& password);
    ~Velta_Manager_Impl() override;
    Velta_Manager_Impl(const Velta_Manager_Impl&) = delete;
    Velta_Manager_Impl& operator=(const Velta_Manager_Impl&) = delete;

    // Velta_Manager
    int get_state() override { return states_.current(); }
    void logout() override;
    void start() override;
    void send_message(std::uint32_t message_id, const wide_string& user, const wide_string& text) override;
    void send_admin_values(const std::uint32_t* values, std::uint32_t count, const wide_string& text) override;
    void send_admin_identifier(const Identifier128& identifier, const wide_string& text) override;
    void send_admin_text(const wide_string& text) override;
    void send_command_message(std::uint32_t message_id, const wide_string& user, const wide_string& text,
                              std::uint32_t reserve) override;
    void send_command_values(const std::uint32_t* values, std::uint32_t count, const wide_string& text,
                             std::uint32_t reserve) override;
    void poll() override;
    Connection_End get_last_end() override;

    // xmpp::Message_Reader: every message the login client receives.
    void read_message(const gloox::Tag& element) override;

    // gloox::ConnectionListener
    void onConnect() override;
    void onDisconnect(gloox::ConnectionError reason) override;
    bool onTLSConnect(const gloox::CertInfo& info) override;

    // gloox::RegistrationHandler
    void handleRegistrationFields(const gloox::JID& from, int fields, std::string instructions) override;
    void handleAlreadyRegistered(const gloox::JID& from) override;
    void handleRegistrationResult(const gloox::JID& from, gloox::RegistrationResult result) override;
    void handleDataForm(const gloox::JID& from, const gloox::DataForm& form) override;
    void handleOOB(const gloox::JID& from, const gloox::OOB& oob) override;

    // Delay stamp text to seconds since 1970; the clock's now when unreadable.
    std::int32_t stamp_to_time(const std::string& stamp);

private:
    // Deferred steps: both destroy the client whose callback decided them.
    void login_step();
    void reset_step();

    // An event that ends the connection: resetting, and the reset step
    // queued behind the calls the ending queued.
    void end_connection(Connection_States::Event event);
    // Something inside gloox or the library failed (threw) while this
    // connection ran: it ends like a lost link.
    void end_after_failure();
    // A connection without its outcome 15 seconds of the host's clock after
    // start() or the login step is given up like an unreachable server. The
    // outcome: the account known to exist (the login step queued) for the
    // registration connection, the login for the login connection. A server
    // silent at any step of the way (connect, stream, registration, SASL,
    // binding) thus ends the same way, and nothing else would end it.
    void begin_connect_deadline();
    void check_connect_deadline();
    // The account exists: the login step takes over, with its own deadline.
    void queue_login_step();
    void report_error(const std::string& message);

    // Why connections end (endings.cpp). note_end records the cause the
    // host reads in get_last_end; a refused registration stays the cause
    // of its attempt when the server then closes the connection.
    void note_end(End_Cause cause, std::string detail);
    // The cause of an end gloox reports: the manager's own (logout, the
    // deadline), else what the client or its socket refused or saw, else
    // gloox's reason.
    xmpp::Link_End disconnect_cause(gloox::ConnectionError reason);
    // "127.0.0.1:5222: " + what, or the server string where no connection
    // opened.
    std::string at_server(const std::string& what);
    void queue_handler_call(events::Deferred_Call call) { queue_->append(std::move(call)); }
    void rebuild_idle_client();
    // Runs poll's work inside gloox (the receive step, the probe) on the
    // library's rand() state; a failure in there (an exception from gloox or
    // the library) ends the connection instead of leaving poll, which only
    // the host's own Handler exceptions may do.
    template <class Work>
    void inside_gloox(Work work) {
        try {
            const xmpp::Private_Rand rand_scope;
            work();
        } catch (...) {
            end_after_failure();
        }
    }

    // Receive-path helpers (incoming.cpp).
    void dispatch_stored_notice(const gloox::Tag& element);
    void dispatch_service_reply(const std::string& body, const gloox::Tag& element);
    void dispatch_chat(const std::string& body, const gloox::Tag& element, const std::string& node);

    // Sending (outgoing.cpp).
    void send_request(const std::string& node, const std::string& subject, const wide_string& text,
                      const std::string& id, const Amp_Rule* rule);

    Connection_States states_;
    std::shared_ptr<events::Call_Queue> queue_;
    Clock* clock_;
    Handler* handler_;
    // The SCRAM-SHA-1 keys of the last login, for the next one (memory only;
    // overwritten when the manager dies). Declared before the client, which
    // refers to it.
    sasl::Scram_Key_Cache scram_keys_;
    // Declared before the registration, which must die first: it keeps a
    // pointer to the client it was built on.
    std::optional<xmpp::Checked_Client> client_;
    std::optional<gloox::Registration> registration_;
    wide_string user_;
    wide_string password_;
    wide_string server_;
    bool logged_in_ = false;
    std::int32_t unanswered_probes_ = 0;
    std::int32_t last_probe_time_;
    std::int32_t connect_started_ = 0;
    // The deadline counts while this is set.
    bool awaiting_outcome_ = false;
    xmpp::Link_End last_end_;
    // Set just before the manager disconnects the client itself.
    std::optional<xmpp::Link_End> own_ending_;
    bool registration_refused_ = false;
};

}  // namespace Velta_Client::detail
