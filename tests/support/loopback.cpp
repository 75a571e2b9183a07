// SPDX-License-Identifier: GPL-3.0-or-later
#include "support/loopback.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>

namespace velta_test {

std::string refusing_loopback_address() {
    for (unsigned n = 200 + static_cast<unsigned>(::getpid() % 50); n < 254; ++n) {
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

}  // namespace velta_test
