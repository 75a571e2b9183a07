// SPDX-License-Identifier: GPL-3.0-or-later
// Resident memory (VmRSS), one mode per process:
//   managers [N]    N logged-in managers in one process: (RSS with them all
//                   connected - RSS before them) / N. One manager logs in
//                   first and stays, so that what is loaded once (the
//                   resolver, gloox's statics) is not charged to the N.
//   raw [N]         the same with N logged-in raw gloox clients (accounts
//                   registered before the first measurement).
//   cycles [N]      one manager: N times start, wait for on_connected,
//                   logout, poll back to idle. RSS before, after the first
//                   cycle and after the last.
//   raw-cycles [N]  the raw equivalent: register-then-login, disconnect,
//                   destroy both clients.
#include "integration/prosody_server.hpp"
#include "raw/raw_client.hpp"
#include "support/bench_support.hpp"

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

using namespace velta_bench;
using Velta_Client::STATE_IDLE;

namespace {

// Thrown, not exited: unwinding stops the private server.
[[noreturn]] void fail(const std::string& what) { throw std::runtime_error(what); }

bool checkpoint(long cycle) { return cycle == 1 || cycle == 10 || cycle % 100 == 0; }

}  // namespace

int run(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s managers|raw|cycles|raw-cycles [N]\n", argv[0]);
        return 2;
    }
    const std::string mode = argv[1];
    velta_test::Prosody_Server prosody;
    const std::string address = prosody.address();

    if (mode == "managers") {
        const int n = argc > 2 ? std::atoi(argv[2]) : 100;
        Library_Host warm(address, "warm");
        if (!warm.log_in()) fail("no login");
        const long before = resident_kib();
        std::vector<std::unique_ptr<Library_Host>> hosts;
        std::vector<Library_Host*> pointers;
        for (int i = 0; i < n; ++i) {
            hosts.push_back(std::make_unique<Library_Host>(address, "resident-" + std::to_string(i)));
            pointers.push_back(hosts.back().get());
        }
        log_in_all(pointers, std::chrono::seconds(120));
        const long after = resident_kib();
        std::printf("RSS %ld KiB before, %ld KiB with %d more connected managers\n", before, after, n);
        result("memory_per_manager_library_kib", static_cast<double>(after - before) / n);
        return 0;
    }
    if (mode == "raw") {
        const int n = argc > 2 ? std::atoi(argv[2]) : 100;
        if (!raw_register(address, node_of("warm"))) fail("no registration");
        Raw_Client warm(address, node_of("warm"));
        if (!warm.log_in()) fail("no login");
        for (int i = 0; i < n; ++i)
            if (!raw_register(address, node_of("resident-" + std::to_string(i)))) fail("no registration");
        const long before = resident_kib();
        std::vector<std::unique_ptr<Raw_Client>> clients;
        for (int i = 0; i < n; ++i) {
            clients.push_back(std::make_unique<Raw_Client>(address, node_of("resident-" + std::to_string(i))));
            if (!clients.back()->log_in()) fail("no raw login");
        }
        const long after = resident_kib();
        std::printf("RSS %ld KiB before, %ld KiB with %d more connected raw clients\n", before, after, n);
        result("memory_per_client_raw_kib", static_cast<double>(after - before) / n);
        return 0;
    }
    if (mode == "cycles") {
        const long n = argc > 2 ? std::atol(argv[2]) : 1000;
        Library_Host host(address, "cycler");
        const long start = resident_kib();
        long first = 0;
        for (long cycle = 1; cycle <= n; ++cycle) {
            if (!host.log_in()) fail("no login at cycle " + std::to_string(cycle));
            host.manager->logout();
            if (!spin_until([&] { host.manager->poll(); }, [&] { return host.manager->get_state() == STATE_IDLE; },
                            std::chrono::seconds(10)))
                fail("no return to idle");
            if (cycle == 1) first = resident_kib();
            if (checkpoint(cycle)) std::printf("cycle %ld: RSS %ld KiB\n", cycle, resident_kib());
        }
        const long last = resident_kib();
        result("cycles_library", static_cast<double>(n));
        result("cycles_growth_library_kib", static_cast<double>(last - first));
        result("cycles_growth_from_start_library_kib", static_cast<double>(last - start));
        return 0;
    }
    if (mode == "raw-cycles") {
        const long n = argc > 2 ? std::atol(argv[2]) : 100;
        const std::string node = node_of("cycler");
        const long start = resident_kib();
        long first = 0;
        for (long cycle = 1; cycle <= n; ++cycle) {
            if (!raw_register(address, node)) fail("no raw registration at cycle " + std::to_string(cycle));
            {
                Raw_Client raw(address, node);
                if (!raw.log_in()) fail("no raw login at cycle " + std::to_string(cycle));
                raw.client.disconnect();
            }
            if (cycle == 1) first = resident_kib();
            if (checkpoint(cycle)) std::printf("cycle %ld: RSS %ld KiB\n", cycle, resident_kib());
        }
        const long last = resident_kib();
        result("cycles_raw", static_cast<double>(n));
        result("cycles_growth_raw_kib", static_cast<double>(last - first));
        result("cycles_growth_from_start_raw_kib", static_cast<double>(last - start));
        return 0;
    }
    fail("unknown mode " + mode);
}

int main(int argc, char** argv) { return velta_bench::run_reporting_errors(argc, argv, run); }
