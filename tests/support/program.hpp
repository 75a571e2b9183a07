// SPDX-License-Identifier: GPL-3.0-or-later
// A program run as a user or a script runs it, for the tests of the built
// tools: its standard input is the test's to write, its output is read back.
#pragma once

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace velta_test {

using namespace std::chrono_literals;

// A child process: its standard input is ours to write, its output (both
// streams) goes to a file we read.
class Program {
public:
    explicit Program(std::vector<std::string> arguments) {
        char path[] = "/tmp/velta-tool-test-XXXXXX";
        const int out = ::mkstemp(path);
        output_path_ = path;
        int input[2];
        if (out < 0 || ::pipe(input) != 0) throw std::runtime_error("no pipe or temporary file");
        ::signal(SIGPIPE, SIG_IGN);  // a program that ended early must fail the test, not end it
        pid_ = ::fork();
        if (pid_ == 0) {
            ::signal(SIGPIPE, SIG_DFL);
            ::dup2(input[0], 0);
            ::dup2(out, 1);
            ::dup2(out, 2);
            ::close(input[0]);
            ::close(input[1]);
            ::close(out);
            std::vector<char*> argv;
            for (auto& argument : arguments) argv.push_back(argument.data());
            argv.push_back(nullptr);
            ::execv(argv[0], argv.data());
            ::_exit(127);
        }
        ::close(input[0]);
        ::close(out);
        input_ = input[1];
    }
    ~Program() {
        if (input_ >= 0) ::close(input_);
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
        ::unlink(output_path_.c_str());
    }

    void write(const std::string& lines) {
        if (::write(input_, lines.data(), lines.size()) != static_cast<ssize_t>(lines.size()))
            ADD_FAILURE() << "could not write to the program";
    }

    std::string output() const {
        std::ifstream file(output_path_);
        std::stringstream text;
        text << file.rdbuf();
        return text.str();
    }

    bool wait_for(const std::string& text, std::chrono::milliseconds limit = 10s) const {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (std::chrono::steady_clock::now() < deadline) {
            if (output().find(text) != std::string::npos) return true;
            std::this_thread::sleep_for(10ms);
        }
        return false;
    }

    // Waits until the output holds `text` at least `times` times.
    bool wait_for_count(const std::string& text, int times, std::chrono::milliseconds limit = 10s) const {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (std::chrono::steady_clock::now() < deadline) {
            const std::string out = output();
            int n = 0;
            for (auto at = out.find(text); at != std::string::npos; at = out.find(text, at + 1)) ++n;
            if (n >= times) return true;
            std::this_thread::sleep_for(10ms);
        }
        return false;
    }

    // Closes its input and returns its exit status (-1: it did not end in time
    // or was killed by a signal).
    int finish(std::chrono::milliseconds limit = 20s) {
        if (input_ >= 0) ::close(input_), input_ = -1;
        const auto deadline = std::chrono::steady_clock::now() + limit;
        int status = 0;
        while (::waitpid(pid_, &status, WNOHANG) == 0) {
            if (std::chrono::steady_clock::now() > deadline) return -1;
            std::this_thread::sleep_for(5ms);
        }
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    void signal(int number) { ::kill(pid_, number); }

private:
    pid_t pid_ = -1;
    int input_ = -1;
    std::string output_path_;
};

}  // namespace velta_test
