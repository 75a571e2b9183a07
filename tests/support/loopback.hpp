// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <string>
#include <vector>

namespace velta_test {

// A loopback address on which nothing listens on port 5222, so a connection
// to it is refused at once. It tries the addresses with sockets: call it from
// a test, never to initialise a value at namespace scope, because the build
// runs each test program to list its tests, and a server on the build machine
// that holds port 5222 on every address makes it throw.
std::string refusing_loopback_address();

// A listener whose accept queue is full, so that the kernel drops every new
// SYN: an endpoint that is silent, as a powered-off or firewalled host is.
// On a free loopback address (refusing_loopback_address()) at port 5222, or
// at a given address ("127.0.0.N" or "::1") and port.
class Full_Backlog {
public:
    Full_Backlog();
    Full_Backlog(const std::string& address, int port);
    ~Full_Backlog();
    Full_Backlog(const Full_Backlog&) = delete;
    Full_Backlog& operator=(const Full_Backlog&) = delete;

    const std::string& address() const { return address_; }

private:
    std::string address_;
    int listener_ = -1;
    std::vector<int> fillers_;
};

// The descriptors this process has open (/proc/self/fd).
int open_descriptors();

}  // namespace velta_test
