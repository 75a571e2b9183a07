// SPDX-License-Identifier: GPL-3.0-or-later
// The client side of SCRAM-SHA-1 (RFC 5802) without channel binding, as a
// state machine that never spends more than a slice of processor time in one
// call. Its one costly part, the salted password (PBKDF2-HMAC-SHA1 over the
// server's iteration count), advances by slices: each advance() runs
// iterations until the thread's processor clock passes the deadline it is
// given, so a count of 100,000 takes some twenty calls of 0.5 ms instead of
// one long one. The keys it derives go into the owner's Scram_Key_Cache; a
// later exchange with the same password, salt and count takes them from there
// and is ready at once.
//
//   Scram_Sha1 scram(user, cache);
//   send(scram.client_first());
//   if (!scram.take_server_first(message, password)) refuse;
//   while (!scram.advance(thread_cpu_ns() + slice_ns)) wait for the next turn;
//   send(scram.client_final());
//   if (!scram.verify_server_final(message)) refuse;
//
// Messages are the decoded SCRAM texts; base64 for the transport is the
// caller's. No gloox here: nettle for SHA-1, HMAC and base64, libidn for
// SASLprep.
#pragma once

#include "sasl/scram_key_cache.hpp"

#include <nettle/hmac.h>

#include <string>

namespace Velta_Client::detail::sasl {

// The highest iteration count accepted from a server: XEP-0438's count for
// higher security. The slices keep every call short whatever the count; the
// time to log in grows with it instead.
constexpr long max_scram_iterations = 100000;

// Processor time one advance() may spend, in nanoseconds.
constexpr long scram_slice_ns = 500 * 1000;

// This thread's processor clock (CLOCK_THREAD_CPUTIME_ID), in nanoseconds.
long thread_cpu_ns();

class Scram_Sha1 {
public:
    // user: the authentication identity (UTF-8). nonce: the client nonce,
    // empty for 24 bytes of the kernel's randomness (a test gives its own).
    Scram_Sha1(const std::string& user, Scram_Key_Cache& cache, const std::string& nonce = {});
    ~Scram_Sha1();
    Scram_Sha1(const Scram_Sha1&) = delete;
    Scram_Sha1& operator=(const Scram_Sha1&) = delete;

    // "n,,n=user,r=nonce".
    std::string client_first() const { return "n,," + client_first_bare_; }

    // Reads the server-first-message "r=nonce,s=salt,i=count[,ext]" once.
    // Refused (false): a second call, a missing or misplaced attribute, a
    // mandatory extension ("m="), a nonce that does not extend the client's,
    // a salt that is empty or not base64, a count outside
    // 1..max_scram_iterations. The password is used here and not kept.
    bool take_server_first(const std::string& message, const std::string& password);

    // Runs iterations until the count is done or thread_cpu_ns() reaches
    // deadline_ns (at least one batch, so that every call makes progress).
    // True once the proof is ready. Nothing to do before the server-first.
    bool advance(long deadline_ns);
    bool ready() const { return stage_ == Stage::ready; }

    // "c=biws,r=nonce,p=proof"; only once ready.
    const std::string& client_final() const { return client_final_; }

    // Whether the server-final-message "v=signature" proves the server knew
    // the keys; "e=..." and anything else does not.
    bool verify_server_final(const std::string& message) const;

    // Calls of advance() that ran iterations (the slices this exchange took).
    int slices() const { return slices_; }

private:
    enum class Stage { awaiting_server_first, computing, ready, refused };

    void derive_from_salted_password();
    void prove(const Scram_Keys& keys);

    Scram_Key_Cache& cache_;
    std::string client_nonce_;
    std::string client_first_bare_;
    std::string auth_message_;
    std::string salt_;
    long count_ = 0;
    Scram_Key_Cache::Password_Tag password_tag_{};
    Stage stage_ = Stage::awaiting_server_first;

    // PBKDF2 state between slices: the HMAC keyed with the password, the last
    // block U_i and the running XOR of all blocks, and what is left to do.
    hmac_sha1_ctx hmac_{};
    unsigned char block_[sha1_size] = {};
    unsigned char salted_password_[sha1_size] = {};
    long remaining_ = 0;
    int slices_ = 0;

    std::string client_final_;
    unsigned char server_signature_[sha1_size] = {};
};

}  // namespace Velta_Client::detail::sasl
