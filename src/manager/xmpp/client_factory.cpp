#include "manager/xmpp/client_factory.hpp"

#include "manager/xmpp/error_extension.hpp"
#include "manager/xmpp/raw_element.hpp"
#include "manager/xmpp/refusing_tls.hpp"
#include "manager/xmpp/socket_connection.hpp"

namespace Velta_Client::detail::xmpp {

namespace {

Connection_Maker connection_maker = nullptr;

void configure(gloox::Client& client) {
    // gloox takes ownership of all three.
    client.setConnectionImpl(connection_maker ? connection_maker(&client) : new Socket_Connection(&client));
    client.setEncryptionImpl(new Refusing_Tls(&client));
    // Without credentials gloox would log in anonymously where a server
    // offers it; registration needs the unauthenticated stream.
    client.setSASLMechanisms(gloox::SaslMechAll & ~gloox::SaslMechAnonymous);
    // Replaces gloox's error extension (same type), which leaks.
    client.registerStanzaExtension(new Error_Extension());
}

}  // namespace

void set_connection_maker(Connection_Maker maker) { connection_maker = maker; }

void build_registration_client(std::optional<gloox::Client>& slot) {
    slot.emplace("localhost");
    configure(*slot);
}

void build_login_client(std::optional<gloox::Client>& slot, const gloox::JID& jid, const std::string& password) {
    slot.emplace(jid, password, -1);
    configure(*slot);
    // One extension that keeps each message's element: the receive path
    // reads the amp rules and delay stamps from it (gloox re-runs the filter
    // of every registered extension on every stanza, so fewer is faster).
    slot->registerStanzaExtension(new Raw_Element());
}

std::optional<Endpoint> reached_endpoint(gloox::Client& client) {
    if (auto* socket = dynamic_cast<Socket_Connection*>(client.connectionImpl())) return socket->reached();
    return std::nullopt;
}

void prefer_endpoint(gloox::Client& client, const Endpoint& endpoint) {
    if (auto* socket = dynamic_cast<Socket_Connection*>(client.connectionImpl())) socket->prefer(endpoint);
}

}  // namespace Velta_Client::detail::xmpp
