// SPDX-License-Identifier: GPL-3.0-or-later
// How much one element from the server may hold, counted ahead of gloox.
//
// gloox keeps a stanza whole until its end tag, and then walks it several
// times in one go: it serialises it for its log, builds the message, matches
// every stanza extension's filter against it, copies it for the library and
// destroys both copies. That last step cannot be split, so its cost is what
// one element may cost a frame; it grows with the element's bytes (about
// 5 ns a byte of text here) and far more with its elements and attributes
// (0.3 to 1 µs each). Hence three bounds, each well above what a server
// sends to a client of this library, and each far below where the step
// would take a millisecond:
// - max_bytes: the bytes of one top-level element (a stanza, or the stream
//   header), from the end of the element before it. XMPP entities must take
//   stanzas of 10,000 bytes; 64 KiB is common as a server's own limit.
// - max_nodes: its elements and attributes together.
// - a character reference ('&' up to ';') of at most 8 bytes between the
//   two: gloox refuses any longer one once its ';' arrives, but until then
//   copies everything after the '&' again at every read.
// Past a bound the input is refused like input that is not XML.
//
// The count of an element is reset by element_completed(), which the
// connection calls when gloox reports that it has completed one; the
// connection hands data on in pieces that end at a '>', the only place
// where an element can end.
#pragma once

#include <cstddef>
#include <cstdint>

namespace Velta_Client::detail::xmpp {

class Stanza_Limits {
public:
    static constexpr std::size_t max_bytes = 64 * 1024;
    static constexpr std::size_t max_nodes = 1024;
    static constexpr int max_reference = 8;
    // Past these the element counts as large: it completes in a receive of
    // its own (see Input_Pacer).
    static constexpr std::size_t large_bytes = 4 * 1024;
    static constexpr std::size_t large_nodes = 64;

    // Counts the next bytes of the stream into the element they belong to.
    // False when they take it past a bound; from then on everything is
    // refused.
    bool accept(const char* data, std::size_t size) {
        if (refused_) return false;
        bytes_ += size;
        for (std::size_t i = 0; i < size && !refused_; ++i) step(data[i]);
        if (bytes_ > max_bytes || nodes_ > max_nodes) refused_ = true;
        return !refused_;
    }

    void element_completed() {
        bytes_ = 0;
        nodes_ = 0;
    }

    bool large() const { return bytes_ >= large_bytes || nodes_ >= large_nodes; }
    std::size_t bytes() const { return bytes_; }
    std::size_t nodes() const { return nodes_; }

private:
    enum class State : std::uint8_t {
        text,
        open,           // just after '<'
        markup,         // after "<!", matching "[CDATA["
        tag,            // inside <name ...> or </name>
        single_quoted,  // gloox ends such a value at either quote
        double_quoted,
        cdata,
        reference  // after '&'
    };

    void step(char c) {
        switch (state_) {
            case State::text:
                if (c == '<')
                    state_ = State::open;
                else if (c == '&')
                    begin_reference(State::text);
                break;
            case State::open:
                if (c == '!') {
                    state_ = State::markup;
                    matched_ = 0;
                    break;
                }
                if (c != '/') ++nodes_;  // a start tag (gloox also makes one of "<?...?>")
                state_ = c == '>' ? State::text : State::tag;
                break;
            case State::markup: {
                static constexpr char cdata_open[] = "[CDATA[";
                if (c == cdata_open[matched_]) {
                    if (++matched_ == sizeof cdata_open - 1) state_ = State::cdata;
                } else {
                    state_ = c == '>' ? State::text : State::tag;  // gloox refuses it anyway
                }
                break;
            }
            case State::tag:
                if (c == '\'') {
                    ++nodes_;
                    state_ = State::single_quoted;
                } else if (c == '"') {
                    ++nodes_;
                    state_ = State::double_quoted;
                } else if (c == '>') {
                    state_ = State::text;
                }
                break;
            case State::single_quoted:
                if (c == '\'' || c == '"')
                    state_ = State::tag;
                else if (c == '&')
                    begin_reference(State::single_quoted);
                break;
            case State::double_quoted:
                if (c == '"')
                    state_ = State::tag;
                else if (c == '&')
                    begin_reference(State::double_quoted);
                break;
            case State::cdata:
                if (c == '>' && previous_ == ']' && before_previous_ == ']') state_ = State::text;
                break;
            case State::reference:
                if (c == ';')
                    state_ = after_reference_;
                else if (++reference_length_ > max_reference)
                    refused_ = true;
                break;
        }
        before_previous_ = previous_;
        previous_ = c;
    }

    void begin_reference(State back) {
        after_reference_ = back;
        reference_length_ = 0;
        state_ = State::reference;
    }

    State state_ = State::text;
    State after_reference_ = State::text;
    int reference_length_ = 0;
    std::size_t matched_ = 0;
    char previous_ = 0;
    char before_previous_ = 0;
    std::size_t bytes_ = 0;
    std::size_t nodes_ = 0;
    bool refused_ = false;
};

}  // namespace Velta_Client::detail::xmpp
