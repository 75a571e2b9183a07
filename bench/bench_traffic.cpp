// SPDX-License-Identifier: GPL-3.0-or-later
// Traffic through the private Prosody, the library against a raw gloox pair
// doing the same work, measured in turns so that both meet the same load:
//   throughput  A sends 10,000 chat messages of 100 characters to B (each
//               send is two stanzas: the copy to A's own address, then the
//               message); A and B are polled in one loop, A keeps at most a
//               window of messages ahead of what B has received. Messages per
//               second, until B has every message and A every copy. A trial
//               is a library run and a raw run back to back; the ratio is
//               taken within each trial.
//   round-trip  A sends, B answers at once from inside its message callback,
//               A receives; 1,000 exchanges one after the other, each timed
//               from A's send call to A's callback for the answer. The
//               library pair and the raw pair take turns, 200 exchanges each.
// The throughput loop spins, as a frame loop polls. The round-trip loop polls A
// and B and, while the answer has not come, waits (at most 5 ms) until one of
// the pair's two connections has something to read, so that it does not take
// a processor from the server on this shared machine; both pairs alike.
//   spin        the harness a host's frame loop is: one loop that never
//               waits. Round trip: A sends; then A's and B's poll in turn
//               until A hears B's answer (sent from B's callback); 1,000
//               exchanges after 50 of warm-up, the library pair's run and the
//               raw pair's run back to back. Then three floods of 10,000
//               messages: all sent at once, then polled until B has them
//               ("flood"); one send per round of polls ("interleaved"); at
//               most 100 ahead of what B has ("window").
// Usage: velta_bench_traffic throughput|round-trip|spin [runs] [exchanges per turn]
#include "integration/prosody_server.hpp"
#include "raw/raw_client.hpp"
#include "support/bench_support.hpp"

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <memory>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

using namespace velta_bench;
using Velta_Client::STATE_CONNECTED;

namespace {

constexpr std::size_t text_length = 100;
constexpr long throughput_messages = 10000;
constexpr long window = 256;
constexpr int exchanges = 1000;
const auto run_limit = std::chrono::seconds(60);

// Thrown, not exited: unwinding stops the private server.
[[noreturn]] void fail(const std::string& what) { throw std::runtime_error(what); }

// The descriptors of this process's TCP connections to the server.
std::set<int> server_sockets(const std::string& address) {
    std::set<int> found;
    DIR* folder = ::opendir("/proc/self/fd");
    if (!folder) fail("cannot list /proc/self/fd");
    while (const dirent* entry = ::readdir(folder)) {
        const int fd = std::atoi(entry->d_name);
        sockaddr_in peer{};
        socklen_t size = sizeof peer;
        char text[INET_ADDRSTRLEN] = "";
        if (fd > 2 && ::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &size) == 0 && peer.sin_family == AF_INET &&
            ntohs(peer.sin_port) == 5222 && ::inet_ntop(AF_INET, &peer.sin_addr, text, sizeof text) && address == text)
            found.insert(fd);
    }
    ::closedir(folder);
    return found;
}

// Waits until one of the descriptors has something to read, at most
// timeout_ms.
void wait_readable(const std::vector<int>& fds, int timeout_ms) {
    std::vector<pollfd> watched;
    for (int fd : fds) watched.push_back({fd, POLLIN, 0});
    ::poll(watched.data(), watched.size(), timeout_ms);
}

struct Pairs {
    explicit Pairs(const std::string& address) : library_a(address, "ta"), library_b(address, "tb") {
        if (!library_a.log_in() || !library_b.log_in()) fail("the managers did not log in");
        const std::set<int> library = server_sockets(address);
        if (!raw_register(address, node_of("ra")) || !raw_register(address, node_of("rb")))
            fail("raw registration failed");
        raw_a = std::make_unique<Raw_Client>(address, node_of("ra"));
        raw_b = std::make_unique<Raw_Client>(address, node_of("rb"));
        if (!raw_a->log_in() || !raw_b->log_in()) fail("the raw clients did not log in");
        raw_b_jid = gloox::JID(node_of("rb") + "@localhost");
        raw_a_jid = gloox::JID(node_of("ra") + "@localhost");
        const std::set<int> all = server_sockets(address);
        library_fds.assign(library.begin(), library.end());
        std::set_difference(all.begin(), all.end(), library.begin(), library.end(), std::back_inserter(raw_fds));
        if (library_fds.size() != 2 || raw_fds.size() != 2) fail("cannot tell the pairs' connections apart");
    }
    Library_Host library_a;
    Library_Host library_b;
    std::unique_ptr<Raw_Client> raw_a;
    std::unique_ptr<Raw_Client> raw_b;
    gloox::JID raw_a_jid;
    gloox::JID raw_b_jid;
    std::vector<int> library_fds;  // each pair's two connections to the server
    std::vector<int> raw_fds;
};

