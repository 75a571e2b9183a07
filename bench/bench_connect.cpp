// SPDX-License-Identifier: GPL-3.0-or-later
// Connecting over a slow network, timed call by call: the library against a
// raw gloox register-then-login doing the same work.
//
//   slow     The server is a name that a private DNS server answers 200 ms
//            late, and its TCP port sits behind a listener whose accept
//            queue is full for the first second (the first SYN is dropped;
//            the kernel resends it after a second). The library follows the
//            name's SRV record; raw gloox 1.0.24 makes no SRV query, so it
//            gets an A record for the same listener. Every call from start to
//            on_connected is timed; the SCRAM poll is reported on its own.
//   dropped  A server that never answers the SYN: the longest call and the
//            time until on_disconnected (the library's deadline, the host's
//            clock following real time). Raw gloox blocks in connect() until
//            the kernel gives up (over two minutes): the listener is closed
//            after a few seconds to end it, and that time is reported.
//
// Needs root: the DNS server listens on port 53 and the program gives itself
// a private /etc/resolv.conf (a mount namespace), as the tests do.
// Usage: velta_bench_connect slow|dropped [runs]
#include "integration/prosody_server.hpp"
#include "peer/dns_server.hpp"
#include "raw/raw_client.hpp"
#include "support/bench_support.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

using namespace velta_bench;
using namespace std::chrono_literals;

