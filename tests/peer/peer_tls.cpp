// SPDX-License-Identifier: GPL-3.0-or-later
#include "peer/peer_tls.hpp"

#include <gnutls/gnutls.h>
#include <gnutls/x509.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <stdexcept>
#include <string>

namespace velta_test {

namespace {

void check(int rc, const char* what) {
    if (rc < 0) throw std::runtime_error(std::string("peer TLS: ") + what + ": " + gnutls_strerror(rc));
}

// An ECDSA key and a self-signed certificate for "localhost", made on first
// use.  GnuTLS allows one set of credentials to serve many sessions at once.
class Credentials {
public:
    Credentials() {
        gnutls_x509_privkey_t key = nullptr;
        gnutls_x509_crt_t crt = nullptr;
        check(gnutls_x509_privkey_init(&key), "key init");
        check(gnutls_x509_crt_init(&crt), "certificate init");
        try {
            check(gnutls_x509_privkey_generate(key, GNUTLS_PK_ECDSA,
                                               GNUTLS_CURVE_TO_BITS(GNUTLS_ECC_CURVE_SECP256R1), 0),
                  "key generation");
            check(gnutls_x509_crt_set_version(crt, 3), "version");
            const unsigned char serial[] = {0x01};
            check(gnutls_x509_crt_set_serial(crt, serial, sizeof serial), "serial");
            const std::time_t now = std::time(nullptr);
            check(gnutls_x509_crt_set_activation_time(crt, now - 3600), "activation");
            check(gnutls_x509_crt_set_expiration_time(crt, now + 7 * 86400), "expiration");
            const char name[] = "localhost";
            check(gnutls_x509_crt_set_dn_by_oid(crt, GNUTLS_OID_X520_COMMON_NAME, 0, name, sizeof name - 1),
                  "subject");
            check(gnutls_x509_crt_set_subject_alt_name(crt, GNUTLS_SAN_DNSNAME, name, sizeof name - 1,
                                                       GNUTLS_FSAN_SET),
                  "alt name");
            check(gnutls_x509_crt_set_key(crt, key), "public key");
            check(gnutls_x509_crt_sign2(crt, crt, key, GNUTLS_DIG_SHA256, 0), "signature");
            check(gnutls_certificate_allocate_credentials(&credentials_), "credentials");
            check(gnutls_certificate_set_x509_key(credentials_, &crt, 1, key), "key pair");
        } catch (...) {
            gnutls_x509_crt_deinit(crt);
            gnutls_x509_privkey_deinit(key);
            if (credentials_) gnutls_certificate_free_credentials(credentials_);
            throw;
        }
        gnutls_x509_crt_deinit(crt);
        gnutls_x509_privkey_deinit(key);
    }
    ~Credentials() { gnutls_certificate_free_credentials(credentials_); }
    Credentials(const Credentials&) = delete;
    Credentials& operator=(const Credentials&) = delete;

    gnutls_certificate_credentials_t get() const { return credentials_; }

private:
    gnutls_certificate_credentials_t credentials_ = nullptr;
};

const Credentials& credentials() {
    static const Credentials instance;
    return instance;
}

gnutls_session_t as_session(void* session) { return static_cast<gnutls_session_t>(session); }

}  // namespace

Tls_Server_Session::Tls_Server_Session() {
    gnutls_session_t session = nullptr;
    check(gnutls_init(&session, GNUTLS_SERVER | GNUTLS_NONBLOCK | GNUTLS_NO_TICKETS), "session");
    session_ = session;
    try {
        check(gnutls_set_default_priority(session), "priority");
        check(gnutls_credentials_set(session, GNUTLS_CRD_CERTIFICATE, credentials().get()), "credentials");
    } catch (...) {
        gnutls_deinit(session);
        throw;
    }
    gnutls_certificate_server_set_request(session, GNUTLS_CERT_IGNORE);
    gnutls_handshake_set_timeout(session, 0);
    gnutls_transport_set_ptr(session, this);
    gnutls_transport_set_push_function(session, &Tls_Server_Session::push);
    gnutls_transport_set_pull_function(session, &Tls_Server_Session::pull);
}

Tls_Server_Session::~Tls_Server_Session() { gnutls_deinit(as_session(session_)); }

ssize_t Tls_Server_Session::push(void* self, const void* data, std::size_t size) {
    auto* tls = static_cast<Tls_Server_Session*>(self);
    tls->out_.append(static_cast<const char*>(data), size);
    return static_cast<ssize_t>(size);
}

ssize_t Tls_Server_Session::pull(void* self, void* data, std::size_t size) {
    auto* tls = static_cast<Tls_Server_Session*>(self);
    const std::size_t available = tls->in_.size() - tls->in_pos_;
    if (available == 0) {
        gnutls_transport_set_errno(as_session(tls->session_), EAGAIN);
        return -1;
    }
    const std::size_t n = available < size ? available : size;
    std::memcpy(data, tls->in_.data() + tls->in_pos_, n);
    tls->in_pos_ += n;
    if (tls->in_pos_ == tls->in_.size()) {
        tls->in_.clear();
        tls->in_pos_ = 0;
    }
    return static_cast<ssize_t>(n);
}

void Tls_Server_Session::feed(const char* data, std::size_t size) { in_.append(data, size); }

Tls_Server_Session::Step Tls_Server_Session::handshake() {
    if (done_) return Step::done;
    if (closed_) return Step::failed;
    const int rc = gnutls_handshake(as_session(session_));
    if (rc == GNUTLS_E_SUCCESS) {
        done_ = true;
        return Step::done;
    }
    if (rc == GNUTLS_E_AGAIN || rc == GNUTLS_E_INTERRUPTED || !gnutls_error_is_fatal(rc)) return Step::pending;
    closed_ = true;
    return Step::failed;
}

bool Tls_Server_Session::read(std::string& plaintext) {
    char buffer[16384];
    while (!closed_) {
        const ssize_t n = gnutls_record_recv(as_session(session_), buffer, sizeof buffer);
        if (n > 0) {
            plaintext.append(buffer, static_cast<std::size_t>(n));
        } else if (n == GNUTLS_E_AGAIN || n == GNUTLS_E_INTERRUPTED) {
            break;
        } else if (n == 0 || gnutls_error_is_fatal(static_cast<int>(n))) {
            closed_ = true;
        }
    }
    return !closed_;
}

void Tls_Server_Session::write(const std::string& plaintext) {
    std::size_t sent = 0;
    while (!closed_ && sent < plaintext.size()) {
        // push never refuses, so a record is either written whole or fails.
        const ssize_t n =
            gnutls_record_send(as_session(session_), plaintext.data() + sent, plaintext.size() - sent);
        if (n > 0)
            sent += static_cast<std::size_t>(n);
        else
            closed_ = true;
    }
}

std::string Tls_Server_Session::take_output() {
    std::string out;
    out.swap(out_);
    return out;
}

}  // namespace velta_test
