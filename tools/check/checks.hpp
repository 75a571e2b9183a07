// SPDX-License-Identifier: GPL-3.0-or-later
// velta-check's checks: each gives a verdict, what it saw and what to change.
#pragma once

#include <string>
#include <vector>

namespace velta_check {

enum class Verdict { pass, warn, fail, skip };

struct Check {
    std::string name;    // "reachable", "stream", ...
    Verdict verdict;
    std::string detail;  // what was seen, in plain words
    std::string fix;     // what to change; empty when nothing needs to change
};

struct Options {
    std::string server;       // the host's server string: a name or an address; port 5222
    bool account = false;     // register, log in, start again and remove a throwaway account
    bool services = false;    // also ask "admin" and "cmdadmin" (implies account)
    int timeout_ms = 5000;    // for each wait on the network
};

// What a stream to the server shows before any login: reachable, stream,
// starttls, registration, sasl. Appends one Check each (skip where an earlier
// one made it impossible). Returns whether a login can be tried.
bool probe_stream(const Options& options, std::vector<Check>& checks);

// The library's own start, twice, with a throwaway account, then the account
// removed; with options.services, one request to each service in between.
void check_account(const Options& options, std::vector<Check>& checks);

const char* verdict_name(Verdict verdict);

}  // namespace velta_check
