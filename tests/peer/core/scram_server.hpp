// SPDX-License-Identifier: GPL-3.0-or-later
// The server side of SCRAM-SHA-1 (RFC 5802) for the in-memory server.
#pragma once

#include <optional>
#include <string>

namespace velta_test {

struct Scram_Exchange {
    std::string user;  // the "n=" of the client-first-message
    std::string client_first_bare;
    std::string server_first;
    std::string nonce;  // the combined nonce the client must echo
    std::string salt;   // raw bytes
    long iterations = 0;
};

// Reads "n,,n=user,r=client-nonce" and makes the server-first-message:
// nonce = server_nonce when given, else the client's nonce and a suffix.
// Nothing for a message that is not a client-first-message.
// salt: the raw salt when given, else a fresh one.
std::optional<Scram_Exchange> scram_begin(const std::string& client_first, long iterations,
                                          const std::optional<std::string>& server_nonce,
                                          const std::optional<std::string>& salt = std::nullopt);

// Checks the client-final-message against password; the server-final-message
// ("v=...") when the proof holds.
std::optional<std::string> scram_finish(const Scram_Exchange& exchange, const std::string& client_final,
                                        const std::string& password);

}  // namespace velta_test