// How a flood is sent: at most `ahead` messages beyond what B has received,
// at most `per_round` sends between two rounds of polls.
struct Flood_Shape {
    long ahead;
    long per_round;
};

// Messages per second; negative when the run did not complete.
double throughput_library(Pairs& pairs, long total, Flood_Shape shape = {window, window}) {
    Library_Host& a = pairs.library_a;
    Library_Host& b = pairs.library_b;
    const std::u16string text = wide(chat_text(text_length));
    const long a0 = a.handler.messages;
    const long b0 = b.handler.messages;
    long sent = 0;
    const auto start = Steady::now();
    const bool done = spin_until(
        [&] {
            for (long round = 0; round < shape.per_round && sent < total && sent - (b.handler.messages - b0) < shape.ahead;
                 ++round) {
                ++sent;
                a.manager->send_message(static_cast<std::uint32_t>(sent), u"tb", text);
            }
            a.manager->poll();
            b.manager->poll();
        },
        [&] { return b.handler.messages - b0 >= total && a.handler.messages - a0 >= total; }, run_limit);
    const auto end = Steady::now();
    if (!done || a.manager->get_state() != STATE_CONNECTED) return -1;
    return static_cast<double>(total) / (elapsed_ms(start, end) / 1000);
}

double throughput_raw(Pairs& pairs, long total, Flood_Shape shape = {window, window}) {
    Raw_Client& a = *pairs.raw_a;
    Raw_Client& b = *pairs.raw_b;
    const std::string text = chat_text(text_length);
    const long a0 = a.messages;
    const long b0 = b.messages;
    long sent = 0;
    const auto start = Steady::now();
    const bool done = spin_until(
        [&] {
            for (long round = 0; round < shape.per_round && sent < total && sent - (b.messages - b0) < shape.ahead;
                 ++round) {
                ++sent;
                a.send_pair(pairs.raw_b_jid, text, std::to_string(sent), "rb");
            }
            a.client.recv(0);
            b.client.recv(0);
        },
        [&] { return b.messages - b0 >= total && a.messages - a0 >= total; }, run_limit);
    const auto end = Steady::now();
    if (!done || !a.connected) return -1;
    return static_cast<double>(total) / (elapsed_ms(start, end) / 1000);
}

// One pair set up for exchanges: B answers from inside its message callback,
// A notes when the answer arrives. exchange() returns the round trip in
// microseconds, or a negative value when no answer came.
class Library_Exchanges {
public:
    explicit Library_Exchanges(Pairs& pairs)
        : a_(pairs.library_a), b_(pairs.library_b), fds_(pairs.library_fds), text_(wide(chat_text(text_length))) {
        b_.handler.message_hook = [this](const Velta_Client::wide_string& from, const Velta_Client::wide_string& body) {
            if (from == u"ta") b_.manager->send_message(++answer_id_, u"ta", body);
        };
        a_.handler.message_hook = [this](const Velta_Client::wide_string& from, const Velta_Client::wide_string&) {
            if (from == u"tb") {
                answered_ = true;
                answered_at_ = Steady::now();
            }
        };
    }
    ~Library_Exchanges() {
        a_.handler.message_hook = nullptr;
        b_.handler.message_hook = nullptr;
    }
    Library_Exchanges(const Library_Exchanges&) = delete;
    Library_Exchanges& operator=(const Library_Exchanges&) = delete;

    double exchange(bool spin = false) {
        answered_ = false;
        const auto sent_at = Steady::now();
        a_.manager->send_message(++id_, u"tb", text_);
        if (!spin_until(
                [&] {
                    a_.manager->poll();
                    b_.manager->poll();
                    if (!answered_ && !spin) wait_readable(fds_, 5);
                },
                [&] { return answered_; }, std::chrono::seconds(5)))
            return -1;
        return elapsed_us(sent_at, answered_at_);
    }

private:
    Library_Host& a_;
    Library_Host& b_;
    const std::vector<int> fds_;
    const std::u16string text_;
    std::uint32_t id_ = 0;
    std::uint32_t answer_id_ = 0;
    bool answered_ = false;
    Steady::time_point answered_at_;
};

