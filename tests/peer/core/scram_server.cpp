// SPDX-License-Identifier: GPL-3.0-or-later
#include "peer/core/scram_server.hpp"

#include <gloox/base64.h>

#include <gnutls/crypto.h>
#include <gnutls/gnutls.h>

#include <random>

namespace velta_test {

namespace {

constexpr std::size_t sha1_size = 20;

std::string hmac(const std::string& key, const std::string& data) {
    unsigned char out[sha1_size];
    gnutls_hmac_fast(GNUTLS_MAC_SHA1, key.data(), key.size(), data.data(), data.size(), out);
    return std::string(reinterpret_cast<char*>(out), sha1_size);
}

std::string sha1(const std::string& data) {
    unsigned char out[sha1_size];
    gnutls_hash_fast(GNUTLS_DIG_SHA1, data.data(), data.size(), out);
    return std::string(reinterpret_cast<char*>(out), sha1_size);
}

std::string salted_password(const std::string& password, const std::string& salt, long iterations) {
    unsigned char out[sha1_size];
    gnutls_datum_t key{reinterpret_cast<unsigned char*>(const_cast<char*>(password.data())),
                       static_cast<unsigned>(password.size())};
    gnutls_datum_t salt_datum{reinterpret_cast<unsigned char*>(const_cast<char*>(salt.data())),
                              static_cast<unsigned>(salt.size())};
    gnutls_pbkdf2(GNUTLS_MAC_SHA1, &key, &salt_datum, static_cast<unsigned>(iterations), out, sha1_size);
    return std::string(reinterpret_cast<char*>(out), sha1_size);
}

std::string xor_of(const std::string& a, const std::string& b) {
    std::string out(a);
    for (std::size_t i = 0; i < out.size() && i < b.size(); ++i) out[i] = static_cast<char>(out[i] ^ b[i]);
    return out;
}

// The value of "k=" in a comma-separated SCRAM message, or nothing.
std::optional<std::string> field(const std::string& message, char key) {
    std::size_t at = 0;
    while (at <= message.size()) {
        const std::size_t end = message.find(',', at);
        const std::string part = message.substr(at, end == std::string::npos ? std::string::npos : end - at);
        if (part.size() >= 2 && part[0] == key && part[1] == '=') return part.substr(2);
        if (end == std::string::npos) break;
        at = end + 1;
    }
    return std::nullopt;
}

}  // namespace

std::optional<Scram_Exchange> scram_begin(const std::string& client_first, long iterations,
                                          const std::optional<std::string>& server_nonce,
                                          const std::optional<std::string>& salt) {
    if (client_first.compare(0, 3, "n,,") != 0) return std::nullopt;
    Scram_Exchange exchange;
    exchange.client_first_bare = client_first.substr(3);
    const auto user = field(exchange.client_first_bare, 'n');
    const auto client_nonce = field(exchange.client_first_bare, 'r');
    if (!user || !client_nonce) return std::nullopt;
    exchange.user = *user;
    std::random_device random;
    exchange.nonce = server_nonce ? *server_nonce : *client_nonce + "peer" + std::to_string(random());
    exchange.salt = salt ? *salt : "salt-" + std::to_string(random());
    exchange.iterations = iterations;
    exchange.server_first = "r=" + exchange.nonce + ",s=" + gloox::Base64::encode64(exchange.salt) +
                            ",i=" + std::to_string(iterations);
    return exchange;
}

std::optional<std::string> scram_finish(const Scram_Exchange& exchange, const std::string& client_final,
                                        const std::string& password) {
    const std::size_t proof_at = client_final.rfind(",p=");
    const auto nonce = field(client_final, 'r');
    // A count below 1 proves nothing (and GnuTLS refuses it): never accepted.
    if (proof_at == std::string::npos || !nonce || *nonce != exchange.nonce || exchange.iterations < 1)
        return std::nullopt;
    const std::string without_proof = client_final.substr(0, proof_at);
    const std::string proof = gloox::Base64::decode64(client_final.substr(proof_at + 3));

    const std::string salted = salted_password(password, exchange.salt, exchange.iterations);
    const std::string client_key = hmac(salted, "Client Key");
    const std::string auth_message = exchange.client_first_bare + "," + exchange.server_first + "," + without_proof;
    const std::string client_signature = hmac(sha1(client_key), auth_message);
    if (sha1(xor_of(proof, client_signature)) != sha1(client_key)) return std::nullopt;
    return "v=" + gloox::Base64::encode64(hmac(hmac(salted, "Server Key"), auth_message));
}

}  // namespace velta_test
