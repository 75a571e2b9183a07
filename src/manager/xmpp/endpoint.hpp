// SPDX-License-Identifier: GPL-3.0-or-later
// A TCP endpoint (address and port) to connect to, and the forms a server
// string may take.
#pragma once

#include <velta_client/velta_client.hpp>

#include <optional>
#include <string>

#include <sys/socket.h>

namespace Velta_Client::detail::xmpp {

// The client service's port when the server publishes no SRV record.
constexpr int default_client_port = 5222;

struct Endpoint {
    sockaddr_storage address{};
    socklen_t length = 0;
};

// "192.0.2.1:5222", "[2001:db8::1]:5222": how texts for the host name it.
std::string endpoint_text(const Endpoint& endpoint);

// Why a connection ended, as the socket saw it: recorded where the socket
// reports the loss to gloox, read by the manager when gloox passes it on.
struct Link_End {
    End_Cause cause = END_NONE;
    std::string detail;  // in the words of velta_client/end_words.hpp
};

// "192.0.2.1", "2001:db8::1" or "[2001:db8::1]": the endpoint on `port`.
// Nothing for anything else.
std::optional<Endpoint> ip_literal(const std::string& server, int port);

// A name that DNS could hold: dot-separated labels of letters, digits, '-'
// and '_', each 1 to 63 characters, 253 in all, one trailing dot allowed.
bool is_host_name(const std::string& server);

// "localhost" and names under it are the machine itself (RFC 6761): they are
// never asked of DNS for a service record.
bool is_local_name(const std::string& server);

}  // namespace Velta_Client::detail::xmpp