class Raw_Exchanges {
public:
    explicit Raw_Exchanges(Pairs& pairs)
        : a_(*pairs.raw_a),
          b_(*pairs.raw_b),
          fds_(pairs.raw_fds),
          to_a_(pairs.raw_a_jid),
          to_b_(pairs.raw_b_jid),
          node_a_(node_of("ra")),
          node_b_(node_of("rb")),
          text_(chat_text(text_length)) {
        b_.message_hook = [this](const gloox::Message& message) {
            if (message.from().username() == node_a_)
                b_.send_pair(to_a_, message.body(), std::to_string(++answer_id_), "ra");
        };
        a_.message_hook = [this](const gloox::Message& message) {
            if (message.from().username() == node_b_) {
                answered_ = true;
                answered_at_ = Steady::now();
            }
        };
    }
    ~Raw_Exchanges() {
        a_.message_hook = nullptr;
        b_.message_hook = nullptr;
    }
    Raw_Exchanges(const Raw_Exchanges&) = delete;
    Raw_Exchanges& operator=(const Raw_Exchanges&) = delete;

    double exchange(bool spin = false) {
        answered_ = false;
        const auto sent_at = Steady::now();
        a_.send_pair(to_b_, text_, std::to_string(++id_), "rb");
        if (!spin_until(
                [&] {
                    a_.client.recv(0);
                    b_.client.recv(0);
                    if (!answered_ && !spin) wait_readable(fds_, 5);
                },
                [&] { return answered_; }, std::chrono::seconds(5)))
            return -1;
        return elapsed_us(sent_at, answered_at_);
    }

private:
    Raw_Client& a_;
    Raw_Client& b_;
    const std::vector<int> fds_;
    const gloox::JID to_a_;
    const gloox::JID to_b_;
    const std::string node_a_;
    const std::string node_b_;
    const std::string text_;
    long id_ = 0;
    long answer_id_ = 0;
    bool answered_ = false;
    Steady::time_point answered_at_;
};

// Lets stragglers (the last copies) arrive before the next run.
void settle(Pairs& pairs) {
    const auto until = Steady::now() + std::chrono::milliseconds(100);
    while (Steady::now() < until) {
        pairs.library_a.manager->poll();
        pairs.library_b.manager->poll();
        pairs.raw_a->client.recv(0);
        pairs.raw_b->client.recv(0);
    }
}

std::string joined(const std::vector<double>& values) {
    std::string text;
    char number[32];
    for (double value : values) {
        std::snprintf(number, sizeof number, "%s%.4g", text.empty() ? "" : " ", value);
        text += number;
    }
    return text;
}

}  // namespace

