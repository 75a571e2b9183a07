// One private Prosody per test process, started on first use.
#pragma once

#include "integration/prosody_server.hpp"
#include "support/host_doubles.hpp"

#include <velta_client/velta_client.hpp>

#include <memory>
#include <string>

namespace velta_test {

Prosody_Server& prosody();

// A host: its clock, its handler and one manager on the private server.
struct Host {
    Host(const std::string& user, const std::string& password);
    ~Host() { delete manager; }
    Host(const Host&) = delete;
    Host& operator=(const Host&) = delete;

    Test_Clock clock;
    Recording_Handler handler;
    Velta_Client::Velta_Manager* manager = nullptr;

    // start() and poll until on_connected, on_error or idle; true when connected.
    bool log_in();
    // Sends a message to itself (own_name) and waits for the server's copy:
    // everything this host sent before has then been handled by the server.
    bool settle(const std::u16string& own_name);
};

}  // namespace velta_test
