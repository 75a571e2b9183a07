// SPDX-License-Identifier: GPL-3.0-or-later
// What reads the message stanzas a logged-in client receives, in place of
// gloox's message handlers.
//
// gloox hands a received message to its handlers only after serialising the
// whole element for its log (which nobody reads: the library writes no log),
// parsing both addresses through stringprep, and matching every registered
// extension's filter against it; the serialisation alone grows with the
// element's bytes times its depth. The library reads a message from its
// element, so Checked_Client gives the element straight to its reader.
#pragma once

#include <gloox/tag.h>

namespace Velta_Client::detail::xmpp {

class Message_Reader {
public:
    // A "message" of the client namespace (or of none), exactly the stanzas
    // gloox would build a Message from. Must not throw.
    virtual void read_message(const gloox::Tag& message) = 0;

protected:
    ~Message_Reader() = default;
};

}  // namespace Velta_Client::detail::xmpp
