// SPDX-License-Identifier: GPL-3.0-or-later
// How deep the elements a server sends are nested, counted ahead of gloox.
//
// gloox walks every received element recursively, and more than once: it
// serialises each one for its log even when nobody listens, copying the text
// at every level, and clones and destroys it level by level. A stanza nested
// tens of thousands deep (a few hundred kilobytes, which servers route from
// one user to another) overflows the host's stack, and a few thousand levels
// cost its frame seconds. No XMPP use comes near max_depth levels; deeper
// input is refused like input that is not XML at all.
//
// The count is only as good as its agreement with gloox's parser, so the
// guard reads the bytes the way gloox 1.0's parser does, state for state,
// not the way XML would have them: a single-quoted attribute value also ends
// at a double quote, "<?name ?>" opens an element, an element named "stream"
// inside an element of the stream namespace starts over, "</stream:stream>"
// closes nothing. Where gloox is bound to fail (it takes no comment, no
// document type and no "<" inside a value, and every entity ends within
// nine bytes) the guard refuses at that byte, so gloox never goes on from a
// state the guard does not know.
//
// Two kinds of input are refused although gloox would take them:
// - A processing instruction anywhere but between stanzas, or one there
//   that is not an XML declaration. gloox would open an element for it and
//   put every later stanza inside it: the host would stay connected and
//   hear nothing. The declaration a server writes before its stream header
//   is read as gloox reads it (it opens nothing).
// - An element nested deeper than max_depth.
//
// "</stream:stream>" (as gloox recognises it) is the server's end of the
// stream: stream_ended() is then true and nothing after it is handed on.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace Velta_Client::detail::xmpp {

class Nesting_Guard {
public:
    // The stream element is level 1, a stanza level 2. gloox starts over at
    // every stream header, so the stream that starts again after
    // authentication is level 1 as well.
    static constexpr int max_depth = 256;

    enum class Refusal : std::uint8_t { none, too_deep, instruction, malformed, stream_end };

    // Reads the next bytes of the stream. Returns how many of them may be
    // handed on: all of them, or those before the byte at which the stream is
    // refused (from then on every byte is refused), or those up to and with
    // the '>' that ends the stream.
    std::size_t accept(const char* data, std::size_t size) {
        if (refusal_ != Refusal::none) return 0;
        for (std::size_t i = 0; i < size; ++i) {
            i = skip_plain(data, i, size);
            if (i == size) break;
            step(data[i]);
            if (refusal_ != Refusal::none) return refusal_ == Refusal::stream_end ? i + 1 : i;
        }
        return size;
    }

    // The elements open, the stream counted as one once its header came.
    int depth() const { return level_ + (stream_open_ ? 1 : 0); }
    // Elements open in the tree gloox is building (0 between stanzas).
    int open_elements() const { return level_; }
    // Whether the stream is over: refused, or ended by the server.
    bool ended() const { return refusal_ != Refusal::none; }
    bool stream_ended() const { return refusal_ == Refusal::stream_end; }
    Refusal refusal() const { return refusal_; }

private:
    // gloox's parser states, and four of the guard's own for what gloox reads
    // with a look ahead.
    enum class State : std::uint8_t {
        initial,
        inter_tag,
        tag_opening,
        cdata_opening,  // after "<!": the rest of "![CDATA["
        cdata,
        name_collect,
        inside,
        opening_slash,
        closing_slash,
        closing,
        name_complete,
        attribute,
        attribute_complete,
        attribute_equal,
        attribute_value,
        name_almost_complete,
        entity  // after '&', up to its ';'
    };

    static bool whitespace(char c) { return c == 0x09 || c == 0x0A || c == 0x0D || c == 0x20; }

    void refuse(Refusal why) { refusal_ = why; }

    // Most bytes are text or values that change nothing: passes over them
    // (not over a value of the root, whose namespace is being read).
    // Returns where step() must go on.
    std::size_t skip_plain(const char* data, std::size_t i, std::size_t size) {
        const std::size_t from = i;
        if (state_ == State::inside) {
            while (i < size && data[i] != '<' && data[i] != '&') ++i;
            if (i != from) tag_.clear();
        } else if (state_ == State::attribute_value && !reading_root_) {
            while (i < size && data[i] != '"' && data[i] != '\'' && data[i] != '<' && data[i] != '&') ++i;
        }
        return i;
    }

    void step(char c);
    void add_attribute();
    // Compares the next character of a value with the stream namespace.
    void match_value(int c);
    int decoded_entity() const;
    // What gloox's addTag does to the tree; refuses where the guard must.
    // Returns false when the tree was cleared (the tag opened nothing).
    bool add_tag();
    // gloox's closeTag; false where gloox fails.
    bool close_tag();
    // gloox's cleanup: no tree, nothing being read.
    void clear();

    State state_ = State::initial;
    State entity_from_ = State::inside;
    int entity_length_ = 0;  // bytes since the '&'
    char entity_[8] = {};    // those before the ';'

    int cdata_matched_ = 0;
    char previous_ = 0;
    char before_previous_ = 0;

    std::string tag_;
    std::string tag_prefix_;
    bool have_tag_prefix_ = false;
    std::string attribute_;
    bool have_attribute_prefix_ = false;
    bool attribute_is_declaration_ = false;
    bool double_quoted_ = false;
    int preamble_ = 0;  // 1 after "<?", 2 after its closing '?'

    // Whether the value being read (its entities decoded) is exactly the
    // stream namespace.
    std::size_t value_length_ = 0;
    bool value_is_stream_ = true;

    // The root of gloox's tree and its namespace: whether the last default
    // namespace attribute, or the last declaration of the root's prefix, it
    // carries names the stream namespace.
    std::string root_prefix_;
    bool reading_root_ = false;
    int default_stream_ = -1;  // -1 none seen, 0 the last did not match, 1 it did
    int declared_stream_ = -1;
    bool root_in_stream_ = false;

    int level_ = 0;
    bool stream_open_ = false;
    Refusal refusal_ = Refusal::none;
};

}  // namespace Velta_Client::detail::xmpp
