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
//            on_connected is timed; the longest SCRAM slice is reported too.
//   dropped  A server that never answers the SYN: the longest call and the
//            time until on_disconnected (the library's deadline, the host's
//            clock following real time). Raw gloox blocks in connect() until
//            the kernel gives up (over two minutes): the listener is closed
//            after a few seconds to end it, and that time is reported.
//
//   failover A name whose first SRV target drops every SYN and whose second
//            is the server: start to on_connected and the longest call.
//            Raw gloox (no SRV query) gets an A record for the dead target
//            and blocks in connect() on it; the listener is closed after a
//            few seconds to end it.
//   dead     A link cut silently after login (an nftables rule drops every
//            packet to and from the server): the time until on_disconnected
//            and the longest call, the host polling with its clock in real
//            time and sending nothing. Raw gloox beside it, with its default.
//   answers  The longest call while the largest answers a DNS server sends
//            are taken (2,000 SRV records; 4,000 A records; both refused
//            everywhere), and a login through a name that a 150,000-line
//            /etc/hosts holds on its last line.
//
// Needs root: the DNS server listens on port 53 and the program gives itself
// a private /etc/resolv.conf (a mount namespace), as the tests do; dead needs
// nft.
// Usage: velta_bench_connect slow|dropped|failover|dead|answers [runs]
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

// The login-phase call with the most processor time (the library's longest
// SCRAM slice; raw gloox's whole proof).
const Timed_Call* scram_of(const std::vector<Timed_Call>& calls) {
    const Timed_Call* best = nullptr;
    for (const auto& call : calls)
        if (call.login_phase && (!best || call.cpu_ms > best->cpu_ms)) best = &call;
    return best;
}

// The longest call by own time, the SCRAM proof's included.
Timed_Call longest_call(const std::vector<Timed_Call>& calls) {
    Timed_Call best;
    for (const auto& call : calls)
        if (call.own_ms > best.own_ms) best = call;
    return best;
}

