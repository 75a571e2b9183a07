// SPDX-License-Identifier: GPL-3.0-or-later
#include "manager/xmpp/service_lookup.hpp"

#include <algorithm>
#include <cstring>
#include <random>

#include <ares.h>
#include <arpa/nameser.h>
#include <poll.h>

namespace Velta_Client::detail::xmpp {

std::vector<Service_Record> in_service_order(std::vector<Service_Record> records,
                                             const std::function<unsigned(unsigned)>& draw) {
    records.erase(std::remove_if(records.begin(), records.end(),
                                 [](const Service_Record& r) { return r.host.empty() || r.host == "."; }),
                  records.end());
    std::stable_sort(records.begin(), records.end(),
                     [](const Service_Record& a, const Service_Record& b) { return a.priority < b.priority; });

    std::vector<Service_Record> ordered;
    ordered.reserve(records.size());
    auto group = records.begin();
    while (group != records.end()) {
        const auto group_end = std::find_if(
            group, records.end(), [&](const Service_Record& r) { return r.priority != group->priority; });
        std::vector<Service_Record> left(group, group_end);
        std::stable_partition(left.begin(), left.end(), [](const Service_Record& r) { return r.weight == 0; });
        while (!left.empty()) {
            unsigned total = 0;
            for (const auto& r : left) total += r.weight;
            const unsigned chosen = draw(total);
            unsigned running = 0;
            auto pick = left.begin();
            for (; pick != left.end(); ++pick) {
                running += pick->weight;
                if (running >= chosen) break;
            }
            if (pick == left.end()) pick = std::prev(left.end());
            ordered.push_back(*pick);
            left.erase(pick);
        }
        group = group_end;
    }
    return ordered;
}

Service_Lookup::Service_Lookup(const std::string& name) : name_(name) {
    library_ready_ = ::ares_library_init(ARES_LIB_INIT_ALL) == ARES_SUCCESS;
    ares_options options{};
    // Short tries: the caller's deadline bounds the whole connection anyway,
    // and a second server in resolv.conf gets its turn sooner.
    options.timeout = 2000;
    options.tries = 2;
    ares_channel channel = nullptr;
    if (!library_ready_ || ::ares_init_options(&channel, &options, ARES_OPT_TIMEOUTMS | ARES_OPT_TRIES) != ARES_SUCCESS) {
        targets_known_ = true;  // nothing to look up with: exhausted at once
        return;
    }
    channel_ = channel;

    if (is_local_name(name_)) {
        targets_.push_back({name_, default_client_port});
        targets_known_ = true;
        return;
    }
    ++in_flight_;
    ::ares_query(channel_, ("_xmpp-client._tcp." + name_).c_str(), ns_c_in, ns_t_srv, &Service_Lookup::on_service_records,
                 this);
}

Service_Lookup::~Service_Lookup() {
    destroying_ = true;
    if (channel_) ::ares_destroy(channel_);  // runs the callbacks still pending, as cancelled
    if (library_ready_) ::ares_library_cleanup();
}

void Service_Lookup::on_service_records(void* self, int status, int, unsigned char* answer, int length) {
    auto& lookup = *static_cast<Service_Lookup*>(self);
    --lookup.in_flight_;
    if (lookup.destroying_) return;

    std::vector<Service_Record> records;
    ares_srv_reply* replies = nullptr;
    if (status == ARES_SUCCESS && ::ares_parse_srv_reply(answer, length, &replies) == ARES_SUCCESS) {
        for (const ares_srv_reply* r = replies; r; r = r->next)
            records.push_back({r->host ? r->host : "", r->priority, r->weight, r->port});
        ::ares_free_data(replies);
    }

    std::minstd_rand random(std::random_device{}());
    for (const auto& record : in_service_order(std::move(records), [&](unsigned bound) {
             return std::uniform_int_distribution<unsigned>(0, bound)(random);
         }))
        lookup.targets_.push_back({record.host, record.port});
    // No record, or only "." targets: the name itself serves on the default port.
    if (lookup.targets_.empty()) lookup.targets_.push_back({lookup.name_, default_client_port});
    lookup.targets_known_ = true;
}

void Service_Lookup::on_addresses(void* self, int status, int, ares_addrinfo* result) {
    auto& lookup = *static_cast<Service_Lookup*>(self);
    --lookup.in_flight_;
    if (status == ARES_SUCCESS && result && !lookup.destroying_) {
        for (const ares_addrinfo_node* node = result->nodes; node; node = node->ai_next) {
            if (node->ai_family != AF_INET && node->ai_family != AF_INET6) continue;
            if (node->ai_addrlen > sizeof(sockaddr_storage)) continue;
            Endpoint endpoint;
            std::memcpy(&endpoint.address, node->ai_addr, node->ai_addrlen);
            endpoint.length = node->ai_addrlen;
            lookup.ready_.push_back(endpoint);
            lookup.found_any_ = true;
        }
    }
    if (result) ::ares_freeaddrinfo(result);
}

void Service_Lookup::look_up_next_target() {
    const Target& target = targets_[next_target_++];
    ares_addrinfo_hints hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = ARES_AI_NUMERICSERV;
    ++in_flight_;
    // May call back at once (a name in /etc/hosts, a refusal).
    ::ares_getaddrinfo(channel_, target.host.c_str(), std::to_string(target.port).c_str(), &hints,
                       &Service_Lookup::on_addresses, this);
}

void Service_Lookup::drive() {
    ares_socket_t sockets[ARES_GETSOCK_MAXNUM];
    const int mask = ::ares_getsock(channel_, sockets, ARES_GETSOCK_MAXNUM);
    pollfd watched[ARES_GETSOCK_MAXNUM];
    nfds_t count = 0;
    for (int i = 0; i < ARES_GETSOCK_MAXNUM; ++i) {
        short events = 0;
        if (ARES_GETSOCK_READABLE(mask, i)) events |= POLLIN;
        if (ARES_GETSOCK_WRITABLE(mask, i)) events |= POLLOUT;
        if (events) watched[count++] = {sockets[i], events, 0};
    }
    bool any = false;
    if (count > 0 && ::poll(watched, count, 0) > 0) {
        for (nfds_t i = 0; i < count; ++i) {
            if (!watched[i].revents) continue;
            const bool readable = watched[i].revents & (POLLIN | POLLERR | POLLHUP);
            const bool writable = watched[i].revents & POLLOUT;
            ::ares_process_fd(channel_, readable ? watched[i].fd : ARES_SOCKET_BAD,
                              writable ? watched[i].fd : ARES_SOCKET_BAD);
            any = true;
        }
    }
    // Nothing ready: let c-ares retry or give up on what has timed out.
    if (!any) ::ares_process_fd(channel_, ARES_SOCKET_BAD, ARES_SOCKET_BAD);
}

Service_Lookup::Result Service_Lookup::next(Endpoint& out) {
    for (;;) {
        if (!ready_.empty()) {
            out = ready_.front();
            ready_.pop_front();
            return Result::endpoint;
        }
        if (!channel_) return Result::exhausted;
        if (in_flight_ > 0) {
            drive();
            if (ready_.empty() && in_flight_ > 0) return Result::pending;
            continue;
        }
        if (targets_known_ && next_target_ < targets_.size()) {
            look_up_next_target();
            continue;
        }
        return Result::exhausted;
    }
}

}  // namespace Velta_Client::detail::xmpp
