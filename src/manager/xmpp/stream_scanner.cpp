// SPDX-License-Identifier: GPL-3.0-or-later
#include "manager/xmpp/stream_scanner.hpp"

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace Velta_Client::detail::xmpp {

namespace {

const char stream_namespace[] = "http://etherx.jabber.org/streams";
constexpr std::size_t stream_namespace_length = sizeof stream_namespace - 1;

}  // namespace

std::size_t Stream_Scanner::accept(const char* data, std::size_t size) {
    ends_.clear();
    if (refusal_ != Refusal::none) return 0;
    const std::uint64_t base = offset_;
    std::size_t i = 0;
    while (i < size) {
        i = skip_plain(data, i, size);
        // The stream offset past the last byte the element in progress may
        // have, its amplified characters weighed.
        const std::uint64_t weighed = std::min<std::uint64_t>(max_bytes, escapes_ * escape_weight);
        const std::uint64_t allowed_end = element_start_ + max_bytes - weighed;
        if (base + i > allowed_end || (i < size && base + i + 1 > allowed_end)) {
            refuse(Refusal::too_long);
            const std::size_t accepted =
                allowed_end <= base ? 0 : static_cast<std::size_t>(std::min<std::uint64_t>(allowed_end - base, i));
            offset_ = base + accepted;
            return accepted;
        }
        if (i == size) break;
        step(data[i]);
        ++i;
        if (completed_) {
            completed_ = false;
            if (refusal_ == Refusal::none || refusal_ == Refusal::stream_end) {
                const std::uint64_t bytes = base + i - element_start_;
                ends_.push_back({i, bytes >= large_bytes || nodes_ >= large_nodes});
                element_start_ = base + i;
                nodes_ = 0;
                escapes_ = 0;
                weigh_escapes_ = true;
            }
        }
        if (refusal_ != Refusal::none) {
            const std::size_t accepted = refusal_ == Refusal::stream_end ? i : i - 1;
            offset_ = base + accepted;
            return accepted;
        }
    }
    offset_ = base + size;
    return size;
}

void Stream_Scanner::clear() {
    level_ = 0;
    reading_root_ = false;
    root_in_stream_ = false;
    tag_.clear();
    tag_prefix_.clear();
    have_tag_prefix_ = false;
    attribute_.clear();
    have_attribute_prefix_ = false;
    attribute_is_declaration_ = false;
    value_length_ = 0;
    value_is_stream_ = true;
    preamble_ = 0;
    state_ = State::initial;
}

void Stream_Scanner::match_value(int c) {
    if (c < 0 || value_length_ >= stream_namespace_length || c != stream_namespace[value_length_])
        value_is_stream_ = false;
    ++value_length_;
}

// The character an entity stands for, read as gloox's parser reads it; -1
// for one of several bytes, or one that gloox refuses.
int Stream_Scanner::decoded_entity() const {
    const int size = entity_length_ - 1;  // the bytes between '&' and ';'
    const char* e = entity_;
    const auto is = [&](const char* name) { return std::strncmp(e, name, std::strlen(name)) == 0; };
    switch (e[0]) {
    case '#': {
        char text[sizeof entity_ + 2] = {};
        std::memcpy(text, e, static_cast<std::size_t>(size));
        text[size] = ';';
        const bool hex = size > 1 && (e[1] == 'x' || e[1] == 'X');
        char* end = nullptr;
        const long value = std::strtol(text + (hex ? 2 : 1), &end, hex ? 16 : 10);
        if (*end != ';' || value < 0) return -1;
        if (value == 0x9 || value == 0xA || value == 0xD || (value >= 0x20 && value <= 0x7F))
            return static_cast<int>(value);
        return -1;
    }
    case 'l':
        return size == 2 && e[1] == 't' ? '<' : -1;
    case 'g':
        return size == 2 && e[1] == 't' ? '>' : -1;
    case 'a':
        if (size == 4 && is("apos")) return '\'';
        return size == 3 && is("amp") ? '&' : -1;
    case 'q':
        return size == 4 && is("quot") ? '"' : -1;
    default:
        return -1;
    }
}

void Stream_Scanner::add_attribute() {
    const bool names_stream = value_is_stream_ && value_length_ == stream_namespace_length;
    if (reading_root_) {
        int* seen = nullptr;
        if (attribute_is_declaration_) {
            if (attribute_ == root_prefix_) seen = &declared_stream_;
        } else if (attribute_ == "xmlns") {
            seen = &default_stream_;
        }
        if (seen) *seen = names_stream ? 1 : 0;  // the last one counts, as in gloox
    }
    attribute_.clear();
    value_length_ = 0;
    value_is_stream_ = true;
    have_attribute_prefix_ = false;
    attribute_is_declaration_ = false;
    count_node();
}

bool Stream_Scanner::add_tag() {
    if (preamble_ != 0) {
        // Only the XML declaration between stanzas: gloox opens it and clears
        // its tree at once.
        if (level_ == 0 && preamble_ == 2 && tag_ == "xml" && !have_tag_prefix_ && tag_prefix_.empty()) {
            clear();
            return false;
        }
        refuse(Refusal::instruction);
        return false;
    }
    const bool root = level_ == 0;
    if (root) {
        const int in_stream = root_prefix_.empty() ? default_stream_ : declared_stream_;
        root_in_stream_ = in_stream == 1;
    }
    if (tag_ == "stream" && root_in_stream_) {
        // A stream header: gloox hands it on and starts a new tree.
        clear();
        complete();
        return false;
    }
    if (level_ + 1 > max_depth) {
        refuse(Refusal::too_deep);
        return false;
    }
    if (++nodes_ > max_nodes) {
        refuse(Refusal::too_many_nodes);
        return false;
    }
    ++level_;
    have_tag_prefix_ = false;
    // A message's content is read by the library, not serialised by gloox;
    // its start tag was weighed like any other.
    if (root && tag_ == "message") weigh_escapes_ = false;
    if (root) {
        reading_root_ = false;
        // gloox binds the prefix "stream" of a root to the stream namespace.
        if (tag_prefix_ == "stream") root_in_stream_ = true;
    }
    return true;
}

bool Stream_Scanner::close_tag() {
    if (tag_ == "stream" && tag_prefix_ == "stream") {
        refuse(Refusal::stream_end);
        complete();
        return true;
    }
    if (level_ == 0) return false;
    tag_prefix_.clear();
    have_tag_prefix_ = false;
    if (--level_ == 0) {
        clear();
        complete();
    }
    return true;
}

void Stream_Scanner::step(char c) {
    switch (state_) {
    case State::initial:
        if (whitespace(c)) break;
        if (c == '<')
            state_ = State::tag_opening;
        else
            refuse(Refusal::malformed);
        break;

    case State::inter_tag:
        tag_.clear();
        if (whitespace(c)) {
            state_ = State::inside;
        } else if (c == '&') {
            entity_from_ = State::inside;
            entity_length_ = 0;
            state_ = State::entity;
        } else if (c == '<') {
            state_ = State::tag_opening;
        } else if (level_ > 0) {
            state_ = State::inside;
        }
        break;

    case State::tag_opening:
        if (whitespace(c)) break;
        switch (c) {
        case '<':
        case '>':
        case '&':
            refuse(Refusal::malformed);
            break;
        case '/':
            state_ = State::closing_slash;
            break;
        case '?':
            state_ = State::name_collect;
            preamble_ = 1;
            reading_root_ = level_ == 0;
            break;
        case '!':
            state_ = State::cdata_opening;
            cdata_matched_ = 1;
            break;
        default:
            tag_ += c;
            state_ = State::name_collect;
            reading_root_ = level_ == 0;
            break;
        }
        if (reading_root_ && state_ == State::name_collect) {
            root_prefix_.clear();
            default_stream_ = -1;
            declared_stream_ = -1;
        }
        break;

    case State::cdata_opening: {
        static const char opening[] = "![CDATA[";
        if (c != opening[cdata_matched_]) {
            refuse(Refusal::malformed);  // a comment or a document type
        } else if (++cdata_matched_ == 8) {
            state_ = State::cdata;
            previous_ = before_previous_ = 0;
            return;
        }
        break;
    }

    case State::cdata:
        if (c == '>' && previous_ == ']' && before_previous_ == ']') {
            state_ = State::inside;
            c = 0;
        }
        break;

    case State::name_collect:
        if (whitespace(c)) {
            state_ = State::name_complete;
            break;
        }
        switch (c) {
        case '<':
        case '?':
        case '!':
        case '&':
            refuse(Refusal::malformed);
            break;
        case '/':
            state_ = State::opening_slash;
            break;
        case '>':
            add_tag();
            if (refusal_ == Refusal::none) state_ = State::inside;
            break;
        case ':':
            if (have_tag_prefix_) {
                refuse(Refusal::malformed);
            } else {
                have_tag_prefix_ = true;
                tag_prefix_ = tag_;
                if (reading_root_) root_prefix_ = tag_;
                tag_.clear();
            }
            break;
        default:
            tag_ += c;
            break;
        }
        break;

    case State::inside:
        tag_.clear();
        if (c == '<') {
            state_ = State::tag_opening;
        } else if (c == '&') {
            entity_from_ = State::inside;
            entity_length_ = 0;
            state_ = State::entity;
        }
        break;

    case State::entity:
        // gloox decodes an entity only when its ';' comes three to nine bytes
        // after the '&'; any other fails sooner or later, or never ends.
        ++entity_length_;
        if (c == ';') {
            if (entity_length_ < 3) {
                refuse(Refusal::malformed);
            } else {
                state_ = entity_from_;
                if (state_ == State::attribute_value) match_value(decoded_entity());
            }
        } else if (entity_length_ >= 9) {
            refuse(Refusal::malformed);
        } else {
            entity_[entity_length_ - 1] = c;
        }
        break;

    case State::opening_slash:
        if (whitespace(c)) break;
        if (c == '>') {
            if (preamble_ != 0) {
                refuse(Refusal::instruction);
                break;
            }
            if (!add_tag()) {
                if (refusal_ == Refusal::none) refuse(Refusal::malformed);  // nothing left to close
                break;
            }
            if (!close_tag())
                refuse(Refusal::malformed);
            else if (refusal_ == Refusal::none)
                state_ = State::inter_tag;
        } else {
            refuse(Refusal::malformed);
        }
        break;

    case State::closing_slash:
        if (whitespace(c)) break;
        if (c == '>' || c == '<' || c == '/') {
            refuse(Refusal::malformed);
        } else {
            tag_ += c;
            state_ = State::closing;
        }
        break;

    case State::closing:
        switch (c) {
        case '<':
        case '/':
        case '!':
        case '?':
        case '&':
            refuse(Refusal::malformed);
            break;
        case ':':
            if (have_tag_prefix_) {
                refuse(Refusal::malformed);
            } else {
                have_tag_prefix_ = true;
                tag_prefix_ = tag_;
                tag_.clear();
            }
            break;
        case '>':
            if (!close_tag())
                refuse(Refusal::malformed);
            else if (refusal_ == Refusal::none)
                state_ = State::inter_tag;
            break;
        default:
            tag_ += c;
            break;
        }
        break;

    case State::name_complete:
    case State::name_almost_complete:
        if (whitespace(c)) {
            state_ = State::name_complete;
            break;
        }
        switch (c) {
        case '/':
            state_ = State::opening_slash;
            break;
        case '>':
            if (preamble_ == 1) {
                refuse(Refusal::malformed);
            } else {
                state_ = State::inside;
                add_tag();  // a stream header or a declaration leaves gloox in its initial state
            }
            break;
        case '?':
            if (preamble_ == 1)
                preamble_ = 2;
            else
                refuse(Refusal::malformed);
            break;
        default:
            if (state_ == State::name_almost_complete || c == '<' || c == '!' || c == '&') {
                refuse(Refusal::malformed);
            } else {
                attribute_ += c;
                state_ = State::attribute;
            }
            break;
        }
        break;

    case State::attribute:
        if (whitespace(c)) {
            state_ = State::attribute_complete;
            break;
        }
        switch (c) {
        case '<':
        case '/':
        case '>':
        case '?':
        case '!':
        case '&':
            refuse(Refusal::malformed);
            break;
        case '=':
            state_ = State::attribute_equal;
            break;
        case ':':
            if (!have_attribute_prefix_ && attribute_ != "xmlns") {
                have_attribute_prefix_ = true;
                attribute_.clear();
            } else if (attribute_ == "xmlns") {
                attribute_is_declaration_ = true;
                attribute_.clear();
            } else {
                refuse(Refusal::malformed);
            }
            break;
        default:
            attribute_ += c;
            break;
        }
        break;

    case State::attribute_complete:
        if (whitespace(c)) break;
        if (c == '=')
            state_ = State::attribute_equal;
        else
            refuse(Refusal::malformed);
        break;

    case State::attribute_equal:
        if (whitespace(c)) break;
        if (c == '"' || c == '\'') {
            double_quoted_ = c == '"';
            state_ = State::attribute_value;
        } else {
            refuse(Refusal::malformed);
        }
        break;

    case State::attribute_value:
        // gloox ends a value at a double quote whichever quote opened it.
        if (c == '<') {
            refuse(Refusal::malformed);
        } else if (c == '"' || (c == '\'' && !double_quoted_)) {
            add_attribute();
            state_ = State::name_almost_complete;
            double_quoted_ = false;
        } else if (c == '&') {
            entity_from_ = State::attribute_value;
            entity_length_ = 0;
            state_ = State::entity;
        } else {
            if (weigh_escapes_ && amplified(c)) ++escapes_;
            match_value(c);
        }
        break;
    }
    before_previous_ = previous_;
    previous_ = c;
}

}  // namespace Velta_Client::detail::xmpp
