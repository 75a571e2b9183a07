// SPDX-License-Identifier: GPL-3.0-or-later
// The SCRAM-SHA-1 exchange of a login connection, run by the library in
// place of gloox's, so that the salted password is computed in slices across
// receives (sasl::Scram_Sha1) instead of inside one call, and so that the keys
// of the last login are reused (sasl::Scram_Key_Cache).
//
// Checked_Client shows it every top-level element before gloox sees it:
// - the server's features, when they offer SCRAM-SHA-1 and gloox would log in
//   next: sends <auth mechanism='SCRAM-SHA-1'> (gloox never sees them, so it
//   starts no exchange of its own);
// - the <challenge>: the server-first-message, read and checked; the proof
//   goes out in the receive that completes it;
// - the <success>: its server signature verified, then left to gloox, which
//   marks the stream authenticated and restarts it (it never began an
//   exchange, so it has nothing of its own to verify);
// - a <failure> is left to gloox: a refused login, as with every mechanism.
// Anything else in the exchange that is out of turn (a challenge it did not
// ask for, a second one, a success before the proof or with a wrong
// signature) is refused: the connection ends like a lost link.
#pragma once

#include "sasl/scram_key_cache.hpp"
#include "sasl/scram_sha1.hpp"

#include <gloox/client.h>
#include <gloox/tag.h>

#include <optional>

namespace Velta_Client::detail::xmpp {

class Scram_Login {
public:
    // cache: the manager's keys; null for a client without credentials.
    explicit Scram_Login(sasl::Scram_Key_Cache* cache) : cache_(cache) {}

    enum class Verdict {
        not_mine,  // for gloox
        taken,     // handled here; gloox must not see it
        refused    // the connection must end
    };

    // may_authenticate: the features come at the point where gloox would log
    // in (credentials, not authenticated, nothing to negotiate first).
    Verdict on_element(gloox::Client& client, const gloox::Tag& tag, bool may_authenticate);

    // While the proof is being computed.
    bool computing() const { return stage_ == Stage::computing; }
    // Advances the proof until deadline_ns of this thread's processor time;
    // sends it once complete.
    void advance(gloox::Client& client, long deadline_ns);

private:
    enum class Stage { none, awaiting_challenge, computing, awaiting_outcome, over };

    Verdict on_challenge(gloox::Client& client, const gloox::Tag& challenge);
    void send_response(gloox::Client& client);

    sasl::Scram_Key_Cache* cache_;
    std::optional<sasl::Scram_Sha1> scram_;
    Stage stage_ = Stage::none;
};

}  // namespace Velta_Client::detail::xmpp
