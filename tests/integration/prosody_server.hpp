// A private Prosody for the integration tests: its own loopback address, a
// generated config and a temporary data folder; stopped by its PID.
#pragma once

#include <sys/types.h>

#include <string>

namespace velta_test {

class Prosody_Server {
public:
    // Picks a free 127.0.0.N (client port 5222 unless told), writes the
    // config and starts the server; returns once it accepts connections.
    // Throws std::runtime_error.
    explicit Prosody_Server(int port = 5222);
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
