// SPDX-License-Identifier: GPL-3.0-or-later
// The account check: the library itself, through its public header, starts
// with a throwaway account (registration, then login), logs out and starts
// again (the library registers before every login, so a server that limits
// registrations per address fails here), optionally asks the two services,
// and the account is removed with gloox at the end.
#include "checks.hpp"

#include "refusing_tls.hpp"
#include "user_node.hpp"

#include <velta_client/end_words.hpp>
#include <velta_client/velta_client.hpp>
#include <velta_client/text.hpp>

#include <gloox/client.h>
#include <gloox/connectionlistener.h>
#include <gloox/registration.h>
#include <gloox/registrationhandler.h>

#include <chrono>
#include <cstdio>
#include <ctime>
#include <memory>
#include <random>
#include <thread>

namespace velta_check {

namespace {

using Steady = std::chrono::steady_clock;
using Velta_Client::wide_string;

struct Wall_Clock : Velta_Client::Clock {
    std::int32_t now() override { return static_cast<std::int32_t>(std::time(nullptr)); }
};

// Remembers what the manager reported; the check looks at it between polls.
struct Recorder : Velta_Client::Handler {
    bool connected = false;
    int disconnected = 0;
    std::string error;  // the message of the last on_error, empty if none
    bool admin_answered = false;
    bool cmdadmin_answered = false;

    void on_admin_values(const wide_string&, const wide_string&, std::int32_t) override { admin_answered = true; }
    void on_message(const wide_string&, const wide_string&, std::int32_t) override {}
    void on_admin_identifier(const wide_string&, const wide_string&, const wide_string&, std::int32_t) override {
        admin_answered = true;
    }
    void on_error(const Velta_Client::Error& e) override { error = e.what(); }
    void on_disconnected() override { ++disconnected; }
    void on_connected() override { connected = true; }
    void on_message_stored(std::uint32_t, const wide_string&) override {}
    void on_admin_text(const wide_string&, const wide_string&, std::int32_t) override { admin_answered = true; }
    void on_command_values(const wide_string&, const wide_string&, std::int32_t, std::uint32_t) override {
        cmdadmin_answered = true;
    }
    void on_command_message(std::uint32_t, const wide_string&, const wide_string&, std::int32_t,
                            std::uint32_t) override {
        cmdadmin_answered = true;
    }
};

std::string format_ms(double ms) {
    char text[32];
    std::snprintf(text, sizeof text, ms < 10 ? "%.1f ms" : "%.0f ms", ms);
    return text;
}

// Polls at 60 Hz until `done` or the time-out; returns whether done.
template <class Done>
bool poll_until(Velta_Client::Velta_Manager& manager, int timeout_ms, Done done) {
    const auto deadline = Steady::now() + std::chrono::milliseconds(timeout_ms);
    while (!done()) {
        if (Steady::now() >= deadline) return false;
        manager.poll();
        if (done()) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(16));
    }
    return true;
}

// One start, to connected or to its failure. Returns the verdict's detail.
bool start_once(Velta_Client::Velta_Manager& manager, Recorder& events, int timeout_ms, double& took_ms,
                std::string& failure) {
    events.connected = false;
    events.error.clear();
    events.disconnected = 0;
    const auto started = Steady::now();
    manager.start();
    poll_until(manager, timeout_ms, [&] { return events.connected || !events.error.empty() || events.disconnected; });
    took_ms = std::chrono::duration<double, std::milli>(Steady::now() - started).count();
    if (events.connected) return true;
    if (!events.error.empty()) {
        std::string shown;
        for (const char c : events.error) shown += c == '\n' ? std::string("\\n") : std::string(1, c);
        failure = "on_error \"" + shown + "\"";
    } else if (events.disconnected) {
        failure = "on_disconnected";
    } else {
        failure = "nothing within " + std::to_string(timeout_ms / 1000) + " s (state " +
                  std::to_string(manager.get_state()) + ")";
        return false;
    }
    // The library's own word for it.
    const Velta_Client::Connection_End end = manager.get_last_end();
    if (end.cause != Velta_Client::END_NONE)
        failure += std::string(" (") + Velta_Client::end_words::name(end.cause) + ": " +
                   Velta_Client::text::to_utf8(end.text) + ")";
    return false;
}

void log_out(Velta_Client::Velta_Manager& manager, int timeout_ms) {
    manager.logout();
    poll_until(manager, timeout_ms, [&] { return manager.get_state() == Velta_Client::STATE_IDLE; });
}

// Removes the account with gloox: a login, then the registration namespace's
// remove request.
class Remover : public gloox::ConnectionListener, public gloox::RegistrationHandler {
public:
    Remover(const std::string& server, const std::string& node, const std::string& password)
        : client_(gloox::JID(node + "@localhost/velta-check"), password) {
        client_.setServer(server);
        // As the library does: no GnuTLS session is ever built (gloox's own
        // leaks its credentials), and a STARTTLS offer ends the connection.
        client_.setEncryptionImpl(new Refusing_Tls(&client_));
        client_.registerConnectionListener(this);
        registration_ = std::make_unique<gloox::Registration>(&client_);
        registration_->registerRegistrationHandler(this);
    }
    ~Remover() override {
        registration_.reset();
        client_.removeConnectionListener(this);
    }

