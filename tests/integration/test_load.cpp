// SPDX-License-Identifier: GPL-3.0-or-later
// Many managers in one process, and one manager over many sessions, against
// a real Prosody.
#include "integration/prosody_fixture.hpp"
#include "support/polling.hpp"

#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <thread>

using namespace velta_test;
using Velta_Client::STATE_CONNECTED;
using Velta_Client::STATE_IDLE;
using Velta_Client::Velta_Manager;

namespace {

// Resident memory of this process, in kilobytes.
long resident_kb() {
    std::ifstream statm("/proc/self/statm");
    long pages = 0, resident = 0;
    statm >> pages >> resident;
    return resident * (::sysconf(_SC_PAGESIZE) / 1024);
}

#if defined(__SANITIZE_ADDRESS__)
constexpr bool under_asan = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool under_asan = true;
#else
constexpr bool under_asan = false;
#endif
#else
constexpr bool under_asan = false;
#endif

// AddressSanitizer's quarantine holds freed memory, and valgrind keeps its
// own heap: resident memory says nothing there, their leak checks judge.
bool memory_is_instrumented() {
    const char* preload = std::getenv("LD_PRELOAD");
    return under_asan || (preload && std::strstr(preload, "vgpreload"));
}

// Records on_message bodies per sender; counts everything else.
struct Chat_Handler : Velta_Client::Handler {
    std::map<std::u16string, std::vector<std::u16string>> bodies;  // by sender
    int connected = 0;
    int other = 0;

    void on_message(const std::u16string& from, const std::u16string& body, std::int32_t) override {
        bodies[from].push_back(body);
    }
    void on_connected() override { ++connected; }
    void on_admin_values(const std::u16string&, const std::u16string&, std::int32_t) override { ++other; }
    void on_admin_identifier(const std::u16string&, const std::u16string&, const std::u16string&,
                             std::int32_t) override {
        ++other;
    }
    void on_error(const Velta_Client::Error&) override { ++other; }
    void on_disconnected() override { ++other; }
    void on_message_stored(std::uint32_t, const std::u16string&) override { ++other; }
    void on_admin_text(const std::u16string&, const std::u16string&, std::int32_t) override { ++other; }
    void on_command_values(const std::u16string&, const std::u16string&, std::int32_t, std::uint32_t) override {
        ++other;
    }
    void on_command_message(std::uint32_t, const std::u16string&, const std::u16string&, std::int32_t,
                            std::uint32_t) override {
        ++other;
    }
};

struct Player {
    std::u16string name;
    Test_Clock clock;
    Chat_Handler handler;
    std::unique_ptr<Velta_Manager> manager;
    std::size_t heard() const {
        std::size_t n = 0;
        for (const auto& entry : handler.bodies) n += entry.second.size();
        return n;
    }
};

std::u16string text(const std::string& ascii) { return std::u16string(ascii.begin(), ascii.end()); }

}  // namespace

