// SPDX-License-Identifier: GPL-3.0-or-later
// The deferred-call queue and the binding of Handler calls.
#include "events/call_queue.hpp"
#include "events/handler_calls.hpp"
#include "support/host_doubles.hpp"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

using Velta_Client::Error;
using Velta_Client::Handler;
using Velta_Client::events::Call_Queue;
using Velta_Client::events::handler_call;
using Velta_Client::events::utf8_text;
using velta_test::Recording_Handler;
using Strings = std::vector<std::string>;

TEST(Call_Queue, runs_calls_in_order_including_those_appended_while_draining) {
    Call_Queue queue;
    Strings ran;
    queue.append([&] { ran.push_back("a"); });
    queue.append([&] {
        ran.push_back("b");
        queue.append([&] { ran.push_back("d"); });
    });
    queue.append([&] { ran.push_back("c"); });
    queue.drain();
    EXPECT_EQ(ran, (Strings{"a", "b", "c", "d"}));
    EXPECT_TRUE(queue.empty());
    queue.drain();
    EXPECT_EQ(ran.size(), 4u);  // each call runs once
}

TEST(Call_Queue, a_throwing_call_leaves_drain_is_dropped_and_the_rest_wait) {
    Call_Queue queue;
    Strings ran;
    int throws = 0;
    queue.append([&] { ran.push_back("first"); });
    queue.append([&] {
        ++throws;
        throw std::runtime_error("host failure");
    });
    queue.append([&] { ran.push_back("after"); });

    EXPECT_THROW(queue.drain(), std::runtime_error);
    EXPECT_EQ(ran, Strings{"first"});
    EXPECT_FALSE(queue.draining());
    EXPECT_EQ(queue.size(), 1u);

    queue.drain();
    EXPECT_EQ(ran, (Strings{"first", "after"}));
    EXPECT_EQ(throws, 1);
}

TEST(Call_Queue, reports_draining_only_while_a_call_runs) {
    Call_Queue queue;
    bool seen = false;
    queue.append([&] { seen = queue.draining(); });
    EXPECT_FALSE(queue.draining());
    queue.drain();
    EXPECT_TRUE(seen);
    EXPECT_FALSE(queue.draining());
}

TEST(Handler_Calls, convert_texts_when_run_and_pass_values_through) {
    Recording_Handler host;
    Call_Queue queue;
    queue.append(handler_call(&host, &Handler::on_message, utf8_text("b\xC3\xB6" "b"),
                              utf8_text("hi \xF0\x9F\x98\x80"), std::int32_t{-5}));
    queue.append(handler_call(&host, &Handler::on_command_message, std::uint32_t{268470419}, utf8_text("n"),
                              utf8_text(""), std::int32_t{7}, std::uint32_t{4294967295u}));
    queue.append(handler_call(&host, &Handler::on_error, Error("register failed.", 2)));
    queue.append(handler_call(&host, &Handler::on_connected));
    EXPECT_TRUE(host.events.empty());  // appending runs nothing
    queue.drain();
    EXPECT_EQ(host.take(), (Strings{"on_message(from=b\xC3\xB6" "b, body=hi \xF0\x9F\x98\x80, time=-5)",
                                    "on_command_message(code=268470419, name=n, text=, time=7, reserve=4294967295)",
                                    "on_error(code=2, message=register failed.)", "on_connected()"}));
}

TEST(Handler_Calls, a_text_that_is_not_utf8_drops_only_its_call) {
    Recording_Handler host;
    Call_Queue queue;
    queue.append(handler_call(&host, &Handler::on_admin_text, utf8_text("ok"), utf8_text("1"), std::int32_t{1}));
    queue.append(handler_call(&host, &Handler::on_admin_text, utf8_text("ok"), utf8_text("bad \xFF"),
                              std::int32_t{2}));
    queue.append(handler_call(&host, &Handler::on_message_stored, std::uint32_t{9}, utf8_text("\xC3")));
    queue.append(handler_call(&host, &Handler::on_admin_text, utf8_text("ok"), utf8_text("3"), std::int32_t{3}));
    EXPECT_NO_THROW(queue.drain());
    EXPECT_EQ(host.take(), (Strings{"on_admin_text(name=ok, text=1, time=1)", "on_admin_text(name=ok, text=3, time=3)"}));
}

TEST(Handler_Calls, the_error_reaches_the_host_as_built) {
    struct Keeping_Handler : Recording_Handler {
        std::string what;
        std::int32_t code = 0;
        void on_error(const Error& error) override {
            what = error.what();
            code = error.code;
        }
    } host;
    Call_Queue queue;
    const std::string message = "register failed.\n" + std::string("see web") + "\nurl: " + "u";
    queue.append(handler_call(&host, &Handler::on_error, Error(message, 2)));
    queue.drain();
    EXPECT_EQ(host.what, message);
    EXPECT_EQ(host.code, 2);
}
