// SPDX-License-Identifier: GPL-3.0-or-later
#include "manager/xmpp/service_lookup.hpp"

#include <algorithm>
#include <cstring>
#include <random>

#include <ares.h>
#include <arpa/nameser.h>
#include <netinet/in.h>
#include <poll.h>

namespace Velta_Client::detail::xmpp {

std::vector<Service_Record> in_service_order(std::vector<Service_Record> records,
                                             const std::function<unsigned(unsigned)>& draw, std::size_t limit) {
    records.erase(std::remove_if(records.begin(), records.end(),
                                 [](const Service_Record& r) { return r.host.empty() || r.host == "."; }),
                  records.end());
    // Zero weights first within each priority, as the running sum wants them.
    std::stable_sort(records.begin(), records.end(), [](const Service_Record& a, const Service_Record& b) {
        if (a.priority != b.priority) return a.priority < b.priority;
        return a.weight == 0 && b.weight != 0;
    });

    std::vector<Service_Record> ordered;
    ordered.reserve(std::min(limit, records.size()));
    auto group = records.begin();
    while (group != records.end() && ordered.size() < limit) {
        const auto group_end = std::find_if(
            group, records.end(), [&](const Service_Record& r) { return r.priority != group->priority; });
        std::vector<Service_Record> left(std::make_move_iterator(group), std::make_move_iterator(group_end));
        unsigned long total = 0;
        for (const auto& r : left) total += r.weight;
        while (!left.empty() && ordered.size() < limit) {
            const unsigned long chosen = draw(static_cast<unsigned>(total));
            unsigned long running = 0;
            auto pick = left.begin();
            for (; pick != left.end(); ++pick) {
                running += pick->weight;
                if (running >= chosen) break;
            }
            if (pick == left.end()) pick = std::prev(left.end());
            total -= pick->weight;
            ordered.push_back(std::move(*pick));
            left.erase(pick);
        }
        group = group_end;
    }
    return ordered;
}

namespace {

std::size_t read16(const unsigned char* at) { return static_cast<std::size_t>(at[0] << 8 | at[1]); }

// Past the (possibly compressed) name at `at`; 0 when it runs off the end.
std::size_t skip_name(const unsigned char* answer, std::size_t length, std::size_t at) {
    while (at < length) {
        const unsigned char label = answer[at];
        if (label == 0) return at + 1;
        if ((label & 0xc0) == 0xc0) return at + 2 <= length ? at + 2 : 0;
        if (label & 0xc0) return 0;
        at += 1 + label;
    }
    return 0;
}

}  // namespace

std::vector<Endpoint> addresses_in_answer(const unsigned char* answer, std::size_t length, int family,
                                          std::size_t limit) {
    std::vector<Endpoint> found;
    if (!answer || length < 12) return found;
    const std::size_t questions = read16(answer + 4);
    const std::size_t answers = read16(answer + 6);
    const unsigned wanted_type = family == AF_INET ? ns_t_a : ns_t_aaaa;
    const std::size_t address_length = family == AF_INET ? 4 : 16;

    std::size_t at = 12;
    for (std::size_t i = 0; i < questions; ++i) {
        at = skip_name(answer, length, at);
        if (at == 0 || at + 4 > length) return found;
        at += 4;
    }
    for (std::size_t i = 0; i < answers && found.size() < limit; ++i) {
        at = skip_name(answer, length, at);
        if (at == 0 || at + 10 > length) return found;
        const std::size_t type = read16(answer + at);
        const std::size_t record_class = read16(answer + at + 2);
        const std::size_t data_length = read16(answer + at + 8);
        at += 10;
        if (at + data_length > length) return found;
        if (type == wanted_type && record_class == ns_c_in && data_length == address_length) {
            Endpoint endpoint;
            if (family == AF_INET) {
                auto* v4 = reinterpret_cast<sockaddr_in*>(&endpoint.address);
                v4->sin_family = AF_INET;
                std::memcpy(&v4->sin_addr, answer + at, 4);
                endpoint.length = sizeof *v4;
            } else {
                auto* v6 = reinterpret_cast<sockaddr_in6*>(&endpoint.address);
                v6->sin6_family = AF_INET6;
                std::memcpy(&v6->sin6_addr, answer + at, 16);
                endpoint.length = sizeof *v6;
            }
            found.push_back(endpoint);
        }
        at += data_length;
    }
    return found;
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
        targets_.emplace_back(this, name_, default_client_port);
        targets_found();
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
    const auto draw = [&](unsigned bound) { return std::uniform_int_distribution<unsigned>(0, bound)(random); };
    for (auto& record : in_service_order(std::move(records), draw, max_targets))
        lookup.targets_.emplace_back(&lookup, std::move(record.host), record.port);
    // No record, or only "." targets: the name itself serves on the default port.
    if (lookup.targets_.empty()) lookup.targets_.emplace_back(&lookup, lookup.name_, default_client_port);
    lookup.targets_found();
}

void Service_Lookup::targets_found() {
    targets_known_ = true;
    std::vector<std::string> names;
    for (const Target& target : targets_) names.push_back(target.host);
    hosts_ = std::make_unique<Hosts_Scan>(names);
}

void Service_Lookup::on_addresses(void* query_pointer, int status, int, unsigned char* answer, int length) {
    auto& query = *static_cast<Query*>(query_pointer);
    auto& lookup = *query.target->owner;
    --lookup.in_flight_;
    query.answered = true;
    if (status == ARES_SUCCESS && !lookup.destroying_ && length > 0)
        query.found = addresses_in_answer(answer, static_cast<std::size_t>(length), query.family,
                                          max_addresses_per_target);
}

void Service_Lookup::look_up(Target& target) {
    target.asked = true;
    // A local name's addresses are the hosts file's, or the loopback ones.
    if (is_local_name(target.host)) {
        for (Query& query : target.queries) {
            query.answered = true;
            Endpoint endpoint = *ip_literal(query.family == AF_INET ? "127.0.0.1" : "::1", 0);
            query.found.push_back(endpoint);
        }
        return;
    }
    // Both families at once; ares_search applies resolv.conf's search list.
    for (Query& query : target.queries) {
        ++in_flight_;
        ::ares_search(channel_, target.host.c_str(), ns_c_in, query.family == AF_INET ? ns_t_a : ns_t_aaaa,
                      &Service_Lookup::on_addresses, &query);
    }
}

bool Service_Lookup::settle(std::size_t index) {
    Target& target = targets_[index];
    if (target.ready) return true;
    if (!hosts_->done()) return false;
    const std::vector<Endpoint>* families[2] = {&hosts_->ipv4(index), &hosts_->ipv6(index)};
    if (families[0]->empty() && families[1]->empty()) {
        if (!target.queries[0].answered || !target.queries[1].answered) return false;
        families[0] = &target.queries[0].found;
        families[1] = &target.queries[1].found;
    }
    // The families in turn, IPv6 first when there is any (as resolvers
    // order them by default, RFC 6724).
    const std::size_t first = families[1]->empty() ? 0 : 1;
    const int port = target.port;
    for (std::size_t i = 0; target.endpoints.size() < max_addresses_per_target; ++i) {
        const std::vector<Endpoint>& family = *families[(first + i) % 2];
        const std::size_t taken = i / 2;
        if (taken >= families[0]->size() && taken >= families[1]->size()) break;
        if (taken >= family.size()) continue;
        Endpoint endpoint = family[taken];
        const auto network_port = htons(static_cast<std::uint16_t>(port));
        if (endpoint.address.ss_family == AF_INET)
            reinterpret_cast<sockaddr_in*>(&endpoint.address)->sin_port = network_port;
        else
            reinterpret_cast<sockaddr_in6*>(&endpoint.address)->sin6_port = network_port;
        target.endpoints.push_back(endpoint);
    }
    target.ready = true;
    return true;
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
    if (!channel_) return Result::exhausted;
    if (in_flight_ > 0) drive();
    if (!targets_known_) return Result::pending;
    // One piece of /etc/hosts per call, beside the DNS queries.
    if (!hosts_->done()) hosts_->step();
    while (current_ < targets_.size()) {
        for (std::size_t i = current_; i < targets_.size() && i < current_ + targets_looked_up_ahead; ++i)
            if (!targets_[i].asked) look_up(targets_[i]);
        if (!settle(current_)) return Result::pending;
        Target& target = targets_[current_];
        if (!target.endpoints.empty()) {
            out = target.endpoints.front();
            target.endpoints.pop_front();
            return Result::endpoint;
        }
        ++current_;
    }
    return Result::exhausted;
}

}  // namespace Velta_Client::detail::xmpp
