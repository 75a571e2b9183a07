// SPDX-License-Identifier: GPL-3.0-or-later
// A host's side of the contract, for tests: a clock the test sets and a
// handler that records every call as one readable line.
#pragma once

#include <velta_client/velta_client.hpp>

#include <functional>
#include <string>
#include <vector>

namespace velta_test {

class Test_Clock : public Velta_Client::Clock {
public:
    explicit Test_Clock(std::int32_t start = 1000) : time(start) {}
    std::int32_t now() override {
        ++reads;
        return time;
    }
    std::int32_t time;
    int reads = 0;
};

// UTF-8 form of host text, for readable expectations.
std::string utf8(const Velta_Client::wide_string& text);
Velta_Client::wide_string wide(const std::string& utf8_text);

// Records each Handler call as a line such as
//   on_message(from=bob, body=hi, time=1000)
//   on_error(code=2, message=register failed.)
// Texts appear as UTF-8; a NUL inside a text is shown as \0.
class Recording_Handler : public Velta_Client::Handler {
public:
    std::vector<std::string> events;
    // Runs after each call is recorded (for hosts that react to events).
    std::function<void(const std::string&)> on_event;

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

    // Events recorded since the last take(), which clears them.
    std::vector<std::string> take();
    int count(const std::string& prefix) const;

private:
    void record(std::string line);
};

}  // namespace velta_test
