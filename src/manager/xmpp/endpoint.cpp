// SPDX-License-Identifier: GPL-3.0-or-later
#include "manager/xmpp/endpoint.hpp"

#include <algorithm>

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>

namespace Velta_Client::detail::xmpp {

namespace {

// Host names are ASCII. <cctype> follows the host program's locale: in a
// Latin-1 one isalnum takes 0xE9, and in a Turkish one tolower makes 'I' a
// dotless i, so "LOCALHOST" would leave the machine.
bool is_ascii_alnum(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

char ascii_lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

}  // namespace

std::string endpoint_text(const Endpoint& endpoint) {
    char host[NI_MAXHOST] = "?";
    char port[NI_MAXSERV] = "?";
    ::getnameinfo(reinterpret_cast<const sockaddr*>(&endpoint.address), endpoint.length, host, sizeof host, port,
                  sizeof port, NI_NUMERICHOST | NI_NUMERICSERV);
    return endpoint.address.ss_family == AF_INET6 ? "[" + std::string(host) + "]:" + port
                                                  : std::string(host) + ":" + port;
}

std::optional<Endpoint> ip_literal(const std::string& server, int port) {
    Endpoint endpoint;
    const auto network_port = htons(static_cast<std::uint16_t>(port));

    auto* v4 = reinterpret_cast<sockaddr_in*>(&endpoint.address);
    if (::inet_pton(AF_INET, server.c_str(), &v4->sin_addr) == 1) {
        v4->sin_family = AF_INET;
        v4->sin_port = network_port;
        endpoint.length = sizeof(sockaddr_in);
        return endpoint;
    }

    std::string text = server;
    if (text.size() > 2 && text.front() == '[' && text.back() == ']') text = text.substr(1, text.size() - 2);
    auto* v6 = reinterpret_cast<sockaddr_in6*>(&endpoint.address);
    if (::inet_pton(AF_INET6, text.c_str(), &v6->sin6_addr) == 1) {
        v6->sin6_family = AF_INET6;
        v6->sin6_port = network_port;
        endpoint.length = sizeof(sockaddr_in6);
        return endpoint;
    }
    return std::nullopt;
}

bool is_host_name(const std::string& server) {
    std::string name = server;
    if (!name.empty() && name.back() == '.') name.pop_back();
    if (name.empty() || name.size() > 253) return false;

    std::size_t label = 0;
    for (const char c : name) {
        if (c == '.') {
            if (label == 0) return false;
            label = 0;
            continue;
        }
        if (!is_ascii_alnum(c) && c != '-' && c != '_') return false;
        if (++label > 63) return false;
    }
    return label > 0;
}

bool is_local_name(const std::string& server) {
    std::string name = server;
    if (!name.empty() && name.back() == '.') name.pop_back();
    std::transform(name.begin(), name.end(), name.begin(), ascii_lower);
    constexpr const char* local = "localhost";
    constexpr std::size_t length = 9;
    if (name == local) return true;
    return name.size() > length + 1 && name.compare(name.size() - length - 1, length + 1, ".localhost") == 0;
}

}  // namespace Velta_Client::detail::xmpp
