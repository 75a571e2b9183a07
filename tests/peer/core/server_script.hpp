// SPDX-License-Identifier: GPL-3.0-or-later
// What the in-memory server is told to answer. Read at every answer: a
// change applies from the next element a client sends.
#pragma once

#include <deque>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace velta_test {

// How SASL authentication is decided.
enum class Auth_Mode {
    accounts,        // user and password must match the account table
    always_succeed,  // any credentials are accepted
    always_fail,     // every attempt gets <not-authorized/>
};

struct Server_Script {
    // By account_key() of the user name: password.
    std::map<std::string, std::string> accounts;
    // Children of <query xmlns='jabber:iq:register'> in the answer to a
    // registration fields request.
    std::string registration_fields;
    // Outcomes of the next registration sets, one consumed per set: "success",
    // "ignore", or a stanza error condition. With none queued: success and a
    // new account, "conflict" when the user exists, "not-acceptable" without
    // a user name.
    std::deque<std::string> registration_outcomes;
    // <starttls/> in the features of a stream that is not encrypted yet.
    bool offer_starttls = false;
    // zlib stream compression in the features of every stream; a client's
    // <compress/> is recorded and refused.
    bool offer_compression = false;
    // <session/> beside <bind/> in the features after authentication.
    bool offer_session = true;
    Auth_Mode auth_mode = Auth_Mode::accounts;
    // Offered in this order; PLAIN, ANONYMOUS and SCRAM-SHA-1 are served.
    std::vector<std::string> mechanisms{"PLAIN"};
    // Reflect messages addressed to the sender's own JID.
    bool echo = true;
    // Read everything, answer nothing.
    bool silent = false;
    // Sessions numbered this or later get no answer (0: none).
    int silent_from = 0;
    // Requests of these kinds are read and never answered: "register-get"
    // (the fields), "register-set" (the account creation), "auth", "bind".
    std::set<std::string> unanswered;
    long scram_iterations = 4096;
    // Replaces the nonce that extends the client's.
    std::optional<std::string> scram_nonce;
    // The salt of every exchange (raw bytes), as a server that stores it with
    // the account keeps it; unset: a fresh one each time.
    std::optional<std::string> scram_salt;
    // The server-final-message proves nothing: one bit of its signature flipped.
    bool scram_wrong_signature = false;
    // When not empty, every <auth/> of an offered mechanism gets
    // <challenge>this</challenge> and nothing more.
    std::string sasl_challenge;
    // When not empty, the children of <bind/> in the answer to resource
    // binding, instead of <jid>the client's own full JID</jid>.
    std::string bind_answer;
    // When not empty, resource binding is refused with this stanza error
    // condition.
    std::string bind_error;
};

// Account names compare as a server's nodeprep makes them for ASCII.
std::string account_key(const std::string& user);

}  // namespace velta_test
