// A host whose server string is anything the test chooses (a name for the
// private DNS server, a silent listener), timing every call it makes into
// the library.
#pragma once

#include "support/host_doubles.hpp"

#include <velta_client/velta_client.hpp>

#include <algorithm>
#include <chrono>
#include <memory>
#include <string>
#include <thread>

namespace velta_test {

struct Host_At {
    explicit Host_At(const std::string& server, const std::string& user = "Bob", const std::string& password = "pw")
        : manager(new_velta_manager(&clock, &handler, wide(server), wide(user), wide(password))) {}

    Test_Clock clock;
    Recording_Handler handler;
    std::unique_ptr<Velta_Client::Velta_Manager> manager;
    // The longest single call into the library so far, by the wall clock.
    std::chrono::steady_clock::duration longest_call{};

    int state() { return manager->get_state(); }

    template <class Call>
    void timed(Call call) {
        const auto begun = std::chrono::steady_clock::now();
        call();
        longest_call = std::max(longest_call, std::chrono::steady_clock::now() - begun);
    }
    void start() {
        timed([&] { manager->start(); });
    }
    void poll() {
        timed([&] { manager->poll(); });
    }

    // Polls about once a millisecond until done() or the real-time limit.
    template <class Done>
    bool poll_until(Done done, std::chrono::milliseconds limit = std::chrono::seconds(10)) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (true) {
            poll();
            if (done()) return true;
            if (std::chrono::steady_clock::now() > deadline) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }
    void poll_for(std::chrono::milliseconds span) {
        poll_until([] { return false; }, span);
    }

    bool connected() {
        return poll_until([&] { return state() == Velta_Client::STATE_CONNECTED; });
    }

    double longest_call_ms() const {
        return std::chrono::duration<double, std::milli>(longest_call).count();
    }
};

// Wall time below which no call can have waited for the network here: a wait
// would last the resolver's 2 s try, the SYN's 1 s retransmission or the 15 s
// deadline. The frame-sized promise itself is measured in bench/; under
// valgrind on a loaded machine a call took 245 ms of wall time.
constexpr double network_wait_ms = 1000.0;

}  // namespace velta_test
