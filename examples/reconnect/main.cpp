// SPDX-License-Identifier: GPL-3.0-or-later
// velta-example-reconnect: a host that stays connected. It logs in, and
// whenever the connection is lost it tries again as Reconnect_Policy says,
// printing why each connection ended. It logs out and leaves when its input
// ends (Ctrl-D) or at Ctrl-C.
//
//   velta-example-reconnect [--first SECONDS] [--cap SECONDS] SERVER USER PASSWORD
#include "reconnect_policy.hpp"

#include <velta_client/end_words.hpp>
#include <velta_client/text.hpp>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <string>
#include <thread>

#include <poll.h>
#include <unistd.h>

namespace {

using Velta_Client::wide_string;

volatile std::sig_atomic_t interrupted = 0;

double seconds_now() {
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

struct Wall_Clock : Velta_Client::Clock {
    std::int32_t now() override { return static_cast<std::int32_t>(std::time(nullptr)); }
};

struct Staying_Host : Velta_Client::Default_Handler {
    Velta_Client::Velta_Manager* manager = nullptr;
    Reconnect_Policy policy;
    bool leaving = false;  // our own last logout

    explicit Staying_Host(Reconnect_Policy policy) : policy(policy) {}

    void on_connected() override {
        policy.connected();
        std::printf("connected\n");
    }
    void on_disconnected() override {
        if (leaving) return;
        // The 100-probe notice comes while still connected: the link is
        // dead, so end it and go through the same recipe.
        const bool dead_link = manager->get_state() == Velta_Client::STATE_CONNECTED;
        lost();
        if (dead_link) manager->logout();
    }
    void on_error(const Velta_Client::Error&) override { lost(); }

    // The first report of an end; the policy ignores the repeats.
    void lost() {
        const Velta_Client::Connection_End end = manager->get_last_end();
        const double before = policy.next_try();
        if (!policy.lost(end, seconds_now()))
            print("not trying again", end);
        else if (policy.next_try() != before)
            print("lost", end);
    }

    void print(const char* what, const Velta_Client::Connection_End& end) {
        std::printf("%s (%s: %s)", what, Velta_Client::end_words::name(end.cause),
                    Velta_Client::text::to_utf8(end.text).c_str());
        if (!policy.stopped()) std::printf("; next try in %.1f s", policy.next_try() - seconds_now());
        std::printf("\n");
    }
};

bool input_ended() {
    pollfd in{0, POLLIN, 0};
    if (::poll(&in, 1, 0) <= 0) return false;
    char buffer[256];
    return ::read(0, buffer, sizeof buffer) <= 0;
}

}  // namespace

int main(int argc, char** argv) {
    double first = 1.0, cap = 60.0;
    int at = 1;
    for (; at + 1 < argc && std::string(argv[at]).rfind("--", 0) == 0; at += 2) {
        if (std::string(argv[at]) == "--first") first = std::atof(argv[at + 1]);
        else if (std::string(argv[at]) == "--cap") cap = std::atof(argv[at + 1]);
    }
    if (argc - at != 3 || first <= 0 || cap < first) {
        std::fprintf(stderr, "usage: velta-example-reconnect [--first SECONDS] [--cap SECONDS] SERVER USER PASSWORD\n");
        return 2;
    }
    std::signal(SIGINT, [](int) { interrupted = 1; });
    std::setvbuf(stdout, nullptr, _IOLBF, 0);

    Wall_Clock clock;
    Staying_Host host{Reconnect_Policy(first, cap)};
    namespace text = Velta_Client::text;
    std::unique_ptr<Velta_Client::Velta_Manager> manager(new_velta_manager(
        &clock, &host, text::from_utf8(argv[at]), text::from_utf8(argv[at + 1]), text::from_utf8(argv[at + 2])));
    if (!manager) return 1;
    host.manager = manager.get();
    manager->start();

    // The game loop: poll every frame, then ask the policy.
    while (!interrupted && !input_ended() && !host.policy.stopped()) {
        manager->poll();
        const int failures = host.policy.failures();
        const bool due = host.policy.due(seconds_now(), manager->get_state());
        if (host.policy.failures() != failures) host.print("try failed", manager->get_last_end());
        if (due) {
            std::printf("trying again\n");
            manager->start();
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(16));
    }
    const bool gave_up = host.policy.stopped();
    if (manager->get_state() == Velta_Client::STATE_CONNECTED) {
        host.leaving = true;
        manager->logout();
        for (int frame = 0; frame < 60 && manager->get_state() != Velta_Client::STATE_IDLE; ++frame) manager->poll();
    }
    return gave_up ? 1 : 0;
}
