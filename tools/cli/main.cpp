// SPDX-License-Identifier: GPL-3.0-or-later
// velta-cli: a host program for the library, for people and for scripts.
#include "commands.hpp"
#include "session.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <deque>
#include <fstream>
#include <string>

namespace {

using Clock = std::chrono::steady_clock;
using velta_cli::Session;
using Step = Session::Step;

const char* const usage =
    R"(usage: velta-cli --server ADDR --user NAME --password PASS [options]

Logs in to the chat server at ADDR (port 5222) as NAME, registering the
account first if it does not exist, and shows every event as a line.

  --server ADDR     the server's host name or address
  --user NAME       the user name (any text)
  --password PASS   the password
  --json            print each event as one JSON object per line
  --no-start        do not log in at launch (use /start)
  --script FILE     run the commands in FILE, then leave; standard input
                    that is not a terminal is read as a script too
  --help            this text, and the commands

Exit status: 0, 1 when a script step failed, 2 for a wrong argument.

)";

struct Options {
    std::string server, user, password, script;
    bool json = false;
    bool start = true;
    bool help = false;
};

// Empty when the arguments are good, else what is wrong with them.
std::string parse_arguments(int argc, char** argv, Options& options) {
    bool seen_server = false, seen_user = false, seen_password = false;
    for (int i = 1; i < argc; ++i) {
        std::string argument = argv[i];
        std::string value;
        bool has_value = false;
        if (const auto equals = argument.find('='); argument.rfind("--", 0) == 0 && equals != std::string::npos) {
            value = argument.substr(equals + 1);
            argument.resize(equals);
            has_value = true;
        }
        const auto take = [&](std::string& into, bool& seen) -> std::string {
            if (!has_value) {
                if (i + 1 >= argc) return argument + " needs a value";
                value = argv[++i];
            }
            if (value.empty()) return argument + " must not be empty";
            if (seen) return argument + " is given twice";
            seen = true;
            into = value;
            return {};
        };
        std::string problem;
        bool seen_script = !options.script.empty();
        if (argument == "--server") problem = take(options.server, seen_server);
        else if (argument == "--user") problem = take(options.user, seen_user);
        else if (argument == "--password") problem = take(options.password, seen_password);
        else if (argument == "--script") problem = take(options.script, seen_script);
        else if (has_value && (argument == "--json" || argument == "--no-start" || argument == "--help"))
            problem = argument + " takes no value";
        else if (argument == "--json") options.json = true;
        else if (argument == "--no-start") options.start = false;
        else if (argument == "--help" || argument == "-h") options.help = true;
        else problem = "unknown argument '" + std::string(argv[i]) + "'";
        if (!problem.empty()) return problem;
    }
    if (options.help) return {};
    if (!seen_server) return "missing --server ADDR";
    if (!seen_user) return "missing --user NAME";
    if (!seen_password) return "missing --password PASS";
    return {};
}

volatile std::sig_atomic_t stop_requested = 0;

void request_stop(int) { stop_requested = 1; }

// Lines typed or piped in, read without ever holding up the frame loop.
class Input {
public:
    bool open = true;

    // Waits until the deadline or until input arrives; complete lines go to
    // lines. A signal ends the wait early.
    void wait(Clock::time_point deadline, std::deque<std::string>& lines) {
        const auto left = std::chrono::duration_cast<std::chrono::nanoseconds>(deadline - Clock::now());
        timespec timeout{};
        if (left.count() > 0) {
            timeout.tv_sec = static_cast<time_t>(left.count() / 1000000000);
            timeout.tv_nsec = static_cast<long>(left.count() % 1000000000);
        }
        pollfd watched{0, POLLIN, 0};
        const int ready = ::ppoll(&watched, open ? 1 : 0, &timeout, nullptr);
        if (ready <= 0 || !(watched.revents & (POLLIN | POLLHUP | POLLERR))) return;
        char buffer[4096];
        const ssize_t got = ::read(0, buffer, sizeof buffer);
        if (got < 0 && (errno == EINTR || errno == EAGAIN)) return;
        if (got <= 0) {
            open = false;
            if (!partial_.empty()) lines.push_back(std::move(partial_));
            partial_.clear();
            return;
        }
        partial_.append(buffer, static_cast<std::size_t>(got));
        for (std::size_t end; (end = partial_.find('\n')) != std::string::npos;) {
            lines.push_back(partial_.substr(0, end));
            partial_.erase(0, end + 1);
        }
    }

private:
    std::string partial_;
};

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (const std::string problem = parse_arguments(argc, argv, options); !problem.empty()) {
        std::fprintf(stderr, "velta-cli: %s\n(velta-cli --help tells the arguments)\n", problem.c_str());
        return 2;
    }
    if (options.help) {
        std::fputs(usage, stdout);
        std::fputs(velta_cli::help_text, stdout);
        return 0;
    }

    std::deque<std::string> lines;
    Input input;
    const bool from_file = !options.script.empty();
    if (from_file) {
        std::ifstream file(options.script);
        if (!file) {
            std::fprintf(stderr, "velta-cli: cannot read the script '%s': %s\n", options.script.c_str(),
                         std::strerror(errno));
            return 2;
        }
        for (std::string line; std::getline(file, line);) lines.push_back(line);
        input.open = false;
    }
    const bool scripted = from_file || !::isatty(0);

    struct sigaction action {};
    action.sa_handler = request_stop;
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGINT, &action, nullptr);
    ::sigaction(SIGTERM, &action, nullptr);

    Session session(options.json, stdout);
    if (!session.open(options.server, options.user, options.password)) return 1;
    if (!scripted && !options.json)
        std::printf("velta-cli: %s on %s. Type /help for the commands, /quit or Ctrl-D to leave.\n",
                    options.user.c_str(), options.server.c_str());
    if (options.start) {
        velta_cli::Command start;
        start.kind = velta_cli::Command::Kind::start;
        session.run(start, "/start");
    }

    const auto frame = std::chrono::microseconds(16667);  // 60 Hz
    auto next_frame = Clock::now();
    int exit_code = 0;
    bool quitting = false;
    const auto settle = [&](Step step) {
        if (step == Step::quit) quitting = true;
        if (step == Step::failed && scripted) {
            exit_code = 1;
            quitting = true;
        }
    };

    while (!quitting && !stop_requested) {
        const auto now = Clock::now();
        if (now >= next_frame) {
            session.poll();
            next_frame += frame;
            if (next_frame < now) next_frame = now + frame;  // we fell behind: no burst of polls
        }
        while (!quitting) {
            if (session.pending()) {
                const Step step = session.progress();
                if (step == Step::pending) break;
                settle(step);
                continue;
            }
            if (lines.empty()) break;
            const std::string line = std::move(lines.front());
            lines.pop_front();
            if (scripted && line.find_first_not_of(" \t") != std::string::npos &&
                line[line.find_first_not_of(" \t")] == '#')
                continue;
            const velta_cli::Parsed parsed = velta_cli::parse_command(line);
            if (!parsed.error.empty()) {
                session.report_error(parsed.error);
                settle(Step::failed);
            } else if (parsed.command) {
                settle(session.run(*parsed.command, line));
            }
        }
        if (quitting) break;
        if (!input.open && lines.empty() && !session.pending()) break;  // the script is done
        input.wait(next_frame, lines);
    }
    if (stop_requested && scripted && (session.pending() || !lines.empty() || input.open)) exit_code = 1;
    session.close();
    return exit_code;
}