// 100 managers polled from one thread, in 50 pairs: each sends 100 numbered
// messages to its partner. Every message arrives once, in order, and so
// does every copy a sender gets of its own.
TEST(Prosody_Load, a_hundred_managers_in_pairs_exchange_ten_thousand_messages) {
    constexpr int players = 100;
    constexpr int messages = 100;
    const auto began = std::chrono::steady_clock::now();

    std::vector<std::unique_ptr<Player>> all;
    for (int i = 0; i < players; ++i) {
        auto player = std::make_unique<Player>();
        char name[16];
        std::snprintf(name, sizeof name, "load%03d", i);
        player->name = text(name);
        player->manager.reset(
            new_velta_manager(&player->clock, &player->handler, prosody().server(), player->name, u"pw"));
        ASSERT_NE(player->manager, nullptr);
        player->manager->start();
        all.push_back(std::move(player));
    }
    const auto poll_all = [&] {
        for (auto& player : all) player->manager->poll();
    };
    const auto until = [&](auto done, std::chrono::seconds limit) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (!done()) {
            if (std::chrono::steady_clock::now() > deadline) return false;
            poll_all();
            std::this_thread::sleep_for(1ms);
        }
        return true;
    };
    ASSERT_TRUE(until(
        [&] {
            for (auto& player : all)
                if (player->manager->get_state() != STATE_CONNECTED) return false;
            return true;
        },
        60s));
    // A message to each self: once it is back, the server has taken the
    // player's presence and delivers to it at once rather than storing.
    for (auto& player : all) player->manager->send_message(0, player->name, u"ready");
    ASSERT_TRUE(until(
        [&] {
            for (auto& player : all)
                if (player->heard() < 2) return false;
            return true;
        },
        30s));
    for (auto& player : all) player->handler.bodies.clear();
    const auto logged_in = std::chrono::steady_clock::now();

    for (int round = 0; round < messages; ++round) {
        for (int i = 0; i < players; ++i) {
            Player& partner = *all[static_cast<std::size_t>(i ^ 1)];
            all[static_cast<std::size_t>(i)]->manager->send_message(static_cast<std::uint32_t>(round), partner.name,
                                                                    text(std::to_string(round)));
        }
        poll_all();
    }
    ASSERT_TRUE(until(
        [&] {
            for (auto& player : all)
                if (player->heard() < 2 * messages) return false;
            return true;
        },
        60s));
    const auto done = std::chrono::steady_clock::now();
    // Nothing more may come: no message twice.
    for (const auto quiet_until = done + 200ms; std::chrono::steady_clock::now() < quiet_until;) {
        poll_all();
        std::this_thread::sleep_for(1ms);
    }

    std::vector<std::u16string> expected;
    for (int round = 0; round < messages; ++round) expected.push_back(text(std::to_string(round)));
    for (int i = 0; i < players; ++i) {
        const Player& player = *all[static_cast<std::size_t>(i)];
        const Player& partner = *all[static_cast<std::size_t>(i ^ 1)];
        EXPECT_EQ(player.handler.bodies.size(), 2u) << i;
        const auto from_partner = player.handler.bodies.find(partner.name);
        const auto own_copies = player.handler.bodies.find(player.name);
        ASSERT_NE(from_partner, player.handler.bodies.end()) << i;
        ASSERT_NE(own_copies, player.handler.bodies.end()) << i;
        EXPECT_EQ(from_partner->second, expected) << i;
        EXPECT_EQ(own_copies->second, expected) << i;
        EXPECT_EQ(player.handler.connected, 1) << i;
        EXPECT_EQ(player.handler.other, 0) << i;
        EXPECT_EQ(player.manager->get_state(), STATE_CONNECTED) << i;
    }
    const auto ms = [](auto span) { return std::chrono::duration_cast<std::chrono::milliseconds>(span).count(); };
    std::printf("load: %d managers logged in in %lld ms; %d messages and their copies in %lld ms\n", players,
                static_cast<long long>(ms(logged_in - began)), players * messages,
                static_cast<long long>(ms(done - logged_in)));
    RecordProperty("login_ms", static_cast<int>(ms(logged_in - began)));
    RecordProperty("messages_ms", static_cast<int>(ms(done - logged_in)));
}

// Sessions one after another on one manager: resident memory stays where it
// was after the first few. VELTA_SOAK_CYCLES sets the count (scripts/check-leaks
// runs 1000).
TEST(Prosody_Soak, start_and_logout_cycles_leave_resident_memory_flat) {
    const char* configured = std::getenv("VELTA_SOAK_CYCLES");
    const int cycles = configured ? std::atoi(configured) : 50;
    Prosody_Host host("soak", "pw");
    int errors = 0;
    const auto cycle = [&](int n) {
        errors += host.handler.count("on_error");
        host.handler.take();
        ASSERT_TRUE(host.log_in()) << n;
        host.manager->logout();
        host.manager->poll();
        ASSERT_EQ(host.manager->get_state(), STATE_IDLE) << n;
    };
    for (int n = 0; n < 10; ++n) cycle(n);  // allocator and library caches fill up
    const long before = resident_kb();
    const auto began = std::chrono::steady_clock::now();
    for (int n = 0; n < cycles; ++n) cycle(n);
    const long growth = resident_kb() - before;
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - began).count();
    std::printf("soak: %d cycles in %lld ms, resident memory %ld kB -> %ld kB (%+ld kB)\n", cycles,
                static_cast<long long>(ms), before, before + growth, growth);
    RecordProperty("resident_growth_kb", static_cast<int>(growth));
    EXPECT_EQ(errors + host.handler.count("on_error"), 0);
    if (!memory_is_instrumented()) {
        EXPECT_LT(growth, 512) << "kB over " << cycles << " cycles";
    }
}
