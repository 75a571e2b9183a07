// SPDX-License-Identifier: GPL-3.0-or-later
// A small authoritative DNS server for the tests, on its own loopback
// address (127.0.0.N, UDP port 53), answering from a table of SRV, A and
// AAAA records: a name with no record at all is NXDOMAIN, a name with
// records of other types an empty answer. It can answer late or never. An
// answer past 512 bytes goes out over UDP truncated (TC set) and whole over
// TCP on the same address, as a real server's does.
//
//     velta_test::Dns_Server dns;
//     dns.add_srv("_xmpp-client._tcp.chat.test", 0, 0, 5333, "node.chat.test");
//     dns.add_a("node.chat.test", "127.0.0.7");
//     velta_test::use_private_resolver(dns.address());   // needs root
//
// Every public member may be called from any thread at any time.
#pragma once

#include <chrono>
#include <memory>
#include <string>

namespace velta_test {

class Dns_Server {
public:
    Dns_Server();
    ~Dns_Server();
    Dns_Server(const Dns_Server&) = delete;
    Dns_Server& operator=(const Dns_Server&) = delete;

    std::string address() const;

    // Names compare without regard to ASCII case and a trailing dot.
    void add_srv(const std::string& name, unsigned priority, unsigned weight, unsigned port,
                 const std::string& target);
    void add_a(const std::string& name, const std::string& ipv4);
    void add_aaaa(const std::string& name, const std::string& ipv6);

    // Each answer goes out this long after its query arrived.
    void set_delay(std::chrono::milliseconds delay);
    // Read every query, answer none.
    void set_silent(bool silent);

    // Queries received so far, and how many asked for SRV records.
    int queries() const;
    int service_queries() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// Gives the calling thread, and every thread it starts from now on, a mount
// namespace of its own in which /etc/resolv.conf names only `nameserver`
// and /etc/hosts holds `hosts` (the real one when empty). Needs root (as the
// test runner is in CI); false when the system refuses.
bool use_private_resolver(const std::string& nameserver, const std::string& hosts = "");

}  // namespace velta_test
