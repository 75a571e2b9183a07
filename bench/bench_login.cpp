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
// The longest call by processor time is reported for both sides, SCRAM
// included: raw gloox computes the whole proof in one recv(0), the library
// in slices of 0.5 ms over several polls (counted: the login-phase polls
// that used a quarter of a millisecond or more).
// The server is a private Prosody (SCRAM-SHA-1 at its 10,000 iterations), or
// with "peer" the tests' scripted peer at 100,000 (the library's bound;
// result keys "login_peer_...").
// Usage: velta_bench_login [runs] [peer]
#include "integration/prosody_server.hpp"
#include "peer/scripted_peer.hpp"
#include "raw/raw_client.hpp"
#include "support/bench_support.hpp"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
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

    // The longest call by key, leaving out `skip`.
    template <class Key>
    const Call& longest(Key key, const Call* skip = nullptr) const {
        const Call* best = nullptr;
        for (const Call& call : calls)
            if (&call != skip && (!best || key(call) > key(*best))) best = &call;
        if (!best) fail("no call");
        return *best;
    }
    // By processor time: the SCRAM proof's call on the raw side, the
    // longest slice (or any other call) on the library's.
    const Call& longest_cpu() const {
        return longest([](const Call& call) { return call.cpu_ms; });
    }
    // The raw side's SCRAM step: its login-phase call with the most
    // processor time.
    const Call& scram_step() const {
        const Call* best = nullptr;
        for (const Call& call : calls)
            if (call.login_phase && (!best || call.cpu_ms > best->cpu_ms)) best = &call;
        if (!best) fail("no login-phase call");
        return *best;
    }
    const Call& longest_wall(const Call* skip = nullptr) const {
        return longest([](const Call& call) { return call.wall_ms; }, skip);
    }
    const Call& longest_own() const {
        return longest([](const Call& call) { return call.own_ms; });
    }
    // Login-phase calls that did a slice's work.
    int working_login_calls() const {
        int count = 0;
        for (const Call& call : calls) count += call.login_phase && call.cpu_ms >= 0.25;
        return count;
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
    const Call& cpu = run.longest_cpu();
    const Call& wall = run.longest_wall();
    const Call& own = run.longest_own();
    std::printf(
        "run %d %s: total %.2f ms in %zu calls; longest by processor %.3f ms (%s; %.3f ms wall), %d login-phase"
        " calls of 0.25 ms or more; longest by wall %.3f ms (%s; %.3f ms own, %.3f ms processor); longest own"
        " time %.3f ms (%s)\n",
        index, side, run.total_ms, run.calls.size(), cpu.cpu_ms, cpu.name.c_str(), cpu.wall_ms,
        run.working_login_calls(), wall.wall_ms, wall.name.c_str(), wall.own_ms, wall.cpu_ms, own.own_ms,
        own.name.c_str());
}

// The server the logins go to.
struct Server {
    explicit Server(bool peer) {
        if (!peer) {
            prosody.emplace();
            return;
        }
        scripted.emplace();
        scripted->set_sasl_mechanisms({"SCRAM-SHA-1"});
        scripted->set_scram_iterations(100000);
    }
    std::string address() const { return prosody ? prosody->address() : scripted->address(); }
    std::optional<velta_test::Prosody_Server> prosody;
    std::optional<velta_test::Scripted_Peer> scripted;
};

int run(int argc, char** argv) {
    const int runs = argc > 1 ? std::atoi(argv[1]) : 15;
    const bool peer = argc > 2 && std::string(argv[2]) == "peer";
    const std::string key = peer ? "login_peer_" : "login_";
    const Server server(peer);
    const std::string address = server.address();

    // Warm-up (first use of the resolver, gloox's statics), not counted.
    library_login(address, "warm-library");
    raw_login(address, node_of("warm-raw"));

    std::vector<double> library_total, raw_total, library_cpu, raw_cpu, library_cpu_wall, raw_cpu_wall, library_wall,
        library_own, raw_wall, library_slices, raw_scram;
    for (int i = 0; i < runs; ++i) {
        const Login_Run l = library_login(address, "login-library-" + std::to_string(i));
        const Login_Run r = raw_login(address, node_of("login-raw-" + std::to_string(i)));
        print("library", i, l);
        print("raw", i, r);
        library_total.push_back(l.total_ms);
        raw_total.push_back(r.total_ms);
        library_cpu.push_back(l.longest_cpu().cpu_ms);
        raw_cpu.push_back(r.longest_cpu().cpu_ms);
        library_cpu_wall.push_back(l.longest_cpu().wall_ms);
        raw_cpu_wall.push_back(r.longest_cpu().wall_ms);
        raw_scram.push_back(r.scram_step().cpu_ms);
        library_wall.push_back(l.longest_wall().wall_ms);
        library_own.push_back(l.longest_own().own_ms);
        // The raw side's longest call but its SCRAM step.
        raw_wall.push_back(r.longest_wall(&r.scram_step()).wall_ms);
        library_slices.push_back(l.working_login_calls());
    }
    result(key + "runs", runs);
    result(key + "total_library_ms", median(library_total));
    result(key + "total_raw_ms", median(raw_total));
    result(key + "longest_cpu_library_ms", median(library_cpu));
    result(key + "longest_cpu_library_worst_ms", maximum(library_cpu));
    result(key + "longest_cpu_raw_ms", median(raw_cpu));
    result(key + "scram_step_raw_cpu_ms", median(raw_scram));
    result(key + "longest_cpu_library_wall_ms", median(library_cpu_wall));
    result(key + "longest_cpu_raw_wall_ms", median(raw_cpu_wall));
    result(key + "slices_library", median(library_slices));
    result(key + "longest_wall_library_ms", median(library_wall));
    result(key + "longest_wall_library_worst_ms", maximum(library_wall));
    result(key + "longest_own_library_ms", median(library_own));
    result(key + "longest_own_library_worst_ms", maximum(library_own));
    result(key + "longest_wall_raw_ms", median(raw_wall));
    return 0;
}

}  // namespace

int main(int argc, char** argv) { return velta_bench::run_reporting_errors(argc, argv, run); }
