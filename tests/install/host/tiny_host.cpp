// SPDX-License-Identifier: GPL-3.0-or-later
// A tiny host built against the installed package only: it makes a manager
// with a clock and a handler, checks that it starts idle and stays idle over a
// poll, destroys it, and prints which libvelta_client the loader picked.
#include <velta_client/velta_client.hpp>

#include <link.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>

namespace {

struct Host_Clock : Velta_Client::Clock {
    std::int32_t now() override { return static_cast<std::int32_t>(std::time(nullptr)); }
};

// Nothing may be reported before start(): every call is counted as a failure.
struct Host_Handler : Velta_Client::Handler {
    int events = 0;
    void on_admin_values(const Velta_Client::wide_string&, const Velta_Client::wide_string&, std::int32_t) override {
        ++events;
    }
    void on_message(const Velta_Client::wide_string&, const Velta_Client::wide_string&, std::int32_t) override {
        ++events;
    }
    void on_admin_identifier(const Velta_Client::wide_string&, const Velta_Client::wide_string&,
                             const Velta_Client::wide_string&, std::int32_t) override {
        ++events;
    }
    void on_error(const Velta_Client::Error&) override { ++events; }
    void on_disconnected() override { ++events; }
    void on_connected() override { ++events; }
    void on_message_stored(std::uint32_t, const Velta_Client::wide_string&) override { ++events; }
    void on_admin_text(const Velta_Client::wide_string&, const Velta_Client::wide_string&, std::int32_t) override {
        ++events;
    }
    void on_command_values(const Velta_Client::wide_string&, const Velta_Client::wide_string&, std::int32_t,
                           std::uint32_t) override {
        ++events;
    }
    void on_command_message(std::uint32_t, const Velta_Client::wide_string&, const Velta_Client::wide_string&,
                            std::int32_t, std::uint32_t) override {
        ++events;
    }
};

// The path of the loaded object whose file name starts with libvelta_client.
int find_library(struct dl_phdr_info* info, std::size_t, void* data) {
    const char* name = info->dlpi_name;
    const char* base = name ? std::strrchr(name, '/') : nullptr;
    base = base ? base + 1 : name;
    if (base && std::strncmp(base, "libvelta_client.so", 18) == 0) {
        *static_cast<std::string*>(data) = name;
        return 1;
    }
    return 0;
}

}  // namespace

int main() {
    Host_Clock clock;
    Host_Handler handler;
    Velta_Client::Velta_Manager* manager = new_velta_manager(&clock, &handler, u"127.0.0.1", u"alice", u"secret");
    if (!manager) {
        std::fprintf(stderr, "tiny host: new_velta_manager returned null\n");
        return 1;
    }
    const int state = manager->get_state();
    manager->poll();
    const int state_after_poll = manager->get_state();
    delete manager;

    std::string library;
    dl_iterate_phdr(find_library, &library);
    std::printf("tiny host: state %d, after poll %d, %d events\n", state, state_after_poll, handler.events);
    std::printf("library: %s\n", library.empty() ? "(not found)" : library.c_str());
    const bool ok = state == Velta_Client::STATE_IDLE && state_after_poll == Velta_Client::STATE_IDLE &&
                    handler.events == 0 && !library.empty();
    std::printf("tiny host: %s\n", ok ? "ok" : "FAILED");
    return ok ? 0 : 1;
}
