// SPDX-License-Identifier: GPL-3.0-or-later
// The frame hitch of a login: every call the host makes from start() to
// on_connected, timed one by one, against a raw gloox register-then-login
// timed the same way; runs alternate (library, raw, ...), each with a fresh
// account, and both sides call poll()/recv(0) back to back (no frame pacing).
//
// The raw program: a credential-less gloox::Client with a gloox::Registration
// connects, fetches the fields when connected, answers them and waits for the
// result (recv(0) each call); then disconnect(), destroy it, build the login
// client, connect, recv(0) until onConnect. Both sides build their first
// client before the clock starts (the library does it in new_velta_manager).
//
// Every call is timed three ways: wall time, this thread's processor time,
// and the time it was ready to run but waiting for a processor (the machine
// is shared). A call's own time is its wall time less that waiting.
// The SCRAM proof is the call of the login phase that used the most processor
// time (polls entered in STATE_LOGGING_IN; recv(0) of the raw login client).
// Every other call is a frame call.
// Usage: velta_bench_login [runs]
#include "integration/prosody_server.hpp"
#include "raw/raw_client.hpp"
#include "support/bench_support.hpp"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

using namespace velta_bench;
using Velta_Client::STATE_LOGGING_IN;

namespace {

const auto login_limit = std::chrono::seconds(20);

// Thrown, not exited: unwinding stops the private server.
[[noreturn]] void fail(const std::string& what) { throw std::runtime_error(what); }

using Call = Timed_Call;

struct Login_Run {
    double total_ms = 0;
    std::vector<Call> calls;

