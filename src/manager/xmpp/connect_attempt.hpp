// SPDX-License-Identifier: GPL-3.0-or-later
// Opening the TCP connection to a server string without ever waiting: an IP
// literal is connected to at once, a name is looked up (Service_Lookup) and
// its endpoints raced in order with non-blocking connects. An endpoint that
// has not answered within attempt_delay no longer holds back the next one:
// the next connect starts beside it, up to max_open at once; a refusal or an
// error starts the next at once. The first connect to complete wins and
// every other is closed. advance() moves the attempt on as far as it can go
// right now; the owner calls it again later.
//
// The delay is measured on the library's own monotonic clock: the host's
// Clock counts whole seconds, and may step. The host's deadline ends the
// whole attempt (destroying it closes every socket still open).
#pragma once

#include "manager/xmpp/endpoint.hpp"
#include "manager/xmpp/service_lookup.hpp"

#include <gloox/gloox.h>

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace Velta_Client::detail::xmpp {

class Connect_Attempt {
public:
    // RFC 8305's connection attempt delay.
    static constexpr std::chrono::milliseconds attempt_delay{250};
    // Connects open at once: a name whose every address is silent holds no
    // more descriptors than this. When they are all taken, the oldest is
    // closed for the next endpoint.
    static constexpr std::size_t max_open = 8;
    // Connects begun in one advance(): a long list of refusing addresses is
    // gone through a few per poll, not in one.
    static constexpr int max_begun_per_advance = 4;

    // `preferred`, when given, is tried first; the server string is looked
    // up only if it fails or is silent for attempt_delay.
    Connect_Attempt(std::string server, std::optional<Endpoint> preferred);
    ~Connect_Attempt();
    Connect_Attempt(const Connect_Attempt&) = delete;
    Connect_Attempt& operator=(const Connect_Attempt&) = delete;

    enum class Status { connecting, connected, failed };
    Status advance();

    // After connected: the open, non-blocking socket (now the caller's) and
    // where it leads.
    int take_socket();
    const Endpoint& reached() const { return reached_; }
    // After failed: ConnDnsError when the name gave no address at all, else
    // ConnConnectionRefused.
    gloox::ConnectionError failure() const;
    // After failed: the cause for the host, and each endpoint tried with what
    // became of it.
    Link_End failure_end() const;

private:
    struct Open_Connect {
        int socket;
        Endpoint endpoint;
    };

    // Starts a connect to `endpoint`; false when it failed at once.
    bool begin(const Endpoint& endpoint);
    // Looks at every open connect once: true when one completed (it is the
    // winner, every other is closed); the ones that failed are closed.
    bool settle_open();
    // The next endpoint to try; false when there is none yet (or none left,
    // then exhausted_ is set).
    bool next_endpoint(Endpoint& out);
    void close_open();
    // Notes how the connect to endpoint failed.
    void note_failure(const Endpoint& endpoint, int error);

    std::string server_;
    std::optional<Endpoint> preferred_;
    bool sources_opened_ = false;
    std::optional<Endpoint> literal_;
    std::unique_ptr<Service_Lookup> lookup_;
    bool exhausted_ = false;
    bool tried_any_ = false;
    std::vector<Open_Connect> open_;
    std::chrono::steady_clock::time_point last_begun_{};
    // A connect failed: the next one need not wait for the delay.
    bool begin_next_now_ = true;
    int winner_ = -1;
    Endpoint reached_;
    std::string tried_;        // "127.0.0.1:5222: nothing listens, ..."
    bool all_refused_ = true;  // every failure was a refusal
};

}  // namespace Velta_Client::detail::xmpp
