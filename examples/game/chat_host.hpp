// SPDX-License-Identifier: GPL-3.0-or-later
// The game's side of the library: its Clock and Handler, the one manager,
// and every call to it timed into the panel's model. No drawing here.
#pragma once

#include "panel_model.hpp"

#include <velta_client/velta_client.hpp>

#include <chrono>
#include <cstdint>
#include <string>

namespace velta_game {

class Chat_Host : public Velta_Client::Clock, public Velta_Client::Handler {
public:
    // server, user, password: UTF-8. The manager is made here, idle.
    Chat_Host(const std::string& server, const std::string& user, const std::string& password);
    ~Chat_Host() override;
    Chat_Host(const Chat_Host&) = delete;
    Chat_Host& operator=(const Chat_Host&) = delete;

    bool ready() const { return manager_ != nullptr; }
    const std::string& user() const { return user_; }
    int state() const { return model_.state; }
    Panel_Model& model() { return model_; }
    const Panel_Model& model() const { return model_; }

    // Each wraps the library call of the same name, times it and tells the
    // panel. A send made while not connected is not passed on (the library
    // would drop it silently): the panel says so instead.
    void poll();
    void start();
    void logout();
    void send_message(const std::string& to, const std::string& text);
    void request(Request request, const std::string& text, const std::string& about_user);

    // Seconds on the steady clock since the host was made.
    double seconds() const;
    // Wall time spent in library calls since the last call of this.
    double take_library_ms();

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
                            const Velta_Client::wide_string& text, std::int32_t time,
                            std::uint32_t reserve) override;

private:
    template <class Operation>
    void timed(Call call, Operation operation);
    void note_state();
    bool connected_for(const char* what);
    void replied(Request request, const std::string& text, std::int32_t time);

    std::string user_;
    Velta_Client::Velta_Manager* manager_ = nullptr;
    Panel_Model model_;
    std::chrono::steady_clock::time_point epoch_ = std::chrono::steady_clock::now();
    double library_ms_ = 0;
    std::uint32_t next_id_ = 1;
    std::uint32_t next_reserve_ = 100;
};

}  // namespace velta_game
