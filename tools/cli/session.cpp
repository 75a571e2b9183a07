// SPDX-License-Identifier: GPL-3.0-or-later
#include "session.hpp"

#include <velta_client/end_words.hpp>
#include <velta_client/text.hpp>

#include <ctime>
#include <thread>

namespace velta_cli {

using Velta_Client::wide_string;
using Velta_Client::text::from_utf8;
using Velta_Client::text::to_utf8;
using Kind = Command::Kind;

namespace {

std::string joined(const std::vector<std::uint32_t>& values) {
    std::string out;
    for (std::size_t i = 0; i < values.size(); ++i) out += (i ? "," : "") + std::to_string(values[i]);
    return out;
}

Event reply(std::string kind, const wide_string& name, const wide_string& text, std::int32_t time) {
    Event event{std::move(kind), {}};
    event.text("name", to_utf8(name)).text("text", to_utf8(text)).time(time);
    return event;
}

}  // namespace

Session::Session(bool json, std::FILE* out) : json_(json), out_(out) {}

Session::~Session() { delete manager_; }

bool Session::open(const std::string& server, const std::string& user, const std::string& password) {
    user_ = from_utf8(user);
    manager_ = new_velta_manager(this, this, from_utf8(server), user_, from_utf8(password));
    if (!manager_) {
        report_error("the library could not make a manager");
        return false;
    }
    state_ = manager_->get_state();
    return true;
}

std::int32_t Session::now() { return static_cast<std::int32_t>(std::time(nullptr)); }

void Session::emit(const Event& event) {
    const std::string line = json_ ? as_json(event) : as_text(event, std::time(nullptr));
    std::fputs((line + "\n").c_str(), out_);
    std::fflush(out_);
}

void Session::report_error(const std::string& message) { emit(Event{"command-error", {}}.text("message", message)); }

void Session::check_state() {
    if (!manager_) return;
    const int state = manager_->get_state();
    if (state == state_) return;
    Event event{"state", {}};
    event.number("state", state)
        .text("name", state_word(state))
        .number("previous", state_)
        .text("previous_name", state_word(state_));
    state_ = state;
    emit(event);
}

void Session::poll() {
    if (!manager_) return;
    manager_->poll();
    check_state();
}

void Session::received(Event event) {
    // After a lost link the library repeats on_disconnected at every poll
    // until the next login: one line says it, the rest would be a flood.
    const bool disconnect = event.kind == "disconnected";
    if (disconnect && last_was_disconnect_) {
        if (!told_about_repeats_) {
            told_about_repeats_ = true;
            emit(Event{"note", {}}.text("text", "(the library repeats 'disconnected' at every poll until the next "
                                                "login; repeats are not shown)"));
        }
        return;
    }
    last_was_disconnect_ = disconnect;
    check_state();  // a state change behind this event is told first
    emit(event);
    mailbox_.add(std::move(event));
}

void Session::on_admin_values(const wide_string& name, const wide_string& text, std::int32_t time) {
    received(reply("admin-values", name, text, time));
}

void Session::on_message(const wide_string& from, const wide_string& body, std::int32_t time) {
    Event event{"message", {}};
    event.text("from", to_utf8(from)).text("text", to_utf8(body)).time(time);
    received(event);
    if (echo_back_ && from != user_ && manager_ && manager_->get_state() == Velta_Client::STATE_CONNECTED) {
        const wide_string answer = u"echo: " + body;
        manager_->send_message(next_id_, from, answer);
        sent(Event{"sent", {}}
                 .text("request", "message")
                 .text("to", to_utf8(from))
                 .number("id", next_id_++)
                 .text("text", to_utf8(answer)));
    }
}

void Session::on_admin_identifier(const wide_string& name, const wide_string& field, const wide_string& text,
                                  std::int32_t time) {
    Event event = reply("admin-id", name, text, time);
    event.text("field", to_utf8(field));
    received(event);
}

// Why the connection ended, as the library says it: read in the callback
// that reports the end.
Event Session::with_end(Event event) {
    if (!manager_) return event;
    const Velta_Client::Connection_End end = manager_->get_last_end();
    if (end.cause == Velta_Client::END_NONE) return event;
    return event.text("cause", Velta_Client::end_words::name(end.cause)).text("why", to_utf8(end.text));
}

void Session::on_error(const Velta_Client::Error& error) {
    received(with_end(Event{"error", {}}.number("code", error.code).text("message", error.what())));
}

void Session::on_disconnected() { received(with_end(Event{"disconnected", {}})); }

void Session::on_connected() { received(Event{"connected", {}}); }

void Session::on_message_stored(std::uint32_t id, const wide_string& userid) {
    received(Event{"message-stored", {}}.number("id", id).text("user", to_utf8(userid)));
}

void Session::on_admin_text(const wide_string& name, const wide_string& text, std::int32_t time) {
    received(reply("admin-text", name, text, time));
}

void Session::on_command_values(const wide_string& name, const wide_string& text, std::int32_t time,
                                std::uint32_t reserve) {
    Event event = reply("cmd-values", name, text, time);
    event.number("reserve", reserve);
    received(event);
}

void Session::on_command_message(std::uint32_t code, const wide_string& name, const wide_string& text,
                                 std::int32_t time, std::uint32_t reserve) {
    Event event = reply("cmd-message", name, text, time);
    event.number("code", code).number("reserve", reserve);
    received(event);
}

bool Session::connected_for(const std::string& what) {
    const int state = manager_->get_state();
    if (state == Velta_Client::STATE_CONNECTED) return true;
    report_error("not connected (state " + state_name(state) + "): " + what + " not sent");
    return false;
}

void Session::sent(Event event) {
    emit(event);
    check_state();  // a send that finds the link gone
}

Session::Step Session::fail(const std::string& line, const std::string& message) {
    emit(Event{"failed", {}}.text("command", line).text("message", message));
    return Step::failed;
}

Session::Step Session::run(const Command& command, const std::string& line) {
    const auto request = [&](const std::string& kind, const std::string& to) {
        Event event{"sent", {}};
        event.text("request", kind).text("to", to);
        return event;
    };
    switch (command.kind) {
        case Kind::chat:
        case Kind::msg: {
            const std::string& to = command.kind == Kind::msg ? command.name : peer_;
            if (to.empty()) {
                report_error("no peer yet: choose one with /to NAME");
                return Step::failed;
            }
            if (!connected_for("message")) return Step::failed;
            manager_->send_message(next_id_, from_utf8(to), from_utf8(command.text));
            sent(request("message", to).number("id", next_id_++).text("text", command.text));
            return Step::done;
        }
        case Kind::to:
            peer_ = command.name;
            emit(Event{"note", {}}.text("text", "plain lines now go to " + peer_));
            return Step::done;
        case Kind::admin_text:
            if (!connected_for("request")) return Step::failed;
            manager_->send_admin_text(from_utf8(command.text));
            sent(request("admin-text", "admin").text("text", command.text));
            return Step::done;
        case Kind::admin_values:
            if (!connected_for("request")) return Step::failed;
            manager_->send_admin_values(command.values.data(), static_cast<std::uint32_t>(command.values.size()),
                                        from_utf8(command.text));
            sent(request("admin-values", "admin").text("values", joined(command.values)).text("text", command.text));
            return Step::done;
        case Kind::admin_id:
            if (!connected_for("request")) return Step::failed;
            manager_->send_admin_identifier(command.identifier, from_utf8(command.text));
            sent(request("admin-id", "admin")
                     .text("identifier", identifier_hex(command.identifier))
                     .text("text", command.text));
            return Step::done;
        case Kind::cmd_message:
            if (!connected_for("request")) return Step::failed;
            manager_->send_command_message(next_id_, from_utf8(command.name), from_utf8(command.text),
                                           command.reserve);
            sent(request("cmd-message", "cmdadmin")
                     .number("id", next_id_++)
                     .text("user", command.name)
                     .number("reserve", command.reserve)
                     .text("text", command.text));
            return Step::done;
        case Kind::cmd_values:
            if (!connected_for("request")) return Step::failed;
            manager_->send_command_values(command.values.data(), static_cast<std::uint32_t>(command.values.size()),
                                          from_utf8(command.text), command.reserve);
            sent(request("cmd-values", "cmdadmin")
                     .text("values", joined(command.values))
                     .number("reserve", command.reserve)
                     .text("text", command.text));
            return Step::done;
        case Kind::logout:
            if (manager_->get_state() != Velta_Client::STATE_CONNECTED) {
                report_error("/logout acts only when connected; the state is " + state_name(manager_->get_state()));
                return Step::failed;
            }
            mailbox_.drop("disconnected");
            manager_->logout();
            check_state();
            return Step::done;
        case Kind::start:
            if (manager_->get_state() != Velta_Client::STATE_IDLE) {
                report_error("/start acts only when idle; the state is " + state_name(manager_->get_state()));
                return Step::failed;
            }
            // A /wait after this /start is about this login, not an earlier one.
            for (const char* kind : {"connected", "disconnected", "error"}) mailbox_.drop(kind);
            manager_->start();
            check_state();
            return Step::done;
        case Kind::quit:
            return Step::quit;
        case Kind::help:
            if (json_)
                emit(Event{"note", {}}.text("text", help_text));
            else
                std::fputs(help_text, out_), std::fflush(out_);
            return Step::done;
        case Kind::state:
            emit(Event{"note", {}}.text("text", "state " + state_name(manager_->get_state())));
            return Step::done;
        case Kind::print:
            emit(Event{"note", {}}.text("text", command.text));
            return Step::done;
        case Kind::echo_back:
            echo_back_ = command.on;
            emit(Event{"note", {}}.text("text", std::string("echo-back ") + (command.on ? "on" : "off")));
            return Step::done;
        case Kind::wait:
        case Kind::sleep:
        case Kind::expect_state: {
            const auto span = std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                std::chrono::duration<double>(command.seconds));
            pending_ = Pending{command, line, std::chrono::steady_clock::now() + span};
            return progress();
        }
    }
    return Step::done;
}

