// SPDX-License-Identifier: GPL-3.0-or-later
// A complete host, as small as it can be: a 60 Hz loop that polls the
// manager, every Handler callback printed, and one session: start, a chat
// message, one request to the "admin" service, logout.
//
//   velta-example-host SERVER USER PASSWORD [TO]
//
// TO is the user the message goes to (the user itself when not given: the
// server brings it back). It logs out once the message and the service's
// answer have come, or 5 seconds after sending. Exit status 0 when the login,
// the message and the answer all came, 1 otherwise.
#include <velta_client/text.hpp>
#include <velta_client/velta_client.hpp>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <memory>
#include <string>
#include <thread>

namespace {

using Velta_Client::wide_string;
using Velta_Client::text::from_utf8;
using Velta_Client::text::to_utf8;

// The library asks the host for the time: seconds since 1970, UTC.
struct Wall_Clock : Velta_Client::Clock {
    std::int32_t now() override { return static_cast<std::int32_t>(std::time(nullptr)); }
};

// Every callback arrives inside poll(), on the thread that calls it.
struct Printing_Handler : Velta_Client::Handler {
    bool connected = false;
    bool disconnected = false;
    bool failed = false;
    bool got_message = false;
    bool got_reply = false;

    void on_connected() override {
        std::printf("connected\n");
        connected = true;
    }
    void on_disconnected() override {
        std::printf("disconnected\n");
        disconnected = true;
    }
    void on_error(const Velta_Client::Error& error) override {
        std::printf("error %d: %s\n", static_cast<int>(error.code), error.what());
        failed = true;
    }
    void on_message(const wide_string& from, const wide_string& body, std::int32_t time) override {
        std::printf("message from %s (sent %ld): %s\n", to_utf8(from).c_str(), static_cast<long>(time),
                    to_utf8(body).c_str());
        got_message = true;
    }
    void on_message_stored(std::uint32_t id, const wide_string& userid) override {
        std::printf("message %u to %s stored for later delivery\n", id, to_utf8(userid).c_str());
    }
    void on_admin_text(const wide_string& name, const wide_string& text, std::int32_t) override {
        std::printf("admin text reply for %s: %s\n", to_utf8(name).c_str(), to_utf8(text).c_str());
        got_reply = true;
    }
    void on_admin_values(const wide_string& name, const wide_string& text, std::int32_t) override {
        std::printf("admin values reply for %s: %s\n", to_utf8(name).c_str(), to_utf8(text).c_str());
    }
    void on_admin_identifier(const wide_string& name, const wide_string& field, const wide_string& text,
                             std::int32_t) override {
        std::printf("admin identifier reply for %s: %zu units, %s\n", to_utf8(name).c_str(), field.size(),
                    to_utf8(text).c_str());
    }
    void on_command_message(std::uint32_t code, const wide_string& name, const wide_string& text, std::int32_t,
                            std::uint32_t reserve) override {
        std::printf("command reply %u for %s (reserve %u): %s\n", code, to_utf8(name).c_str(), reserve,
                    to_utf8(text).c_str());
    }
    void on_command_values(const wide_string& name, const wide_string& text, std::int32_t,
                           std::uint32_t reserve) override {
        std::printf("command values reply for %s (reserve %u): %s\n", to_utf8(name).c_str(), reserve,
                    to_utf8(text).c_str());
    }
};

}  // namespace

int main(int argc, char** argv) {
    if (argc < 4 || argc > 5) {
        std::fprintf(stderr, "usage: velta-example-host SERVER USER PASSWORD [TO]\n");
        return 2;
    }
    const std::string to = argc == 5 ? argv[4] : argv[2];

    // The clock and the handler must outlive the manager.
    Wall_Clock clock;
    Printing_Handler handler;
    std::unique_ptr<Velta_Client::Velta_Manager> manager(
        new_velta_manager(&clock, &handler, from_utf8(argv[1]), from_utf8(argv[2]), from_utf8(argv[3])));
    if (!manager) return 1;
    manager->start();  // registers the account if needed, then logs in

    bool sent = false;
    bool logged_out = false;
    std::chrono::steady_clock::time_point sent_at;
    const auto frame = std::chrono::microseconds(16667);
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    auto next_frame = std::chrono::steady_clock::now();
    // The game loop: one poll() a frame; it never waits for the network.
    while (std::chrono::steady_clock::now() < give_up) {
        manager->poll();
        if (handler.connected && !sent) {
            manager->send_message(1, from_utf8(to), u"Hello from the example host \u2713");
            manager->send_admin_text(u"hello, admin");
            sent = true;
            sent_at = std::chrono::steady_clock::now();
        }
        const bool answered = handler.got_message && handler.got_reply;
        if (sent && !logged_out && (answered || std::chrono::steady_clock::now() - sent_at > std::chrono::seconds(5))) {
            if (!answered) std::printf("no %s within 5 s\n", handler.got_message ? "answer from admin" : "message");
            manager->logout();  // on_disconnected comes with a later poll()
            logged_out = true;
        }
        if (handler.failed || (logged_out && manager->get_state() == Velta_Client::STATE_IDLE)) break;
        next_frame += frame;
        std::this_thread::sleep_until(next_frame);
    }
    const bool ok = logged_out && handler.disconnected && handler.got_message && handler.got_reply;
    std::printf("example host: %s\n", ok ? "done" : "FAILED");
    return ok ? 0 : 1;
}