struct Outcome {
    double total_ms = 0;
    std::vector<Timed_Call> calls;
    Timed_Call longest() const { return longest_call(calls); }
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
    if (scram) std::printf("; longest login-phase call %.2f ms processor", scram->cpu_ms);
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

int failover(int runs) {
    velta_test::Prosody_Server prosody;
    velta_test::Dns_Server dns;
    if (!velta_test::use_private_resolver(dns.address())) fail("a private /etc/resolv.conf needs root");

    std::vector<double> library_longest, library_cpu, library_total;
    for (int i = -1; i < runs; ++i) {  // run -1 warms up
        Blocking_Relay dead("127.0.0.1", 9);  // never opens: every SYN dropped
        const std::string name = "failover" + std::to_string(i + 2) + ".bench.test";
        dns.add_srv("_xmpp-client._tcp." + name, 10, 0, 5222, "dead." + name);
        dns.add_a("dead." + name, dead.address());
        dns.add_srv("_xmpp-client._tcp." + name, 20, 0, 5222, "live." + name);
        dns.add_a("live." + name, prosody.address());
        const Outcome l = library_connect<Still_Clock>(name, "failover-" + std::to_string(i), true, 30s);
        if (i < 0) continue;
        print("library", i, l);
        Timed_Call longest;
        for (const auto& call : l.calls)
            if (&call != l.scram() && call.cpu_ms > longest.cpu_ms) longest = call;
        library_longest.push_back(l.longest().own_ms);
        library_cpu.push_back(longest.cpu_ms);
        library_total.push_back(l.total_ms);
    }
    const int raw_limit_seconds = 5;
    Outcome r;
    {
        Blocking_Relay dead("127.0.0.1", 9);
        dns.add_a("raw.failover.bench.test", dead.address());
        dead.close_after(std::chrono::seconds(raw_limit_seconds));
        r = raw_connect("raw.failover.bench.test", node_of("failover-raw"), 60s);
    }
    print("raw", 0, r);
    result("connect_failover_runs", runs);
    result("connect_failover_total_library_ms", median(library_total));
    result("connect_failover_total_library_worst_ms", maximum(library_total));
    result("connect_failover_longest_library_ms", median(library_longest));
    result("connect_failover_longest_library_cpu_ms", maximum(library_cpu));
    result("connect_failover_longest_raw_ms", r.longest().own_ms);
    result("connect_failover_raw_listener_closed_after_s", raw_limit_seconds);
    return 0;
}

// Drops every packet to and from address:5222 while it lives.
class Cut_Link {
public:
    explicit Cut_Link(const std::string& address) : table_("velta_bench_cut_" + std::to_string(::getpid())) {
        const bool cut = nft("add table ip " + table_) &&
                         nft("add chain ip " + table_ + " out { type filter hook output priority 0 ; }") &&
                         nft("add rule ip " + table_ + " out ip daddr " + address + " tcp dport 5222 drop") &&
                         nft("add rule ip " + table_ + " out ip saddr " + address + " tcp sport 5222 drop");
        if (!cut) fail("nft refused the rule (root and nftables needed)");
    }
    ~Cut_Link() { nft("delete table ip " + table_); }
    Cut_Link(const Cut_Link&) = delete;
    Cut_Link& operator=(const Cut_Link&) = delete;

private:
    static bool nft(const std::string& command) {
        return std::system(("nft '" + command + "' 2>/dev/null").c_str()) == 0;
    }
    std::string table_;
};

int dead(int) {
    velta_test::Prosody_Server prosody;
    Outcome l;
    {
        Real_Clock clock;
        Counting_Handler handler;
        std::unique_ptr<Velta_Client::Velta_Manager> manager(
            new_velta_manager(&clock, &handler, wide(prosody.address()), wide("dead-link"), wide("pw")));
        manager->start();
        if (!spin_until([&] { manager->poll(); }, [&] { return handler.connected > 0; }, 20s))
            fail("library: no login");
        Cut_Link cut(prosody.address());
        Call_Timer timer(l.calls);
        const auto begin = Steady::now();
        while (handler.disconnected == 0 && Steady::now() - begin < 120s) {
            timer.time("poll", false, [&] { manager->poll(); });
            std::this_thread::sleep_for(1ms);
        }
        if (handler.disconnected == 0) fail("library: the cut link was not noticed in 120 s");
        l.total_ms = elapsed_ms(begin, Steady::now());
    }
    print("library", 0, l);

    const int raw_limit_seconds = 90;
    double raw_seconds = raw_limit_seconds;
    bool raw_noticed = false;
    {
        if (!raw_register(prosody.address(), node_of("dead-link-raw"))) fail("raw registration failed");
        Raw_Client raw(prosody.address(), node_of("dead-link-raw"));
        if (!raw.log_in()) fail("raw: no login");
        Cut_Link cut(prosody.address());
        const auto begin = Steady::now();
        while (!raw.disconnected && Steady::now() - begin < std::chrono::seconds(raw_limit_seconds)) {
            raw.client.recv(0);
            std::this_thread::sleep_for(1ms);
        }
        raw_noticed = raw.disconnected;
        if (raw_noticed) raw_seconds = elapsed_ms(begin, Steady::now()) / 1000.0;
    }
    result("dead_link_until_disconnected_library_s", l.total_ms / 1000.0);
    result("dead_link_longest_library_ms", l.longest().own_ms);
    result("dead_link_longest_library_cpu_ms", l.longest().cpu_ms);
    result("dead_link_raw_noticed", raw_noticed ? 1 : 0);
    result("dead_link_raw_s", raw_seconds);
    return 0;
}

// Polls a manager for `name` until it is idle again (connected == false) or
// connected, timing every call; the longest call by processor time, the SCRAM
// poll aside.
Timed_Call longest_cpu_through(const std::string& name, bool connected) {
    const Outcome outcome = library_connect<Still_Clock>(name, "answers-" + name, connected, 30s);
    Timed_Call longest;
    for (const auto& call : outcome.calls)
        if (&call != outcome.scram() && call.cpu_ms > longest.cpu_ms) longest = call;
    std::printf("%s: %zu calls, %.1f ms in all, longest %.3f ms processor (%s)\n", name.c_str(),
                outcome.calls.size(), outcome.total_ms, longest.cpu_ms, longest.name.c_str());
    return longest;
}

int answers(int runs) {
    velta_test::Prosody_Server prosody;
    velta_test::Dns_Server dns;
    std::string hosts;
    const int hosts_lines = 150000;
    for (int i = 0; i < hosts_lines; ++i) hosts += "0.0.0.0 ads" + std::to_string(i) + ".tracker.example\n";
    hosts += prosody.address() + " hosted.bench.test\n";
    if (!velta_test::use_private_resolver(dns.address(), hosts)) fail("a private /etc/resolv.conf needs root");

    // Refused everywhere: a loopback address where nothing listens.
    const std::string refusing = "127.0.0.1";
    const int srv_records = 2000;
    const int addresses = 4000;
    for (int i = 0; i < srv_records; ++i) {
        const std::string target = "t" + std::to_string(i) + ".b";
        dns.add_srv("_xmpp-client._tcp.srv.bench.test", static_cast<unsigned>(i % 7), static_cast<unsigned>(i % 5),
                    5299, target);
        dns.add_a(target, refusing);
    }
    for (int i = 0; i < addresses; ++i)
        dns.add_a("many.bench.test",
                  "127.1." + std::to_string(i / 250) + "." + std::to_string(1 + i % 250));

    std::vector<double> srv_cpu, address_cpu, hosts_cpu;
    for (int i = -1; i < runs; ++i) {
        const double srv = longest_cpu_through("srv.bench.test", false).cpu_ms;
        const double many = longest_cpu_through("many.bench.test", false).cpu_ms;
        const double hosted = longest_cpu_through("hosted.bench.test", true).cpu_ms;
        if (i < 0) continue;
        srv_cpu.push_back(srv);
        address_cpu.push_back(many);
        hosts_cpu.push_back(hosted);
    }
    result("answers_runs", runs);
    result("answers_srv_records", srv_records);
    result("answers_addresses", addresses);
    result("answers_hosts_lines", hosts_lines);
    result("answers_srv_longest_cpu_ms", maximum(srv_cpu));
    result("answers_addresses_longest_cpu_ms", maximum(address_cpu));
    result("answers_hosts_longest_cpu_ms", maximum(hosts_cpu));
    return 0;
}

int run(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "slow";
    const int runs = argc > 2 ? std::atoi(argv[2]) : 5;
    if (mode == "slow") return slow(runs);
    if (mode == "dropped") return dropped(runs);
    if (mode == "failover") return failover(runs);
    if (mode == "dead") return dead(runs);
    if (mode == "answers") return answers(runs);
    fail("usage: velta_bench_connect slow|dropped|failover|dead|answers [runs]");
}

}  // namespace

int main(int argc, char** argv) { return velta_bench::run_reporting_errors(argc, argv, run); }
