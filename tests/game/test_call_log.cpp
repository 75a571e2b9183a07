// SPDX-License-Identifier: GPL-3.0-or-later
// The game's call log: which login poll carries the SCRAM mark, and what the
// longest call is once the marked polls are left out.
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

TEST(Game_Call_Log, the_costliest_poll_of_each_login_is_marked_and_left_out_of_the_longest) {
    Call_Log log;
    log.add(call(Call::start, 0.3, Velta_Client::STATE_IDLE));
    log.add(call(Call::poll, 0.5, logging_in));
    log.add(call(Call::poll, 15.0, logging_in));  // takes the mark from the first
    log.add(call(Call::poll, 0.7, logging_in));
    log.add(call(Call::poll, 0.1, connected));
    ASSERT_EQ(log.scram_polls().size(), 1u);
    EXPECT_DOUBLE_EQ(log.scram_polls()[0].cpu_ms, 15.0);
    ASSERT_TRUE(log.longest_overall());
    EXPECT_DOUBLE_EQ(log.longest_overall()->cpu_ms, 0.7);  // the displaced 0.5 and the later 0.7 count
    EXPECT_DOUBLE_EQ(log.longest_recent()->cpu_ms, 0.7);

    int marked = 0;
    for (const Call_Record& record : log.calls()) marked += record.scram;
    EXPECT_EQ(marked, 1);
    EXPECT_TRUE(log.calls()[2].scram);
    EXPECT_FALSE(log.calls()[1].scram);
}

TEST(Game_Call_Log, a_displaced_mark_counts_as_an_ordinary_call) {
    Call_Log log;
    log.add(call(Call::poll, 3.0, logging_in));
    log.add(call(Call::poll, 14.0, logging_in));
    ASSERT_TRUE(log.longest_overall());
    EXPECT_DOUBLE_EQ(log.longest_overall()->cpu_ms, 3.0);  // over the 2 ms line: a test must see it
}

TEST(Game_Call_Log, each_login_gets_its_own_mark_and_other_calls_are_never_marked) {
    Call_Log log;
    for (int login = 0; login < 2; ++login) {
        log.add(call(Call::poll, 0.2, Velta_Client::STATE_REGISTERING));
        log.add(call(Call::poll, 12.0 + login, logging_in));
        log.add(call(Call::poll, 0.2, logging_in));
        log.add(call(Call::send_message, 4.0, connected));  // a slow send is never excused
        log.add(call(Call::logout, 0.1, connected));
    }
    ASSERT_EQ(log.scram_polls().size(), 2u);
    EXPECT_DOUBLE_EQ(log.scram_polls()[0].cpu_ms, 12.0);
    EXPECT_DOUBLE_EQ(log.scram_polls()[1].cpu_ms, 13.0);
    EXPECT_EQ(log.longest_overall()->call, Call::send_message);
    EXPECT_EQ(log.totals(Call::poll).count, 6u);
    EXPECT_DOUBLE_EQ(log.totals(Call::poll).max_cpu_ms, 13.0);
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
