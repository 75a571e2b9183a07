// SPDX-License-Identifier: GPL-3.0-or-later
// Registration and login against a real Prosody.
#include "integration/prosody_fixture.hpp"
#include "support/polling.hpp"

#include <gtest/gtest.h>

using namespace velta_test;
using Velta_Client::STATE_CONNECTED;
using Velta_Client::STATE_IDLE;
using Velta_Client::STATE_RESETTING;
using Strings = std::vector<std::string>;

TEST(Prosody_Login, new_user_registers_and_logs_in_without_errors) {
    Prosody_Host alice("Alice Ünicode 名前", "secret");
    ASSERT_TRUE(alice.log_in());
    poll_for(*alice.manager, 200ms);
    EXPECT_EQ(alice.handler.take(), Strings{"on_connected()"});
}

TEST(Prosody_Login, returning_user_logs_in_after_the_name_conflict) {
    {
        Prosody_Host first("bob", "pw");
        ASSERT_TRUE(first.log_in());
    }
    Prosody_Host again("bob", "pw");
    ASSERT_TRUE(again.log_in());
    poll_for(*again.manager, 200ms);
    EXPECT_EQ(again.handler.take(), Strings{"on_connected()"});
}

TEST(Prosody_Login, wrong_password_gives_one_error_and_idle) {
    {
        Prosody_Host owner("carol", "right");
        ASSERT_TRUE(owner.log_in());
    }
    Prosody_Host intruder("carol", "wrong");
    EXPECT_FALSE(intruder.log_in());
    poll_for(*intruder.manager, 300ms);
    EXPECT_EQ(intruder.handler.take(),
              Strings{"on_error(code=2, message=register failed.\n already have such user with different password)"});
    EXPECT_EQ(intruder.manager->get_state(), STATE_IDLE);
}

TEST(Prosody_Login, logout_then_a_new_start_logs_in_again) {
    Prosody_Host dave("dave", "pw");
    ASSERT_TRUE(dave.log_in());
    dave.handler.take();

    dave.manager->logout();
    EXPECT_EQ(dave.manager->get_state(), STATE_RESETTING);
    dave.manager->poll();
    EXPECT_EQ(dave.manager->get_state(), STATE_IDLE);
    poll_for(*dave.manager, 100ms);
    EXPECT_EQ(dave.handler.take(), Strings{"on_disconnected()"});

    ASSERT_TRUE(dave.log_in());
    EXPECT_EQ(dave.handler.take(), Strings{"on_connected()"});
}

// Prosody keeps the salt and count with the account: the second login uses
// the keys the first one derived (and SASLprep must agree with Prosody's on
// a password that is not ASCII).
TEST(Prosody_Login, a_second_login_with_kept_scram_keys_is_accepted) {
    Prosody_Host frank("frank", "pässwörd ﬁ");
    ASSERT_TRUE(frank.log_in());
    for (int round = 0; round < 2; ++round) {
        frank.manager->logout();
        ASSERT_TRUE(poll_until(*frank.manager, [&] { return frank.manager->get_state() == STATE_IDLE; }));
        ASSERT_TRUE(frank.log_in()) << "round " << round;
    }
    EXPECT_EQ(frank.handler.count("on_connected"), 3);
    EXPECT_EQ(frank.handler.count("on_error"), 0);
}

TEST(Prosody_Login, server_killed_while_connected_then_restarted) {
    Prosody_Host erin("erin", "pw");
    ASSERT_TRUE(erin.log_in());
    erin.handler.take();

    prosody().kill_hard();
    ASSERT_TRUE(poll_until(*erin.manager, [&] { return erin.manager->get_state() == STATE_IDLE; }));
    // Lost without a logout: the host keeps hearing it until the next login.
    EXPECT_GE(erin.handler.count("on_disconnected"), 2);
    erin.manager->poll();
    EXPECT_GE(erin.handler.count("on_disconnected"), 3);

    prosody().start();
    erin.handler.take();
    ASSERT_TRUE(erin.log_in());
    poll_for(*erin.manager, 100ms);
    const Strings after = erin.handler.take();
    ASSERT_FALSE(after.empty());
    EXPECT_EQ(after.back(), "on_connected()");
    EXPECT_EQ(erin.manager->get_state(), STATE_CONNECTED);
}
