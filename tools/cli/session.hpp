// SPDX-License-Identifier: GPL-3.0-or-later
// velta-cli's host: its Clock (the system time), its Handler (every event
// printed and kept for /wait) and the commands that drive the manager.
#pragma once

#include "commands.hpp"
#include "events.hpp"

#include <velta_client/velta_client.hpp>

#include <chrono>
#include <cstdio>
#include <optional>
#include <string>

namespace velta_cli {

class Session : public Velta_Client::Clock, public Velta_Client::Handler {
public:
    enum class Step { done, pending, failed, quit };

    Session(bool json, std::FILE* out);
    ~Session() override;
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    // Makes the manager; false (and says why) when the library cannot.
    bool open(const std::string& server, const std::string& user, const std::string& password);
    // One frame: the manager's poll, then what the state did.
    void poll();
    // line: the command as typed, for failure reports.
    Step run(const Command& command, const std::string& line);
    // Moves a pending /wait, /sleep or /expect-state on after a poll.
    Step progress();
    bool pending() const { return pending_.has_value(); }
    // Logs out if connected (waiting a moment for the server to see it) and
    // destroys the manager.
    void close();

    void emit(const Event& event);
    void report_error(const std::string& message);

    std::int32_t now() override;

    void on_admin_values(const Velta_Client::wide_string& name, const Velta_Client::wide_string& text,
                         std::int32_t time) override;
    void on_message(const Velta_Client::wide_string& from, const Velta_Client::wide_string& body,
                    std::int32_t time) override;
    void on_admin_identifier(const Velta_Client::wide_string& name, const Velta_Client::wide_string& field,
                             const Velta_Client::wide_string& text, std::int32_t time) override;
    void on_error(const Velta_Client::Error& error) override;
    void on_disconnected() override;
    void on_connected() override;
    void on_message_stored(std::uint32_t id, const Velta_Client::wide_string& userid) override;
    void on_admin_text(const Velta_Client::wide_string& name, const Velta_Client::wide_string& text,
                       std::int32_t time) override;
    void on_command_values(const Velta_Client::wide_string& name, const Velta_Client::wide_string& text,
                           std::int32_t time, std::uint32_t reserve) override;
    void on_command_message(std::uint32_t code, const Velta_Client::wide_string& name,
                            const Velta_Client::wide_string& text, std::int32_t time, std::uint32_t reserve) override;

private:
    struct Pending {
        Command command;
        std::string line;
        std::chrono::steady_clock::time_point deadline;
    };

    void received(Event event);
    Event with_end(Event event);
    void check_state();
    bool connected_for(const std::string& what);
    void sent(Event event);
    Step fail(const std::string& line, const std::string& message);

    bool json_;
    std::FILE* out_;
    Velta_Client::Velta_Manager* manager_ = nullptr;
    std::u16string user_;
    int state_ = Velta_Client::STATE_IDLE;
    std::string peer_;
    std::uint32_t next_id_ = 1;
    bool echo_back_ = false;
    bool last_was_disconnect_ = false;
    bool told_about_repeats_ = false;
    Mailbox mailbox_;
    std::optional<Pending> pending_;
};

}  // namespace velta_cli
