// SPDX-License-Identifier: GPL-3.0-or-later
#include "manager/xmpp/client_factory.hpp"

#include "manager/constants.hpp"
#include "manager/xmpp/error_extension.hpp"
#include "manager/xmpp/private_rand.hpp"
#include "manager/xmpp/refusing_tls.hpp"
#include "manager/xmpp/socket_connection.hpp"

namespace Velta_Client::detail::xmpp {

namespace {

Connection_Maker connection_maker = nullptr;

void configure(Checked_Client& client) {
    // gloox takes ownership of all three.
    client.setConnectionImpl(connection_maker ? connection_maker(&client) : new Socket_Connection(&client));
    client.setEncryptionImpl(new Refusing_Tls(&client));
    // Without credentials gloox would log in anonymously where a server
    // offers it; registration needs the unauthenticated stream. DIGEST-MD5
    // is obsolete (RFC 6331), and gloox's parser of its challenge throws.
    // SCRAM-SHA-1 is the client's own (Scram_Login): gloox would compute its
    // proof inside one call; and without channel binding there is no -PLUS.
    client.setSASLMechanisms(gloox::SaslMechAll & ~gloox::SaslMechAnonymous & ~gloox::SaslMechDigestMd5 &
                             ~gloox::SaslMechScramSha1 & ~gloox::SaslMechScramSha1Plus);
    // Compressed input would pass the socket's guards and bounds unread while
    // gloox inflates it behind them: a few kilobytes could unpack into
    // anything. A server's offer is ignored and the stream stays plain.
    client.setCompression(false);
    // Replaces gloox's error extension (same type), which leaks.
    client.registerStanzaExtension(new Error_Extension());
}

}  // namespace

void set_connection_maker(Connection_Maker maker) { connection_maker = maker; }

void build_registration_client(std::optional<Checked_Client>& slot) {
    const Private_Rand rand_scope;  // gloox calls srand(time(0)) here
    slot.emplace(xmpp_domain);
    Private_Rand::reseed();
    configure(*slot);
}

void build_login_client(std::optional<Checked_Client>& slot, const gloox::JID& jid, const std::string& password,
                        sasl::Scram_Key_Cache& scram_keys) {
    const Private_Rand rand_scope;
    slot.emplace(jid, password, -1, scram_keys);
    Private_Rand::reseed();
    configure(*slot);
}

void drop_unread_extensions(gloox::Client& client) {
    // A gloox client registers nine stanza extensions of its own, and gloox
    // matches the filter of every one against every stanza it receives. Once
    // logged in, the library reads only errors (its own extension), the raw
    // message and ping requests, which a server may send to see whether the
    // client is alive (gloox answers them). Binding, capabilities, software
    // version, service discovery, private storage and the roster are never
    // read: requests for them get gloox's error answer.
    for (const int unread : {gloox::ExtCaps, gloox::ExtResourceBind, gloox::ExtVersion, gloox::ExtDiscoInfo,
                             gloox::ExtDiscoItems, gloox::ExtPrivateXML, gloox::ExtRoster})
        client.removeStanzaExtension(unread);
}

std::optional<Endpoint> reached_endpoint(gloox::Client& client) {
    if (auto* socket = dynamic_cast<Socket_Connection*>(client.connectionImpl())) return socket->reached();
    return std::nullopt;
}

void prefer_endpoint(gloox::Client& client, const Endpoint& endpoint) {
    if (auto* socket = dynamic_cast<Socket_Connection*>(client.connectionImpl())) socket->prefer(endpoint);
}

}  // namespace Velta_Client::detail::xmpp
