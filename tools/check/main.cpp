// SPDX-License-Identifier: GPL-3.0-or-later
// velta-check: can the library work with this XMPP server? One line for each
// check, with what to change.
#include "checks.hpp"

#include "events.hpp"  // velta-cli's JSON quoting

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

const char* const usage =
    R"(usage: velta-check [--account] [--services] [--json] [--timeout SECONDS] SERVER

Checks whether velta-client can work with the XMPP server at SERVER (the
server string a host gives the library: a name or an address; port 5222),
connecting as the library does. One line for each check: pass, warn, fail or
skip, what was seen, and what to change.

  reachable     the TCP connection, and how long it took
  stream        a stream for the domain "localhost"
  starttls      STARTTLS must not be offered: the library never uses TLS
  registration  in-band registration must be open: the library registers
                before every login
  sasl          the login mechanisms (SCRAM-SHA-1; PLAIN only is a warning)

  --account     also run the library itself with a throwaway account:
                register and log in, log out, start again (a server that
                limits registrations per address fails here), then remove
                the account
  --services    with --account, also ask "admin" and "cmdadmin" for an answer
  --json        one JSON object instead of the lines
  --timeout S   the wait for each answer, in seconds (default 5)
  --help        this text

Exit status: 0 when the library can work with the server (no check failed),
1 when a check failed, 2 for a wrong argument.
)";

void print_lines(const std::string& server, const std::vector<velta_check::Check>& checks, bool usable) {
    std::printf("velta-check %s (port 5222, the domain localhost)\n", server.c_str());
    for (const auto& check : checks) {
        std::printf("%-4s  %-15s %s", velta_check::verdict_name(check.verdict), check.name.c_str(),
                    check.detail.c_str());
        if (!check.fix.empty()) std::printf("; change: %s", check.fix.c_str());
        std::printf("\n");
    }
    std::printf(usable ? "verdict: the library can work with this server\n"
                       : "verdict: the library cannot work with this server as it is\n");
}

void print_json(const std::string& server, const std::vector<velta_check::Check>& checks, bool usable) {
    using velta_cli::json_quote;
    std::string out = "{\"server\":" + json_quote(server) + ",\"usable\":" + (usable ? "true" : "false") +
                      ",\"checks\":[";
    bool first = true;
    for (const auto& check : checks) {
        out += first ? "" : ",";
        first = false;
        out += "{\"name\":" + json_quote(check.name) + ",\"result\":" +
               json_quote(velta_check::verdict_name(check.verdict)) + ",\"detail\":" + json_quote(check.detail) +
               ",\"fix\":" + json_quote(check.fix) + "}";
    }
    out += "]}";
    std::printf("%s\n", out.c_str());
}

int wrong(const std::string& why) {
    std::fprintf(stderr, "velta-check: %s\n(velta-check --help shows the usage)\n", why.c_str());
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    velta_check::Options options;
    bool json = false;
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        if (argument == "--help" || argument == "-h") {
            std::fputs(usage, stdout);
            return 0;
        } else if (argument == "--account") {
            options.account = true;
        } else if (argument == "--services") {
            options.services = true;
        } else if (argument == "--json") {
            json = true;
        } else if (argument == "--timeout") {
            if (i + 1 >= argc) return wrong("--timeout needs a number of seconds");
            char* end = nullptr;
            const long seconds = std::strtol(argv[++i], &end, 10);
            if (!end || *end || seconds < 1 || seconds > 600) return wrong("--timeout takes 1 to 600 seconds");
            options.timeout_ms = static_cast<int>(seconds * 1000);
        } else if (argument.rfind("-", 0) == 0) {
            return wrong("unknown option " + argument);
        } else if (options.server.empty()) {
            options.server = argument;
        } else {
            return wrong("one SERVER only");
        }
    }
    if (options.server.empty()) return wrong("which SERVER?");
    if (options.services && !options.account) return wrong("--services needs --account");

    std::vector<velta_check::Check> checks;
    const bool can_log_in = velta_check::probe_stream(options, checks);
    if (options.account) {
        if (can_log_in) {
            velta_check::check_account(options, checks);
        } else {
            for (const char* name : {"account", "second-start"})
                checks.push_back({name, velta_check::Verdict::skip, "fix the failed checks first", ""});
            if (options.services)
                for (const char* name : {"admin", "cmdadmin"})
                    checks.push_back({name, velta_check::Verdict::skip, "fix the failed checks first", ""});
        }
    }
    bool usable = can_log_in;
    for (const auto& check : checks)
        if (check.verdict == velta_check::Verdict::fail) usable = false;
    if (json)
        print_json(options.server, checks, usable);
    else
        print_lines(options.server, checks, usable);
    return usable ? 0 : 1;
}
