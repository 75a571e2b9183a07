// SPDX-License-Identifier: GPL-3.0-or-later
#include "manager/xmpp/socket_connection.hpp"

#include <velta_client/end_words.hpp>

#include <cerrno>
#include <cstring>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <sys/types.h>
#include <unistd.h>

namespace Velta_Client::detail::xmpp {

namespace {

constexpr std::size_t receive_buffer_size = 8192;
constexpr std::size_t coalesced_chunk_bytes = 16 * 1024;

void set_option(int fd, int level, int name, int value = 1) {
    ::setsockopt(fd, level, name, &value, sizeof value);
}

// A link that dies without a word (no FIN, no RST, every packet lost) is
// found by the kernel within dead_link_seconds: data left unacknowledged
// that long ends the connection (TCP_USER_TIMEOUT), and an idle connection
// is probed from keep_alive_idle_seconds on, the same limit applying to the
// probes. A server that only falls quiet still acknowledges them.
constexpr int dead_link_seconds = 30;
constexpr int keep_alive_idle_seconds = 15;
constexpr int keep_alive_interval_seconds = 5;
constexpr int keep_alive_probes = 3;

void detect_dead_link(int fd) {
    set_option(fd, SOL_SOCKET, SO_KEEPALIVE);
    set_option(fd, IPPROTO_TCP, TCP_KEEPIDLE, keep_alive_idle_seconds);
    set_option(fd, IPPROTO_TCP, TCP_KEEPINTVL, keep_alive_interval_seconds);
    set_option(fd, IPPROTO_TCP, TCP_KEEPCNT, keep_alive_probes);
    set_option(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, dead_link_seconds * 1000);
}

}  // namespace

Socket_Connection::Socket_Connection(gloox::ConnectionDataHandler* handler) : gloox::ConnectionBase(handler) {}

Socket_Connection::~Socket_Connection() { close_socket(); }

gloox::ConnectionBase* Socket_Connection::newInstance() const {
    auto* copy = new Socket_Connection(m_handler);
    copy->setServer(m_server, m_port);
    return copy;
}

gloox::ConnectionError Socket_Connection::connect() {
    if (!m_handler || socket_ >= 0) return gloox::ConnNotConnected;
    if (m_state > gloox::StateDisconnected) return gloox::ConnNoError;

    m_state = gloox::StateConnecting;
    link_end_ = Link_End();
    attempt_ = std::make_unique<Connect_Attempt>(m_server, preferred_);
    return continue_connecting();
}

gloox::ConnectionError Socket_Connection::continue_connecting() {
    switch (attempt_->advance()) {
    case Connect_Attempt::Status::connecting:
        return gloox::ConnNoError;
    case Connect_Attempt::Status::failed: {
        const gloox::ConnectionError error = attempt_->failure();
        link_end_ = attempt_->failure_end();
        attempt_.reset();
        m_state = gloox::StateDisconnected;
        m_handler->handleDisconnect(this, error);
        return error;
    }
    case Connect_Attempt::Status::connected:
        break;
    }
    const int fd = attempt_->take_socket();
    reached_ = attempt_->reached();
    attempt_.reset();
    set_option(fd, IPPROTO_TCP, TCP_NODELAY);
    set_option(fd, IPPROTO_TCP, TCP_QUICKACK);
    detect_dead_link(fd);
    socket_ = fd;
    scanner_ = Stream_Scanner();
    m_state = gloox::StateConnected;
    cancel_ = false;
    m_handler->handleConnect(this);  // sends the stream header
    return gloox::ConnNoError;
}

void Socket_Connection::lost(gloox::ConnectionError reason, End_Cause cause, std::string detail) {
    link_end_ = {cause, at_endpoint(detail)};
    // gloox's handler cleans this connection up and tells the manager.
    if (m_handler) m_handler->handleDisconnect(this, reason);
}

std::string Socket_Connection::at_endpoint(const std::string& what) const {
    return reached_ ? endpoint_text(*reached_) + ": " + what : what;
}

namespace {

std::string broke(int error) { return std::string(end_words::link_broke) + " (" + std::strerror(error) + ")"; }

// What the input refused was, in the host's words.
std::string refused_input(Stream_Scanner::Refusal refusal) {
    const std::string broke_protocol = std::string(end_words::broke_protocol) + ": ";
    switch (refusal) {
    case Stream_Scanner::Refusal::too_deep:
        return broke_protocol + "elements nested more than 16 levels in one stanza";
    case Stream_Scanner::Refusal::instruction:
        return broke_protocol + "a processing instruction, comment or document type in the stream";
    case Stream_Scanner::Refusal::malformed:
        return broke_protocol + "input that is not XML";
    default:
        return broke_protocol + "an element past 64 KiB, 1,024 elements and attributes, or a long character "
                                "reference";
    }
}

}  // namespace

bool Socket_Connection::flush() {
    while (!pending_.empty()) {
        iovec chunks[16];
        int count = 0;
        std::size_t offered = 0;
        for (auto chunk = pending_.begin(); chunk != pending_.end() && count < 16; ++chunk, ++count) {
            const std::size_t skip = count == 0 ? written_from_front_ : 0;
            chunks[count].iov_base = const_cast<char*>(chunk->data() + skip);
            chunks[count].iov_len = chunk->size() - skip;
            offered += chunks[count].iov_len;
        }
        msghdr message{};
        message.msg_iov = chunks;
        message.msg_iovlen = static_cast<std::size_t>(count);
        const ssize_t sent = ::sendmsg(socket_, &message, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent < 0) {
            if (errno == EINTR) continue;
            return errno == EAGAIN || errno == EWOULDBLOCK;
        }
        auto left = static_cast<std::size_t>(sent);
        pending_bytes_ -= left;
        while (left > 0) {
            const std::size_t in_front = pending_.front().size() - written_from_front_;
            if (left < in_front) {
                written_from_front_ += left;
                break;
            }
            left -= in_front;
            pending_.pop_front();
            written_from_front_ = 0;
        }
        if (static_cast<std::size_t>(sent) < offered) break;  // the socket is full for now
    }
    return true;
}

gloox::ConnectionError Socket_Connection::recv(int timeout) {
    if (attempt_) return continue_connecting();
    if (cancel_ || socket_ < 0) return gloox::ConnNotConnected;

    // The writes a receive flushes count against its budget; an idle
    // receive reads no clock (that would be one more system call).
    const long started = pending_.empty() ? -1 : Input_Pacer::thread_cpu_ns();
    if (!pending_.empty() && !flush()) {
        lost(gloox::ConnIoError, END_DEAD_LINK, broke(errno));
        return gloox::ConnIoError;
    }

    // What an earlier receive left within its budget goes first; the socket
    // is read again once all of it is handed on.
    if (!input_.idle()) return hand_on(started);

    // The manager never waits (timeout 0): then a non-blocking read is the
    // only system call, whether anything came or not.
    if (timeout != 0) {
        pollfd watched{socket_, POLLIN, 0};
        const int wait_ms = timeout < 0 ? -1 : (timeout + 999) / 1000;
        if (::poll(&watched, 1, wait_ms) <= 0) return gloox::ConnNoError;  // nothing yet, or EINTR
    }

    char buffer[receive_buffer_size];
    ssize_t size;
    do {
        size = ::recv(socket_, buffer, sizeof buffer, MSG_DONTWAIT);
    } while (size < 0 && errno == EINTR);

    if (size < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return gloox::ConnNoError;
    if (size <= 0) {
        if (size == 0) {
            lost(gloox::ConnStreamClosed, END_CLOSED_BY_SERVER, end_words::closed_connection);
            return gloox::ConnStreamClosed;
        }
        lost(gloox::ConnIoError, END_DEAD_LINK, broke(errno));
        return gloox::ConnIoError;
    }
    // Linux drops back to delayed acknowledgements after a while: re-arm
    // only when data came, so an idle receive stays a single poll(2).
    set_option(socket_, IPPROTO_TCP, TCP_QUICKACK);
    total_in_ += size;
    const std::size_t accepted = scanner_.accept(buffer, static_cast<std::size_t>(size));
    input_.take(buffer, accepted, scanner_.element_ends(), scanner_.ended());
    return hand_on(started);
}

gloox::ConnectionError Socket_Connection::hand_on(long started) {
    const Input_Pacer::Outcome outcome = input_.run(
        [this](const std::string& piece) {
            if (m_handler) m_handler->handleReceivedData(this, piece);
            return !cancel_ && socket_ >= 0;
        },
        started);
    // What came before may already have ended the connection.
    if (outcome == Input_Pacer::Outcome::refused && !cancel_ && socket_ >= 0) {
        if (scanner_.stream_ended()) {
            lost(gloox::ConnStreamClosed, END_CLOSED_BY_SERVER, end_words::ended_stream);
            return gloox::ConnStreamClosed;
        }
        lost(gloox::ConnParseError, END_PROTOCOL, refused_input(scanner_.refusal()));
        return gloox::ConnParseError;
    }
    return gloox::ConnNoError;
}

bool Socket_Connection::send(const std::string& data) {
    if (data.empty() || socket_ < 0) return false;

    // Keep the order of the stream: new data goes behind what still waits.
    if (pending_bytes_ + data.size() > max_pending_bytes) {
        lost(gloox::ConnIoError, END_DEAD_LINK, end_words::write_buffer_full);
        return false;
    }
    // With nothing waiting, the socket takes what it can straight from the
    // caller's text: a long stanza is not copied once more on its way.
    std::size_t taken = 0;
    const bool tried = pending_.empty();
    if (tried) {
        ssize_t sent;
        do {
            sent = ::send(socket_, data.data(), data.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        } while (sent < 0 && errno == EINTR);
        if (sent < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
            lost(gloox::ConnIoError, END_DEAD_LINK, broke(errno));
            return false;
        }
        taken = sent > 0 ? static_cast<std::size_t>(sent) : 0;
        total_out_ += static_cast<long int>(taken);
        if (taken == data.size()) return true;
    }
    // Small stanzas share chunks: a burst of thousands costs its bytes, not
    // a string and a queue slot each.
    if (taken > 0) {
        pending_.emplace_back(data, taken);
    } else if (!pending_.empty() && pending_.back().size() + data.size() <= coalesced_chunk_bytes)
        pending_.back() += data;
    else
        pending_.push_back(data);
    pending_bytes_ += data.size() - taken;
    if (!tried && !flush()) {
        lost(gloox::ConnIoError, END_DEAD_LINK, broke(errno));
        return false;
    }
    total_out_ += static_cast<long int>(data.size() - taken);
    return true;
}

gloox::ConnectionError Socket_Connection::receive() {
    if (socket_ < 0) return gloox::ConnNotConnected;
    gloox::ConnectionError error = gloox::ConnNoError;
    while (!cancel_ && (error = recv(1000000)) == gloox::ConnNoError) {
    }
    return error == gloox::ConnNoError ? gloox::ConnNotConnected : error;
}

void Socket_Connection::disconnect() { cancel_ = true; }

void Socket_Connection::cleanup() {
    attempt_.reset();
    if (socket_ >= 0 && !pending_.empty()) flush();  // a last try, e.g. for the stream's end
    close_socket();
    input_.clear();
    pending_.clear();
    pending_bytes_ = 0;
    written_from_front_ = 0;
    m_state = gloox::StateDisconnected;
    cancel_ = true;
    total_in_ = 0;
    total_out_ = 0;
}

void Socket_Connection::close_socket() {
    if (socket_ >= 0) {
        ::close(socket_);
        socket_ = -1;
    }
}

void Socket_Connection::getStatistics(long int& total_in, long int& total_out) {
    total_in = total_in_;
    total_out = total_out_;
}

}  // namespace Velta_Client::detail::xmpp
