// SPDX-License-Identifier: GPL-3.0-or-later
// Floods from a hostile server: the longest poll, by this thread's processor
// time, while one kind of flood arrives. The server is the tests' scripted
// peer: it logs the client in, writes the flood, then ends the stream and
// closes the connection, so that a run ends when the client has read
// everything (or given the connection up).
// Library: a logged-in manager, polled until on_disconnected. Raw gloox: a
// logged-in client (raw/raw_client.hpp), recv(0) until onDisconnect.
// Kinds:
//   messages    100,000 <message/>
//   requests    100,000 iq requests (every one answered with an error)
//   attributes  one message with 100,000 attributes
//   body        one message with a body of 50 MB
//   reference   "&" followed by 8 MB without ";"
// Usage: velta_bench_floods [kind ...]   (all kinds by default)
#include "peer/scripted_peer.hpp"
#include "raw/raw_client.hpp"
#include "support/bench_support.hpp"

#include <time.h>

#include <algorithm>
#include <cstdio>
#include <stdexcept>
#include <string>
#include <vector>

using namespace velta_bench;

namespace {

const auto run_limit = std::chrono::seconds(180);

[[noreturn]] void fail(const std::string& what) { throw std::runtime_error(what); }

double thread_cpu_ms() {
    timespec now{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) * 1e3 + static_cast<double>(now.tv_nsec) / 1e6;
}

std::string flood(const std::string& kind) {
    std::string out;
    if (kind == "messages") {
        for (int i = 0; i < 100000; ++i) out += "<message/>";
    } else if (kind == "requests") {
        for (int i = 0; i < 100000; ++i)
            out += "<iq type='get' id='q" + std::to_string(i) + "' from='localhost'><query xmlns='x:unknown'/></iq>";
    } else if (kind == "attributes") {
        out = "<message from='a@localhost/r' type='chat'";
        for (int i = 0; i < 100000; ++i) out += " a" + std::to_string(i) + "='x'";
        out += "><body>hi</body></message>";
    } else if (kind == "body") {
        out = "<message from='a@localhost/r' type='chat'><body>" + std::string(50 * 1000 * 1000, 'x') +
              "</body></message>";
    } else if (kind == "reference") {
        out = "<message from='a@localhost/r' type='chat'><body>&" + std::string(8 * 1000 * 1000, 'x');
    } else {
        fail("unknown kind " + kind);
    }
    return out;
}

struct Run {
    double longest_ms = 0;
    double total_ms = 0;
    long polls = 0;
};

// Writes the flood, ends the stream, and calls step() (timed) until done().
template <class Step, class Done>
Run drive(velta_test::Scripted_Peer& peer, const std::string& xml, Step step, Done done) {
    peer.send_raw(xml);
    peer.close_connection(true);
    Run run;
    const auto deadline = Steady::now() + run_limit;
    while (!done()) {
        if (Steady::now() > deadline) fail("the flood was not read within the limit");
        const double before = thread_cpu_ms();
        step();
        const double spent = thread_cpu_ms() - before;
        run.longest_ms = std::max(run.longest_ms, spent);
        run.total_ms += spent;
        ++run.polls;
    }
    return run;
}

void report(const std::string& key, const Run& run) {
    result(key + "_longest_ms", run.longest_ms);
    result(key + "_total_ms", run.total_ms);
    result(key + "_polls", static_cast<double>(run.polls));
    std::printf("%-28s longest poll %9.3f ms   processor time %10.1f ms   polls %8ld\n", key.c_str(), run.longest_ms,
                run.total_ms, run.polls);
    std::fflush(stdout);
}

void measure(const std::string& kind) {
    const std::string xml = flood(kind);
    {
        velta_test::Scripted_Peer peer;
        peer.set_auth_mode(velta_test::Auth_Mode::always_succeed);
        Library_Host host(peer.address(), "flood");
        if (!host.log_in()) fail("the library did not log in");
        const long before = host.handler.disconnected;
        report("floods_" + kind + "_library",
               drive(peer, xml, [&] { host.manager->poll(); }, [&] { return host.handler.disconnected > before; }));
    }
    {
        velta_test::Scripted_Peer peer;
        peer.set_auth_mode(velta_test::Auth_Mode::always_succeed);
        const std::string node = node_of("flood");
        if (!raw_register(peer.address(), node)) fail("no raw registration");
        Raw_Client raw(peer.address(), node);
        if (!raw.log_in()) fail("the raw client did not log in");
        report("floods_" + kind + "_raw", drive(peer, xml, [&] { raw.client.recv(0); }, [&] { return raw.disconnected; }));
    }
}

}  // namespace

int run(int argc, char** argv) {
    std::vector<std::string> kinds(argv + 1, argv + argc);
    if (kinds.empty()) kinds = {"messages", "requests", "attributes", "body", "reference"};
    for (const std::string& kind : kinds) measure(kind);
    return 0;
}

int main(int argc, char** argv) { return velta_bench::run_reporting_errors(argc, argv, run); }