    // Returns an empty string when the account is gone, else what went wrong.
    std::string run(int timeout_ms) {
        if (!client_.connect(false)) return "cannot connect";
        const auto deadline = Steady::now() + std::chrono::milliseconds(timeout_ms);
        while (!finished_ && Steady::now() < deadline) {
            if (client_.recv(20000) != gloox::ConnNoError && !finished_) {
                if (outcome_.empty()) outcome_ = "the connection ended before the server answered";
                break;
            }
        }
        if (!finished_ && outcome_.empty()) outcome_ = "no answer within " + std::to_string(timeout_ms / 1000) + " s";
        client_.disconnect();
        return outcome_;
    }

    void onConnect() override { registration_->removeAccount(); }
    void onDisconnect(gloox::ConnectionError error) override {
        if (!finished_ && outcome_.empty())
            outcome_ = error == gloox::ConnAuthenticationFailed ? "the login was refused" : "the connection ended";
    }
    bool onTLSConnect(const gloox::CertInfo&) override { return false; }

    void handleRegistrationFields(const gloox::JID&, int, std::string) override {}
    void handleAlreadyRegistered(const gloox::JID&) override {}
    void handleRegistrationResult(const gloox::JID&, gloox::RegistrationResult result) override {
        finished_ = true;
        if (result != gloox::RegistrationSuccess) outcome_ = "the server refused to remove it";
    }
    void handleDataForm(const gloox::JID&, const gloox::DataForm&) override {}
    void handleOOB(const gloox::JID&, const gloox::OOB&) override {}

private:
    gloox::Client client_;
    std::unique_ptr<gloox::Registration> registration_;
    bool finished_ = false;
    std::string outcome_;
};

std::string random_hex(std::mt19937_64& random, int digits) {
    static const char hex[] = "0123456789abcdef";
    std::string out;
    for (int i = 0; i < digits; ++i) out += hex[random() % 16];
    return out;
}

}  // namespace

