// SPDX-License-Identifier: GPL-3.0-or-later
#include "manager/xmpp/hosts_file.hpp"

#include <cerrno>
#include <cstring>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <strings.h>
#include <unistd.h>

namespace Velta_Client::detail::xmpp {

namespace {

std::string without_trailing_dot(std::string name) {
    if (!name.empty() && name.back() == '.') name.pop_back();
    return name;
}

bool is_space(char c) { return c == ' ' || c == '\t' || c == '\r'; }

}  // namespace

Hosts_Scan::Hosts_Scan(const std::vector<std::string>& names, const char* path) : found_(names.size()) {
    for (const std::string& name : names) names_.push_back(without_trailing_dot(name));
    fd_ = ::open(path, O_RDONLY | O_CLOEXEC);
}

Hosts_Scan::~Hosts_Scan() {
    if (fd_ >= 0) ::close(fd_);
}

bool Hosts_Scan::step() {
    if (fd_ < 0) return true;
    std::string piece = std::move(partial_);
    partial_.clear();
    const std::size_t kept = piece.size();
    piece.resize(kept + piece_bytes);
    ssize_t got;
    do {
        got = ::read(fd_, &piece[kept], piece_bytes);
    } while (got < 0 && errno == EINTR);
    // A regular file reads short only at its end.
    const bool at_end = got < static_cast<ssize_t>(piece_bytes);
    piece.resize(kept + (got > 0 ? static_cast<std::size_t>(got) : 0));

    const char* line = piece.data();
    const char* const end = piece.data() + piece.size();
    while (line < end) {
        const char* newline = static_cast<const char*>(std::memchr(line, '\n', static_cast<std::size_t>(end - line)));
        if (!newline) {
            // The last line's end is in the next piece; a line longer than
            // a piece is no line of a hosts file and is dropped.
            if (!at_end && static_cast<std::size_t>(end - line) < piece_bytes) partial_.assign(line, end);
            if (at_end) read_line(line, end);
            break;
        }
        read_line(line, newline);
        line = newline + 1;
    }
    if (at_end) {
        ::close(fd_);
        fd_ = -1;
    }
    return at_end;
}

// "address name [alias...] [# comment]"
void Hosts_Scan::read_line(const char* begin, const char* end) {
    if (const void* comment = std::memchr(begin, '#', static_cast<std::size_t>(end - begin)))
        end = static_cast<const char*>(comment);
    const char* at = begin;
    const auto token = [&](const char*& token_begin) {
        while (at < end && is_space(*at)) ++at;
        token_begin = at;
        while (at < end && !is_space(*at)) ++at;
        return static_cast<std::size_t>(at - token_begin);
    };
    const char* address_text;
    const std::size_t address_length = token(address_text);
    if (address_length == 0 || address_length >= INET6_ADDRSTRLEN) return;

    Endpoint endpoint;
    bool parsed = false;
    for (const char* name; const std::size_t length = token(name);) {
        const std::size_t compared = name[length - 1] == '.' ? length - 1 : length;
        for (std::size_t i = 0; i < names_.size(); ++i) {
            if (names_[i].size() != compared || ::strncasecmp(names_[i].data(), name, compared) != 0) continue;
            if (!parsed) {
                const std::string address(address_text, address_length);
                auto* v4 = reinterpret_cast<sockaddr_in*>(&endpoint.address);
                auto* v6 = reinterpret_cast<sockaddr_in6*>(&endpoint.address);
                if (::inet_pton(AF_INET, address.c_str(), &v4->sin_addr) == 1) {
                    v4->sin_family = AF_INET;
                    endpoint.length = sizeof *v4;
                } else if (::inet_pton(AF_INET6, address.c_str(), &v6->sin6_addr) == 1) {
                    v6->sin6_family = AF_INET6;
                    endpoint.length = sizeof *v6;
                } else {
                    return;
                }
                parsed = true;
            }
            auto& kept = endpoint.address.ss_family == AF_INET ? found_[i].ipv4 : found_[i].ipv6;
            if (kept.size() < max_addresses) kept.push_back(endpoint);
        }
    }
}

}  // namespace Velta_Client::detail::xmpp