    // The SCRAM step: the login-phase call with the most processor time.
    const Call& scram() const {
        const Call* best = nullptr;
        for (const Call& call : calls)
            if (call.login_phase && (!best || call.cpu_ms > best->cpu_ms)) best = &call;
        if (!best) fail("no login-phase call");
        return *best;
    }
    // The longest of the other calls, by wall time or by own time.
    template <class Key>
    const Call& longest_other(Key key) const {
        const Call* scram_call = &scram();
        const Call* best = nullptr;
        for (const Call& call : calls)
            if (&call != scram_call && (!best || key(call) > key(*best))) best = &call;
        if (!best) fail("no frame call");
        return *best;
    }
    const Call& longest_wall() const {
        return longest_other([](const Call& call) { return call.wall_ms; });
    }
    const Call& longest_own() const {
        return longest_other([](const Call& call) { return call.own_ms; });
    }
};

std::string state_name(int state) {
    switch (state) {
        case Velta_Client::STATE_REGISTERING:
            return "registering";
        case Velta_Client::STATE_LOGGING_IN:
            return "logging in";
        case Velta_Client::STATE_CONNECTED:
            return "connected";
        case Velta_Client::STATE_RESETTING:
            return "resetting";
        default:
            return "idle";
    }
}

Login_Run library_login(const std::string& address, const std::string& user) {
    Library_Host host(address, user);
    Login_Run run;
    Call_Timer timer(run.calls);
    const auto begin = Steady::now();
    const auto deadline = begin + login_limit;
    timer.time("start", false, [&] { host.manager->start(); });
    while (host.handler.connected == 0) {
        if (host.handler.errors > 0 || host.manager->get_state() == Velta_Client::STATE_IDLE ||
            Steady::now() > deadline)
            fail("library login failed: " + host.handler.last_error);
        const int state = host.manager->get_state();
        timer.time("poll in " + state_name(state), state == STATE_LOGGING_IN, [&] { host.manager->poll(); });
    }
    run.total_ms = elapsed_ms(begin, Steady::now());
    return run;
}

Login_Run raw_login(const std::string& address, const std::string& node) {
    Login_Run run;
    Call_Timer timer(run.calls);
    auto registration = std::make_unique<Raw_Registration>(address, node);
    std::unique_ptr<Raw_Client> login;
    const auto begin = Steady::now();
    const auto deadline = begin + login_limit;

    bool connected = false;
    timer.time("register connect", false, [&] { connected = registration->client.connect(false); });
    if (!connected) fail("raw registration client did not connect");
    while (!registration->finished) {
        if (registration->disconnected || Steady::now() > deadline) fail("raw registration failed");
        timer.time("register recv(0)", false, [&] { registration->client.recv(0); });
    }
    if (!registration->usable()) fail("raw registration refused");
    timer.time("register disconnect", false, [&] { registration->client.disconnect(); });
    timer.time("switch to the login client", false, [&] {
        registration.reset();
        login = std::make_unique<Raw_Client>(address, node);
        connected = login->client.connect(false);
    });
    if (!connected) fail("raw login client did not connect");
    while (!login->connected) {
        if (login->disconnected || Steady::now() > deadline) fail("raw login failed");
        timer.time("recv(0)", true, [&] { login->client.recv(0); });
    }
    run.total_ms = elapsed_ms(begin, Steady::now());
    login->client.disconnect();
    return run;
}

void print(const char* side, int index, const Login_Run& run) {
    const Call& scram = run.scram();
    const Call& wall = run.longest_wall();
    const Call& own = run.longest_own();
    std::printf(
        "run %d %s: total %.2f ms in %zu calls; SCRAM step %.2f ms (%.2f ms processor); longest other call"
        " %.3f ms (%s; %.3f ms own, %.3f ms processor); longest own time %.3f ms (%s)\n",
        index, side, run.total_ms, run.calls.size(), scram.wall_ms, scram.cpu_ms, wall.wall_ms, wall.name.c_str(),
        wall.own_ms, wall.cpu_ms, own.own_ms, own.name.c_str());
}

int run(int argc, char** argv) {
    const int runs = argc > 1 ? std::atoi(argv[1]) : 15;
    velta_test::Prosody_Server prosody;
    const std::string address = prosody.address();

    // Warm-up (first use of the resolver, gloox's statics), not counted.
    library_login(address, "warm-library");
    raw_login(address, node_of("warm-raw"));

    std::vector<double> library_total, raw_total, library_scram, raw_scram, library_scram_cpu, raw_scram_cpu,
        library_wall, library_own, raw_wall;
    for (int i = 0; i < runs; ++i) {
        const Login_Run l = library_login(address, "login-library-" + std::to_string(i));
        const Login_Run r = raw_login(address, node_of("login-raw-" + std::to_string(i)));
        print("library", i, l);
        print("raw", i, r);
        library_total.push_back(l.total_ms);
        raw_total.push_back(r.total_ms);
        library_scram.push_back(l.scram().wall_ms);
        raw_scram.push_back(r.scram().wall_ms);
        library_scram_cpu.push_back(l.scram().cpu_ms);
        raw_scram_cpu.push_back(r.scram().cpu_ms);
        library_wall.push_back(l.longest_wall().wall_ms);
        library_own.push_back(l.longest_own().own_ms);
        raw_wall.push_back(r.longest_wall().wall_ms);
    }
    result("login_runs", runs);
    result("login_total_library_ms", median(library_total));
    result("login_total_raw_ms", median(raw_total));
    result("login_scram_library_ms", median(library_scram));
    result("login_scram_raw_ms", median(raw_scram));
    result("login_scram_library_cpu_ms", median(library_scram_cpu));
    result("login_scram_raw_cpu_ms", median(raw_scram_cpu));
    result("login_longest_wall_library_ms", median(library_wall));
    result("login_longest_wall_library_worst_ms", maximum(library_wall));
    result("login_longest_own_library_ms", median(library_own));
    result("login_longest_own_library_worst_ms", maximum(library_own));
    result("login_longest_wall_raw_ms", median(raw_wall));
    return 0;
}

}  // namespace

int main(int argc, char** argv) { return velta_bench::run_reporting_errors(argc, argv, run); }
