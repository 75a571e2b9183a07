// SPDX-License-Identifier: GPL-3.0-or-later
#include "chat_host.hpp"

#include <velta_client/text.hpp>

#include <time.h>

#include <ctime>

namespace velta_game {

using Velta_Client::wide_string;
using Velta_Client::text::to_utf8;
const auto to_utf16 = [](const std::string& utf8) { return Velta_Client::text::from_utf8(utf8); };

namespace {

double clock_ms(clockid_t clock) {
    timespec now{};
    ::clock_gettime(clock, &now);
    return static_cast<double>(now.tv_sec) * 1e3 + static_cast<double>(now.tv_nsec) / 1e6;
}

std::string reply_text(const wide_string& name, const wide_string& text) {
    return "for " + to_utf8(name) + ": " + to_utf8(text);
}

}  // namespace

Chat_Host::Chat_Host(const std::string& server, const std::string& user, const std::string& password)
    : user_(user) {
    manager_ = new_velta_manager(this, this, to_utf16(server), to_utf16(user), to_utf16(password));
    if (manager_) model_.state = manager_->get_state();
}

Chat_Host::~Chat_Host() { delete manager_; }

double Chat_Host::seconds() const {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - epoch_).count();
}

double Chat_Host::take_library_ms() {
    const double spent = library_ms_;
    library_ms_ = 0;
    return spent;
}

std::int32_t Chat_Host::now() { return static_cast<std::int32_t>(std::time(nullptr)); }

// Handler calls made inside the timed call are part of its cost, as they are
// for any host: the panel's own handling is small.
template <class Operation>
void Chat_Host::timed(Call call, Operation operation) {
    if (!manager_) return;
    Call_Record record;
    record.call = call;
    record.at = seconds();
    record.state_before = manager_->get_state();
    const double cpu = clock_ms(CLOCK_THREAD_CPUTIME_ID);
    const double wall = clock_ms(CLOCK_MONOTONIC);
    operation(*manager_);
    record.wall_ms = clock_ms(CLOCK_MONOTONIC) - wall;
    record.cpu_ms = clock_ms(CLOCK_THREAD_CPUTIME_ID) - cpu;
    record.state_after = manager_->get_state();
    library_ms_ += record.wall_ms;
    model_.calls.add(record);
    note_state();
}

void Chat_Host::note_state() {
    const int state = manager_->get_state();
    if (state == model_.state) return;
    model_.add_event(now(), std::string("state ") + state_text(model_.state) + " -> " + state_text(state));
    model_.state = state;
}

void Chat_Host::poll() {
    timed(Call::poll, [](Velta_Client::Velta_Manager& manager) { manager.poll(); });
}

void Chat_Host::start() {
    if (!manager_) return;
    if (manager_->get_state() != Velta_Client::STATE_IDLE) {
        model_.add_event(now(), "start: acts only when idle");
        return;
    }
    model_.add_event(now(), "start");
    timed(Call::start, [](Velta_Client::Velta_Manager& manager) { manager.start(); });
}

void Chat_Host::logout() {
    if (!connected_for("logout")) return;
    model_.add_event(now(), "logout");
    timed(Call::logout, [](Velta_Client::Velta_Manager& manager) { manager.logout(); });
}

bool Chat_Host::connected_for(const char* what) {
    if (!manager_) return false;
    if (manager_->get_state() == Velta_Client::STATE_CONNECTED) return true;
    model_.add_event(now(), std::string(what) + ": not connected, nothing sent");
    return false;
}

void Chat_Host::send_message(const std::string& to, const std::string& text) {
    if (text.empty() || to.empty() || !connected_for("message")) return;
    const std::uint32_t id = next_id_++;
    model_.add_line(Chat_Line{now(), user_, to, text, true, false});
    const wide_string user = to_utf16(to), body = to_utf16(text);
    timed(Call::send_message,
          [&](Velta_Client::Velta_Manager& manager) { manager.send_message(id, user, body); });
}

