// The TCP connection every client of the library uses instead of gloox's own:
// it writes with MSG_NOSIGNAL (a closed peer must not raise SIGPIPE in the
// host) and waits with poll(2) (select(2) cannot take descriptors of 1024 or
// more, which a game client with many open files reaches).
#pragma once

#include <gloox/connectionbase.h>

namespace Velta_Client::detail::xmpp {

class Socket_Connection final : public gloox::ConnectionBase {
public:
    explicit Socket_Connection(gloox::ConnectionDataHandler* handler);
    ~Socket_Connection() override;
    Socket_Connection(const Socket_Connection&) = delete;
    Socket_Connection& operator=(const Socket_Connection&) = delete;

    // Resolves the server (port -1: the "xmpp-client" service, 5222) and
    // connects, blocking; reports failure through handleDisconnect as well.
    gloox::ConnectionError connect() override;
    // Waits at most timeout microseconds (-1: no limit), then reads once.
    gloox::ConnectionError recv(int timeout = -1) override;
    bool send(const std::string& data) override;
    gloox::ConnectionError receive() override;
    void disconnect() override;
    void cleanup() override;
    void getStatistics(long int& total_in, long int& total_out) override;
    gloox::ConnectionBase* newInstance() const override;

private:
    void close_socket();

    int socket_ = -1;
    bool cancel_ = true;
    long int total_in_ = 0;
    long int total_out_ = 0;
};

}  // namespace Velta_Client::detail::xmpp
