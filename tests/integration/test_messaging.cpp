// SPDX-License-Identifier: GPL-3.0-or-later
// Chat, offline delivery, the two services and stored-offline notices,
// end to end through a real Prosody.
#include "integration/prosody_fixture.hpp"
#include "support/polling.hpp"
#include "service_bot.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <ctime>

using namespace velta_test;
using Strings = std::vector<std::string>;

namespace {

bool has(const Recording_Handler& handler, const std::string& line) {
    for (const auto& event : handler.events)
        if (event == line) return true;
    return false;
}

}  // namespace

TEST(Prosody_Messaging, two_hosts_chat_both_ways_and_each_gets_its_own_copy) {
    Prosody_Host alice("alice", "pw"), bob("bob", "pw");
    ASSERT_TRUE(alice.log_in());
    ASSERT_TRUE(bob.log_in());
    // Until the server has taken bob's initial presence, it would store a
    // message for him and deliver it with a delay stamp.
    ASSERT_TRUE(bob.settle(u"bob"));
    alice.handler.take();
    bob.handler.take();
    alice.clock.time = 5000;
    bob.clock.time = 6000;

    alice.manager->send_message(1, u"bob", wide("Привет, bob 😀"));
    bob.manager->send_message(2, u"alice", wide("こんにちは 🎉"));
    ASSERT_TRUE(poll_until({alice.manager.get(), bob.manager.get()},
                           [&] { return alice.handler.events.size() >= 2 && bob.handler.events.size() >= 2; }));
    poll_until({alice.manager.get(), bob.manager.get()}, [] { return false; }, 200ms);

    EXPECT_TRUE(has(bob.handler, "on_message(from=alice, body=Привет, bob 😀, time=6000)"))
        << ::testing::PrintToString(bob.handler.events);
    EXPECT_TRUE(has(bob.handler, "on_message(from=bob, body=こんにちは 🎉, time=6000)"));
    EXPECT_TRUE(has(alice.handler, "on_message(from=bob, body=こんにちは 🎉, time=5000)"));
    EXPECT_TRUE(has(alice.handler, "on_message(from=alice, body=Привет, bob 😀, time=5000)"));
    EXPECT_EQ(alice.handler.events.size(), 2u);
    EXPECT_EQ(bob.handler.events.size(), 2u);
}

TEST(Prosody_Messaging, a_message_to_an_offline_user_arrives_at_login_with_its_send_time) {
    {
        Prosody_Host bob("bob", "pw");  // the account exists, then bob leaves
        ASSERT_TRUE(bob.log_in());
    }
    Prosody_Host alice("alice", "pw");
    ASSERT_TRUE(alice.log_in());
    const auto sent_at = static_cast<std::int32_t>(std::time(nullptr));
    alice.manager->send_message(3, u"bob", u"while you were away");
    poll_for(*alice.manager, 300ms);

    Prosody_Host bob("bob", "pw");
    bob.clock.time = 42;  // the host's clock must not stand in for the stamp
    ASSERT_TRUE(bob.log_in());
    ASSERT_TRUE(poll_until(*bob.manager, [&] { return bob.handler.count("on_message") > 0; }));
    const std::string prefix = "on_message(from=alice, body=while you were away, time=";
    const std::string& got = bob.handler.events.back();
    ASSERT_EQ(got.compare(0, prefix.size(), prefix), 0) << got;
    const int time = std::stoi(got.substr(prefix.size()));
    EXPECT_NEAR(time, sent_at, 3);
}

TEST(Prosody_Messaging, each_service_request_gets_its_typed_reply) {
    velta_services::Service_Bot admin(prosody().address(), "admin", "admin-pw");
    velta_services::Service_Bot cmdadmin(prosody().address(), "cmdadmin", "cmdadmin-pw");
    ASSERT_TRUE(admin.connect());
    ASSERT_TRUE(cmdadmin.connect());
    Prosody_Host zoe("Zoë", "pw");
    ASSERT_TRUE(zoe.log_in());
    zoe.handler.take();
    zoe.clock.time = 777;

    const std::uint32_t values[] = {1, 20, 4294967295u};
    Velta_Client::Identifier128 identifier{};
    for (int i = 0; i < 16; ++i) identifier.bytes[i] = static_cast<std::uint8_t>(i);
    zoe.manager->send_admin_values(values, 3, u"v");
    zoe.manager->send_admin_identifier(identifier, u"id");
    zoe.manager->send_admin_text(wide("hello ✓"));
    zoe.manager->send_command_message(5, u"bob", u"go", 9);
    zoe.manager->send_command_values(values, 0, u"", 4294967295u);

    ASSERT_TRUE(poll_until(*zoe.manager, [&] {
        admin.poll();
        cmdadmin.poll();
        return zoe.handler.events.size() >= 5;
    }));
    // Two services answer independently: compare without their interleaving.
    Strings got = zoe.handler.take();
    std::sort(got.begin(), got.end());
    EXPECT_EQ(got,
              (Strings{"on_admin_identifier(name=Zoë, field=0F0E0D0C0B0A09080706050403020100\\0, text=text=id, time=777)",
                       "on_admin_text(name=Zoë, text=hello ✓, time=777)",
                       "on_admin_values(name=Zoë, text=values=1,20,4294967295 text=v, time=777)",
                       "on_command_message(code=268470419, name=Zoë, text=to=bob text=go, time=777, reserve=9)",
                       "on_command_values(name=Zoë, text=values= text=, time=777, reserve=4294967295)"}));
}

TEST(Prosody_Messaging, a_stored_offline_notice_reaches_the_sender) {
    velta_services::Service_Bot admin(prosody().address(), "admin", "admin-pw");
    ASSERT_TRUE(admin.connect());
    Prosody_Host alice("alice", "pw");
    ASSERT_TRUE(alice.log_in());
    alice.handler.take();

    alice.manager->send_admin_text(u"stored 77 Bob Ünicode");
    ASSERT_TRUE(poll_until(*alice.manager, [&] {
        admin.poll();
        return alice.handler.count("on_message_stored") > 0;
    }));
    poll_until(*alice.manager, [&] { admin.poll(); return false; }, 200ms);
    EXPECT_EQ(alice.handler.take(), Strings{"on_message_stored(id=77, userid=Bob Ünicode)"});
}
