// SPDX-License-Identifier: GPL-3.0-or-later
// What a server sends, read ahead of gloox: how deep it nests, what each
// top-level element holds, and where each one ends.
//
// gloox keeps a stanza whole until its end tag and then walks it several
// times in one go (it serialises every element for its log, builds its
// stanza objects, matches every extension filter, destroys the tree), and
// it walks recursively: a stanza nested tens of thousands deep overflows the
// host's stack. That handling cannot be split, so what one element may hold
// is what it may cost a frame. Hence the bounds, each far above what a
// server sends a client of this library and low enough that the worst
// element inside all of them costs well under a millisecond (README):
// - max_depth levels of nesting within one top-level element (the stanza is
//   level 1; XMPP's own stanzas need fewer than ten);
// - max_bytes bytes of one top-level element (a stanza, or the stream
//   header), counted from the end of the element before it;
// - max_nodes elements and attributes (namespace declarations included) in
//   one top-level element;
// - in a top-level element other than a message (gloox still handles those,
//   and serialises each for its log; and in any start tag of one) a '>',
//   '"' or "'" of text or value counts escape_weight bytes more: gloox
//   writes it as "&gt;", "&quot;" or "&apos;", and 64 KiB of them cost
//   about a millisecond;
// - at most 8 characters between the '&' and the ';' of a reference: gloox
//   fails on any longer one, but only once its ';' arrives, and copies
//   everything after the '&' again at every read until then.
// Past a bound the stream is refused like input that is not XML.
//
// The counts are only as good as their agreement with gloox's parser, so the
// scanner reads the bytes the way gloox 1.0's parser does, state for state,
// not the way XML would have them: a single-quoted attribute value also ends
// at a double quote, "<?name ?>" opens an element, an element named "stream"
// inside an element of the stream namespace starts over, "</stream:stream>"
// closes nothing. Where gloox is bound to fail (it takes no comment, no
// document type and no "<" inside a value) the scanner refuses at that byte,
// so gloox never goes on from a state the scanner does not know.
//
// Two kinds of input are refused although gloox would take them:
// - A processing instruction anywhere but between stanzas, or one there
//   that is not an XML declaration. gloox would open an element for it and
//   put every later stanza inside it: the host would stay connected and
//   hear nothing. The declaration a server writes before its stream header
//   is read as gloox reads it (it opens nothing).
// - An element past a bound.
//
// "</stream:stream>" (as gloox recognises it) is the server's end of the
// stream: stream_ended() is then true and nothing after it is handed on.
//
// Each accept() also tells where, in what it accepted, gloox will complete a
// top-level element (hand it to its client), and whether that element is
// large: Input_Pacer hands the input on element by element, and lets a large
// one complete in a receive of its own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace Velta_Client::detail::xmpp {

class Stream_Scanner {
public:
    // Levels within one top-level element: gloox starts a new tree at every
    // stream header, so the stream element is none of them.
    static constexpr int max_depth = 16;
    static constexpr std::size_t max_bytes = 64 * 1024;
    static constexpr std::size_t max_nodes = 1024;
    static constexpr std::size_t escape_weight = 5;
    // Past either of these an element counts as large.
    static constexpr std::size_t large_bytes = 4 * 1024;
    static constexpr std::size_t large_nodes = 64;

    enum class Refusal : std::uint8_t { none, too_deep, too_long, too_many_nodes, instruction, malformed, stream_end };

    // Where gloox completes a top-level element: just after byte end - 1 of
    // the bytes last accepted.
    struct Element_End {
        std::size_t end;
        bool large;
    };

    // Reads the next bytes of the stream. Returns how many of them may be
    // handed on: all of them, or those before the byte at which the stream is
    // refused (from then on every byte is refused), or those up to and with
    // the '>' that ends the stream. element_ends() then tells where in them
    // top-level elements end.
    std::size_t accept(const char* data, std::size_t size);

    const std::vector<Element_End>& element_ends() const { return ends_; }

    // Elements open in the tree gloox is building (0 between stanzas).
    int depth() const { return level_; }
    int open_elements() const { return level_; }
    // What the top-level element in progress holds so far.
    std::size_t element_bytes() const { return static_cast<std::size_t>(offset_ - element_start_); }
    std::size_t element_nodes() const { return nodes_; }
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
    // gloox hands a top-level element (or the stream header) to its client.
    void complete() { completed_ = true; }
    void count_node() {
        if (++nodes_ > max_nodes) refuse(Refusal::too_many_nodes);
    }

    // Most bytes are text or values that change nothing: passes over them
    // (not over a value of the root, whose namespace is being read).
    // Returns where step() must go on.
    std::size_t skip_plain(const char* data, std::size_t i, std::size_t size) {
        const std::size_t from = i;
        if (state_ == State::inside) {
            if (weigh_escapes_) {
                for (; i < size && data[i] != '<' && data[i] != '&'; ++i) escapes_ += amplified(data[i]);
            } else {
                while (i < size && data[i] != '<' && data[i] != '&') ++i;
            }
            if (i != from) tag_.clear();
        } else if (state_ == State::attribute_value && !reading_root_) {
            for (; i < size && data[i] != '"' && data[i] != '\'' && data[i] != '<' && data[i] != '&'; ++i)
                escapes_ += weigh_escapes_ && data[i] == '>';
        }
        return i;
    }

    // What gloox's log serialisation writes as a longer reference.
    static bool amplified(char c) { return c == '>' || c == '"' || c == '\''; }

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
    Refusal refusal_ = Refusal::none;

    // Stream offsets: of the byte being read, and where the element in
    // progress began (just after the one before it ended).
    std::uint64_t offset_ = 0;
    std::uint64_t element_start_ = 0;
    std::size_t nodes_ = 0;
    // Whether the element in progress may be one gloox serialises (all but
    // what follows a message's start tag), and how many amplified
    // characters it holds.
    bool weigh_escapes_ = true;
    std::size_t escapes_ = 0;
    bool completed_ = false;
    std::vector<Element_End> ends_;
};

}  // namespace Velta_Client::detail::xmpp
