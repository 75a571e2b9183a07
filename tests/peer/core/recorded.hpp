// SPDX-License-Identifier: GPL-3.0-or-later
// One top-level element a client sent, as the in-memory server read it.
#pragma once

#include <memory>
#include <string>

namespace gloox {
class Tag;
}

namespace velta_test {

// One top-level element a client sent, in arrival order.
struct Recorded {
    // Connection number, counted from 1 in accept order (the session number
    // the transport gave the server).
    int connection = 0;
    // The bytes as received (after TLS decryption, if any), leading
    // whitespace removed.  The stream header keeps its "<?xml ...?>" prologue.
    std::string raw;
    // "message", "iq", "presence", "auth", "starttls", ...; the stream header
    // is "stream:stream", the client's closing tag "/stream:stream", and input
    // that gloox's parser rejects "!not-well-formed" (the server then ends the
    // stream with <not-well-formed/> and closes).
    std::string name;
    // The element as gloox parsed it; never modified after recording.  Null
    // for "/stream:stream" and "!not-well-formed".
    std::shared_ptr<const gloox::Tag> tag;

    // Value of an attribute of the element, "" when absent.
    std::string attribute(const std::string& attribute_name) const;
    bool has_attribute(const std::string& attribute_name) const;
    // Text of the first direct child with that name, "" when absent.
    std::string child_text(const std::string& child_name) const;
    bool has_child(const std::string& child_name) const;
};

}  // namespace velta_test
