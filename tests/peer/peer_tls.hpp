// SPDX-License-Identifier: GPL-3.0-or-later
// Server side of STARTTLS for the scripted peer: a GnuTLS session that works
// on byte buffers, which the peer fills from and drains to its socket, so
// that the session never touches the socket or blocks.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <string>

namespace velta_test {

class Tls_Server_Session {
public:
    enum class Step { pending, done, failed };

    // Uses a self-signed certificate for "localhost", made once per process.
    Tls_Server_Session();
    ~Tls_Server_Session();
    Tls_Server_Session(const Tls_Server_Session&) = delete;
    Tls_Server_Session& operator=(const Tls_Server_Session&) = delete;

    // Ciphertext received from the client.
    void feed(const char* data, std::size_t size);
    // Advances the handshake with what has been fed so far.
    Step handshake();
    bool handshake_done() const { return done_; }
    // Appends the plaintext that the fed records hold.  False once the
    // client has closed the TLS stream or the session failed.
    bool read(std::string& plaintext);
    // Encrypts plaintext into the output.
    void write(const std::string& plaintext);
    // Ciphertext to send to the client; clears the output.
    std::string take_output();

private:
    static ssize_t push(void* self, const void* data, std::size_t size);
    static ssize_t pull(void* self, void* data, std::size_t size);

    void* session_ = nullptr;  // gnutls_session_t, kept out of this header
    std::string in_;
    std::size_t in_pos_ = 0;
    std::string out_;
    bool done_ = false;
    bool closed_ = false;
};

}  // namespace velta_test
