// SPDX-License-Identifier: GPL-3.0-or-later
#include "support/host_doubles.hpp"

#include "text/utf8.hpp"

namespace velta_test {

using Velta_Client::wide_string;
namespace te = Velta_Client::text_encoding;

std::string utf8(const wide_string& text) {
    std::string out;
    for (char ch : te::to_utf8(text)) {
        if (ch == '\0')
            out += "\\0";
        else
            out += ch;
    }
    return out;
}

wide_string wide(const std::string& utf8_text) { return te::from_utf8(utf8_text); }

void Recording_Handler::record(std::string line) {
    events.push_back(line);
    if (on_event) on_event(line);
}

std::vector<std::string> Recording_Handler::take() {
    std::vector<std::string> out;
    out.swap(events);
    return out;
}

int Recording_Handler::count(const std::string& prefix) const {
    int n = 0;
    for (const auto& e : events)
        if (e.compare(0, prefix.size(), prefix) == 0) ++n;
    return n;
}

void Recording_Handler::on_admin_values(const wide_string& name, const wide_string& text, std::int32_t time) {
    record("on_admin_values(name=" + utf8(name) + ", text=" + utf8(text) + ", time=" + std::to_string(time) + ")");
}

void Recording_Handler::on_message(const wide_string& from, const wide_string& body, std::int32_t time) {
    record("on_message(from=" + utf8(from) + ", body=" + utf8(body) + ", time=" + std::to_string(time) + ")");
}

void Recording_Handler::on_admin_identifier(const wide_string& name, const wide_string& field, const wide_string& text,
                                            std::int32_t time) {
    record("on_admin_identifier(name=" + utf8(name) + ", field=" + utf8(field) + ", text=" + utf8(text) +
           ", time=" + std::to_string(time) + ")");
}

void Recording_Handler::on_error(const Velta_Client::Error& error) {
    record("on_error(code=" + std::to_string(error.code) + ", message=" + error.what() + ")");
}

void Recording_Handler::on_disconnected() { record("on_disconnected()"); }

void Recording_Handler::on_connected() { record("on_connected()"); }

void Recording_Handler::on_message_stored(std::uint32_t id, const wide_string& userid) {
    record("on_message_stored(id=" + std::to_string(id) + ", userid=" + utf8(userid) + ")");
}

void Recording_Handler::on_admin_text(const wide_string& name, const wide_string& text, std::int32_t time) {
    record("on_admin_text(name=" + utf8(name) + ", text=" + utf8(text) + ", time=" + std::to_string(time) + ")");
}

void Recording_Handler::on_command_values(const wide_string& name, const wide_string& text, std::int32_t time,
                                          std::uint32_t reserve) {
    record("on_command_values(name=" + utf8(name) + ", text=" + utf8(text) + ", time=" + std::to_string(time) +
           ", reserve=" + std::to_string(reserve) + ")");
}

void Recording_Handler::on_command_message(std::uint32_t code, const wide_string& name, const wide_string& text,
                                           std::int32_t time, std::uint32_t reserve) {
    record("on_command_message(code=" + std::to_string(code) + ", name=" + utf8(name) + ", text=" + utf8(text) +
           ", time=" + std::to_string(time) + ", reserve=" + std::to_string(reserve) + ")");
}

}  // namespace velta_test
