// SPDX-License-Identifier: GPL-3.0-or-later
// The manager as a host first meets it: made, polled, started where no server
// can be reached, destroyed.
#include "support/host_doubles.hpp"
#include "support/loopback.hpp"
#include "support/polling.hpp"

#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>

using namespace velta_test;
using Velta_Client::STATE_IDLE;
using Velta_Client::STATE_RESETTING;
using Velta_Client::Velta_Manager;
using Strings = std::vector<std::string>;

namespace {

std::unique_ptr<Velta_Manager> make(Test_Clock& clock, Recording_Handler& handler, const std::string& server,
                                    const std::string& user = "bob") {
    return std::unique_ptr<Velta_Manager>(new_velta_manager(&clock, &handler, wide(server), wide(user), u"pw"));
}

// Picked when a test first needs it, not when the program starts: the build
// runs the program to list the tests, and listing must open no socket.
const std::string& refusing_server() {
    static const std::string address = refusing_loopback_address();
    return address;
}

}  // namespace

TEST(Manager_Shell, a_new_manager_is_idle_and_has_read_the_clock_once) {
    Test_Clock clock;
    Recording_Handler handler;
    auto manager = make(clock, handler, "127.0.0.1");
    ASSERT_NE(manager, nullptr);
    EXPECT_EQ(manager->get_state(), STATE_IDLE);
    EXPECT_EQ(clock.reads, 1);

    for (int i = 0; i < 5; ++i) manager->poll();
    EXPECT_TRUE(handler.events.empty());
    EXPECT_EQ(clock.reads, 1);  // idle polls read no clock

    manager.reset();
    EXPECT_EQ(clock.reads, 1);  // destruction calls neither clock nor handler
    EXPECT_TRUE(handler.events.empty());
}

// Operations that do not apply in a state do nothing: the send operations
// in each such state, with a server watching, in test_outgoing.cpp.

TEST(Manager_Shell, an_unreachable_server_ends_in_one_disconnect_and_idle) {
    Test_Clock clock;
    Recording_Handler handler;
    auto manager = make(clock, handler, refusing_server());
    manager->start();
    EXPECT_EQ(manager->get_state(), STATE_RESETTING);
    manager->start();  // refused outside idle
    manager->poll();
    EXPECT_EQ(manager->get_state(), STATE_IDLE);
    manager->poll();
    EXPECT_EQ(handler.take(), Strings{"on_disconnected()"});
}

TEST(Manager_Shell, an_empty_server_address_ends_like_an_unreachable_server) {
    Test_Clock clock;
    Recording_Handler handler;
    auto manager = make(clock, handler, "");
    manager->start();
    EXPECT_EQ(manager->get_state(), STATE_RESETTING);
    manager->poll();
    EXPECT_EQ(manager->get_state(), STATE_IDLE);
    EXPECT_EQ(handler.take(), Strings{"on_disconnected()"});
}

TEST(Manager_Shell, a_user_name_too_long_for_an_address_opens_no_connection) {
    Test_Clock clock;
    Recording_Handler handler;
    auto manager = make(clock, handler, refusing_server(), std::string(75, 'x'));
    manager->start();
    // Refused like any other failed start: resetting until the next poll.
    EXPECT_EQ(manager->get_state(), STATE_RESETTING);
    manager->poll();
    EXPECT_EQ(handler.take(), Strings{"on_error(code=2, message=register failed.\n user name too long)"});
    EXPECT_EQ(manager->get_state(), STATE_IDLE);
    manager->poll();
    EXPECT_TRUE(handler.events.empty());
}

TEST(Manager_Shell, two_managers_are_independent) {
    Test_Clock clock_a, clock_b;
    Recording_Handler handler_a, handler_b;
    auto a = make(clock_a, handler_a, refusing_server());
    auto b = make(clock_b, handler_b, refusing_server(), "alice");
    a->start();
    a->poll();
    b->poll();
    EXPECT_EQ(handler_a.take(), Strings{"on_disconnected()"});
    EXPECT_TRUE(handler_b.events.empty());
    EXPECT_EQ(b->get_state(), STATE_IDLE);
    EXPECT_EQ(clock_b.reads, 1);
}

TEST(Manager_Shell, a_throwing_handler_leaves_poll_and_the_next_poll_goes_on) {
    Test_Clock clock;
    struct Throwing_Handler : Recording_Handler {
        void on_disconnected() override {
            Recording_Handler::on_disconnected();
            throw std::runtime_error("host bug");
        }
    } handler;
    auto manager = make(clock, handler, refusing_server());
    manager->start();
    EXPECT_THROW(manager->poll(), std::runtime_error);
    EXPECT_EQ(manager->get_state(), STATE_RESETTING);  // the reset step still waits
    manager->poll();
    EXPECT_EQ(manager->get_state(), STATE_IDLE);
    EXPECT_EQ(handler.take(), Strings{"on_disconnected()"});  // not repeated
}

TEST(Manager_Shell, poll_from_inside_a_handler_returns_at_once) {
    Test_Clock clock;
    Recording_Handler handler;
    auto manager = make(clock, handler, refusing_server());
    int nested_polls = 0;
    handler.on_event = [&](const std::string&) {
        ++nested_polls;
        manager->poll();
        EXPECT_EQ(manager->get_state(), STATE_RESETTING);  // the nested poll ran nothing
    };
    manager->start();
    manager->poll();
    EXPECT_EQ(nested_polls, 1);
    EXPECT_EQ(manager->get_state(), STATE_IDLE);
}

TEST(Manager_Shell, a_host_may_start_again_from_on_disconnected) {
    Test_Clock clock;
    Recording_Handler handler;
    auto manager = make(clock, handler, refusing_server());
    int starts = 0;
    handler.on_event = [&](const std::string&) {
        if (starts++ < 2) manager->start();  // refused until the reset step has run
    };
    manager->start();
    manager->poll();
    EXPECT_EQ(manager->get_state(), STATE_IDLE);
    EXPECT_EQ(handler.take(), Strings{"on_disconnected()"});
}
