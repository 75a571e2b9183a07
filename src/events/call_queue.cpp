// SPDX-License-Identifier: GPL-3.0-or-later
#include "events/call_queue.hpp"

#include <utility>

namespace Velta_Client::events {

void Call_Queue::append(Deferred_Call call) { calls_.push_back(std::move(call)); }

void Call_Queue::drain() {
    struct Draining_Flag {
        bool& flag;
        explicit Draining_Flag(bool& f) : flag(f) { flag = true; }
        ~Draining_Flag() { flag = false; }
    } guard(draining_);

    while (!calls_.empty()) {
        Deferred_Call call = std::move(calls_.front());
        calls_.pop_front();
        call();
    }
}

}  // namespace Velta_Client::events
