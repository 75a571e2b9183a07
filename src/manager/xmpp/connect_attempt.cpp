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
    if (socket_ >= 0) ::close(socket_);
}

int Connect_Attempt::take_socket() {
    const int fd = socket_;
    socket_ = -1;
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

void Connect_Attempt::note_failure(int error) {
    if (error != ECONNREFUSED) all_refused_ = false;
    if (tried_.size() > 400) return;  // enough to say what happened
    tried_ += (tried_.empty() ? "" : ", ") + endpoint_text(current_) + ": " +
              (error == ECONNREFUSED ? std::string(end_words::nothing_listens) : std::string(std::strerror(error)));
}

bool Connect_Attempt::begin(const Endpoint& endpoint) {
    tried_any_ = true;
    current_ = endpoint;
    const int fd = ::socket(endpoint.address.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        note_failure(errno);
        return false;
    }
    int rc;
    do {
        rc = ::connect(fd, reinterpret_cast<const sockaddr*>(&endpoint.address), endpoint.length);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0 && errno != EINPROGRESS) {
        note_failure(errno);
        ::close(fd);
        return false;
    }
    socket_ = fd;
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
        if (!lookup_) return true;
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
    for (;;) {
        if (socket_ >= 0) {
            pollfd watched{socket_, POLLOUT, 0};
            if (::poll(&watched, 1, 0) <= 0) return Status::connecting;
            int error = 0;
            socklen_t length = sizeof error;
            if (::getsockopt(socket_, SOL_SOCKET, SO_ERROR, &error, &length) == 0 && error == 0 &&
                !(watched.revents & (POLLERR | POLLHUP)))
                return Status::connected;
            note_failure(error != 0 ? error : ECONNREFUSED);
            ::close(socket_);
            socket_ = -1;
        }
        Endpoint endpoint;
        if (!next_endpoint(endpoint)) return exhausted_ ? Status::failed : Status::connecting;
        begin(endpoint);
    }
}

}  // namespace Velta_Client::detail::xmpp
