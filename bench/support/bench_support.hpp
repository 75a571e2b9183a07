// SPDX-License-Identifier: GPL-3.0-or-later
// What every benchmark program shares: a host's clock and handler reduced to
// counters, polling loops bounded in rounds and in time, statistics, the
// process's resident memory, and the one-line result format that
// scripts/bench collects ("RESULT <key> <value>").
#pragma once

#include "support/counting_handler.hpp"

#include <velta_client/velta_client.hpp>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace velta_bench {

// A program's main: runs run(argc, argv) and turns an exception into a
// message and exit code 1.
int run_reporting_errors(int argc, char** argv, int (*run)(int, char**));


using Steady = std::chrono::steady_clock;

// A host clock that stands still: no keep-alive probe ever falls due inside a
// measurement, so what is measured is exactly the traffic the program makes.
class Still_Clock : public Velta_Client::Clock {
public:
    std::int32_t now() override { return 1700000000; }
};

// A host that counts what it hears (the tests' own, shared with the fuzzers).
using velta_test::Counting_Handler;

// One host: its clock, its handler and its manager.
struct Library_Host {
    Library_Host(const std::string& address, const std::string& user, const std::string& password = "pw");
    ~Library_Host();
    Library_Host(const Library_Host&) = delete;
    Library_Host& operator=(const Library_Host&) = delete;

    Still_Clock clock;
    Counting_Handler handler;
    Velta_Client::Velta_Manager* manager = nullptr;
    std::string user;

    // start(), then poll until on_connected (true) or an error, a return to
    // idle or the time limit (false).
    bool log_in(std::chrono::milliseconds limit = std::chrono::seconds(20));
};

// Starts every host, then polls them all until each is connected. Throws
// std::runtime_error when one is not within the limit.
void log_in_all(const std::vector<Library_Host*>& hosts, std::chrono::milliseconds limit);

// Calls step() until done() holds or the limit passes; returns done().
bool spin_until(const std::function<void()>& step, const std::function<bool()>& done, std::chrono::milliseconds limit);

// Text helpers. ASCII only, so that the library's UTF-16 text and the raw
// clients' UTF-8 text are the same characters on the wire.
std::u16string wide(const std::string& ascii);
std::string chat_text(std::size_t characters);  // "message text ..." of exactly that length

// The XMPP node the library uses for a user name (see the README).
std::string node_of(const std::string& user_name);

// Statistics. Copies: the inputs stay in order.
double median(std::vector<double> values);
double percentile(std::vector<double> values, double fraction);  // nearest rank, fraction in [0, 1]
double maximum(const std::vector<double>& values);

double elapsed_ms(Steady::time_point from, Steady::time_point to);
double elapsed_us(Steady::time_point from, Steady::time_point to);

// This thread's processor time (CLOCK_THREAD_CPUTIME_ID) and the time it
// spent runnable but waiting for a processor (the kernel's schedstat, counted
// when the wait ends), in milliseconds. On a shared machine a call whose wall
// time is mostly waiting was held up by other work, not by its own.
class Thread_Times {
public:
    Thread_Times();
    ~Thread_Times();
    Thread_Times(const Thread_Times&) = delete;
    Thread_Times& operator=(const Thread_Times&) = delete;

    struct Sample {
        double cpu_ms = 0;
        double waiting_ms = 0;
    };
    Sample sample() const;

private:
    int fd_ = -1;
};

// One call's wall time, processor time and own time (its wall time less the
// time it was ready to run but waiting for a processor: the machine is
// shared).
struct Call_Time {
    double wall_ms = 0;
    double cpu_ms = 0;
    double own_ms = 0;
};

template <class Body>
Call_Time time_one_call(const Thread_Times& times, Body body) {
    const Thread_Times::Sample before = times.sample();
    const auto start = Steady::now();
    body();
    const double wall = elapsed_ms(start, Steady::now());
    const Thread_Times::Sample after = times.sample();
    const double cpu = after.cpu_ms - before.cpu_ms;
    // A wait is counted when it ends, so one that began just before the
    // call may show up whole: never take away more than the call spent
    // off a processor.
    const double waiting = std::clamp(after.waiting_ms - before.waiting_ms, 0.0, std::max(0.0, wall - cpu));
    return {wall, cpu, wall - waiting};
}

// One library (or raw gloox) call, timed three ways (see Call_Time).
struct Timed_Call {
    std::string name;
    bool login_phase = false;
    double wall_ms = 0;
    double cpu_ms = 0;
    double own_ms = 0;
};

// Times calls one by one into `calls`.
class Call_Timer {
public:
    explicit Call_Timer(std::vector<Timed_Call>& calls) : calls_(calls) {}

    template <class Body>
    void time(const std::string& name, bool login_phase, Body body) {
        const Call_Time time = time_one_call(times_, body);
        calls_.push_back({name, login_phase, time.wall_ms, time.cpu_ms, time.own_ms});
    }

private:
    std::vector<Timed_Call>& calls_;
    Thread_Times times_;
};

// Resident set size of this process, in KiB (VmRSS).
long resident_kib();

// "RESULT key value" on stdout, flushed, for scripts/bench; also printable
// notes ("NOTE key text") that end up in the results file as they are.
void result(const std::string& key, double value);
void note(const std::string& key, const std::string& text);

}  // namespace velta_bench
