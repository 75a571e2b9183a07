// SPDX-License-Identifier: GPL-3.0-or-later
// What velta-cli prints: the Handler's events and its own notes, each as one
// readable line or one JSON object.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <deque>
#include <string>
#include <string_view>
#include <vector>

namespace velta_cli {

struct Field {
    std::string key;
    std::string value;  // UTF-8
    bool number = false;
};

struct Event {
    std::string kind;  // "message", "admin-text", "state", "sent", ...
    std::vector<Field> fields;

    Event& text(std::string key, std::string value);
    Event& number(std::string key, std::int64_t value);
    // The time of a message or reply: "time" as a number and "local_time".
    Event& time(std::int32_t seconds);
    // The value of a field, or "" when there is none.
    const std::string& get(std::string_view key) const;
    // What /wait EVENT:WHO compares WHO with.
    const std::string& who() const;
};

// A JSON string literal; the text must be UTF-8.
std::string json_quote(std::string_view text);
// Control characters written as \n, \t, \0, \xNN so that network text cannot
// drive the terminal.
std::string visible(std::string_view text);
// Local time: HH:MM:SS when it is on the day of now, else with the date.
std::string local_time(std::time_t time, std::time_t now);

std::string as_json(const Event& event);
// now: the wall clock, for the line's own stamp and the day of message times.
std::string as_text(const Event& event, std::time_t now);

// Events no /wait has taken yet, oldest first.
class Mailbox {
public:
    explicit Mailbox(std::size_t capacity = 1000) : capacity_(capacity) {}
    void add(Event event);
    // Removes and returns true for the oldest event of that kind (and WHO, if
    // not empty).
    bool take(std::string_view kind, std::string_view who);
    void drop(std::string_view kind);
    std::size_t size() const { return events_.size(); }

private:
    std::size_t capacity_;
    std::deque<Event> events_;
};

}  // namespace velta_cli
