// SPDX-License-Identifier: GPL-3.0-or-later
// The account remover's encryption object, as the library's: its handshake
// always fails, so gloox never builds its GnuTLS session (which leaks its
// credentials) and a server that offers STARTTLS ends the connection.
// The check's own copy: tools use only the public header and gloox.
#pragma once

#include <gloox/tlsbase.h>

#include <string>

namespace velta_check {

class Refusing_Tls final : public gloox::TLSBase {
public:
    explicit Refusing_Tls(gloox::TLSHandler* handler) : gloox::TLSBase(handler, std::string()) {}

    bool init(const std::string&, const std::string&, const gloox::StringList&) override { return true; }
    bool encrypt(const std::string&) override { return false; }
    int decrypt(const std::string&) override { return 0; }
    void cleanup() override {}
    bool handshake() override {
        m_handler->handleHandshakeResult(this, false, m_certInfo);
        return false;
    }
    void setCACerts(const gloox::StringList&) override {}
    void setClientCert(const std::string&, const std::string&) override {}
};

}  // namespace velta_check
