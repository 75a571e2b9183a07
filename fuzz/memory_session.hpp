// SPDX-License-Identifier: GPL-3.0-or-later
// A manager logged in to a server that lives in memory, for the receive-path
// fuzzer: no socket, no thread, no wait.
//
// Every gloox client the manager builds gets a Memory_Connection in place of
// its socket. Until the login is complete the tests' in-memory XMPP server
// (tests/peer/core) answers what the client writes (stream header and
// features, in-band registration finding the account there, SASL PLAIN with
// any credentials, resource binding, roster); after that it is not
// fed any more, and the only server-side bytes are the ones a test feeds in.
#pragma once

#include "support/counting_handler.hpp"

#include <velta_client/velta_client.hpp>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace Velta_Client::detail {
class Velta_Manager_Impl;
}

namespace velta_fuzz {

// The tests' counting host, checking as well that on_command_message only
// ever carries CODE_COMMAND_MESSAGE (the harness is broken otherwise).
class Counting_Handler final : public velta_test::Counting_Handler {
public:
    void on_command_message(std::uint32_t code, const Velta_Client::wide_string& from,
                            const Velta_Client::wide_string& text, std::int32_t time, std::uint32_t id) override;
};

class Fixed_Clock final : public Velta_Client::Clock {
public:
    std::int32_t now() override { return time; }
    std::int32_t time = 1000;
};

// One host: clock, handler, and a Velta_Manager_Impl whose clients talk to
// memory. Only one Memory_Session may exist at a time (the connection seam
// is process-wide).
class Memory_Session {
public:
    // user and password as the host gives them; the server accepts any.
    Memory_Session(const std::u16string& user = u"Bob", const std::u16string& password = u"pw");
    ~Memory_Session();
    Memory_Session(const Memory_Session&) = delete;
    Memory_Session& operator=(const Memory_Session&) = delete;

    // start() and poll until connected; false if that takes more than
    // max_polls polls or ends anywhere else.
    bool log_in(int max_polls = 64);
    // Queues bytes as if the server had written them; the next poll reads
    // them all in one read.
    void server_writes(const std::string& bytes);
    // True while the client's connection is open.
    bool connection_open() const;

    Velta_Client::detail::Velta_Manager_Impl& manager() { return *manager_; }
    Counting_Handler handler;
    Fixed_Clock clock;

private:
    std::unique_ptr<Velta_Client::detail::Velta_Manager_Impl> manager_;
};

}  // namespace velta_fuzz
