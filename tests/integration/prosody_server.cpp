// SPDX-License-Identifier: GPL-3.0-or-later
#include "integration/prosody_server.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace velta_test {

namespace {

sockaddr_in loopback(int n, int port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl((127u << 24) | static_cast<unsigned>(n));
    return address;
}

bool port_free(int n, int port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) return false;
    int yes = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    const sockaddr_in address = loopback(n, port);
    const bool free = ::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    ::close(fd);
    return free;
}

bool accepts(int n, int port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) return false;
    const sockaddr_in address = loopback(n, port);
    const bool ok = ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    ::close(fd);
    return ok;
}

// This file is tests/integration/prosody_server.cpp; the example sits two
// folders up. VELTA_PROSODY_CONFIG names another file.
std::string example_config_path() {
    if (const char* path = std::getenv("VELTA_PROSODY_CONFIG")) return path;
    std::string here = __FILE__;
    for (int up = 0; up < 3; ++up) here = here.substr(0, here.rfind('/'));
    return here + "/examples/servers/prosody.cfg.lua";
}

std::string config_text(const Prosody_Server::Config_Edit& edit, const std::string& folder,
                        const std::string& address, int port) {
    std::string config = example_prosody_config();
    if (edit) edit(config);
    set_prosody_option(config, "data_path", "\"" + folder + "/data\"");
    set_prosody_option(config, "pidfile", "\"" + folder + "/prosody.pid\"");
    set_prosody_option(config, "interfaces", "{ \"" + address + "\" }");
    set_prosody_option(config, "c2s_ports", "{ " + std::to_string(port) + " }");
    set_prosody_option(config, "log",
                       "{ { levels = { min = \"info\" }, to = \"file\", filename = \"" + folder + "/prosody.log\" } }");
    return config;
}

bool line_starts(const std::string& config, std::size_t at, const std::string& start) {
    return config.compare(at, start.size(), start) == 0;
}

}  // namespace

std::string example_prosody_config() {
    const std::string path = example_config_path();
    std::ifstream file(path);
    if (!file) throw std::runtime_error("cannot read " + path);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

void replace_prosody_line(std::string& config, const std::string& start, const std::string& line) {
    for (std::size_t at = 0; at < config.size();) {
        std::size_t end = config.find('\n', at);
        if (end == std::string::npos) end = config.size();
        if (line_starts(config, at, start)) {
            config.replace(at, end - at, line);
            return;
        }
        at = end + 1;
    }
    throw std::runtime_error("no line starts with " + start + " in the Prosody config");
}

void set_prosody_option(std::string& config, const std::string& key, const std::string& value) {
    const std::string line = key + " = " + value;
    try {
        replace_prosody_line(config, key + " =", line);
    } catch (const std::runtime_error&) {
        const std::size_t host = config.find("\nVirtualHost");
        config.insert(host == std::string::npos ? config.size() : host + 1, line + "\n");
    }
}


Prosody_Server::Prosody_Server(int port, const Config_Edit& edit) : port_(port) {
    std::mt19937 random(static_cast<unsigned>(::getpid()) * 2654435761u ^
                        static_cast<unsigned>(std::chrono::steady_clock::now().time_since_epoch().count()));
    int n = 0;
    for (int attempt = 0; attempt < 400 && n == 0; ++attempt) {
        const int candidate = 2 + static_cast<int>(random() % 253);
        if (port_free(candidate, port_)) n = candidate;
    }
    if (n == 0) throw std::runtime_error("no free loopback address for prosody");
    address_ = "127.0.0." + std::to_string(n);

    char folder[] = "/tmp/velta-prosody-XXXXXX";
    if (!::mkdtemp(folder)) throw std::runtime_error("mkdtemp failed");
    folder_ = folder;
    ::mkdir((folder_ + "/data").c_str(), 0700);
    ::mkdir((folder_ + "/certs").c_str(), 0700);
    std::ofstream(folder_ + "/prosody.cfg.lua") << config_text(edit, folder_, address_, port_);
    start();
}

Prosody_Server::~Prosody_Server() {
    if (pid_ > 0) {
        resume();
        stop();
    }
    if (!folder_.empty()) {
        const std::string command = "rm -rf '" + folder_ + "'";
        if (std::system(command.c_str()) != 0) {
        }
    }
}

void Prosody_Server::start() {
    if (pid_ > 0) return;
    const std::string config = folder_ + "/prosody.cfg.lua";
    ::unlink((folder_ + "/prosody.pid").c_str());  // a killed server leaves it behind
    const pid_t child = ::fork();
    if (child < 0) throw std::runtime_error("fork failed");
    if (child == 0) {
        const int null = ::open("/dev/null", O_RDWR);
        if (null >= 0) {
            ::dup2(null, 0);
            ::dup2(null, 1);
            ::dup2(null, 2);
        }
        ::execlp("prosody", "prosody", "-F", "--config", config.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    pid_ = child;
    wait_until_ready();
}

void Prosody_Server::wait_until_ready() {
    const int n = std::stoi(address_.substr(address_.rfind('.') + 1));
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (std::chrono::steady_clock::now() < deadline) {
        if (accepts(n, port_)) return;
        int status = 0;
        if (::waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            throw std::runtime_error("prosody exited at start; see " + folder_ + "/prosody.log");
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    throw std::runtime_error("prosody did not accept connections on " + address_);
}

void Prosody_Server::wait_for_exit(int seconds) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (std::chrono::steady_clock::now() < deadline) {
        int status = 0;
        if (::waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
    pid_ = -1;
}

void Prosody_Server::stop() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGTERM);
    wait_for_exit(10);
}

void Prosody_Server::kill_hard() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGKILL);
    wait_for_exit(10);
}

void Prosody_Server::freeze() {
    if (pid_ > 0) ::kill(pid_, SIGSTOP);
}

void Prosody_Server::resume() {
    if (pid_ > 0) ::kill(pid_, SIGCONT);
}

}  // namespace velta_test