void check_account(const Options& options, std::vector<Check>& checks) {
    std::mt19937_64 random(std::random_device{}() ^
                           static_cast<std::uint64_t>(Steady::now().time_since_epoch().count()));
    const std::string user = "velta-check-" + random_hex(random, 8);
    const std::string password = random_hex(random, 24);

    Wall_Clock clock;
    Recorder events;
    namespace text = Velta_Client::text;
    std::unique_ptr<Velta_Client::Velta_Manager> manager(
        new_velta_manager(&clock, &events, text::from_utf8(options.server), text::from_utf8(user),
                          text::from_utf8(password)));
    if (!manager) {
        checks.push_back({"account", Verdict::fail, "new_velta_manager returned no manager", ""});
        return;
    }

    double took = 0;
    std::string failure;
    const int start_timeout = options.timeout_ms * 3;
    if (!start_once(*manager, events, start_timeout, took, failure)) {
        checks.push_back({"account", Verdict::fail,
                          "a throwaway account (" + user + ") could not register and log in: the host heard " + failure,
                          events.error.rfind("register failed.", 0) == 0
                              ? "the server offers registration but refused this one: lift any limit on "
                                "registrations per address for your hosts (ejabberd: registration_timeout: "
                                "infinity; Prosody: registration_allowlist, or no "
                                "min_seconds_between_registrations), or see the server's log"
                              : "see the checks above and the server's log"});
        checks.push_back({"second-start", Verdict::skip, "no account", ""});
        if (options.services) {
            checks.push_back({"admin", Verdict::skip, "no login", ""});
            checks.push_back({"cmdadmin", Verdict::skip, "no login", ""});
        }
        return;  // nothing was created, or the server's log says what was
    }
    checks.push_back({"account", Verdict::pass,
                      "a throwaway account (" + user + ") registered and logged in in " + format_ms(took), ""});
    log_out(*manager, options.timeout_ms);

    const bool again = start_once(*manager, events, start_timeout, took, failure);
    if (again) {
        checks.push_back({"second-start", Verdict::pass,
                          "starting again with the existing account logged in in " + format_ms(took), ""});
    } else {
        checks.push_back({"second-start", Verdict::fail,
                          "starting again with the existing account failed: the host heard " + failure +
                              " (the library registers before every login, and the server limits registrations "
                              "from one address)",
                          "lift the registration limit for your hosts' addresses (ejabberd: registration_timeout: "
                          "infinity; Prosody: registration_allowlist, or no min_seconds_between_registrations)"});
    }

    if (options.services) {
        if (!again) {
            checks.push_back({"admin", Verdict::skip, "no login", ""});
            checks.push_back({"cmdadmin", Verdict::skip, "no login", ""});
        } else {
            manager->send_admin_text(u"velta-check: are you there?");
            poll_until(*manager, options.timeout_ms, [&] { return events.admin_answered; });
            if (events.admin_answered)
                checks.push_back({"admin", Verdict::pass, "\"admin\" answered a text request", ""});
            else
                checks.push_back({"admin", Verdict::fail,
                                  "\"admin\" did not answer a text request within " +
                                      std::to_string(options.timeout_ms / 1000) + " s",
                                  "run the services, logged in as admin@localhost (for instance velta-services "
                                  "--server " + options.server + ")"});
            manager->send_command_message(1, text::from_utf8(user), u"velta-check: are you there?", 0);
            poll_until(*manager, options.timeout_ms, [&] { return events.cmdadmin_answered; });
            if (events.cmdadmin_answered)
                checks.push_back({"cmdadmin", Verdict::pass, "\"cmdadmin\" answered a command request", ""});
            else
                checks.push_back({"cmdadmin", Verdict::fail,
                                  "\"cmdadmin\" did not answer a command request within " +
                                      std::to_string(options.timeout_ms / 1000) + " s",
                                  "run the services, logged in as cmdadmin@localhost (for instance velta-services "
                                  "--server " + options.server + ")"});
        }
    }
    if (manager->get_state() == Velta_Client::STATE_CONNECTED) log_out(*manager, options.timeout_ms);
    manager.reset();

    Remover remover(options.server, user_node(user), password);
    const std::string removal = remover.run(options.timeout_ms);
    if (removal.empty())
        checks.push_back({"account-removed", Verdict::pass, "the throwaway account " + user + " was removed", ""});
    else
        checks.push_back({"account-removed", Verdict::warn,
                          "the throwaway account " + user + " could not be removed: " + removal,
                          "remove it on the server if it matters (Prosody: prosodyctl deluser; ejabberd: "
                          "ejabberdctl unregister)"});
}

}  // namespace velta_check
