// SPDX-License-Identifier: GPL-3.0-or-later
// The stream scanner against gloox's own parser, on the same bytes.
//  - Any bytes, cut into pieces as reads would cut them (the first byte
//    chooses the cuts, and whether a stream header comes first), go through
//    the scanner ("the guard" below); what it hands on goes into a
//    gloox::Parser.
//  - After every piece, the elements gloox has open are exactly those the
//    guard counts, and gloox has completed exactly the elements whose ends
//    the guard told, as long as gloox has not failed.
//  - Where the guard refuses input as input gloox cannot parse, gloox fails
//    on it too (given the bytes it would wait for).
#include "manager/xmpp/stream_scanner.hpp"

#include <gloox/parser.h>
#include <gloox/tag.h>
#include <gloox/taghandler.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

using Velta_Client::detail::xmpp::Stream_Scanner;

namespace {

// gloox keeps the element it is reading in a private member; an explicit
// instantiation may name it, and hands its address out.
struct Current_Element {
    using type = gloox::Tag* gloox::Parser::*;
    friend type member(Current_Element);
};
template <class Key, typename Key::type Member>
struct Member_Of {
    friend typename Key::type member(Key) { return Member; }
};
template struct Member_Of<Current_Element, &gloox::Parser::m_current>;

int open_elements(const gloox::Parser& parser) {
    int depth = 0;
    for (const gloox::Tag* tag = parser.*member(Current_Element()); tag; tag = tag->parent()) ++depth;
    return depth;
}

struct Count_Tags final : gloox::TagHandler {
    void handleTag(gloox::Tag*) override { ++completed; }
    std::size_t completed = 0;
};

[[noreturn]] void fail(const char* what, int guard, int gloox) {
    std::fprintf(stderr, "nesting fuzzer: %s (guard %d, gloox %d)\n", what, guard, gloox);
    std::abort();
}

const std::string header =
    "<?xml version='1.0'?><stream:stream xmlns='jabber:client' xmlns:stream='http://etherx.jabber.org/streams' "
    "id='s' from='localhost' version='1.0' xml:lang='en'>";

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const std::uint8_t choice = data[0];
    std::string bytes = (choice & 1) ? header : std::string();
    bytes.append(reinterpret_cast<const char*>(data + 1), size - 1);

    Count_Tags tags;
    gloox::Parser parser(&tags);
    Stream_Scanner guard;
    std::uint32_t cuts = choice * 2654435761u + 1;
    const std::size_t longest = 1 + (choice >> 1);

    std::size_t at = 0;
    while (at < bytes.size()) {
        cuts = cuts * 1103515245u + 12345u;
        const std::size_t piece = std::min(bytes.size() - at, 1 + (cuts >> 16) % longest);
        Stream_Scanner before_refusal = guard;
        const std::size_t accepted = guard.accept(bytes.data() + at, piece);
        std::string handed(bytes, at, accepted);
        const std::size_t completed_before = tags.completed;
        if (accepted > 0 && parser.feed(handed) >= 0) return 0;  // gloox failed: the connection ends
        if (!guard.ended()) {
            if (guard.open_elements() != open_elements(parser))
                fail("the guard and gloox count different depths", guard.open_elements(), open_elements(parser));
            const auto told = static_cast<int>(guard.element_ends().size());
            if (told != static_cast<int>(tags.completed - completed_before))
                fail("the guard and gloox complete different elements", told,
                     static_cast<int>(tags.completed - completed_before));
            if (guard.depth() > Stream_Scanner::max_depth) fail("deeper than allowed", guard.depth(), 0);
        } else {
            // What gloox has open is what the guard counted up to that byte.
            before_refusal.accept(bytes.data() + at, accepted);
            if (!guard.stream_ended() && before_refusal.open_elements() != open_elements(parser))
                fail("the guard and gloox count different depths before a refusal", before_refusal.open_elements(),
                     open_elements(parser));
            if (guard.refusal() == Stream_Scanner::Refusal::malformed) {
                // gloox waits for at most eight more bytes (the rest of
                // "![CDATA[", or an entity's ';') before it fails.
                std::string rest = bytes.substr(at + accepted) + ";;;;;;;;;;";
                if (parser.feed(rest) < 0) fail("refused what gloox parses", guard.open_elements(), open_elements(parser));
            }
            return 0;
        }
        at += accepted;
    }
    return 0;
}
