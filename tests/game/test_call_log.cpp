// SPDX-License-Identifier: GPL-3.0-or-later
// The game's call log: the longest call, over the run and over the window.
#include "call_log.hpp"

#include <velta_client/velta_client.hpp>

#include <gtest/gtest.h>

namespace {

using velta_game::Call;
using velta_game::Call_Log;
using velta_game::Call_Record;

Call_Record call(Call kind, double cpu_ms, int state_before, double at = 0) {
    Call_Record record;
    record.call = kind;
    record.at = at;
    record.cpu_ms = cpu_ms;
    record.wall_ms = cpu_ms + 0.01;
    record.state_before = state_before;
    record.state_after = state_before;
    return record;
}

constexpr int logging_in = Velta_Client::STATE_LOGGING_IN;
constexpr int connected = Velta_Client::STATE_CONNECTED;

TEST(Game_Call_Log, every_call_counts_the_logins_polls_too) {
    Call_Log log;
    for (int login = 0; login < 2; ++login) {
        log.add(call(Call::poll, 0.2, Velta_Client::STATE_REGISTERING));
        log.add(call(Call::poll, 0.5 + login, logging_in));
        log.add(call(Call::send_message, 0.4, connected));
        log.add(call(Call::logout, 0.1, connected));
    }
    ASSERT_TRUE(log.longest_overall());
    EXPECT_EQ(log.longest_overall()->call, Call::poll);
    EXPECT_DOUBLE_EQ(log.longest_overall()->cpu_ms, 1.5);
    EXPECT_DOUBLE_EQ(log.longest_recent()->cpu_ms, 1.5);
    EXPECT_EQ(log.totals(Call::poll).count, 4u);
    EXPECT_DOUBLE_EQ(log.totals(Call::send_message).max_cpu_ms, 0.4);
}

TEST(Game_Call_Log, the_window_forgets_old_calls_and_frames_but_not_the_run_maxima) {
    Call_Log log(10);
    log.add(call(Call::poll, 1.5, connected, 1.0));
    log.add(call(Call::poll, 0.2, connected, 20.0));
    log.add_frame(velta_game::Frame_Record{1.0, 16.7, 3, 0.1});
    log.add_frame(velta_game::Frame_Record{20.0, 16.7, 3, 0.1});
    log.trim(21.0);
    EXPECT_EQ(log.calls().size(), 1u);
    EXPECT_EQ(log.frames().size(), 1u);
    EXPECT_DOUBLE_EQ(log.longest_recent()->cpu_ms, 0.2);
    EXPECT_DOUBLE_EQ(log.longest_overall()->cpu_ms, 1.5);
    EXPECT_EQ(log.frame_count(), 2u);
}

}  // namespace
