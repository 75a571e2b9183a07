// SPDX-License-Identifier: GPL-3.0-or-later
// The TCP connection every client of the library uses instead of gloox's own.
// - Connecting never waits: connect() starts a Connect_Attempt (lookup and
//   non-blocking connects) and each later recv() moves it on; the stream
//   header goes out (handleConnect) once the socket is open.
// - Writes never raise SIGPIPE (MSG_NOSIGNAL): a peer that closed must not
//   end the host process.
// - It waits with poll(2): select(2) cannot take descriptors of 1024 or more,
//   which a game client with many open files reaches.
// - Writes never block the host's frame: what the socket does not take at
//   once waits in a bounded buffer that every receive flushes; a buffer that
//   overflows counts as a lost connection.
// - Input past the bounds of Stream_Scanner (depth, bytes and nodes of one
//   element) counts as a lost connection before gloox sees the byte that
//   crosses them.
// - What arrives is handed to gloox within a budget of processor time per
//   receive (Input_Pacer).
// - TCP_NODELAY, and TCP_QUICKACK re-armed after each read that returned
//   data, so that request/reply traffic is not held back by delayed
//   acknowledgements while an idle receive stays one system call.
// - The kernel's own dead-link detection (keep-alive, TCP_USER_TIMEOUT): a
//   link lost without a word ends as an I/O error 30 seconds after the first
//   data or probe goes unanswered; with the manager's own probe every 11
//   seconds, within 45 seconds of the loss whether the host sends or not.
#pragma once

#include "manager/xmpp/connect_attempt.hpp"
#include "manager/xmpp/endpoint.hpp"
#include "manager/xmpp/input_pacer.hpp"
#include "manager/xmpp/stream_scanner.hpp"

#include <gloox/connectionbase.h>

#include <deque>
#include <memory>
#include <optional>
#include <string>

namespace Velta_Client::detail::xmpp {

class Socket_Connection final : public gloox::ConnectionBase {
public:
    // What may wait to be written. A host may send thousands of messages in
    // one frame (10,000 chat messages are about 6 MB), more than the kernel
    // takes at once; a server that stops reading fills it within seconds of
    // traffic, and the connection then counts as lost.
    static constexpr std::size_t max_pending_bytes = 16 << 20;

    explicit Socket_Connection(gloox::ConnectionDataHandler* handler);
    ~Socket_Connection() override;
    Socket_Connection(const Socket_Connection&) = delete;
    Socket_Connection& operator=(const Socket_Connection&) = delete;

    // Begins connecting to the server string and returns at once. An outcome
    // known at once (no possible address, every address refused) is
    // reported through handleDisconnect and returned.
    gloox::ConnectionError connect() override;
    // While connecting: moves the attempt on, never waiting. Connected:
    // flushes what waits to be written, waits at most timeout microseconds
    // (-1: no limit) for input, then reads once.
    gloox::ConnectionError recv(int timeout = -1) override;
    bool send(const std::string& data) override;
    gloox::ConnectionError receive() override;
    void disconnect() override;
    void cleanup() override;
    void getStatistics(long int& total_in, long int& total_out) override;
    gloox::ConnectionBase* newInstance() const override;

    // An endpoint to try before looking the server string up.
    void prefer(const Endpoint& endpoint) { preferred_ = endpoint; }
    // Where the last connection that opened led.
    const std::optional<Endpoint>& reached() const { return reached_; }
    // Why the connection ended, when the socket is where it ended (a failed
    // connect, a read or write error, input refused, the server's end);
    // END_NONE otherwise.
    const Link_End& link_end() const { return link_end_; }

private:
    gloox::ConnectionError continue_connecting();
    // Writes what it can of pending_ without blocking; false on an error.
    bool flush();
    // Hands what waits in input_ to gloox, within its budget, counted from
    // started (the receive's own start).
    gloox::ConnectionError hand_on(long started);
    void lost(gloox::ConnectionError reason, End_Cause cause, std::string detail);
    // "127.0.0.1:5222: " + what, for what happened on the open connection.
    std::string at_endpoint(const std::string& what) const;
    void close_socket();

    int socket_ = -1;
    bool cancel_ = true;
    std::unique_ptr<Connect_Attempt> attempt_;
    std::optional<Endpoint> preferred_;
    std::optional<Endpoint> reached_;
    Link_End link_end_;
    // What waits to be written, in order, the front chunk from offset
    // written_from_front_ on. Chunks, so that no send moves what waits.
    std::deque<std::string> pending_;
    std::size_t pending_bytes_ = 0;
    std::size_t written_from_front_ = 0;
    Stream_Scanner scanner_;
    Input_Pacer input_;
    long int total_in_ = 0;
    long int total_out_ = 0;
};

}  // namespace Velta_Client::detail::xmpp
