// SPDX-License-Identifier: GPL-3.0-or-later
#include "manager/xmpp/connect_attempt.hpp"

#include <velta_client/end_words.hpp>

#include <cerrno>
#include <cstring>

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace Velta_Client::detail::xmpp {

Connect_Attempt::Connect_Attempt(std::string server, std::optional<Endpoint> preferred)
    : server_(std::move(server)), preferred_(preferred) {}

Connect_Attempt::~Connect_Attempt() {
    close_open();
    if (winner_ >= 0) ::close(winner_);
}

void Connect_Attempt::close_open() {
    for (const Open_Connect& connect : open_) ::close(connect.socket);
    open_.clear();
}

int Connect_Attempt::take_socket() {
    const int fd = winner_;
    winner_ = -1;
    return fd;
}

gloox::ConnectionError Connect_Attempt::failure() const {
    return tried_any_ ? gloox::ConnConnectionRefused : gloox::ConnDnsError;
}

Link_End Connect_Attempt::failure_end() const {
    namespace words = end_words;
    if (tried_any_) return {all_refused_ ? END_REFUSED : END_UNREACHABLE, tried_};
    if (server_.empty()) return {END_NO_ADDRESS, words::empty_server};
    if (!is_host_name(server_)) return {END_NO_ADDRESS, "\"" + server_ + "\" " + words::not_an_address};
    return {END_NO_ADDRESS, std::string(words::cannot_find_address) + " \"" + server_ + "\""};
}

void Connect_Attempt::note_failure(const Endpoint& endpoint, int error) {
    if (error != ECONNREFUSED) all_refused_ = false;
    if (tried_.size() > 400) return;  // enough to say what happened
    tried_ += (tried_.empty() ? "" : ", ") + endpoint_text(endpoint) + ": " +
              (error == ECONNREFUSED ? std::string(end_words::nothing_listens) : std::string(std::strerror(error)));
}

bool Connect_Attempt::begin(const Endpoint& endpoint) {
    tried_any_ = true;
    const int fd = ::socket(endpoint.address.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        note_failure(endpoint, errno);
        return false;
    }
    int rc;
    do {
        rc = ::connect(fd, reinterpret_cast<const sockaddr*>(&endpoint.address), endpoint.length);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0 && errno != EINPROGRESS) {
        note_failure(endpoint, errno);
        ::close(fd);
        return false;
    }
    open_.push_back({fd, endpoint});
    return true;
}

bool Connect_Attempt::settle_open() {
    if (open_.empty()) return false;
    pollfd watched[max_open];
    for (std::size_t i = 0; i < open_.size(); ++i) watched[i] = {open_[i].socket, POLLOUT, 0};
    if (::poll(watched, open_.size(), 0) <= 0) return false;

    std::vector<Open_Connect> still_open;
    for (std::size_t i = 0; i < open_.size(); ++i) {
        const Open_Connect& connect = open_[i];
        if (!watched[i].revents) {
            still_open.push_back(connect);
            continue;
        }
        int error = 0;
        socklen_t length = sizeof error;
        const bool opened = ::getsockopt(connect.socket, SOL_SOCKET, SO_ERROR, &error, &length) == 0 &&
                            error == 0 && !(watched[i].revents & (POLLERR | POLLHUP));
        if (opened && winner_ < 0) {
            winner_ = connect.socket;
            reached_ = connect.endpoint;
            continue;
        }
        if (!opened) note_failure(connect.endpoint, error != 0 ? error : ECONNREFUSED);
        ::close(connect.socket);
        begin_next_now_ = true;
    }
    open_ = std::move(still_open);
    if (winner_ < 0) return false;
    close_open();  // the losers: no descriptor outlives the race
    return true;
}

bool Connect_Attempt::next_endpoint(Endpoint& out) {
    if (preferred_) {
        out = *preferred_;
        preferred_.reset();
        return true;
    }
    if (!sources_opened_) {
        sources_opened_ = true;
        literal_ = ip_literal(server_, default_client_port);
        if (!literal_ && is_host_name(server_)) lookup_ = std::make_unique<Service_Lookup>(server_);
        if (!literal_ && !lookup_) {
            exhausted_ = true;  // cannot be an address at all
            return false;
        }
    }
    if (literal_) {
        out = *literal_;
        literal_.reset();
        if (!lookup_) exhausted_ = true;
        return true;
    }
    if (!lookup_) {
        exhausted_ = true;
        return false;
    }
    switch (lookup_->next(out)) {
    case Service_Lookup::Result::endpoint:
        return true;
    case Service_Lookup::Result::pending:
        return false;
    case Service_Lookup::Result::exhausted:
        exhausted_ = true;
        return false;
    }
    return false;
}

Connect_Attempt::Status Connect_Attempt::advance() {
    if (winner_ >= 0) return Status::connected;
    for (int begun = 0;; ++begun) {
        if (settle_open()) return Status::connected;
        if (exhausted_) return open_.empty() ? Status::failed : Status::connecting;

        const auto now = std::chrono::steady_clock::now();
        const bool may_begin = open_.empty() || begin_next_now_ || now - last_begun_ >= attempt_delay;
        if (!may_begin || begun >= max_begun_per_advance) return Status::connecting;

        Endpoint endpoint;
        if (!next_endpoint(endpoint)) {
            if (exhausted_ && open_.empty()) return Status::failed;
            return Status::connecting;
        }
        // All slots taken by silent endpoints: the oldest, silent for
        // max_open delays, gives its slot to the next, so that an endpoint
        // that works is reached however many silent ones come before it.
        if (open_.size() == max_open) {
            note_failure(open_.front().endpoint, ETIMEDOUT);
            ::close(open_.front().socket);
            open_.erase(open_.begin());
        }
        begin_next_now_ = false;
        last_begun_ = now;
        if (!begin(endpoint)) begin_next_now_ = true;
    }
}

}  // namespace Velta_Client::detail::xmpp
