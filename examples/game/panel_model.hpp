// SPDX-License-Identifier: GPL-3.0-or-later
// Everything the chat panel shows, as plain data: the conversation, the
// events as they came, the last reply to each service request, the
// connection state and the library's call costs. Chat_Host fills it; the
// view draws it; the tests read it.
#pragma once

#include "call_log.hpp"

#include <cstdint>
#include <deque>
#include <string>

namespace velta_game {

struct Chat_Line {
    std::int32_t time = 0;  // the message's send time (its delay stamp when delayed)
    std::string from;       // UTF-8 user name
    std::string to;         // for our own lines: the addressee
    std::string text;       // UTF-8
    bool own = false;
    bool echoed = false;    // own line: the server's copy came back
};

struct Event_Line {
    std::int32_t time = 0;  // the host clock
    std::string text;
    int repeats = 1;        // the same event again and again (lost link)
};

// The five service requests, in the order of the panel's buttons.
enum class Request { admin_values, admin_identifier, admin_text, command_message, command_values };
constexpr int request_kinds = 5;
const char* request_name(Request request);

struct Reply_Slot {
    int sent = 0;
    int answered = 0;
    std::string text;        // the last reply, as shown
    std::int32_t time = 0;
};

class Panel_Model {
public:
    explicit Panel_Model(std::size_t keep_lines = 200) : keep_(keep_lines) {}

    void add_line(Chat_Line line);
    // The server's copy of a message we sent: marks our line, returns false
    // when no line of ours waits for it.
    bool confirm_own(const std::string& text);
    void add_event(std::int32_t time, std::string text);

    const std::deque<Chat_Line>& conversation() const { return conversation_; }
    const std::deque<Event_Line>& events() const { return events_; }
    Reply_Slot& reply(Request request) { return replies_[static_cast<int>(request)]; }
    const Reply_Slot& reply(Request request) const { return replies_[static_cast<int>(request)]; }

    // Received texts (other users' chat and every reply), oldest first, for
    // whoever checks what reached the panel.
    const std::deque<std::string>& received() const { return received_; }
    void note_received(const std::string& text);

    int state = 4;  // Velta_Client::STATE_IDLE
    int logins = 0;
    Call_Log calls;

private:
    std::size_t keep_;
    std::deque<Chat_Line> conversation_;
    std::deque<Event_Line> events_;
    std::deque<std::string> received_;
    Reply_Slot replies_[request_kinds];
};

// "HH:MM:SS" in local time.
std::string clock_text(std::int32_t time);
// "REGISTERING", "CONNECTED", ...
const char* state_text(int state);

}  // namespace velta_game
