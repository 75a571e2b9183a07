// SPDX-License-Identifier: GPL-3.0-or-later
// The encryption object of every client: its handshake always fails. The
// library refuses every server certificate anyway, and with this object gloox
// never builds its GnuTLS session (tens of milliseconds per connect spent
// loading the system CA list, and megabytes left behind per client). A server
// that offers STARTTLS still ends the connection with ConnTlsFailed.
#pragma once

#include <gloox/tlsbase.h>

namespace Velta_Client::detail::xmpp {

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

}  // namespace Velta_Client::detail::xmpp
