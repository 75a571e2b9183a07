// SPDX-License-Identifier: GPL-3.0-or-later
// Sends to a server that has stopped reading (Prosody frozen with SIGSTOP).
// Library: a logged-in manager sends chat messages of 1,000 characters, with
// a poll after every tenth send as a frame loop would, until it gives the
// connection up (its 16 MiB buffer overflows) or a bound is reached. Every
// send and poll is timed by wall clock, by this thread's processor time and
// by the time it waited for a processor (the machine is shared); a call's own
// time is its wall time less that waiting.
// Raw gloox: the same sends on its blocking socket; a watchdog thread resumes
// the server after one second, so that the send that blocks returns and the
// program stays bounded.
// Usage: velta_bench_frozen [library runs]
#include "integration/prosody_server.hpp"
#include "raw/raw_client.hpp"
#include "support/bench_support.hpp"

#include <malloc.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

using namespace velta_bench;
using Velta_Client::STATE_CONNECTED;

namespace {

constexpr std::size_t text_length = 1000;
constexpr long send_bound = 20000;
const auto run_limit = std::chrono::seconds(30);
const auto watchdog_delay = std::chrono::milliseconds(1000);

// Thrown, not exited: unwinding stops the private server.
[[noreturn]] void fail(const std::string& what) { throw std::runtime_error(what); }

struct Timed {
    double wall_ms = 0;
    double cpu_ms = 0;
    double own_ms = 0;
    long index = 0;  // 1-based send number
};

template <class Body>
Timed time_call(const Thread_Times& times, long index, Body body) {
    const Call_Time time = time_one_call(times, body);
    return {time.wall_ms, time.cpu_ms, time.own_ms, index};
}

struct Frozen_Run {
    Timed longest_wall;  // the send with the longest wall time
    Timed longest_own;   // the send with the longest own time
    double longest_poll_own_ms = 0;
    long sends = 0;
    bool gave_up = false;  // the manager counted the connection as lost
};

Frozen_Run library_run(velta_test::Prosody_Server& prosody, const std::string& user) {
    Library_Host host(prosody.address(), user);
    if (!host.log_in()) fail("no login");
    const std::u16string text = wide(chat_text(text_length));
    const Thread_Times times;
    Frozen_Run run;
    prosody.freeze();
    const auto deadline = Steady::now() + run_limit;
    while (host.manager->get_state() == STATE_CONNECTED && run.sends < send_bound && Steady::now() < deadline) {
        const long index = ++run.sends;
        const Timed send = time_call(
            times, index, [&] { host.manager->send_message(static_cast<std::uint32_t>(index), u"nobody", text); });
        if (send.wall_ms > run.longest_wall.wall_ms) run.longest_wall = send;
        if (send.own_ms > run.longest_own.own_ms) run.longest_own = send;
        if (index % 10 == 0) {
            const Timed poll = time_call(times, index, [&] { host.manager->poll(); });
            run.longest_poll_own_ms = std::max(run.longest_poll_own_ms, poll.own_ms);
        }
    }
    run.gave_up = host.manager->get_state() != STATE_CONNECTED;
    prosody.resume();
    host.manager->poll();
    if (run.gave_up && host.handler.disconnected == 0) fail("no on_disconnected after the connection was given up");
    return run;
}

struct Raw_Frozen_Run {
    double longest_send_ms = 0;
    long sends = 0;
};

Raw_Frozen_Run raw_run(velta_test::Prosody_Server& prosody, const std::string& node) {
    if (!raw_register(prosody.address(), node)) fail("no raw registration");
    Raw_Client raw(prosody.address(), node);
    if (!raw.log_in()) fail("no raw login");
    const std::string text = chat_text(text_length);
    const gloox::JID nobody(node_of("nobody") + "@localhost");
    Raw_Frozen_Run run;
    std::atomic<bool> resumed{false};
    prosody.freeze();
    std::thread watchdog([&] {
        std::this_thread::sleep_for(watchdog_delay);
        prosody.resume();
        resumed = true;
    });
    const auto deadline = Steady::now() + run_limit;
    // Stops after the send that outlasted the freeze, or at the bounds.
    while (!resumed && raw.connected && run.sends < send_bound && Steady::now() < deadline) {
        const auto start = Steady::now();
        raw.send_pair(nobody, text, std::to_string(run.sends + 1), "nobody");
        run.longest_send_ms = std::max(run.longest_send_ms, elapsed_ms(start, Steady::now()));
        ++run.sends;
        if (run.sends % 10 == 0) raw.client.recv(0);
    }
    watchdog.join();
    raw.client.disconnect();
    return run;
}

// For the notes when the target is missed: the longest single append while a
// std::string grows to 1 MiB by one send's worth of stanzas at a time, in
// the state of a process that has not yet freed a large block (glibc then
// serves every block above 128 KiB with fresh pages from mmap; once one is
// freed it raises that threshold, which is why this runs last and fixes it).
// Median of 5.
double string_growth_ms() {
    ::mallopt(M_MMAP_THRESHOLD, 128 * 1024);
    std::vector<double> longest;
    const std::string chunk(2 * (text_length + 200), 'x');
    for (int i = 0; i < 5; ++i) {
        std::string buffer;
        double worst = 0;
        while (buffer.size() + chunk.size() <= (1u << 20)) {
            const auto start = Steady::now();
            buffer += chunk;
            worst = std::max(worst, elapsed_ms(start, Steady::now()));
        }
        longest.push_back(worst);
    }
    return median(longest);
}

int run(int argc, char** argv) {
    const int runs = argc > 1 ? std::atoi(argv[1]) : 3;
    velta_test::Prosody_Server prosody;

    std::vector<double> longest_own, longest_wall, longest_polls, sends;
    bool always_gave_up = true;
    for (int i = 0; i < runs; ++i) {
        const Frozen_Run run = library_run(prosody, "frozen-" + std::to_string(i));
        std::printf(
            "library run %d: %ld sends, %s; longest send by wall time %.3f ms (send %ld: %.3f ms own,"
            " %.3f ms processor); by own time %.3f ms (send %ld: %.3f ms processor); longest poll %.3f ms"
            " own\n",
            i, run.sends, run.gave_up ? "connection given up" : "still connected at the bound",
            run.longest_wall.wall_ms, run.longest_wall.index, run.longest_wall.own_ms, run.longest_wall.cpu_ms,
            run.longest_own.own_ms, run.longest_own.index, run.longest_own.cpu_ms, run.longest_poll_own_ms);
        longest_own.push_back(run.longest_own.own_ms);
        longest_wall.push_back(run.longest_wall.wall_ms);
        longest_polls.push_back(run.longest_poll_own_ms);
        sends.push_back(static_cast<double>(run.sends));
        always_gave_up = always_gave_up && run.gave_up;
    }
    const Raw_Frozen_Run raw = raw_run(prosody, node_of("frozen-raw"));
    std::printf("raw run: %ld sends, longest send %.1f ms (the watchdog resumed the server after %lld ms)\n", raw.sends,
                raw.longest_send_ms, static_cast<long long>(watchdog_delay.count()));

    result("frozen_runs", runs);
    result("frozen_send_longest_own_library_ms", maximum(longest_own));
    result("frozen_send_longest_wall_library_ms", maximum(longest_wall));
    result("frozen_poll_longest_own_library_ms", maximum(longest_polls));
    result("frozen_sends_until_given_up", median(sends));
    result("frozen_library_gave_up", always_gave_up ? 1 : 0);
    result("frozen_send_longest_raw_ms", raw.longest_send_ms);
    result("frozen_raw_watchdog_ms", static_cast<double>(watchdog_delay.count()));
    result("frozen_string_growth_ms", string_growth_ms());
    return 0;
}

}  // namespace

int main(int argc, char** argv) { return velta_bench::run_reporting_errors(argc, argv, run); }
