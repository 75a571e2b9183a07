// SPDX-License-Identifier: GPL-3.0-or-later
#include "manager/xmpp/endpoint.hpp"

#include <algorithm>
#include <cctype>

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>

namespace Velta_Client::detail::xmpp {

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
        const auto byte = static_cast<unsigned char>(c);
        if (!std::isalnum(byte) && c != '-' && c != '_') return false;
        if (++label > 63) return false;
    }
    return label > 0;
}

bool is_local_name(const std::string& server) {
    std::string name = server;
    if (!name.empty() && name.back() == '.') name.pop_back();
    std::transform(name.begin(), name.end(), name.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    constexpr const char* local = "localhost";
    constexpr std::size_t length = 9;
    if (name == local) return true;
    return name.size() > length + 1 && name.compare(name.size() - length - 1, length + 1, ".localhost") == 0;
}

}  // namespace Velta_Client::detail::xmpp
