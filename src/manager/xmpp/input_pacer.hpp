// SPDX-License-Identifier: GPL-3.0-or-later
// What the server sent, handed to gloox within a budget of processor time
// per receive, so that no input costs the host a frame.
//
// One socket read (8 KiB) can hold hundreds of small stanzas, and gloox
// handles a read in one go: 8 KiB of empty messages took it 40 ms. The
// pacer keeps the read and hands it on in pieces that end at a '>', the only
// place where an element can end, so that each piece completes at most one
// element. gloox reports every completed element (the client's statistics
// handler, this object); after each one the pacer reads this thread's
// processor clock and stops once the receive has used budget. What is left
// waits for the next receive, which hands it on before the socket is read
// again: the server's input waits in the socket meanwhile, and TCP slows the
// server down. A large element (Stanza_Limits::large()) completes in a
// receive of its own, so the worst receive is about the budget or one
// element at the bounds of Stanza_Limits, not both.
#pragma once

#include "manager/xmpp/stanza_limits.hpp"

#include <gloox/statisticshandler.h>

#include <cstddef>
#include <cstring>
#include <string>

namespace Velta_Client::detail::xmpp {

class Input_Pacer final : public gloox::StatisticsHandler {
public:
    // Processor time one receive may spend handing input on, before the
    // element that crosses it completes.
    static constexpr long budget_ns = 1000 * 1000;

    enum class Outcome {
        done,       // everything handed on (or the connection ended meanwhile)
        more_later, // the budget is spent: the rest waits for the next receive
        refused     // the input is past a bound, or past what take() allowed
    };

    // Nothing waits to be handed on: the socket may be read.
    bool idle() const { return next_ == input_.size(); }

    // Takes one read, while idle. With refuse_after, the input is refused
    // once these bytes are handed on (the bytes after them could not be).
    void take(const char* data, std::size_t size, bool refuse_after) {
        input_.assign(data, size);
        next_ = 0;
        refuse_after_ = refuse_after;
    }

    // Hands what waits to deliver(piece), a piece at a time, within the
    // budget. deliver returns false once the connection has ended; the
    // connection's cleanup then clears the pacer.
    template <class Deliver>
    Outcome run(Deliver deliver) {
        if (idle()) return finish();
        const long start = thread_cpu_ns();
        std::size_t unchecked = 0;
        bool completed_any = false;
        while (!idle()) {
            if (completed_any && limits_.large()) return Outcome::more_later;
            const void* found = std::memchr(input_.data() + next_, '>', input_.size() - next_);
            const std::size_t end =
                found ? static_cast<std::size_t>(static_cast<const char*>(found) - input_.data()) + 1 : input_.size();
            if (!limits_.accept(input_.data() + next_, end - next_)) return Outcome::refused;
            const std::string piece(input_, next_, end - next_);
            next_ = end;
            const unsigned long before = completed_;
            if (!deliver(piece)) return Outcome::done;
            unchecked += piece.size();
            const bool completed = completed_ != before;
            if (completed) {
                limits_.element_completed();
                completed_any = true;
            }
            // Text without elements is cheap for gloox: a clock reading per
            // 4 KiB of it is enough.
            if (completed || unchecked >= 4096) {
                unchecked = 0;
                if (thread_cpu_ns() - start >= budget_ns) break;
            }
        }
        return idle() ? finish() : Outcome::more_later;
    }

    // Forgets the input and the element in progress (a connection ended).
    void clear() {
        input_.clear();
        next_ = 0;
        refuse_after_ = false;
        limits_ = Stanza_Limits();
    }

    // gloox calls this after every element it has completed.
    void handleStatistics(const gloox::StatisticsStruct) override { ++completed_; }

private:
    static long thread_cpu_ns();

    Outcome finish() {
        input_.clear();
        next_ = 0;
        if (!refuse_after_) return Outcome::done;
        refuse_after_ = false;
        return Outcome::refused;
    }

    std::string input_;
    std::size_t next_ = 0;
    bool refuse_after_ = false;
    unsigned long completed_ = 0;
    Stanza_Limits limits_;
};

}  // namespace Velta_Client::detail::xmpp
