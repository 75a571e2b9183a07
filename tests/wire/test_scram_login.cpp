// SPDX-License-Identifier: GPL-3.0-or-later
// The library's own SCRAM-SHA-1 login: the proof computed in slices across
// polls, the keys of the last login kept for the next, and what the exchange
// refuses. The polls' processor time is read with the thread's CPU clock,
// not the wall clock; under valgrind, where everything is some thirty times
// slower, those readings are skipped.
#include "wire/wire_host.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <ctime>

using namespace velta_test;
using namespace Velta_Client;
using Strings = std::vector<std::string>;

namespace {

double thread_cpu_ms() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) * 1e3 + static_cast<double>(now.tv_nsec) / 1e6;
}

bool under_valgrind() {
    const char* preload = std::getenv("LD_PRELOAD");
    return preload && std::strstr(preload, "vgpreload");
}

struct Scram_Host : Wire_Host {
    Scram_Host() {
        peer.add_account("_qm9i", "pw");
        peer.set_sasl_mechanisms({"SCRAM-SHA-1"});
    }

    std::size_t recorded(const char* name) { return named(peer.stanzas(), name).size(); }

    // The polls from the one after the server read the client-first-message
    // to the one after it read the proof: where the proof was computed.
    struct Window {
        int polls = 0;
        double longest_ms = 0;
        double total_ms = 0;
    };
    Window log_in_watching_the_proof() {
        const std::size_t auths = recorded("auth"), responses = recorded("response");
        Window window;
        start();
        poll_until([&] {
            const bool inside = recorded("auth") > auths;
            const double began = thread_cpu_ms();
            manager->poll();
            const double spent = thread_cpu_ms() - began;
            if (inside) {
                ++window.polls;
                window.longest_ms = std::max(window.longest_ms, spent);
                window.total_ms += spent;
            }
            return recorded("response") > responses &&
                   (state() == STATE_CONNECTED || state() == STATE_IDLE);
        }, std::chrono::seconds(60));  // 100,000 iterations on both sides take seconds under valgrind
        return window;
    }

    bool log_out() {
        manager->logout();
        return poll_until([&] { return state() == STATE_IDLE; });
    }
};

}  // namespace

TEST(Scram_Login, the_highest_count_is_computed_over_many_polls_each_of_them_short) {
    Scram_Host host;
    host.peer.set_scram_iterations(100000);
    const auto window = host.log_in_watching_the_proof();
    ASSERT_EQ(host.state(), STATE_CONNECTED);
    EXPECT_EQ(host.handler.count("on_connected"), 1);
    // 200,000 SHA-1 blocks take some 10 ms with the processor's SHA
    // instructions and several times that without; a slice is 0.5 ms.
    EXPECT_GE(window.polls, 5);
    if (!under_valgrind()) {
        EXPECT_LT(window.longest_ms, 4.0) << window.polls << " polls";
    }
}

TEST(Scram_Login, a_second_login_with_the_same_salt_and_count_computes_nothing) {
    Scram_Host host;
    host.peer.set_scram_iterations(100000);
    host.peer.set_scram_salt(std::string("kept with the account"));
    const auto first = host.log_in_watching_the_proof();
    ASSERT_EQ(host.state(), STATE_CONNECTED);
    ASSERT_TRUE(host.log_out());
    const auto second = host.log_in_watching_the_proof();
    ASSERT_EQ(host.state(), STATE_CONNECTED);
    EXPECT_EQ(host.handler.count("on_connected"), 2);
    if (!under_valgrind()) {
        EXPECT_LT(second.total_ms * 4, first.total_ms) << first.total_ms << " ms, then " << second.total_ms;
    }

    // A new salt (the server stored the password again): computed again, and
    // right.
    host.peer.set_scram_salt(std::string("a new salt"));
    host.peer.set_scram_iterations(4096);
    ASSERT_TRUE(host.log_out());
    ASSERT_TRUE(host.log_in());
}

TEST(Scram_Login, a_password_changed_on_the_server_is_a_wrong_password_with_kept_keys_too) {
    Scram_Host host;
    host.peer.set_scram_salt(std::string("kept with the account"));
    ASSERT_TRUE(host.log_in());
    ASSERT_TRUE(host.log_out());
    host.peer.add_account("_qm9i", "changed elsewhere");  // same salt and count
    host.handler.take();
    EXPECT_FALSE(host.log_in());
    EXPECT_EQ(host.handler.take(),
              Strings{"on_error(code=2, message=register failed.\n already have such user with different password)"});
    EXPECT_EQ(host.state(), STATE_IDLE);
}

TEST(Scram_Login, a_wrong_password_is_reported_as_before) {
    Scram_Host host;
    host.peer.add_account("_qm9i", "other");
    EXPECT_FALSE(host.log_in());
    EXPECT_EQ(host.handler.take(),
              Strings{"on_error(code=2, message=register failed.\n already have such user with different password)"});
    EXPECT_EQ(host.state(), STATE_IDLE);
}

TEST(Scram_Login, a_server_signature_that_proves_nothing_ends_the_connection_like_a_lost_link) {
    Scram_Host host;
    host.peer.set_scram_wrong_signature(true);
    EXPECT_FALSE(host.log_in());
    EXPECT_EQ(host.handler.take(), Strings{"on_disconnected()"});
    EXPECT_EQ(host.state(), STATE_IDLE);
}
