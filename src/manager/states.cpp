// SPDX-License-Identifier: GPL-3.0-or-later
#include "manager/states.hpp"

#include <cassert>
#include <cstddef>

namespace Velta_Client::detail {

namespace {

using Event = Connection_States::Event;

// A set of states.
constexpr unsigned in(int state) { return 1u << state; }

constexpr unsigned registering = in(STATE_REGISTERING);
constexpr unsigned logging_in = in(STATE_LOGGING_IN);
constexpr unsigned connected = in(STATE_CONNECTED);
constexpr unsigned resetting = in(STATE_RESETTING);
constexpr unsigned idle = in(STATE_IDLE);

struct Transition {
    Event event;
    unsigned from;  // the states the event can happen in
    int to;
};

// The state table.
constexpr Transition table[] = {
    // event                               happens in                                          leads to
    {Event::started,                       idle,                                               STATE_REGISTERING},
    {Event::start_refused,                 idle,                                               STATE_RESETTING},
    {Event::registration_connect_refused,  registering,                                        STATE_RESETTING},
    {Event::registration_redirected,       registering,                                        STATE_RESETTING},
    {Event::account_ready,                 registering,                                        STATE_LOGGING_IN},
    {Event::login_connect_refused,         logging_in,                                         STATE_RESETTING},
    {Event::logged_in,                     logging_in,                                         STATE_CONNECTED},
    {Event::connect_deadline_passed,       registering | logging_in,                           STATE_RESETTING},
    {Event::disconnected,                  registering | logging_in | connected | resetting,   STATE_RESETTING},
    {Event::failed_inside,                 registering | logging_in | connected,               STATE_RESETTING},
    {Event::reset_step,                    resetting,                                          STATE_IDLE},
};

// One row per event, in the order of the events, so that an event is its
// row's index.
constexpr bool rows_in_event_order() {
    if (sizeof table / sizeof table[0] != static_cast<std::size_t>(Event::count)) return false;
    for (std::size_t i = 0; i < sizeof table / sizeof table[0]; ++i)
        if (static_cast<std::size_t>(table[i].event) != i) return false;
    return true;
}
static_assert(rows_in_event_order(), "the state table has one row per event, in order");

const Transition& row(Event event) { return table[static_cast<std::size_t>(event)]; }

}  // namespace

bool Connection_States::allows(Event event) const { return (row(event).from & in(state_)) != 0; }

void Connection_States::on(Event event) {
    assert(allows(event));
    if (allows(event)) state_ = row(event).to;
}

}  // namespace Velta_Client::detail
