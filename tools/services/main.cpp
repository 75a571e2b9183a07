// SPDX-License-Identifier: GPL-3.0-or-later
// velta-services: the two reference services, "admin" and "cmdadmin", on one
// server, answering until SIGINT or SIGTERM.
#include "service_bot.hpp"

#include <signal.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <memory>
#include <string>
#include <thread>

namespace {

const char* const usage = R"(usage: velta-services --server ADDR [--admin-password PASS] [--cmdadmin-password PASS]

Logs in to the chat server at ADDR (port 5222) as the two service accounts
"admin" and "cmdadmin", registering them first if they do not exist, answers
every request the library sends until SIGINT or SIGTERM, and logs one line per
answer. Passwords default to "admin-pw" and "cmdadmin-pw".

Requests arrive as chat messages whose subject starts with a code; the reply
is a chat message to the requester whose body is laid out as the library reads
it:

  request (subject)              reply body
  268470408 V1 V2 ...            268470408 <requester> values=V1,V2,... text=<body>
  268470409 <32 hex digits>      268470409 <requester> 32 <hex digits> text=<body>
  268470416                      268470416 <requester> <body>
  268470419 <node>@localhost/..  268470419 <requester> to=<user name> text=<body>
  268470420 V1 V2 ...            268470420 <requester> values=V1,V2,... text=<body>

"admin" answers 268470408, 268470409 and 268470416; "cmdadmin" answers
268470419 and 268470420 (each answers whatever it is sent). <requester> is the
sender's full address, whose node is the escaped user name; <user name> is the
user the command message names, unescaped. The two command replies keep the
request's id and carry its reserve back on
<amp xmlns='http://jabber.org/protocol/amp'><rule reserve='N'/></amp>.
An admin text request whose body is "stored ID USER" is answered instead with
the stored-offline notice for message ID to USER that a server implementing
message processing rules would send (the library reports it as
on_message_stored).

Exit status: 0 when stopped by a signal, 1 when the services could not log in,
2 for a wrong argument.
)";

volatile std::sig_atomic_t stop_requested = 0;

void request_stop(int) { stop_requested = 1; }

void log_line(const std::string& line) {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char stamp[16];
    std::strftime(stamp, sizeof stamp, "%H:%M:%S", &local);
    std::printf("[%s] %s\n", stamp, line.c_str());
    std::fflush(stdout);
}

struct Account {
    std::string node, password;
    std::unique_ptr<velta_services::Service_Bot> bot;
    std::chrono::steady_clock::time_point retry_at{};
};

bool log_in(Account& account, const std::string& server) {
    account.bot = std::make_unique<velta_services::Service_Bot>(server, account.node, account.password);
    account.bot->log = log_line;
    if (account.bot->connect()) {
        log_line(account.node + " logged in on " + server);
        return true;
    }
    log_line(account.node + " could not log in on " + server);
    return false;
}

}  // namespace

int main(int argc, char** argv) {
    std::string server;
    Account accounts[] = {{"admin", "admin-pw", nullptr, {}}, {"cmdadmin", "cmdadmin-pw", nullptr, {}}};
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        if (argument == "--help" || argument == "-h") {
            std::fputs(usage, stdout);
            return 0;
        }
        std::string* into = argument == "--server"              ? &server
                            : argument == "--admin-password"    ? &accounts[0].password
                            : argument == "--cmdadmin-password" ? &accounts[1].password
                                                                : nullptr;
        if (!into) {
            std::fprintf(stderr, "velta-services: unknown argument '%s'\n(velta-services --help tells the arguments)\n",
                         argv[i]);
            return 2;
        }
        if (i + 1 >= argc || argv[i + 1][0] == '\0') {
            std::fprintf(stderr, "velta-services: %s needs a value\n", argv[i]);
            return 2;
        }
        *into = argv[++i];
    }
    if (server.empty()) {
        std::fprintf(stderr, "velta-services: missing --server ADDR\n(velta-services --help tells the arguments)\n");
        return 2;
    }

    struct sigaction action {};
    action.sa_handler = request_stop;
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGINT, &action, nullptr);
    ::sigaction(SIGTERM, &action, nullptr);
    ::signal(SIGPIPE, SIG_IGN);

    for (Account& account : accounts)
        if (!log_in(account, server)) return 1;

    // Each bot waits a little for input in turn: one thread serves both.
    while (!stop_requested) {
        for (Account& account : accounts) {
            if (stop_requested) break;
            if (account.bot->connected()) {
                account.bot->poll(10000);
                if (!account.bot->connected()) {
                    log_line(account.node + " lost its connection; trying again every 2 s");
                    account.retry_at = std::chrono::steady_clock::now();
                }
            } else if (std::chrono::steady_clock::now() >= account.retry_at) {
                account.retry_at = std::chrono::steady_clock::now() + std::chrono::seconds(2);
                log_in(account, server);
            } else {
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
        }
    }
    int answered = 0;
    for (const Account& account : accounts) answered += account.bot->answered();
    log_line("stopping after " + std::to_string(answered) + " answers");
    return 0;
}
