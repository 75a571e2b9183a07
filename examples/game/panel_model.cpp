// SPDX-License-Identifier: GPL-3.0-or-later
#include "panel_model.hpp"

#include <velta_client/velta_client.hpp>

#include <ctime>

namespace velta_game {

const char* request_name(Request request) {
    switch (request) {
        case Request::admin_values: return "admin values";
        case Request::admin_identifier: return "admin identifier";
        case Request::admin_text: return "admin text";
        case Request::command_message: return "command message";
        case Request::command_values: return "command values";
    }
    return "?";
}

namespace {

template <class T>
void keep_last(std::deque<T>& lines, std::size_t keep) {
    while (lines.size() > keep) lines.pop_front();
}

}  // namespace

void Panel_Model::add_line(Chat_Line line) {
    conversation_.push_back(std::move(line));
    keep_last(conversation_, keep_);
}

bool Panel_Model::confirm_own(const std::string& text) {
    for (Chat_Line& line : conversation_) {
        if (line.own && !line.echoed && line.text == text) {
            line.echoed = true;
            return true;
        }
    }
    return false;
}

void Panel_Model::add_event(std::int32_t time, std::string text) {
    if (!events_.empty() && events_.back().text == text) {
        ++events_.back().repeats;
        events_.back().time = time;
        return;
    }
    events_.push_back(Event_Line{time, std::move(text), 1});
    keep_last(events_, keep_);
}

void Panel_Model::note_received(const std::string& text) {
    received_.push_back(text);
    keep_last(received_, keep_ * 5);
}

std::string clock_text(std::int32_t time) {
    const std::time_t seconds = time;
    std::tm local{};
    localtime_r(&seconds, &local);
    char text[16];
    std::strftime(text, sizeof text, "%H:%M:%S", &local);
    return text;
}

const char* state_text(int state) {
    switch (state) {
        case Velta_Client::STATE_REGISTERING: return "REGISTERING";
        case Velta_Client::STATE_LOGGING_IN: return "LOGGING IN";
        case Velta_Client::STATE_CONNECTED: return "CONNECTED";
        case Velta_Client::STATE_RESETTING: return "RESETTING";
        case Velta_Client::STATE_IDLE: return "IDLE";
    }
    return "?";
}

}  // namespace velta_game
