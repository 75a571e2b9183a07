// SPDX-License-Identifier: GPL-3.0-or-later
// A private Prosody for the integration tests: its own loopback address, the
// configuration of examples/servers/prosody.cfg.lua pointed at a temporary
// data folder; stopped by its PID.
#pragma once

#include <sys/types.h>

#include <functional>
#include <string>

namespace velta_test {

// examples/servers/prosody.cfg.lua, read afresh for each server.
std::string example_prosody_config();

// Sets "key = value" in a Prosody config: replaces the line that starts with
// "key =", or adds one to the global section (before the first VirtualHost).
void set_prosody_option(std::string& config, const std::string& key, const std::string& value);
// Replaces the whole line that starts with `start` (throws when none does).
void replace_prosody_line(std::string& config, const std::string& start, const std::string& line);

class Prosody_Server {
public:
    // Changes made to the example configuration before the server starts
    // (tests of misconfigured servers); the "where" lines are set after it.
    using Config_Edit = std::function<void(std::string& config)>;

    // Picks a free 127.0.0.N (client port 5222 unless told), writes the
    // config and starts the server; returns once it accepts connections.
    // Throws std::runtime_error.
    explicit Prosody_Server(int port = 5222, const Config_Edit& edit = {});
    explicit Prosody_Server(const Config_Edit& edit) : Prosody_Server(5222, edit) {}
    ~Prosody_Server();
    Prosody_Server(const Prosody_Server&) = delete;
    Prosody_Server& operator=(const Prosody_Server&) = delete;

    std::string address() const { return address_; }
    std::u16string server() const { return std::u16string(address_.begin(), address_.end()); }
    bool running() const { return pid_ > 0; }

    void start();        // same address, same data
    void stop();         // SIGTERM, then wait
    void kill_hard();    // SIGKILL, then wait
    void freeze();       // SIGSTOP
    void resume();       // SIGCONT

private:
    void wait_until_ready();
    void wait_for_exit(int seconds);

    std::string address_;
    std::string folder_;
    int port_;
    pid_t pid_ = -1;
};

}  // namespace velta_test
