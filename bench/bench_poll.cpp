// SPDX-License-Identifier: GPL-3.0-or-later
// poll() as the host's frame sees it, against gloox's recv(0), side by side in
// one process (Google Benchmark, repetitions randomly interleaved):
//   idle       a manager that was never started / a gloox client never connected
//   connected  one logged-in manager / one logged-in raw client, nothing arriving
//   round_100  one poll of each of 100 logged-in managers / one recv(0) of each
//              of 100 logged-in raw clients, nothing arriving
// Prints the medians as RESULT lines (nanoseconds per call or per round).
#include "integration/prosody_server.hpp"
#include "raw/raw_client.hpp"
#include "support/bench_support.hpp"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

using namespace velta_bench;
using Velta_Client::STATE_CONNECTED;

namespace {

struct World {
    velta_test::Prosody_Server prosody;
    std::unique_ptr<Library_Host> library_one;
    std::unique_ptr<Raw_Client> raw_one;
    std::vector<std::unique_ptr<Library_Host>> library_many;
    std::vector<std::unique_ptr<Raw_Client>> raw_many;
};

World* world = nullptr;

void set_up(int scale) {
    world = new World;
    const std::string address = world->prosody.address();

    world->library_one = std::make_unique<Library_Host>(address, "poll-one");
    if (!world->library_one->log_in()) throw std::runtime_error("the connected manager did not log in");

    if (!raw_register(address, node_of("raw-one"))) throw std::runtime_error("raw registration failed");
    world->raw_one = std::make_unique<Raw_Client>(address, node_of("raw-one"));
    if (!world->raw_one->log_in()) throw std::runtime_error("the connected raw client did not log in");

    std::vector<Library_Host*> hosts;
    for (int i = 0; i < scale; ++i) {
        world->library_many.push_back(std::make_unique<Library_Host>(address, "many-" + std::to_string(i)));
        hosts.push_back(world->library_many.back().get());
    }
    log_in_all(hosts, std::chrono::seconds(120));

    for (int i = 0; i < scale; ++i) {
        const std::string node = node_of("raw-many-" + std::to_string(i));
        if (!raw_register(address, node)) throw std::runtime_error("raw registration failed");
        world->raw_many.push_back(std::make_unique<Raw_Client>(address, node));
        if (!world->raw_many.back()->log_in()) throw std::runtime_error("a raw client did not log in");
    }
}

// Nothing may arrive while an idle poll is measured: check afterwards.
bool quiet(const Library_Host& host, long messages_before) {
    return host.manager->get_state() == STATE_CONNECTED && host.handler.messages == messages_before &&
           host.handler.disconnected == 0;
}

void idle_poll_library(benchmark::State& state) {
    Still_Clock clock;
    Counting_Handler handler;
    Velta_Client::Velta_Manager* manager = new_velta_manager(&clock, &handler, u"127.0.0.1", u"idle", u"pw");
    for (auto _ : state) manager->poll();
    delete manager;
}

void idle_recv_raw(benchmark::State& state) {
    gloox::Client client(gloox::JID("idle@localhost"), "pw");
    for (auto _ : state) benchmark::DoNotOptimize(client.recv(0));
}

void connected_poll_library(benchmark::State& state) {
    Library_Host& host = *world->library_one;
    const long before = host.handler.messages;
    for (auto _ : state) host.manager->poll();
    if (!quiet(host, before)) state.SkipWithError("the manager heard something or lost its connection");
}

void connected_recv_raw(benchmark::State& state) {
    Raw_Client& raw = *world->raw_one;
    const long before = raw.messages;
    for (auto _ : state) benchmark::DoNotOptimize(raw.client.recv(0));
    if (!raw.connected || raw.messages != before) state.SkipWithError("the raw client heard something");
}

void round_library(benchmark::State& state) {
    for (auto _ : state)
        for (const auto& host : world->library_many) host->manager->poll();
    for (const auto& host : world->library_many)
        if (!quiet(*host, 0)) state.SkipWithError("a manager heard something or lost its connection");
}

void round_raw(benchmark::State& state) {
    for (auto _ : state)
        for (const auto& raw : world->raw_many) benchmark::DoNotOptimize(raw->client.recv(0));
    for (const auto& raw : world->raw_many)
        if (!raw->connected || raw->messages != 0) state.SkipWithError("a raw client heard something");
}

// Keeps the median of every benchmark for the RESULT lines.
class Median_Reporter : public benchmark::ConsoleReporter {
public:
    Median_Reporter() : benchmark::ConsoleReporter(OO_Tabular) {}  // no colour codes in the log
    std::map<std::string, double> medians;
    std::map<std::string, bool> failed;

    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            if (run.error_occurred) failed[run.run_name.function_name] = true;
            if (run.run_type == Run::RT_Aggregate && run.aggregate_name == "median")
                medians[run.run_name.function_name] = run.GetAdjustedRealTime();
        }
        ConsoleReporter::ReportRuns(runs);
    }
};

}  // namespace

int main(int argc, char** argv) {
    int scale = 100;
    // Defaults first: arguments given on the command line come later and win.
    std::vector<char*> args{argv[0]};
    static char repetitions[] = "--benchmark_repetitions=9";
    static char interleave[] = "--benchmark_enable_random_interleaving=true";
    static char aggregates[] = "--benchmark_report_aggregates_only=true";
    args.push_back(repetitions);
    args.push_back(interleave);
    args.push_back(aggregates);
    for (int i = 1; i < argc; ++i) {
        if (std::strncmp(argv[i], "--scale=", 8) == 0)
            scale = std::atoi(argv[i] + 8);
        else
            args.push_back(argv[i]);
    }
    int count = static_cast<int>(args.size());
    benchmark::Initialize(&count, args.data());
    if (benchmark::ReportUnrecognizedArguments(count, args.data())) return 1;

    try {
        set_up(scale);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "bench_poll: %s\n", error.what());
        return 1;
    }

    benchmark::RegisterBenchmark("idle_poll_library", idle_poll_library)->Unit(benchmark::kNanosecond);
    benchmark::RegisterBenchmark("idle_recv_raw", idle_recv_raw)->Unit(benchmark::kNanosecond);
    benchmark::RegisterBenchmark("connected_poll_library", connected_poll_library)->Unit(benchmark::kNanosecond);
    benchmark::RegisterBenchmark("connected_recv_raw", connected_recv_raw)->Unit(benchmark::kNanosecond);
    benchmark::RegisterBenchmark("round_library", round_library)->Unit(benchmark::kNanosecond);
    benchmark::RegisterBenchmark("round_raw", round_raw)->Unit(benchmark::kNanosecond);

    Median_Reporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();

    for (const auto& [name, value] : reporter.medians)
        if (!reporter.failed.count(name)) result(name + "_ns", value);
    result("round_managers", scale);

    // Tear down before the server goes.
    world->library_many.clear();
    world->raw_many.clear();
    world->library_one.reset();
    world->raw_one.reset();
    delete world;
    return 0;
}
