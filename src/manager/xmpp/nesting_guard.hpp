// How deep the elements a server sends are nested, counted ahead of gloox.
//
// gloox walks every received element recursively, and more than once: it
// serialises each one for its log even when nobody listens, copying the text
// at every level, and clones and destroys it level by level. A stanza nested
// tens of thousands deep (a few hundred kilobytes, which servers route from
// one user to another) overflows the host's stack, and a few thousand levels
// cost its frame seconds. No XMPP use comes near max_depth levels; deeper
// input is refused like input that is not XML at all.
#pragma once

#include <cstddef>
#include <cstdint>

namespace Velta_Client::detail::xmpp {

class Nesting_Guard {
public:
    // The stream element is level 1, a stanza level 2. The stream that
    // starts again after authentication opens inside the first one here,
    // which costs one level of the allowance.
    static constexpr int max_depth = 256;

    // Reads the next bytes of the stream. Returns how many of them may be
    // handed on: all of them, or those before the '>' that would open an
    // element deeper than max_depth (from then on the stream is refused).
    std::size_t accept(const char* data, std::size_t size) {
        for (std::size_t i = 0; i < size; ++i) {
            if (!step(data[i])) return i;
        }
        return size;
    }

    int depth() const { return depth_; }

private:
    enum class State : std::uint8_t {
        text,         // character data
        open,         // just after '<'
        start_tag,    // inside <name ...
        quoted,       // inside an attribute value
        end_tag,      // inside </name
        markup,       // just after "<!"
        comment,      // <!-- ... -->
        cdata,        // <![CDATA[ ... ]]>
        declaration,  // <!DOCTYPE ...>
        instruction,  // <? ... ?>
        refused
    };

    bool step(char c) {
        switch (state_) {
            case State::text:
                if (c == '<') state_ = State::open;
                break;
            case State::open:
                if (c == '/')
                    state_ = State::end_tag;
                else if (c == '?')
                    state_ = State::instruction;
                else if (c == '!')
                    state_ = State::markup;
                else
                    state_ = State::start_tag;
                break;
            case State::start_tag:
                if (c == '\'' || c == '"') {
                    quote_ = c;
                    state_ = State::quoted;
                } else if (c == '>') {
                    state_ = State::text;
                    if (previous_ != '/' && ++depth_ > max_depth) {
                        state_ = State::refused;
                        return false;
                    }
                }
                break;
            case State::quoted:
                if (c == quote_) state_ = State::start_tag;
                break;
            case State::end_tag:
                if (c == '>') {
                    state_ = State::text;
                    if (depth_ > 0) --depth_;
                }
                break;
            case State::markup:
                state_ = c == '-' ? State::comment : c == '[' ? State::cdata : State::declaration;
                c = 0;  // the opening "-" or "[" closes nothing
                break;
            case State::comment:
                if (c == '>' && previous_ == '-' && before_previous_ == '-') state_ = State::text;
                break;
            case State::cdata:
                if (c == '>' && previous_ == ']' && before_previous_ == ']') state_ = State::text;
                break;
            case State::declaration:
                if (c == '>') state_ = State::text;
                break;
            case State::instruction:
                if (c == '>' && previous_ == '?') state_ = State::text;
                break;
            case State::refused:
                return false;
        }
        before_previous_ = previous_;
        previous_ = c;
        return true;
    }

    State state_ = State::text;
    char quote_ = 0;
    char previous_ = 0;
    char before_previous_ = 0;
    int depth_ = 0;
};

}  // namespace Velta_Client::detail::xmpp
