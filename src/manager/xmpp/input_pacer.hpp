// SPDX-License-Identifier: GPL-3.0-or-later
// What the server sent, handed to gloox within a budget of processor time
// per receive, so that no input costs the host a frame.
//
// One socket read (8 KiB) can hold hundreds of small stanzas, and gloox
// handles a read in one go: 8 KiB of empty messages took it 40 ms. The
// pacer keeps the read and hands it on element by element, at the ends the
// Stream_Scanner found, reading this thread's processor clock after each
// and stopping once the receive has used its budget. What is left waits for
// the next receive, which hands it on before the socket is read again: the
// server's input waits in the socket meanwhile, and TCP slows the server
// down. A large element completes in a receive of its own, so the worst
// receive is about the budget or one element at the scanner's bounds, not
// both.
#pragma once

#include "manager/xmpp/stream_scanner.hpp"

#include <cstddef>
#include <string>
#include <vector>

namespace Velta_Client::detail::xmpp {

class Input_Pacer {
public:
    // Processor time one receive may spend handing input on, before the
    // element that crosses it completes.
    static constexpr long budget_ns = 500 * 1000;

    enum class Outcome {
        done,       // everything handed on (or the connection ended meanwhile)
        more_later, // the budget is spent: the rest waits for the next receive
        refused     // the input is past what take() allowed
    };

    // Nothing waits to be handed on: the socket may be read.
    bool idle() const { return next_ == input_.size(); }

    // Takes one read, while idle, with the ends of the elements it
    // completes. With refuse_after, the input is refused once these bytes
    // are handed on (the bytes after them could not be).
    void take(const char* data, std::size_t size, const std::vector<Stream_Scanner::Element_End>& ends,
              bool refuse_after) {
        input_.assign(data, size);
        ends_ = ends;
        next_ = 0;
        next_end_ = 0;
        refuse_after_ = refuse_after;
    }

    // Hands what waits to deliver(piece), an element at a time, within the
    // budget counted from started (thread_cpu_ns() when the receive began,
    // so that its writes count too; -1: from now). deliver returns false once the connection has
    // ended; the connection's cleanup then clears the pacer.
    template <class Deliver>
    Outcome run(Deliver deliver, long started) {
        if (idle()) return finish();
        const long start = started >= 0 ? started : thread_cpu_ns();
        bool completed_any = false;
        // The clock is a system call: read after every 1 KiB of completed
        // elements or every 4 of them (a small element costs microseconds),
        // and after every large one.
        std::size_t unchecked_bytes = 0;
        int unchecked_elements = 0;
        while (!idle()) {
            const bool completes = next_end_ < ends_.size();
            const bool large = completes && ends_[next_end_].large;
            if (large && completed_any) return Outcome::more_later;
            const std::size_t end = completes ? ends_[next_end_].end : input_.size();
            const std::string piece(input_, next_, end - next_);
            next_ = end;
            if (!deliver(piece)) return Outcome::done;
            if (!completes) break;  // the rest of an element that ends in a later read
            ++next_end_;
            completed_any = true;
            if (large) break;
            unchecked_bytes += piece.size();
            if (++unchecked_elements < 4 && unchecked_bytes < 1024) continue;
            unchecked_bytes = 0;
            unchecked_elements = 0;
            if (thread_cpu_ns() - start >= budget_ns) break;
        }
        return idle() ? finish() : Outcome::more_later;
    }

    // Forgets the input (a connection ended).
    void clear() {
        input_.clear();
        ends_.clear();
        next_ = 0;
        next_end_ = 0;
        refuse_after_ = false;
    }

    // This thread's processor time, in nanoseconds.
    static long thread_cpu_ns();

private:
    Outcome finish() {
        input_.clear();
        next_ = 0;
        if (!refuse_after_) return Outcome::done;
        refuse_after_ = false;
        return Outcome::refused;
    }

    std::string input_;
    std::vector<Stream_Scanner::Element_End> ends_;
    std::size_t next_ = 0;
    std::size_t next_end_ = 0;
    bool refuse_after_ = false;
};

}  // namespace Velta_Client::detail::xmpp
