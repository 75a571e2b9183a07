// SPDX-License-Identifier: GPL-3.0-or-later
// Building a gloox client the way the manager needs it: the library's own
// socket and TLS objects, the raw-message extension, no anonymous login.
#pragma once

#include "manager/xmpp/checked_client.hpp"
#include "manager/xmpp/endpoint.hpp"

#include <gloox/jid.h>

#include <optional>
#include <string>

namespace gloox {
class ConnectionBase;
class ConnectionDataHandler;
}  // namespace gloox

namespace Velta_Client::detail::xmpp {

// A client for domain "localhost" without credentials, for registration.
void build_registration_client(std::optional<Checked_Client>& slot);

// A client that logs in as jid with password (port -1: 5222), keeping its
// SCRAM-SHA-1 keys in scram_keys (which must outlive it).
void build_login_client(std::optional<Checked_Client>& slot, const gloox::JID& jid, const std::string& password,
                        sasl::Scram_Key_Cache& scram_keys);

// Called once logged in: removes the stanza extensions gloox registered for
// itself that the library never reads, each of which costs a filter pass per
// received stanza. Ping requests keep their answer.
void drop_unread_extensions(gloox::Client& client);

// Where the client's last connection led, when it went through the
// library's socket; and the endpoint a new client tries before any lookup.
std::optional<Endpoint> reached_endpoint(gloox::Client& client);
void prefer_endpoint(gloox::Client& client, const Endpoint& endpoint);

// An in-process driver (the fuzzers) may replace the socket of every client
// made from now on; null restores the socket. Not exported from the shared
// library.
using Connection_Maker = gloox::ConnectionBase* (*)(gloox::ConnectionDataHandler* handler);
void set_connection_maker(Connection_Maker maker);

// Removes the manager's listeners so that tearing the client down (gloox
// closes an open stream) reports nothing back.
template <class Listener>
void detach(Checked_Client& client, Listener& listener) {
    client.removeConnectionListener(&listener);
    client.read_messages_with(nullptr);
}

}  // namespace Velta_Client::detail::xmpp
