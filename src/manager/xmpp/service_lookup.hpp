// SPDX-License-Identifier: GPL-3.0-or-later
// Where a server name's client service lives, looked up without blocking:
// the SRV records of _xmpp-client._tcp.<name> in RFC 2782 order (priority,
// then weighted choice), each target's addresses in turn; without a usable
// SRV record, <name> itself on port 5222.
//
// A target's addresses come from /etc/hosts when it names the target (read
// in pieces, Hosts_Scan), else from DNS: its A and AAAA queries go out
// together, and its addresses come alternating the two families (RFC 8305,
// section 4). The next target is looked up while the current one's
// addresses are tried, so that a target that is down costs its connects, not
// a lookup as well. What one answer gives is bounded (max_targets,
// max_addresses_per_target): the rest is never read, so that no answer makes
// one call long. "localhost" and names under it never go to DNS.
//
// c-ares does the DNS work without a thread: next() hands it whatever its
// sockets have ready and never waits. Its own retries give up on a server
// that never answers; the caller's deadline ends the attempt before that
// matters.
#pragma once

#include "manager/xmpp/endpoint.hpp"
#include "manager/xmpp/hosts_file.hpp"

#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

struct ares_channeldata;

namespace Velta_Client::detail::xmpp {

class Service_Lookup {
public:
    static constexpr std::size_t max_targets = 32;
    static constexpr std::size_t max_addresses_per_target = 16;
    // Targets whose addresses are asked for at once: the one being tried
    // and the next.
    static constexpr std::size_t targets_looked_up_ahead = 2;

    explicit Service_Lookup(const std::string& name);
    ~Service_Lookup();
    Service_Lookup(const Service_Lookup&) = delete;
    Service_Lookup& operator=(const Service_Lookup&) = delete;

    enum class Result { endpoint, pending, exhausted };
    // The next endpoint to try, into `out`; pending while a lookup that may
    // give one is under way; exhausted when every target has been given.
    Result next(Endpoint& out);

private:
    struct Target;
    // One DNS query of a target's addresses, in one family.
    struct Query {
        Query(Target* target_, int family_) : target(target_), family(family_) {}
        Target* target;
        int family;
        bool answered = false;
        std::vector<Endpoint> found;
    };
    struct Target {
        Target(Service_Lookup* owner_, std::string host_, int port_)
            : owner(owner_), host(std::move(host_)), port(port_), queries{{this, AF_INET}, {this, AF_INET6}} {}
        Service_Lookup* owner;
        std::string host;
        int port;
        bool asked = false;
        bool ready = false;
        Query queries[2];  // A, AAAA
        std::deque<Endpoint> endpoints;
    };

    static void on_service_records(void* self, int status, int timeouts, unsigned char* answer, int length);
    static void on_addresses(void* query, int status, int timeouts, unsigned char* answer, int length);
    void targets_found();
    void look_up(Target& target);
    // Whether the target's addresses are known (and then in endpoints).
    bool settle(std::size_t index);
    void drive();

    std::string name_;
    ares_channeldata* channel_ = nullptr;
    bool library_ready_ = false;
    bool destroying_ = false;
    int in_flight_ = 0;
    // A deque: the query callbacks hold pointers into its elements.
    std::deque<Target> targets_;
    std::size_t current_ = 0;
    bool targets_known_ = false;
    std::unique_ptr<Hosts_Scan> hosts_;
};

// RFC 2782 order of SRV targets: ascending priority; within one priority a
// weighted random draw, zero weights first in the running sum. `draw(n)`
// returns a number in [0, n]. Targets named "." (service not offered there)
// are left out. Only the first `limit` are drawn: n log n for the sort and
// limit times n for the draws, whatever the answer's size.
struct Service_Record {
    std::string host;
    unsigned priority;
    unsigned weight;
    int port;
};
std::vector<Service_Record> in_service_order(std::vector<Service_Record> records,
                                             const std::function<unsigned(unsigned)>& draw,
                                             std::size_t limit = static_cast<std::size_t>(-1));

// The addresses of `family` (AF_INET, AF_INET6) in the answer section of a
// DNS answer, port 0, at most `limit`, in the answer's order. Reads no
// further than the limit; nothing for an answer it cannot read.
std::vector<Endpoint> addresses_in_answer(const unsigned char* answer, std::size_t length, int family,
                                          std::size_t limit);

}  // namespace Velta_Client::detail::xmpp