void Chat_Host::request(Request request, const std::string& text, const std::string& about_user) {
    if (!connected_for(request_name(request))) return;
    const wide_string body = to_utf16(text);
    static const std::uint32_t values[] = {7, 42, 4294967295u};
    const std::uint32_t reserve = next_reserve_++;
    switch (request) {
        case Request::admin_values:
            timed(Call::send_admin_values,
                  [&](Velta_Client::Velta_Manager& manager) { manager.send_admin_values(values, 3, body); });
            break;
        case Request::admin_identifier: {
            Velta_Client::Identifier128 identifier{};
            for (int i = 0; i < 16; ++i) identifier.bytes[i] = static_cast<std::uint8_t>(0x11 * i);
            timed(Call::send_admin_identifier,
                  [&](Velta_Client::Velta_Manager& manager) { manager.send_admin_identifier(identifier, body); });
            break;
        }
        case Request::admin_text:
            timed(Call::send_admin_text,
                  [&](Velta_Client::Velta_Manager& manager) { manager.send_admin_text(body); });
            break;
        case Request::command_message: {
            const std::uint32_t id = next_id_++;
            const wide_string user = to_utf16(about_user);
            timed(Call::send_command_message, [&](Velta_Client::Velta_Manager& manager) {
                manager.send_command_message(id, user, body, reserve);
            });
            break;
        }
        case Request::command_values:
            timed(Call::send_command_values, [&](Velta_Client::Velta_Manager& manager) {
                manager.send_command_values(values, 3, body, reserve);
            });
            break;
    }
    ++model_.reply(request).sent;
    model_.add_event(now(), std::string("sent ") + request_name(request) + ": " + text);
}

void Chat_Host::replied(Request request, const std::string& text, std::int32_t time) {
    Reply_Slot& slot = model_.reply(request);
    ++slot.answered;
    slot.text = text;
    slot.time = time;
    model_.note_received(text);
    model_.add_event(now(), std::string("reply to ") + request_name(request));
}

void Chat_Host::on_admin_values(const wide_string& name, const wide_string& text, std::int32_t time) {
    replied(Request::admin_values, reply_text(name, text), time);
}

void Chat_Host::on_message(const wide_string& from, const wide_string& body, std::int32_t time) {
    const std::string sender = to_utf8(from), text = to_utf8(body);
    if (sender == user_ && model_.confirm_own(text)) return;
    model_.add_line(Chat_Line{time, sender, "", text, false, false});
    model_.note_received(text);
}

void Chat_Host::on_admin_identifier(const wide_string& name, const wide_string& field, const wide_string& text,
                                    std::int32_t time) {
    // The field ends with the NUL the library appends.
    std::string counted = to_utf8(field);
    if (!counted.empty() && counted.back() == '\0') counted.pop_back();
    replied(Request::admin_identifier, reply_text(name, text) + " [" + counted + "]", time);
}

void Chat_Host::on_error(const Velta_Client::Error& error) {
    std::string message = error.what();
    for (char& c : message)
        if (c == '\n') c = ' ';
    model_.add_event(now(), "error " + std::to_string(error.code) + ": " + message);
}

void Chat_Host::on_disconnected() { model_.add_event(now(), "disconnected"); }

void Chat_Host::on_connected() {
    ++model_.logins;
    model_.add_event(now(), "connected");
}

void Chat_Host::on_message_stored(std::uint32_t id, const wide_string& userid) {
    model_.add_event(now(), "stored for " + to_utf8(userid) + " (message " + std::to_string(id) + ")");
}

void Chat_Host::on_admin_text(const wide_string& name, const wide_string& text, std::int32_t time) {
    replied(Request::admin_text, reply_text(name, text), time);
}

void Chat_Host::on_command_values(const wide_string& name, const wide_string& text, std::int32_t time,
                                  std::uint32_t reserve) {
    replied(Request::command_values, reply_text(name, text) + " (reserve " + std::to_string(reserve) + ")", time);
}

void Chat_Host::on_command_message(std::uint32_t, const wide_string& name, const wide_string& text,
                                   std::int32_t time, std::uint32_t reserve) {
    replied(Request::command_message, reply_text(name, text) + " (reserve " + std::to_string(reserve) + ")", time);
}

}  // namespace velta_game