namespace {

[[noreturn]] void fail(const std::string& what) { throw std::runtime_error(what); }

sockaddr_in ipv4(const std::string& address, int port) {
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_port = htons(static_cast<std::uint16_t>(port));
    ::inet_pton(AF_INET, address.c_str(), &at.sin_addr);
    return at;
}

std::string free_loopback_address() {
    for (unsigned n = 150 + static_cast<unsigned>(::getpid() % 50); n < 254; ++n) {
        const std::string address = "127.0.0." + std::to_string(n);
        const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        const sockaddr_in at = ipv4(address, 5222);
        const bool free = ::bind(fd, reinterpret_cast<const sockaddr*>(&at), sizeof at) == 0;
        ::close(fd);
        if (free) return address;
    }
    fail("no free loopback address");
}

// A listener on ADDRESS:5222 whose accept queue starts full (backlog 0 and
// one connection never accepted), so that SYNs are dropped. open() empties
// the queue and from then on relays every connection to the target; close()
// shuts the listener, after which a resent SYN is refused.
class Blocking_Relay {
public:
    Blocking_Relay(std::string target, int target_port) : target_(std::move(target)), target_port_(target_port) {
        address_ = free_loopback_address();
        const sockaddr_in at = ipv4(address_, 5222);
        listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const int one = 1;
        ::setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        if (::bind(listener_, reinterpret_cast<const sockaddr*>(&at), sizeof at) != 0 || ::listen(listener_, 0) != 0)
            fail("relay: cannot listen on " + address_);
        filler_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (::connect(filler_, reinterpret_cast<const sockaddr*>(&at), sizeof at) != 0) fail("relay: filler");
        thread_ = std::thread([this] { run(); });
    }
    ~Blocking_Relay() {
        stopping_ = true;
        thread_.join();
        if (listener_ >= 0) ::close(listener_);
        if (filler_ >= 0) ::close(filler_);
        for (const auto& pair : pairs_) ::close(pair.first);
    }
    const std::string& address() const { return address_; }
    void open_after(std::chrono::milliseconds delay) { open_at_ = Steady::now() + delay; }
    void close_after(std::chrono::milliseconds delay) { close_at_ = Steady::now() + delay; }

private:
    void run() {
        bool opened = false;
        while (!stopping_) {
            const auto now = Steady::now();
            if (!opened && open_at_.load() != Steady::time_point{} && now >= open_at_.load()) {
                opened = true;
                const int queued = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);  // the filler
                if (queued >= 0) ::close(queued);
            }
            if (listener_ >= 0 && close_at_.load() != Steady::time_point{} && now >= close_at_.load()) {
                ::close(listener_);
                listener_ = -1;
            }
            std::vector<pollfd> watched;
            if (opened && listener_ >= 0) watched.push_back({listener_, POLLIN, 0});
            for (const auto& pair : pairs_) watched.push_back({pair.first, POLLIN, 0});  // both ends are keys
            if (::poll(watched.data(), watched.size(), 5) <= 0) continue;
            for (const pollfd& entry : watched) {
                if (!entry.revents) continue;
                if (entry.fd == listener_) {
                    accept_one();
                    continue;
                }
                forward(entry.fd);
            }
        }
    }
    void accept_one() {
        const int client = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        if (client < 0) return;
        const int server = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const sockaddr_in at = ipv4(target_, target_port_);
        if (::connect(server, reinterpret_cast<const sockaddr*>(&at), sizeof at) != 0) {
            ::close(client);
            ::close(server);
            return;
        }
        pairs_[client] = server;
        pairs_[server] = client;
    }
    void forward(int from) {
        const auto found = pairs_.find(from);
        if (found == pairs_.end()) return;
        char buffer[16384];
        const ssize_t size = ::recv(from, buffer, sizeof buffer, MSG_DONTWAIT);
        if (size < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
        if (size <= 0) {
            const int other = found->second;
            pairs_.erase(other);
            pairs_.erase(from);
            ::close(from);
            ::close(other);
            return;
        }
        ssize_t sent = 0;
        while (sent < size) {
            const ssize_t n = ::send(found->second, buffer + sent, static_cast<std::size_t>(size - sent), MSG_NOSIGNAL);
            if (n <= 0) break;
            sent += n;
        }
    }

    std::string target_;
    int target_port_;
    std::string address_;
    int listener_ = -1;
    int filler_ = -1;
    std::map<int, int> pairs_;
    std::atomic<Steady::time_point> open_at_{};
    std::atomic<Steady::time_point> close_at_{};
    std::atomic<bool> stopping_{false};
    std::thread thread_;
};

// A host clock that follows real time, so that the library's deadline falls
// when it would in a game.
class Real_Clock : public Velta_Client::Clock {
public:
    std::int32_t now() override { return static_cast<std::int32_t>(std::time(nullptr)); }
};

// The SCRAM step: the login-phase call with the most processor time.
const Timed_Call* scram_of(const std::vector<Timed_Call>& calls) {
    const Timed_Call* best = nullptr;
    for (const auto& call : calls)
        if (call.login_phase && (!best || call.cpu_ms > best->cpu_ms)) best = &call;
    return best;
}

// The longest call by own time, the SCRAM step aside.
Timed_Call longest_other(const std::vector<Timed_Call>& calls) {
    const Timed_Call* skip = scram_of(calls);
    Timed_Call best;
    for (const auto& call : calls)
        if (&call != skip && call.own_ms > best.own_ms) best = call;
    return best;
}

struct Outcome {
    double total_ms = 0;
    std::vector<Timed_Call> calls;
    Timed_Call longest() const { return longest_other(calls); }
    const Timed_Call* scram() const { return scram_of(calls); }
};

template <class ClockType>
Outcome library_connect(const std::string& server, const std::string& user, bool expect_connected,
                        std::chrono::seconds limit) {
    ClockType clock;
    Counting_Handler handler;
    std::unique_ptr<Velta_Client::Velta_Manager> manager(
        new_velta_manager(&clock, &handler, wide(server), wide(user), wide("pw")));
    Outcome outcome;
    Call_Timer timer(outcome.calls);
    const auto begin = Steady::now();
    timer.time("start", false, [&] { manager->start(); });
    while (expect_connected ? handler.connected == 0 : handler.disconnected == 0) {
        if (Steady::now() - begin > limit) fail("library: no outcome in time");
        if (expect_connected && (handler.errors > 0 || handler.disconnected > 0)) fail("library login failed");
        const int state = manager->get_state();
        timer.time("poll", state == Velta_Client::STATE_LOGGING_IN, [&] { manager->poll(); });
        std::this_thread::sleep_for(1ms);  // a frame's worth of other work, shortened
    }
    outcome.total_ms = elapsed_ms(begin, Steady::now());
    return outcome;
}

Outcome raw_connect(const std::string& server, const std::string& node, std::chrono::seconds limit) {
    Outcome outcome;
    Call_Timer timer(outcome.calls);
    const auto begin = Steady::now();
    auto registration = std::make_unique<Raw_Registration>(server, node);
    bool connected = false;
    timer.time("register connect", false, [&] { connected = registration->client.connect(false); });
    if (connected) {
        while (!registration->finished && !registration->disconnected && Steady::now() - begin < limit)
            timer.time("register recv(0)", false, [&] { registration->client.recv(0); });
        if (registration->usable()) {
            timer.time("register disconnect", false, [&] { registration->client.disconnect(); });
            std::unique_ptr<Raw_Client> login;
            timer.time("switch to the login client", false, [&] {
                registration.reset();
                login = std::make_unique<Raw_Client>(server, node);
                connected = login->client.connect(false);
            });
            while (connected && !login->connected && !login->disconnected && Steady::now() - begin < limit)
                timer.time("recv(0)", true, [&] { login->client.recv(0); });
            if (login->connected) login->client.disconnect();
        }
    }
    outcome.total_ms = elapsed_ms(begin, Steady::now());
    return outcome;
}

void print(const char* side, int run, const Outcome& outcome) {
    const Timed_Call longest = outcome.longest();
    const Timed_Call* scram = outcome.scram();
    std::printf("run %d %s: total %.1f ms, %zu calls; longest call %.3f ms own (%.3f ms processor, %.3f ms wall; %s)",
                run, side, outcome.total_ms, outcome.calls.size(), longest.own_ms, longest.cpu_ms,
                longest.wall_ms, longest.name.c_str());
    if (scram) std::printf("; SCRAM step %.2f ms processor", scram->cpu_ms);
    std::printf("\n");
    std::fflush(stdout);
}

int slow(int runs) {
    velta_test::Prosody_Server prosody;
    velta_test::Dns_Server dns;
    if (!velta_test::use_private_resolver(dns.address())) fail("a private /etc/resolv.conf needs root");
    dns.set_delay(200ms);

    std::vector<double> library_longest, library_cpu, library_total, library_scram, raw_longest, raw_total;
    for (int i = -1; i < runs; ++i) {  // run -1 warms up
        {
            Blocking_Relay relay(prosody.address(), 5222);
            const std::string name = "slow" + std::to_string(i + 2) + ".bench.test";
            dns.add_srv("_xmpp-client._tcp." + name, 0, 0, 5222, "node." + name);
            dns.add_a("node." + name, relay.address());
            relay.open_after(1000ms);
            const Outcome l = library_connect<Still_Clock>(name, "slow-library-" + std::to_string(i), true, 30s);
            if (i >= 0) {
                print("library", i, l);
                library_longest.push_back(l.longest().own_ms);
                library_cpu.push_back(l.longest().cpu_ms);
                library_total.push_back(l.total_ms);
                if (l.scram()) library_scram.push_back(l.scram()->cpu_ms);
            }
        }
        {
            Blocking_Relay relay(prosody.address(), 5222);
            const std::string name = "raw" + std::to_string(i + 2) + ".bench.test";
            dns.add_a(name, relay.address());
            relay.open_after(1000ms);
            const Outcome r = raw_connect(name, node_of("slow-raw-" + std::to_string(i)), 30s);
            if (i >= 0) {
                print("raw", i, r);
                raw_longest.push_back(r.longest().own_ms);
                raw_total.push_back(r.total_ms);
            }
        }
    }
    result("connect_slow_runs", runs);
    result("connect_slow_longest_library_ms", median(library_longest));
    result("connect_slow_longest_library_worst_ms", maximum(library_longest));
    result("connect_slow_longest_library_cpu_ms", median(library_cpu));
    result("connect_slow_scram_library_cpu_ms", median(library_scram));
    result("connect_slow_total_library_ms", median(library_total));
    result("connect_slow_longest_raw_ms", median(raw_longest));
    result("connect_slow_total_raw_ms", median(raw_total));
    return 0;
}

int dropped(int) {
    // No server behind the relay: it never opens.
    const int raw_limit_seconds = 5;
    Outcome l, r;
    {
        Blocking_Relay relay("127.0.0.1", 9);
        l = library_connect<Real_Clock>(relay.address(), "dropped-library", false, 40s);
    }
    print("library", 0, l);
    {
        Blocking_Relay relay("127.0.0.1", 9);
        relay.close_after(std::chrono::seconds(raw_limit_seconds));
        r = raw_connect(relay.address(), node_of("dropped-raw"), 200s);
    }
    print("raw", 0, r);
    result("connect_dropped_longest_library_ms", l.longest().own_ms);
    result("connect_dropped_until_disconnected_library_s", l.total_ms / 1000.0);
    result("connect_dropped_longest_raw_ms", r.longest().own_ms);
    result("connect_dropped_raw_listener_closed_after_s", raw_limit_seconds);
    return 0;
}

int run(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "slow";
    const int runs = argc > 2 ? std::atoi(argv[2]) : 5;
    if (mode == "slow") return slow(runs);
    if (mode == "dropped") return dropped(runs);
    fail("usage: velta_bench_connect slow|dropped [runs]");
}

}  // namespace

int main(int argc, char** argv) { return velta_bench::run_reporting_errors(argc, argv, run); }
