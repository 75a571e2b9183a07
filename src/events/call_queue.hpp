// SPDX-License-Identifier: GPL-3.0-or-later
// The deferred-call queue: every event the manager learns inside a gloox
// callback waits here until the end of the host's poll(), so that the host's
// Handler, and the steps that rebuild the gloox client, never run inside gloox.
#pragma once

#include <deque>
#include <functional>

namespace Velta_Client::events {

using Deferred_Call = std::function<void()>;

class Call_Queue {
public:
    Call_Queue() = default;
    Call_Queue(const Call_Queue&) = delete;
    Call_Queue& operator=(const Call_Queue&) = delete;

    // Adds a call at the back; runs nothing.
    void append(Deferred_Call call);

    // Runs every queued call in order, including calls appended meanwhile,
    // until the queue is empty. A call is taken off the queue before it runs:
    // one that throws is not repeated, its exception leaves drain(), and the
    // calls behind it stay queued for the next drain.
    void drain();

    // True while drain() is running a call.
    bool draining() const { return draining_; }
    bool empty() const { return calls_.empty(); }
    std::size_t size() const { return calls_.size(); }

private:
    std::deque<Deferred_Call> calls_;
    bool draining_ = false;
};

}  // namespace Velta_Client::events