int run(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s throughput|round-trip [runs] [exchanges per turn]\n", argv[0]);
        return 2;
    }
    const std::string mode = argv[1];
    const int runs = argc > 2 ? std::atoi(argv[2]) : 5;
    const int block_size = argc > 3 ? std::atoi(argv[3]) : 200;

    velta_test::Prosody_Server prosody;
    Pairs pairs(prosody.address());

    if (mode == "throughput") {
        // Warm-up, not counted.
        throughput_library(pairs, 500);
        throughput_raw(pairs, 500);
        settle(pairs);
        // Each trial is a library run and a raw run back to back (the one
        // that goes first alternates); the machine's load drifts, so the
        // ratio is taken within each trial.
        std::vector<double> library, raw, ratios;
        for (int trial = 0; trial < runs; ++trial) {
            double l = 0, r = 0;
            if (trial % 2 == 0) {
                l = throughput_library(pairs, throughput_messages);
                settle(pairs);
                r = throughput_raw(pairs, throughput_messages);
            } else {
                r = throughput_raw(pairs, throughput_messages);
                settle(pairs);
                l = throughput_library(pairs, throughput_messages);
            }
            settle(pairs);
            if (l < 0 || r < 0) fail("a throughput run did not complete");
            library.push_back(l);
            raw.push_back(r);
            ratios.push_back(l / r);
        }
        note("throughput_library_runs", joined(library));
        note("throughput_raw_runs", joined(raw));
        note("throughput_ratio_runs", joined(ratios));
        result("throughput_library_mps", median(library));
        result("throughput_raw_mps", median(raw));
        result("throughput_ratio", median(ratios));
        result("throughput_runs", runs);
        return 0;
    }
    if (mode == "round-trip") {
        // The two pairs take turns in blocks of exchanges (the one that goes
        // first alternates), so that both meet the same machine load while
        // each keeps the back-to-back pattern of its own traffic.
        Library_Exchanges library(pairs);
        Raw_Exchanges raw(pairs);
        for (int i = 0; i < 100; ++i) {  // warm-up, not counted
            library.exchange();
            raw.exchange();
        }
        std::vector<double> library_p50, library_p99, raw_p50, raw_p99, ratio_p50, ratio_p99;
        for (int run = 0; run < runs; ++run) {
            std::vector<double> l, r;
            for (int block = 0; static_cast<int>(l.size()) < exchanges; ++block) {
                const bool library_first = block % 2 == 0;
                for (int turn = 0; turn < 2; ++turn) {
                    const bool library_turn = (turn == 0) == library_first;
                    for (int i = 0; i < block_size; ++i) {
                        const double time = library_turn ? library.exchange() : raw.exchange();
                        if (time < 0) fail("an exchange got no answer");
                        (library_turn ? l : r).push_back(time);
                    }
                }
            }
            std::printf(
                "run %d: library p50 %.0f p90 %.0f p99 %.0f max %.0f us; raw p50 %.0f p90 %.0f p99 %.0f max %.0f us\n",
                run, percentile(l, 0.5), percentile(l, 0.9), percentile(l, 0.99), maximum(l), percentile(r, 0.5),
                percentile(r, 0.9), percentile(r, 0.99), maximum(r));
            library_p50.push_back(percentile(l, 0.50));
            library_p99.push_back(percentile(l, 0.99));
            raw_p50.push_back(percentile(r, 0.50));
            raw_p99.push_back(percentile(r, 0.99));
            ratio_p50.push_back(library_p50.back() / raw_p50.back());
            ratio_p99.push_back(library_p99.back() / raw_p99.back());
        }
        note("rtt_library_p50_runs", joined(library_p50));
        note("rtt_library_p99_runs", joined(library_p99));
        note("rtt_raw_p50_runs", joined(raw_p50));
        note("rtt_raw_p99_runs", joined(raw_p99));
        result("rtt_p50_library_us", median(library_p50));
        result("rtt_p99_library_us", median(library_p99));
        result("rtt_p50_raw_us", median(raw_p50));
        result("rtt_p99_raw_us", median(raw_p99));
        result("rtt_p50_ratio", median(ratio_p50));
        result("rtt_p99_ratio", median(ratio_p99));
        result("rtt_runs", runs);
        return 0;
    }
    if (mode == "spin") {
        Library_Exchanges library(pairs);
        Raw_Exchanges raw(pairs);
        std::vector<double> l50, l99, r50, r99;
        for (int run = 0; run < runs; ++run) {
            std::vector<double> l, r;
            for (int turn = 0; turn < 2; ++turn) {
                const bool library_turn = (turn == 0) == (run % 2 == 0);
                std::vector<double>& times = library_turn ? l : r;
                for (int i = 0; i < 50 + exchanges; ++i) {
                    const double time = library_turn ? library.exchange(true) : raw.exchange(true);
                    if (time < 0) fail("an exchange got no answer");
                    if (i >= 50) times.push_back(time);
                }
            }
            std::printf("spin run %d: round trip library p50 %.0f p99 %.0f us; raw p50 %.0f p99 %.0f us\n", run,
                        percentile(l, 0.5), percentile(l, 0.99), percentile(r, 0.5), percentile(r, 0.99));
            std::fflush(stdout);
            l50.push_back(percentile(l, 0.5));
            l99.push_back(percentile(l, 0.99));
            r50.push_back(percentile(r, 0.5));
            r99.push_back(percentile(r, 0.99));
        }
        result("spin_rtt_p50_library_us", median(l50));
        result("spin_rtt_p99_library_us", median(l99));
        result("spin_rtt_p50_raw_us", median(r50));
        result("spin_rtt_p99_raw_us", median(r99));
        const struct {
            const char* name;
            Flood_Shape shape;
        } floods[] = {{"flood", {throughput_messages, throughput_messages}}, {"interleaved", {throughput_messages, 1}},
                      {"window", {100, 100}}};
        for (const auto& flood : floods) {
            std::vector<double> l, r;
            for (int run = 0; run < runs; ++run) {
                settle(pairs);
                const bool library_first = run % 2 == 0;
                const double first = library_first ? throughput_library(pairs, throughput_messages, flood.shape)
                                                   : throughput_raw(pairs, throughput_messages, flood.shape);
                settle(pairs);
                const double second = library_first ? throughput_raw(pairs, throughput_messages, flood.shape)
                                                    : throughput_library(pairs, throughput_messages, flood.shape);
                if (first < 0 || second < 0) fail(std::string("a ") + flood.name + " run did not complete");
                l.push_back(library_first ? first : second);
                r.push_back(library_first ? second : first);
            }
            std::printf("spin %s: library %.0f messages/s, raw %.0f messages/s (medians of %d)\n", flood.name, median(l),
                        median(r), runs);
            std::fflush(stdout);
            result(std::string("spin_") + flood.name + "_library_mps", median(l));
            result(std::string("spin_") + flood.name + "_raw_mps", median(r));
        }
        return 0;
    }
    fail("unknown mode " + mode);
}

int main(int argc, char** argv) { return velta_bench::run_reporting_errors(argc, argv, run); }
