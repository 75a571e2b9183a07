// SPDX-License-Identifier: GPL-3.0-or-later
// Opening the TCP connection to a server string without ever waiting: an IP
// literal is connected to at once, a name is looked up (Service_Lookup) and
// each of its endpoints tried in turn with a non-blocking connect, the next
// after a refusal or an error. advance() moves the attempt on as far as it
// can go right now; the owner calls it again later.
#pragma once

#include "manager/xmpp/endpoint.hpp"
#include "manager/xmpp/service_lookup.hpp"

#include <gloox/gloox.h>

#include <memory>
#include <optional>
#include <string>

namespace Velta_Client::detail::xmpp {

class Connect_Attempt {
public:
    // `preferred`, when given, is tried first; the server string is looked
    // up only if it fails.
    Connect_Attempt(std::string server, std::optional<Endpoint> preferred);
    ~Connect_Attempt();
    Connect_Attempt(const Connect_Attempt&) = delete;
    Connect_Attempt& operator=(const Connect_Attempt&) = delete;

    enum class Status { connecting, connected, failed };
    Status advance();

    // After connected: the open, non-blocking socket (now the caller's) and
    // where it leads.
    int take_socket();
    const Endpoint& reached() const { return current_; }
    // After failed: ConnDnsError when the name gave no address at all, else
    // ConnConnectionRefused.
    gloox::ConnectionError failure() const;
    // After failed: the cause for the host, and each endpoint tried with what
    // became of it.
    Link_End failure_end() const;

private:
    // Starts a connect to `endpoint`; false when it failed at once.
    bool begin(const Endpoint& endpoint);
    // The next endpoint to try; false when there is none yet (or none left,
    // then exhausted_ is set).
    bool next_endpoint(Endpoint& out);
    // Notes how the connect to current_ failed.
    void note_failure(int error);

    std::string server_;
    std::optional<Endpoint> preferred_;
    bool sources_opened_ = false;
    std::optional<Endpoint> literal_;
    std::unique_ptr<Service_Lookup> lookup_;
    bool exhausted_ = false;
    bool tried_any_ = false;
    int socket_ = -1;
    Endpoint current_;
    std::string tried_;        // "127.0.0.1:5222: nothing listens, ..."
    bool all_refused_ = true;  // every failure was a refusal
};

}  // namespace Velta_Client::detail::xmpp
