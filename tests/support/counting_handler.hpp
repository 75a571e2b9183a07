// SPDX-License-Identifier: GPL-3.0-or-later
// A host that counts what it hears and keeps the last chat message and
// error: cheap enough for a fuzzer's thousands of runs a second and for the
// benchmarks' floods. on_message calls the hook, when set, after counting.
// Header-only and on the public header alone, so that the fuzzers and the
// benchmarks take it without the tests' support library.
#pragma once

#include <velta_client/velta_client.hpp>

#include <cstdint>
#include <functional>
#include <string>

namespace velta_test {

class Counting_Handler : public Velta_Client::Handler {
public:
    using wide_string = Velta_Client::wide_string;

    long messages = 0;
    long replies = 0;  // service replies and stored-offline notices
    long errors = 0;
    long connected = 0;
    long disconnected = 0;
    long calls = 0;  // every operation, in total
    wide_string last_from;
    wide_string last_body;
    std::int32_t last_time = 0;
    std::string last_error;
    std::function<void(const wide_string& from, const wide_string& body)> message_hook;

    void on_message(const wide_string& from, const wide_string& body, std::int32_t time) override {
        ++messages;
        ++calls;
        last_from = from;
        last_body = body;
        last_time = time;
        if (message_hook) message_hook(from, body);
    }
    void on_error(const Velta_Client::Error& error) override {
        ++errors;
        ++calls;
        last_error = error.what();
    }
    void on_connected() override {
        ++connected;
        ++calls;
    }
    void on_disconnected() override {
        ++disconnected;
        ++calls;
    }
    void on_admin_values(const wide_string&, const wide_string&, std::int32_t) override { reply(); }
    void on_admin_identifier(const wide_string&, const wide_string&, const wide_string&, std::int32_t) override {
        reply();
    }
    void on_admin_text(const wide_string&, const wide_string&, std::int32_t) override { reply(); }
    void on_message_stored(std::uint32_t, const wide_string&) override { reply(); }
    void on_command_values(const wide_string&, const wide_string&, std::int32_t, std::uint32_t) override {
        reply();
    }
    void on_command_message(std::uint32_t, const wide_string&, const wide_string&, std::int32_t,
                            std::uint32_t) override {
        reply();
    }

    // Every count and kept text back to zero; the hook stays.
    void clear() {
        auto hook = std::move(message_hook);
        *this = Counting_Handler();
        message_hook = std::move(hook);
    }

private:
    void reply() {
        ++replies;
        ++calls;
    }
};

}  // namespace velta_test
