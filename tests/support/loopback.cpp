// SPDX-License-Identifier: GPL-3.0-or-later
#include "support/loopback.hpp"

#include <arpa/inet.h>
#include <dirent.h>
#include <poll.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <stdexcept>

namespace velta_test {

std::string refusing_loopback_address() {
    // From a place the process id picks (tests running side by side start
    // apart), round the whole of 127.0.0.2-253: a test may hold several.
    const unsigned first = 200 + static_cast<unsigned>(::getpid() % 50);
    for (unsigned k = 0; k < 252; ++k) {
        const unsigned n = 2 + (first - 2 + k) % 252;
        const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(5222);
        address.sin_addr.s_addr = htonl((127u << 24) | n);
        const bool free = ::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
        ::close(fd);
        if (free) return "127.0.0." + std::to_string(n);
    }
    throw std::runtime_error("no unused loopback address");
}

Full_Backlog::Full_Backlog() : Full_Backlog(refusing_loopback_address(), 5222) {}

Full_Backlog::Full_Backlog(const std::string& address, int port) : address_(address) {
    sockaddr_storage at{};
    socklen_t length = 0;
    auto* v4 = reinterpret_cast<sockaddr_in*>(&at);
    auto* v6 = reinterpret_cast<sockaddr_in6*>(&at);
    if (::inet_pton(AF_INET, address.c_str(), &v4->sin_addr) == 1) {
        v4->sin_family = AF_INET;
        v4->sin_port = htons(static_cast<std::uint16_t>(port));
        length = sizeof *v4;
    } else if (::inet_pton(AF_INET6, address.c_str(), &v6->sin6_addr) == 1) {
        v6->sin6_family = AF_INET6;
        v6->sin6_port = htons(static_cast<std::uint16_t>(port));
        length = sizeof *v6;
    } else {
        throw std::runtime_error("Full_Backlog: not an address: " + address);
    }
    const auto* where = reinterpret_cast<const sockaddr*>(&at);
    listener_ = ::socket(at.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int one = 1;
    ::setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (::bind(listener_, where, length) != 0 || ::listen(listener_, 0) != 0) {
        ::close(listener_);
        throw std::runtime_error("Full_Backlog: cannot listen on " + address);
    }
    // Backlog 0 holds one connection: once the first filler is in, the
    // second filler's SYN is the first to be dropped.
    for (int i = 0; i < 2; ++i) {
        const int fd = ::socket(at.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        ::connect(fd, where, length);
        fillers_.push_back(fd);
        if (i == 0) {
            pollfd filled{fd, POLLOUT, 0};
            ::poll(&filled, 1, 5000);
        }
    }
}

Full_Backlog::~Full_Backlog() {
    for (const int fd : fillers_) ::close(fd);
    ::close(listener_);
}

int open_descriptors() {
    int count = 0;
    if (DIR* directory = ::opendir("/proc/self/fd")) {
        while (const dirent* entry = ::readdir(directory))
            if (entry->d_name[0] != '.') ++count;
        ::closedir(directory);
        --count;  // the directory's own
    }
    return count;
}

}  // namespace velta_test
