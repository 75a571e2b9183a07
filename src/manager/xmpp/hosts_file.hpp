// SPDX-License-Identifier: GPL-3.0-or-later
// The addresses /etc/hosts gives a few names, read without a long call: one
// piece of the file per step(), so that a file of hundreds of thousands of
// lines (ad-blocking lists) is spread over many polls instead of stalling
// one. Read afresh by each lookup, which then sees the file as it is now, and
// costs nothing when the file is small (one piece).
#pragma once

#include "manager/xmpp/endpoint.hpp"

#include <string>
#include <vector>

namespace Velta_Client::detail::xmpp {

class Hosts_Scan {
public:
    // What one step() reads at most.
    static constexpr std::size_t piece_bytes = 128 * 1024;
    // Addresses kept per name and family.
    static constexpr std::size_t max_addresses = 16;

    // Names compare without regard to ASCII case and a trailing dot.
    Hosts_Scan(const std::vector<std::string>& names, const char* path = "/etc/hosts");
    ~Hosts_Scan();
    Hosts_Scan(const Hosts_Scan&) = delete;
    Hosts_Scan& operator=(const Hosts_Scan&) = delete;

    // Reads the next piece; true once the whole file has been read (or it
    // cannot be read: then no name has an address there).
    bool step();
    bool done() const { return fd_ < 0; }

    // After done(): the addresses of names[index], port 0, the IPv4 and the
    // IPv6 ones each in the file's order.
    const std::vector<Endpoint>& ipv4(std::size_t index) const { return found_[index].ipv4; }
    const std::vector<Endpoint>& ipv6(std::size_t index) const { return found_[index].ipv6; }

private:
    struct Found {
        std::vector<Endpoint> ipv4;
        std::vector<Endpoint> ipv6;
    };
    void read_line(const char* begin, const char* end);

    std::vector<std::string> names_;
    std::vector<Found> found_;
    int fd_ = -1;
    // The part of a line the last piece ended in.
    std::string partial_;
};

}  // namespace Velta_Client::detail::xmpp
