// SPDX-License-Identifier: GPL-3.0-or-later
// Conversion between the host's UTF-16 text and the UTF-8 used inside the
// library and on the wire.
//
// The rules of both encodings (surrogate pairs, sequence lengths, what is not
// UTF-8, U+FFFD for a lone surrogate) are those of
// <velta_client/detail/utf8.hpp>, which the host's helper
// <velta_client/text.hpp> is built on too. On them stand a facet of our own,
// two iterator adaptors that drive it one character at a time, and to_utf8 /
// from_utf8, which convert whole text in one pass. Decoding here refuses what
// is not UTF-8 (codecvt_error) rather than replacing it; surrogates sent as
// 3-byte sequences still decode to their unit. The facet is never installed
// in a locale, so nothing outside the library can change how text is
// converted.
#pragma once

#include <velta_client/detail/utf8.hpp>

#include <cstddef>
#include <cwchar>
#include <iterator>
#include <locale>
#include <stdexcept>
#include <string>
#include <typeinfo>
#include <utility>

namespace Velta_Client::text_encoding {

struct charset {
    struct utf8;
};

// Thrown for bytes that cannot start or continue a UTF-8 sequence, and for a
// sequence that can never be completed.
class codecvt_error : public std::bad_cast {
public:
    codecvt_error() noexcept = default;
    const char* what() const noexcept override;
};

// Thrown when the facet could not fit one whole character into an iterator's
// buffer; carries the iterator so the offending position can be inspected.
template <class Iterator>
class truncated_bytes : public codecvt_error {
public:
    explicit truncated_bytes(const Iterator& at) : at_(at) {}
    const Iterator& where() const noexcept { return at_; }

private:
    Iterator at_;
};

namespace detail {

class utf8_codecvt_facet : public std::codecvt<char16_t, char, std::mbstate_t> {
protected:
    explicit utf8_codecvt_facet(std::size_t refs) : std::codecvt<char16_t, char, std::mbstate_t>(refs) {}
};

}  // namespace detail

template <class Charset>
class codecvt_by_charset;

// UTF-16 <-> UTF-8.  The conversion state is ignored by every operation: a
// character never spans two calls, because callers always hand over whole
// text (or one whole character of it).  For the same reason the end of the
// input is taken as the end of the text: a high surrogate there has no
// partner coming and is encoded as U+FFFD.
template <>
class codecvt_by_charset<charset::utf8> final : public detail::utf8_codecvt_facet {
public:
    // The one instance, created on first use.  Constructed with refs 1 so that
    // no locale would ever delete it; it is destroyed at process exit.
    static const codecvt_by_charset& instance();

    codecvt_by_charset(const codecvt_by_charset&) = delete;
    codecvt_by_charset& operator=(const codecvt_by_charset&) = delete;

protected:
    ~codecvt_by_charset() override;

    bool do_always_noconv() const noexcept override;
    int do_max_length() const noexcept override;
    int do_encoding() const noexcept override;
    result do_in(state_type& state, const char* from, const char* from_end, const char*& from_next, char16_t* to,
                 char16_t* to_end, char16_t*& to_next) const override;
    result do_out(state_type& state, const char16_t* from, const char16_t* from_end, const char16_t*& from_next,
                  char* to, char* to_end, char*& to_next) const override;
    result do_unshift(state_type& state, char* to, char* to_end, char*& to_next) const override;
    int do_length(state_type& state, const char* from, const char* from_end, std::size_t max) const override;

private:
    codecvt_by_charset();
};

using utf8_facet = codecvt_by_charset<charset::utf8>;

template <class Charset, class R>
class encoded_range;

// UTF-8 bytes of a range of UTF-16 units.  R is a pair (first, last) of
// iterators over the units; the range must outlive its iterators.
template <class R>
class encoded_range<charset::utf8, R> {
public:
    using unit_iterator = typename R::first_type;

    class iterator {
    public:
        using iterator_category = std::input_iterator_tag;
        using value_type = char;
        using difference_type = std::ptrdiff_t;
        using pointer = const char*;
        using reference = char;

        // Longest UTF-8 form of one character (a surrogate pair).
        static constexpr int buffer_size = 4;

        iterator(const R& range, bool at_end) : range_(&range), position_(range.second) {
            if (at_end) {
                index_ = -1;
            } else {
                position_ = range.first;
                if (position_ != range_->second) fill();
            }
        }

        char operator*() const { return bytes_[index_]; }

        iterator& operator++() {
            if (position_ == range_->second) throw std::out_of_range("");
            if (index_ + 1 < count_) {
                ++index_;
            } else {
                std::advance(position_, units_);
                if (position_ != range_->second) fill();
            }
            return *this;
        }

        iterator operator++(int) {
            iterator before = *this;
            ++*this;
            return before;
        }

        friend bool operator==(const iterator& a, const iterator& b) {
            if (a.range_ != b.range_) return false;
            if (a.position_ == a.range_->second && b.position_ == b.range_->second) return true;
            return a.position_ == b.position_ && a.index_ == b.index_ && a.count_ == b.count_;
        }
        friend bool operator!=(const iterator& a, const iterator& b) { return !(a == b); }

