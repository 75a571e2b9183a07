// SPDX-License-Identifier: GPL-3.0-or-later
// The connection's state table: for every state, the events it allows and
// where each one leads; an event it does not allow changes nothing.
#include "manager/states.hpp"

#include <gtest/gtest.h>

#include <cstddef>
#include <map>

using namespace Velta_Client;
using Velta_Client::detail::Connection_States;
using Event = Connection_States::Event;

namespace {

// A state table reached the way the manager reaches it.
Connection_States reached(int state) {
    Connection_States states;
    switch (state) {
        case STATE_REGISTERING:
            states.on(Event::started);
            break;
        case STATE_LOGGING_IN:
            states.on(Event::started);
            states.on(Event::account_ready);
            break;
        case STATE_CONNECTED:
            states.on(Event::started);
            states.on(Event::account_ready);
            states.on(Event::logged_in);
            break;
        case STATE_RESETTING:
            states.on(Event::start_refused);
            break;
        default:
            break;
    }
    return states;
}

const int all_states[] = {STATE_IDLE, STATE_REGISTERING, STATE_LOGGING_IN, STATE_CONNECTED, STATE_RESETTING};

}  // namespace

TEST(Connection_States, a_new_manager_is_idle) { EXPECT_EQ(Connection_States().current(), STATE_IDLE); }

TEST(Connection_States, each_state_allows_its_events_and_no_other) {
    // state -> (event -> state it leads to)
    const std::map<int, std::map<Event, int>> allowed = {
        {STATE_IDLE, {{Event::started, STATE_REGISTERING}, {Event::start_refused, STATE_RESETTING}}},
        {STATE_REGISTERING,
         {{Event::registration_connect_refused, STATE_RESETTING},
          {Event::registration_redirected, STATE_RESETTING},
          {Event::account_ready, STATE_LOGGING_IN},
          {Event::connect_deadline_passed, STATE_RESETTING},
          {Event::disconnected, STATE_RESETTING},
          {Event::failed_inside, STATE_RESETTING}}},
        {STATE_LOGGING_IN,
         {{Event::login_connect_refused, STATE_RESETTING},
          {Event::logged_in, STATE_CONNECTED},
          {Event::connect_deadline_passed, STATE_RESETTING},
          {Event::disconnected, STATE_RESETTING},
          {Event::failed_inside, STATE_RESETTING}}},
        {STATE_CONNECTED, {{Event::disconnected, STATE_RESETTING}, {Event::failed_inside, STATE_RESETTING}}},
        {STATE_RESETTING, {{Event::disconnected, STATE_RESETTING}, {Event::reset_step, STATE_IDLE}}},
    };
    for (const int state : all_states) {
        ASSERT_EQ(reached(state).current(), state);
        for (std::size_t i = 0; i < static_cast<std::size_t>(Event::count); ++i) {
            const auto event = static_cast<Event>(i);
            const auto& events = allowed.at(state);
            const auto found = events.find(event);
            Connection_States states = reached(state);
            EXPECT_EQ(states.allows(event), found != events.end()) << "state " << state << ", event " << i;
            if (found != events.end()) {
                states.on(event);
                EXPECT_EQ(states.current(), found->second) << "state " << state << ", event " << i;
            }
        }
    }
}

TEST(Connection_States, start_is_refused_until_the_reset_step_has_run) {
    Connection_States states;
    states.on(Event::started);
    states.on(Event::disconnected);
    EXPECT_TRUE(states.is(STATE_RESETTING));
    EXPECT_FALSE(states.allows(Event::started));
    EXPECT_FALSE(states.allows(Event::start_refused));
    states.on(Event::reset_step);
    EXPECT_TRUE(states.is(STATE_IDLE));
    EXPECT_TRUE(states.allows(Event::started));
    EXPECT_FALSE(states.allows(Event::reset_step));  // a second queued step finds nothing to do
}
