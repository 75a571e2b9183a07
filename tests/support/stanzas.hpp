// SPDX-License-Identifier: GPL-3.0-or-later
// Stanzas as the tests write and read them: builders for what a server
// delivers to the host, and readers for what the scripted peer recorded of
// the host's sends.
#pragma once

#include "peer/scripted_peer.hpp"

#include <gloox/base64.h>
#include <gloox/tag.h>

#include <string>
#include <vector>

namespace velta_test {

// ---- what a server delivers ---------------------------------------------------

inline const std::string amp_namespace = "http://jabber.org/protocol/amp";

// The error a server puts into a message it could not deliver.
inline const std::string service_unavailable =
    "<error type='cancel'><service-unavailable xmlns='urn:ietf:params:xml:ns:xmpp-stanzas'/></error>";

inline std::string repeated(const std::string& part, int times) {
    std::string out;
    for (int i = 0; i < times; ++i) out += part;
    return out;
}

// " a0='x' a1='x' ...": `count` attributes for an element.
inline std::string attributes(int count) {
    std::string out;
    for (int i = 0; i < count; ++i) out += " a" + std::to_string(i) + "='x'";
    return out;
}

// A chat message from node@localhost/r; `attributes` go on the message,
// `children` after its body.
inline std::string chat_from(const std::string& node, const std::string& body, const std::string& children = "",
                             const std::string& attributes = "") {
    return "<message type='chat' from='" + node + "@localhost/r'" + attributes + "><body>" + body + "</body>" +
           children + "</message>";
}

// A chat message from bob (node "_ym9i"), the sender most tests use.
inline std::string chat(const std::string& body, const std::string& children = "",
                        const std::string& attributes = "") {
    return chat_from("_ym9i", body, children, attributes);
}

// A reply of a service ("admin", "cmdadmin"); `extra` holds further
// attributes of the message.
inline std::string reply(const std::string& service, const std::string& body, const std::string& extra = "") {
    return "<message type='chat' from='" + service + "@localhost/service'" + extra + "><body>" + body +
           "</body></message>";
}

// The rule that asks the server to report storing a message for `userid`.
inline std::string stored_rule(const std::string& userid) {
    return "<rule condition='deliver' value='stored' action='notify' userid='" + userid + "'/>";
}

// A message the server returns undelivered, from `from`: `attributes` on
// the message (its id), `rules` inside its amp element, `error` after it.
inline std::string bounce(const std::string& from, const std::string& attributes, const std::string& rules,
                          const std::string& error = service_unavailable) {
    return "<message type='error' from='" + from + "' " + attributes + "><amp xmlns='" + amp_namespace + "'>" +
           rules + "</amp>" + error + "</message>";
}

// ---- what the host sent ---------------------------------------------------------

// The stanzas called `name`, in the order they arrived.
inline std::vector<Recorded> named(const std::vector<Recorded>& stanzas, const std::string& name) {
    std::vector<Recorded> out;
    for (const auto& stanza : stanzas)
        if (stanza.name == name) out.push_back(stanza);
    return out;
}

// The first rule of the message's amp element, or null.
inline const gloox::Tag* rule_of(const Recorded& message) {
    const gloox::Tag* amp = message.tag->findChild("amp");
    if (!amp || amp->findAttribute("xmlns") != amp_namespace) return nullptr;
    return amp->findChild("rule");
}

// The rule element as written, for its attribute order ("" when there is none).
inline std::string raw_rule(const Recorded& message) {
    const std::size_t at = message.raw.find("<rule");
    return at == std::string::npos ? "" : message.raw.substr(at, message.raw.find("/>", at) + 2 - at);
}

// The client's nonce in the first message of a SCRAM exchange (an <auth/>).
inline std::string scram_client_nonce(const Recorded& auth) {
    const std::string first = gloox::Base64::decode64(auth.tag->cdata());
    return first.substr(first.rfind(",r=") + 3);
}

}  // namespace velta_test