Session::Step Session::progress() {
    if (!pending_) return Step::done;
    const Command& command = pending_->command;
    const bool late = std::chrono::steady_clock::now() >= pending_->deadline;
    bool met = false;
    std::string failure;
    switch (command.kind) {
        case Kind::wait:
            met = mailbox_.take(command.name, command.who);
            failure = "no " + command.name + (command.who.empty() ? "" : " from " + command.who) + " event came";
            break;
        case Kind::expect_state:
            met = manager_->get_state() == command.state;
            failure = "the state is " + state_name(manager_->get_state()) + ", not " + state_name(command.state);
            break;
        default:  // sleep
            met = late;
            break;
    }
    if (!met && !late) return Step::pending;
    const std::string line = pending_->line;
    pending_.reset();
    return met ? Step::done : fail(line, failure);
}

void Session::close() {
    if (!manager_) return;
    if (manager_->get_state() == Velta_Client::STATE_CONNECTED) {
        manager_->logout();
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(1);
        while (manager_->get_state() != Velta_Client::STATE_IDLE && std::chrono::steady_clock::now() < deadline) {
            poll();
            std::this_thread::sleep_for(std::chrono::milliseconds(16));
        }
    }
    delete manager_;
    manager_ = nullptr;
}

}  // namespace velta_cli