    private:
        // Encodes the character at position_: one unit, or two when a high
        // surrogate is followed by its low half.
        void fill() {
            char16_t units[2];
            const int taken = text::detail::character_units(position_, range_->second);
            units[0] = *position_;
            if (taken == 2) units[1] = *std::next(position_);
            std::mbstate_t state{};
            const char16_t* from_next = units;
            char* to_next = bytes_;
            switch (utf8_facet::instance().out(state, units, units + taken, from_next, bytes_, bytes_ + buffer_size,
                                               to_next)) {
            case std::codecvt_base::ok:
            case std::codecvt_base::noconv:
                break;
            case std::codecvt_base::partial:
                throw truncated_bytes<iterator>(*this);
            default:
                throw codecvt_error();
            }
            count_ = static_cast<int>(to_next - bytes_);
            units_ = taken;
            index_ = 0;
        }

        const R* range_;
        unit_iterator position_;
        char bytes_[buffer_size] = {};
        int count_ = 0;
        int index_ = 0;
        int units_ = 1;  // units taken by the character at position_
    };

    explicit encoded_range(R units) : units_(std::move(units)) {}

    iterator begin() const { return iterator(units_, false); }
    iterator end() const { return iterator(units_, true); }

private:
    R units_;
};

using utf16_range = std::pair<std::u16string::const_iterator, std::u16string::const_iterator>;
using utf8_encoding_range = encoded_range<charset::utf8, utf16_range>;

// UTF-16 units of a UTF-8 byte string, which must outlive the iterator.
class decoding_iterator {
public:
    using iterator_category = std::input_iterator_tag;
    using value_type = char16_t;
    using difference_type = std::ptrdiff_t;
    using pointer = const char16_t*;
    using reference = char16_t;

    static constexpr int window_size = 5;

    static decoding_iterator begin(const std::string& source);
    static decoding_iterator end(const std::string& source);

    char16_t operator*() const { return value_; }

    decoding_iterator& operator++() {
        if (count_ == -1 && position_ == source_->end()) throw std::out_of_range("");
        fill();
        return *this;
    }

    decoding_iterator operator++(int) {
        decoding_iterator before = *this;
        ++*this;
        return before;
    }

    friend bool operator==(const decoding_iterator& a, const decoding_iterator& b) {
        if (a.source_ != b.source_) return false;
        if (a.at_end() && b.at_end()) return true;
        return a.position_ == b.position_ && a.count_ == b.count_ && a.value_ == b.value_ && a.trail_ == b.trail_;
    }
    friend bool operator!=(const decoding_iterator& a, const decoding_iterator& b) { return !(a == b); }

private:
    decoding_iterator(const std::string& source, std::string::const_iterator position, int count)
        : source_(&source), position_(position), count_(count) {}

    bool at_end() const { return count_ == -1 && position_ == source_->end(); }
    void fill();

    const std::string* source_;
    std::string::const_iterator position_;
    char16_t value_ = 0;
    // Low half of a pair still to be yielded after value_; 0 when none (a low
    // surrogate is never 0).
    char16_t trail_ = 0;
    char window_[window_size] = {};
    int count_;  // bytes in window_; -1 once the source is exhausted
};

// Whole text in one pass over the rules, without the facet. to_utf8 never
// fails (a lone surrogate becomes U+FFFD); from_utf8 throws codecvt_error
// for bytes that are not UTF-8, and catches nothing.
std::string to_utf8(const std::u16string& text);
std::u16string from_utf8(const std::string& bytes);

namespace detail {
// The same conversions character by character through the iterators and the
// facet; they give exactly what to_utf8 and from_utf8 give, errors included.
std::string to_utf8_by_iterator(const std::u16string& text);
std::u16string from_utf8_by_iterator(const std::string& bytes);
}  // namespace detail

// Replaces the units XML 1.0 cannot carry (controls other than tab, line feed
// and carriage return; U+FFFE; U+FFFF) with U+FFFD.  Surrogates are left for
// to_utf8, which knows whether they pair up.
std::u16string xml_safe(const std::u16string& text);
// Appends text to out as XML character data or an attribute value in single
// or double quotes: xml_safe, to_utf8 and the escaping of & < > ' " in one
// pass over the text, the same bytes as the three in turn.
void append_xml_text(std::string& out, const std::u16string& text);

template <class Charset, class S>
class encoded_string;

// Text kept in its encoded form until someone needs it as UTF-16, so that a
// conversion failure happens where the text is used, not where it arrived.
template <class S>
class encoded_string<charset::utf8, S> {
public:
    encoded_string() = default;
    explicit encoded_string(S bytes) : bytes_(std::move(bytes)) {}

    const S& bytes() const { return bytes_; }
    std::u16string decode() const { return from_utf8(bytes_); }
    operator std::u16string() const { return decode(); }

private:
    S bytes_;
};

using utf8_string = encoded_string<charset::utf8, std::string>;

}  // namespace Velta_Client::text_encoding
