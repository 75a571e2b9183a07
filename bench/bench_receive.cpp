// SPDX-License-Identifier: GPL-3.0-or-later
// Instruction counts, for callgrind. Only the measured loop is instrumented
// and collected; scripts/bench runs each mode as
//   valgrind --tool=callgrind --instr-atstart=no --collect-atstart=no
//            --collect-systime=yes --callgrind-out-file=FILE velta_bench_receive MODE [N]
// and divides the profile's totals by the count this program prints.
//
// Modes (the library through its shared object; the raw side is gloox as it
// comes, see raw/raw_client.hpp):
//   idle-library       N polls of a manager that was never started
//   connected-library  N polls of a logged-in manager, nothing arriving
//   connected-raw      N recv(0) of a logged-in raw client, nothing arriving
//   receive-library    a logged-in manager receives N chat messages of 100
//                      characters: every poll from the first socket read to
//                      the Handler call for the last message
//   receive-raw        a logged-in raw client receives the same N messages and
//                      calls its (counting) handleMessage for each
// In both receive modes the sender is a manager that sends with send_message,
// so the receivers parse the same bytes; its work is not measured, and the
// messages wait in the receiver's socket before the measurement begins.
#include "integration/prosody_server.hpp"
#include "raw/raw_client.hpp"
#include "support/bench_support.hpp"

#if __has_include(<valgrind/callgrind.h>)
#include <valgrind/callgrind.h>
#define VELTA_MEASURE_BEGIN()            \
    do {                                 \
        CALLGRIND_START_INSTRUMENTATION; \
        CALLGRIND_TOGGLE_COLLECT;        \
    } while (0)
#define VELTA_MEASURE_END()             \
    do {                                \
        CALLGRIND_TOGGLE_COLLECT;       \
        CALLGRIND_STOP_INSTRUMENTATION; \
    } while (0)
#else
#define VELTA_MEASURE_BEGIN() \
    do {                      \
    } while (0)
#define VELTA_MEASURE_END() \
    do {                    \
    } while (0)
#endif

#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <thread>

using namespace velta_bench;

namespace {

constexpr std::size_t text_length = 100;

// Thrown, not exited: unwinding stops the private server.
[[noreturn]] void fail(const std::string& what) { throw std::runtime_error(what); }

// N polls of a manager with nothing to do.
void measure_polls(Library_Host& host, const std::string& mode, long n) {
    VELTA_MEASURE_BEGIN();
    for (long i = 0; i < n; ++i) host.manager->poll();
    VELTA_MEASURE_END();
    result(mode + "_count", static_cast<double>(n));
    result(mode + "_calls", static_cast<double>(n));
}

// The sender sends n messages to the user "receiver" and polls until the
// server has echoed every copy to its own address: by then the server has
// routed every message. A pause lets the last ones reach the receiver.
void send_and_settle(Library_Host& sender, long n) {
    const std::u16string text = wide(chat_text(text_length));
    const long before = sender.handler.messages;
    for (long i = 0; i < n; ++i) {
        sender.manager->send_message(static_cast<std::uint32_t>(i + 1), u"receiver", text);
        if (i % 16 == 15) sender.manager->poll();
    }
    if (!spin_until([&] { sender.manager->poll(); }, [&] { return sender.handler.messages >= before + n; },
                    std::chrono::seconds(60)))
        fail("the sender's copies did not all come back");
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
}

}  // namespace

int run(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s idle-library|connected-library|connected-raw|receive-library|receive-raw [N]\n",
                     argv[0]);
        return 2;
    }
    const std::string mode = argv[1];
    const bool receive = mode.rfind("receive-", 0) == 0;
    const long n = argc > 2 ? std::atol(argv[2]) : (mode == "idle-library" ? 100000 : receive ? 500 : 10000);

    if (mode == "idle-library") {
        Library_Host idle("127.0.0.1", "idle");
        measure_polls(idle, mode, n);
        return 0;
    }

    velta_test::Prosody_Server prosody;
    const std::string address = prosody.address();

    if (mode == "connected-library") {
        Library_Host host(address, "connected");
        if (!host.log_in()) fail("no login");
        measure_polls(host, mode, n);
        if (host.handler.messages != 0) fail("a message arrived while idle");
        return 0;
    }
    if (mode == "connected-raw") {
        if (!raw_register(address, node_of("connected"))) fail("no registration");
        Raw_Client raw(address, node_of("connected"));
        if (!raw.log_in()) fail("no login");
        VELTA_MEASURE_BEGIN();
        for (long i = 0; i < n; ++i) raw.client.recv(0);
        VELTA_MEASURE_END();
        if (raw.messages != 0) fail("a message arrived while idle");
        result(mode + "_count", static_cast<double>(n));
        result(mode + "_calls", static_cast<double>(n));
        return 0;
    }
    if (!receive) fail("unknown mode " + mode);

    Library_Host sender(address, "sender");
    if (!sender.log_in()) fail("the sender did not log in");
    const long poll_limit = 1000 * n + 100000;
    long calls = 0;

    if (mode == "receive-library") {
        Library_Host receiver(address, "receiver");
        if (!receiver.log_in()) fail("the receiver did not log in");
        send_and_settle(sender, n);
        VELTA_MEASURE_BEGIN();
        while (receiver.handler.messages < n && calls < poll_limit) {
            receiver.manager->poll();
            ++calls;
        }
        VELTA_MEASURE_END();
        if (receiver.handler.messages != n) fail("the receiver heard " + std::to_string(receiver.handler.messages));
    } else if (mode == "receive-raw") {
        if (!raw_register(address, node_of("receiver"))) fail("no registration");
        Raw_Client receiver(address, node_of("receiver"));
        if (!receiver.log_in()) fail("the raw receiver did not log in");
        send_and_settle(sender, n);
        VELTA_MEASURE_BEGIN();
        while (receiver.messages < n && calls < poll_limit) {
            receiver.client.recv(0);
            ++calls;
        }
        VELTA_MEASURE_END();
        if (receiver.messages != n) fail("the raw receiver heard " + std::to_string(receiver.messages));
    } else {
        fail("unknown mode " + mode);
    }
    result(mode + "_count", static_cast<double>(n));
    result(mode + "_calls", static_cast<double>(calls));
    return 0;
}

int main(int argc, char** argv) { return velta_bench::run_reporting_errors(argc, argv, run); }
