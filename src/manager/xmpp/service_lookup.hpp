// SPDX-License-Identifier: GPL-3.0-or-later
// Where a server name's client service lives, looked up without blocking:
// the SRV records of _xmpp-client._tcp.<name> in RFC 2782 order (priority,
// then weighted choice), each target's addresses in turn; without a usable
// SRV record, <name> itself on port 5222. /etc/hosts is read for addresses.
//
// c-ares does the DNS work without a thread: next() hands it whatever its
// sockets have ready and never waits. Its own retries give up on a server
// that never answers; the caller's deadline ends the attempt before that
// matters.
#pragma once

#include "manager/xmpp/endpoint.hpp"

#include <cstddef>
#include <deque>
#include <functional>
#include <string>
#include <vector>

struct ares_channeldata;
struct ares_addrinfo;

namespace Velta_Client::detail::xmpp {

class Service_Lookup {
public:
    explicit Service_Lookup(const std::string& name);
    ~Service_Lookup();
    Service_Lookup(const Service_Lookup&) = delete;
    Service_Lookup& operator=(const Service_Lookup&) = delete;

    enum class Result { endpoint, pending, exhausted };
    // The next endpoint to try, into `out`; pending while a lookup that may
    // give one is under way; exhausted when every target has been given.
    Result next(Endpoint& out);
    // True once any lookup produced an address (to tell "no such host" from
    // "nothing answered there").
    bool found_any() const { return found_any_; }

private:
    struct Target {
        std::string host;
        int port;
    };

    static void on_service_records(void* self, int status, int timeouts, unsigned char* answer, int length);
    static void on_addresses(void* self, int status, int timeouts, ares_addrinfo* result);
    void look_up_next_target();
    void drive();

    std::string name_;
    ares_channeldata* channel_ = nullptr;
    bool library_ready_ = false;
    bool destroying_ = false;
    int in_flight_ = 0;
    std::vector<Target> targets_;
    std::size_t next_target_ = 0;
    bool targets_known_ = false;
    std::deque<Endpoint> ready_;
    bool found_any_ = false;
};

// RFC 2782 order of SRV targets: ascending priority; within one priority a
// weighted random draw, zero weights first in the running sum. `draw(n)`
// returns a number in [0, n]. Targets named "." (service not offered there)
// are left out.
struct Service_Record {
    std::string host;
    unsigned priority;
    unsigned weight;
    int port;
};
std::vector<Service_Record> in_service_order(std::vector<Service_Record> records,
                                             const std::function<unsigned(unsigned)>& draw);

}  // namespace Velta_Client::detail::xmpp
