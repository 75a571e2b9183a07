// SPDX-License-Identifier: GPL-3.0-or-later
// The cost of one send to the host: processor time of send_message for texts
// of several lengths (UTF-16 units), the median of many calls. The server is
// the tests' scripted peer, which reads everything and echoes nothing; the manager is polled
// between sends so that nothing piles up in its write buffer.
// Usage: velta_bench_send [units ...]   (default 100 4096 60000 1000000)
#include "peer/scripted_peer.hpp"
#include "support/bench_support.hpp"

#include <time.h>

#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

using namespace velta_bench;

namespace {

[[noreturn]] void fail(const std::string& what) { throw std::runtime_error(what); }

double thread_cpu_ms() {
    timespec now{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) * 1e3 + static_cast<double>(now.tv_nsec) / 1e6;
}

// Mixed text: ASCII with the characters XML escapes, two-byte and
// three-byte characters and surrogate pairs, as a host's chat may hold.
std::u16string text_of(std::size_t units) {
    static const std::u16string pattern = u"Hello <world> & \"friends\" \u00e9\u00e8 \u4e16\u754c \U0001F600 ok. ";
    std::u16string text;
    while (text.size() < units) text += pattern;
    text.resize(units);
    if (!text.empty() && text.back() >= 0xD800 && text.back() <= 0xDBFF) text.back() = u'x';
    return text;
}

void measure(Library_Host& host, std::size_t units) {
    const std::u16string text = text_of(units);
    const int calls = units >= 100000 ? 20 : units >= 10000 ? 100 : 500;
    std::vector<double> times;
    for (int i = 0; i < calls; ++i) {
        const double before = thread_cpu_ms();
        host.manager->send_message(static_cast<std::uint32_t>(i + 1), u"receiver", text);
        times.push_back(thread_cpu_ms() - before);
        // The peer reads more slowly than the library writes: a pause in
        // proportion keeps the write buffer (16 MB) from filling.
        std::this_thread::sleep_for(std::chrono::microseconds(200 + units / 4));
        host.manager->poll();
        if (host.manager->get_state() != Velta_Client::STATE_CONNECTED) fail("the connection ended");
    }
    const std::string key = "send_" + std::to_string(units);
    result(key + "_median_ms", median(times));
    result(key + "_p99_ms", percentile(times, 0.99));
    std::printf("send_message of %8zu units: median %9.4f ms   p99 %9.4f ms   (%d calls)\n", units, median(times),
                percentile(times, 0.99), calls);
    std::fflush(stdout);
}

}  // namespace

int run(int argc, char** argv) {
    std::vector<std::size_t> lengths;
    for (int i = 1; i < argc; ++i) lengths.push_back(std::strtoul(argv[i], nullptr, 10));
    if (lengths.empty()) lengths = {100, 4096, 60000, 1000000};
    velta_test::Scripted_Peer peer;
    peer.set_auth_mode(velta_test::Auth_Mode::always_succeed);
    peer.set_echo(false);  // our copies would come back past the bounds on what we receive
    Library_Host host(peer.address(), "sender");
    if (!host.log_in()) fail("the library did not log in");
    for (const std::size_t units : lengths) measure(host, units);
    return 0;
}

int main(int argc, char** argv) { return velta_bench::run_reporting_errors(argc, argv, run); }
