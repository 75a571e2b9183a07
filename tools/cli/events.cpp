// SPDX-License-Identifier: GPL-3.0-or-later
#include "events.hpp"

#include <algorithm>
#include <cstdio>

namespace velta_cli {

Event& Event::text(std::string key, std::string value) {
    fields.push_back({std::move(key), std::move(value), false});
    return *this;
}

Event& Event::number(std::string key, std::int64_t value) {
    fields.push_back({std::move(key), std::to_string(value), true});
    return *this;
}

Event& Event::time(std::int32_t seconds) {
    number("time", seconds);
    return text("local_time", local_time(seconds, 0));
}

const std::string& Event::get(std::string_view key) const {
    static const std::string none;
    for (const Field& field : fields)
        if (field.key == key) return field.value;
    return none;
}

const std::string& Event::who() const {
    if (kind == "message") return get("from");
    if (kind == "message-stored") return get("user");
    if (kind == "error") return get("code");
    return get("name");
}

std::string json_quote(std::string_view text) {
    std::string out = "\"";
    for (const char ch : text) {
        const auto byte = static_cast<unsigned char>(ch);
        switch (ch) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\b': out += "\\b"; break;
            case '\f': out += "\\f"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            default:
                if (byte < 0x20 || byte == 0x7F) {
                    char escaped[8];
                    std::snprintf(escaped, sizeof escaped, "\\u%04x", byte);
                    out += escaped;
                } else {
                    out += ch;
                }
        }
    }
    return out + "\"";
}

std::string visible(std::string_view text) {
    std::string out;
    for (const char ch : text) {
        const auto byte = static_cast<unsigned char>(ch);
        if (ch == '\n') out += "\\n";
        else if (ch == '\t') out += "\\t";
        else if (ch == '\r') out += "\\r";
        else if (ch == '\0') out += "\\0";
        else if (byte < 0x20 || byte == 0x7F) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02X", byte);
            out += escaped;
        } else {
            out += ch;
        }
    }
    return out;
}

std::string local_time(std::time_t time, std::time_t now) {
    std::tm at{}, today{};
    localtime_r(&time, &at);
    localtime_r(&now, &today);
    const bool same_day = now != 0 && at.tm_year == today.tm_year && at.tm_yday == today.tm_yday;
    char out[32];
    std::strftime(out, sizeof out, same_day ? "%H:%M:%S" : "%Y-%m-%d %H:%M:%S", &at);
    return out;
}

std::string as_json(const Event& event) {
    std::string out = "{\"event\":" + json_quote(event.kind);
    for (const Field& field : event.fields)
        out += "," + json_quote(field.key) + ":" + (field.number ? field.value : json_quote(field.value));
    return out + "}";
}

namespace {

std::string sent_at(const Event& event, std::time_t now) {
    const std::string& time = event.get("time");
    return time.empty() ? std::string() : local_time(static_cast<std::time_t>(std::stoll(time)), now);
}

std::string describe(const Event& event, std::time_t now) {
    const auto get = [&](std::string_view key) { return visible(event.get(key)); };
    const std::string& kind = event.kind;
    if (kind == "connected") return "connected";
    const std::string why = event.get("cause").empty() ? "" : " (" + get("cause") + ": " + get("why") + ")";
    if (kind == "disconnected") return "disconnected" + why;
    if (kind == "error") return "error " + get("code") + ": " + get("message") + why;
    if (kind == "message")
        return "message from " + get("from") + ", sent " + sent_at(event, now) + ": " + get("text");
    if (kind == "message-stored")
        return "message #" + get("id") + " to " + get("user") + " was stored for later delivery";
    const std::string reply = " for " + get("name") + ", " + sent_at(event, now) + ": ";
    if (kind == "admin-values") return "admin values reply" + reply + get("text");
    if (kind == "admin-id") return "admin identifier reply" + reply + "field=" + get("field") + " " + get("text");
    if (kind == "admin-text") return "admin text reply" + reply + get("text");
    if (kind == "cmd-message")
        return "command message reply (code " + get("code") + ", reserve " + get("reserve") + ")" + reply +
               get("text");
    if (kind == "cmd-values") return "command values reply (reserve " + get("reserve") + ")" + reply + get("text");
    if (kind == "state")
        return "state " + get("previous_name") + "(" + get("previous") + ") -> " + get("name") + "(" + get("state") +
               ")";
    if (kind == "sent") {
        const std::string what = event.get("request");
        std::string line = "-> " + get("to");
        if (!event.get("id").empty()) line += " #" + get("id");
        if (what != "message") line += " [" + what + "]";
        if (!event.get("values").empty()) line += " values=" + get("values");
        if (!event.get("identifier").empty()) line += " identifier=" + get("identifier");
        if (!event.get("user").empty()) line += " user=" + get("user");
        if (!event.get("reserve").empty()) line += " reserve=" + get("reserve");
        return event.get("text").empty() ? line : line + ": " + get("text");
    }
    if (kind == "failed") return "FAILED " + get("command") + ": " + get("message");
    if (kind == "command-error") return "! " + get("message");
    if (kind == "note") return get("text");
    std::string line = kind;
    for (const Field& field : event.fields) line += " " + field.key + "=" + visible(field.value);
    return line;
}

}  // namespace

std::string as_text(const Event& event, std::time_t now) {
    return "[" + local_time(now, now) + "] " + describe(event, now);
}

void Mailbox::add(Event event) {
    if (events_.size() == capacity_) events_.pop_front();
    events_.push_back(std::move(event));
}

bool Mailbox::take(std::string_view kind, std::string_view who) {
    const auto found = std::find_if(events_.begin(), events_.end(), [&](const Event& event) {
        return event.kind == kind && (who.empty() || event.who() == who);
    });
    if (found == events_.end()) return false;
    events_.erase(found);
    return true;
}

void Mailbox::drop(std::string_view kind) {
    events_.erase(std::remove_if(events_.begin(), events_.end(), [&](const Event& event) { return event.kind == kind; }),
                  events_.end());
}

}  // namespace velta_cli
