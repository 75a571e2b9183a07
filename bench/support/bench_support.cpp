// SPDX-License-Identifier: GPL-3.0-or-later
#include "support/bench_support.hpp"

#include "text/escaping.hpp"

#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <stdexcept>
#include <thread>

namespace velta_bench {

Library_Host::Library_Host(const std::string& address, const std::string& user_name, const std::string& password)
    : manager(new_velta_manager(&clock, &handler, wide(address), wide(user_name), wide(password))), user(user_name) {
    if (!manager) throw std::runtime_error("new_velta_manager returned null");
}

Library_Host::~Library_Host() { delete manager; }

bool Library_Host::log_in(std::chrono::milliseconds limit) {
    const long before = handler.connected;
    manager->start();
    spin_until([&] { manager->poll(); },
               [&] {
                   return handler.connected > before || handler.errors > 0 ||
                          manager->get_state() == Velta_Client::STATE_IDLE;
               },
               limit);
    return manager->get_state() == Velta_Client::STATE_CONNECTED;
}

void log_in_all(const std::vector<Library_Host*>& hosts, std::chrono::milliseconds limit) {
    for (Library_Host* host : hosts) host->manager->start();
    const bool all = spin_until(
        [&] {
            for (Library_Host* host : hosts) host->manager->poll();
        },
        [&] {
            for (Library_Host* host : hosts)
                if (host->manager->get_state() != Velta_Client::STATE_CONNECTED) return false;
            return true;
        },
        limit);
    if (!all) throw std::runtime_error("not every manager logged in within the limit");
}

bool spin_until(const std::function<void()>& step, const std::function<bool()>& done, std::chrono::milliseconds limit) {
    const auto deadline = Steady::now() + limit;
    while (!done()) {
        if (Steady::now() > deadline) return false;
        step();
    }
    return true;
}

std::u16string wide(const std::string& ascii) { return std::u16string(ascii.begin(), ascii.end()); }

std::string chat_text(std::size_t characters) {
    static const std::string words = "The host says hello to the world and the world answers back at once. ";
    std::string text;
    while (text.size() < characters) text += words;
    text.resize(characters);
    return text;
}

std::string node_of(const std::string& user_name) {
    const auto node = Velta_Client::text_encoding::user_name_to_node(user_name);
    if (!node) throw std::runtime_error("user name has no node: " + user_name);
    return *node;
}

double median(std::vector<double> values) {
    if (values.empty()) return NAN;
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

double percentile(std::vector<double> values, double fraction) {
    if (values.empty()) return NAN;
    std::sort(values.begin(), values.end());
    const auto rank = static_cast<std::size_t>(std::ceil(fraction * static_cast<double>(values.size())));
    return values[std::min(values.size() - 1, rank == 0 ? 0 : rank - 1)];
}

double maximum(const std::vector<double>& values) {
    return values.empty() ? NAN : *std::max_element(values.begin(), values.end());
}

double elapsed_ms(Steady::time_point from, Steady::time_point to) {
    return std::chrono::duration<double, std::milli>(to - from).count();
}

double elapsed_us(Steady::time_point from, Steady::time_point to) {
    return std::chrono::duration<double, std::micro>(to - from).count();
}

Thread_Times::Thread_Times() : fd_(::open("/proc/thread-self/schedstat", O_RDONLY | O_CLOEXEC)) {}

Thread_Times::~Thread_Times() {
    if (fd_ >= 0) ::close(fd_);
}

Thread_Times::Sample Thread_Times::sample() const {
    Sample sample;
    timespec cpu{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &cpu);
    sample.cpu_ms = static_cast<double>(cpu.tv_sec) * 1e3 + static_cast<double>(cpu.tv_nsec) / 1e6;
    char text[128];
    const ssize_t size = fd_ < 0 ? -1 : ::pread(fd_, text, sizeof text - 1, 0);
    if (size <= 0) return sample;
    text[size] = '\0';
    unsigned long long running = 0, waiting = 0;
    if (std::sscanf(text, "%llu %llu", &running, &waiting) == 2) sample.waiting_ms = static_cast<double>(waiting) / 1e6;
    return sample;
}

long resident_kib() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
    return -1;
}

void result(const std::string& key, double value) {
    std::printf("RESULT %s %.6g\n", key.c_str(), value);
    std::fflush(stdout);
}

void note(const std::string& key, const std::string& text) {
    std::printf("NOTE %s %s\n", key.c_str(), text.c_str());
    std::fflush(stdout);
}

}  // namespace velta_bench

namespace velta_bench {

int run_reporting_errors(int argc, char** argv, int (*run)(int, char**)) {
    try {
        return run(argc, argv);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "%s: %s\n", argv[0], error.what());
        return 1;
    }
}

}  // namespace velta_bench
