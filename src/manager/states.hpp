// SPDX-License-Identifier: GPL-3.0-or-later
// The connection's state and the events that change it. The table in
// states.cpp says, for each event, the states it can happen in and the state
// it leads to:
//
//   idle --started--> registering --account_ready--> logging in --logged_in--> connected
//   every way a connection ends ------------------------------------------> resetting
//   resetting --reset_step--> idle
//
// The manager asks allows() before it acts on an event and makes the change
// with on(); nothing else changes the state. The way out of resetting is the
// deferred reset step, never a direct call: a host that calls start() from a
// Handler call the ending queued is refused until the step has run.
#pragma once

#include <velta_client/velta_client.hpp>

#include <cstddef>

namespace Velta_Client::detail {

class Connection_States {
public:
    enum class Event : std::size_t {
        started,                       // start() opens the registration connection
        start_refused,                 // start() with a user name that cannot become an address
        registration_connect_refused,  // gloox would not begin the registration connection
        registration_redirected,       // the server sends the account to a web page
        account_ready,                 // the login step runs, the account created or found taken
        login_connect_refused,         // gloox would not begin the login connection
        logged_in,                     // the server accepted the login
        connect_deadline_passed,       // the connection had no outcome in time
        disconnected,                  // gloox reports the connection closed (refused login, logout)
        failed_inside,                 // something inside gloox or the library threw
        reset_step,                    // the deferred reset step runs
        count
    };

    // One of the STATE_ values.
    int current() const { return state_; }
    bool is(int state) const { return state_ == state; }

    // Whether the event can happen in the current state.
    bool allows(Event event) const;
    // The change the event causes. Only after allows(): an event the table
    // does not allow here changes nothing.
    void on(Event event);

private:
    int state_ = STATE_IDLE;
};

}  // namespace Velta_Client::detail
