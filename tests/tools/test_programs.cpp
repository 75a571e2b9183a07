// SPDX-License-Identifier: GPL-3.0-or-later
// velta-cli and velta-services as built, run as a user or a script runs them:
// arguments, a whole scripted session against a private Prosody, failures.
#include "integration/prosody_server.hpp"
#include "support/program.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

using namespace std::chrono_literals;

namespace {

velta_test::Prosody_Server& prosody() {
    static velta_test::Prosody_Server server;
    return server;
}

using velta_test::Program;

std::vector<std::string> cli(const std::string& user, std::vector<std::string> more = {}) {
    std::vector<std::string> arguments{VELTA_CLI_PATH, "--server", prosody().address(), "--user", user,
                                       "--password", "pw"};
    arguments.insert(arguments.end(), more.begin(), more.end());
    return arguments;
}

int count(const std::string& text, const std::string& part) {
    int n = 0;
    for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
    return n;
}

}  // namespace

TEST(Tool_Programs, a_wrong_or_missing_argument_is_named_and_exits_2) {
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{VELTA_CLI_PATH}, "missing --server"},
        {{VELTA_CLI_PATH, "--server", "127.0.0.1", "--user", "a"}, "missing --password"},
        {{VELTA_CLI_PATH, "--server", "127.0.0.1", "--user", "a", "--password", "p", "--colour"}, "'--colour'"},
        {{VELTA_CLI_PATH, "--server", "127.0.0.1", "--user"}, "--user needs a value"},
        {{VELTA_CLI_PATH, "--server=", "--user", "a", "--password", "p"}, "--server must not be empty"},
        {{VELTA_CLI_PATH, "--server", "x", "--user", "a", "--password", "p", "--script", "/nonexistent/s"},
         "cannot read the script"},
        {{VELTA_SERVICES_PATH}, "missing --server"},
        {{VELTA_SERVICES_PATH, "--server"}, "--server needs a value"},
        {{VELTA_SERVICES_PATH, "--server", "127.0.0.1", "--verbose"}, "'--verbose'"},
    };
    for (const auto& [arguments, message] : cases) {
        Program program(arguments);
        EXPECT_EQ(program.finish(), 2) << arguments.back();
        EXPECT_NE(program.output().find(message), std::string::npos) << program.output();
    }
    Program help({VELTA_SERVICES_PATH, "--help"});
    EXPECT_EQ(help.finish(), 0);
    EXPECT_NE(help.output().find("268470409 <requester> 32 <hex digits> text=<body>"), std::string::npos);
}

TEST(Tool_Programs, a_script_gets_every_reply_from_the_services_as_json) {
    Program services({VELTA_SERVICES_PATH, "--server", prosody().address()});
    ASSERT_TRUE(services.wait_for("cmdadmin logged in")) << services.output();

    const char* script =
        "# comments and blank lines are skipped\n"
        "\n"
        "/wait connected\n"
        "/to Zoë\n"
        "Привет \"quoted\" 😀\n"
        "/wait message:Zoë\n"
        "/admin-values 1 4294967295 -- v\n"
        "/admin-id 000102030405060708090A0B0C0D0E0F id\n"
        "/admin-text tab\there\n"
        "/cmd-message bob go 9\n"
        "/cmd-values 7\n"
        "/wait admin-values\n/wait admin-id\n/wait admin-text\n/wait cmd-message\n/wait cmd-values\n"
        "/admin-text stored 77 Bob\n"
        "/wait message-stored:Bob\n"
        "/logout\n"
        "/wait disconnected\n"
        "/expect-state IDLE\n";
    Program host(cli("Zoë", {"--json"}));
    host.write(script);
    EXPECT_EQ(host.finish(), 0);
    const std::string out = host.output();

    std::istringstream lines(out);
    for (std::string line; std::getline(lines, line);)
        EXPECT_TRUE(line.size() > 12 && line.rfind("{\"event\":\"", 0) == 0 && line.back() == '}') << line;
    for (const char* expected :
         {R"({"event":"state","state":2,"name":"CONNECTED","previous":1,"previous_name":"LOGGING_IN"})",
          R"({"event":"message","from":"Zoë","text":"Привет \"quoted\" 😀","time":)",
          R"({"event":"admin-values","name":"Zoë","text":"values=1,4294967295 text=v","time":)",
          R"({"event":"admin-text","name":"Zoë","text":"tab\there","time":)",
          R"({"event":"cmd-message","name":"Zoë","text":"to=bob text=go","time":)",
          R"({"event":"cmd-values","name":"Zoë","text":"values= text=","time":)",
          R"({"event":"message-stored","id":77,"user":"Bob"})",
          R"({"event":"state","state":4,"name":"IDLE","previous":3,"previous_name":"RESETTING"})"})
        EXPECT_NE(out.find(expected), std::string::npos) << expected << "\n" << out;
    EXPECT_NE(out.find(R"("field":"000102030405060708090A0B0C0D0E0F)"), std::string::npos) << out;
    EXPECT_NE(out.find(R"("reserve":9)"), std::string::npos);
    EXPECT_NE(out.find(R"("reserve":7)"), std::string::npos);
    EXPECT_EQ(count(out, R"({"event":"message",)"), 2) << out;  // the copy and the message

    services.signal(SIGTERM);
    EXPECT_EQ(services.finish(), 0);
    EXPECT_EQ(count(services.output(), " answered "), 5) << services.output();
    EXPECT_EQ(count(services.output(), "admin sent Zoë a stored-offline notice for message 77 to Bob"), 1);
}

TEST(Tool_Programs, a_failed_step_ends_a_script_with_status_1) {
    Program waits(cli("ann"));
    waits.write("/wait connected\n/wait message 0.3\n/print not reached\n");
    EXPECT_EQ(waits.finish(), 1);
    EXPECT_NE(waits.output().find("FAILED /wait message 0.3: no message event came"), std::string::npos)
        << waits.output();
    EXPECT_EQ(waits.output().find("not reached"), std::string::npos);

    Program restart(cli("ann", {"--script", "/dev/stdin"}));
    restart.write("/start\n");  // already started at launch: not valid in this state
    EXPECT_EQ(restart.finish(), 1);
    EXPECT_NE(restart.output().find("/start acts only when idle"), std::string::npos);

    Program not_started(cli("ann", {"--no-start"}));
    not_started.write("/to bob\nhello\n");
    EXPECT_EQ(not_started.finish(), 1);
    EXPECT_NE(not_started.output().find("not connected (state IDLE(4)): message not sent"), std::string::npos)
        << not_started.output();
}

TEST(Tool_Programs, a_lost_server_is_told_once_and_not_at_every_poll) {
    Program host(cli("lee"));
    host.write("/wait connected\n/print ready\n");
    ASSERT_TRUE(host.wait_for("ready"));
    prosody().kill_hard();
    host.write("/wait disconnected 5\n/sleep 0.5\n/expect-state IDLE\n");
    EXPECT_EQ(host.finish(), 0) << host.output();
    EXPECT_EQ(count(host.output(), "] disconnected"), 1) << host.output();
    // Why, in the library's words: a killed server's kernel closes its
    // socket, with a FIN, or with a reset when input it never read waited.
    EXPECT_TRUE(host.output().find("] disconnected (closed_by_server: ") != std::string::npos ||
                host.output().find("] disconnected (dead_link: ") != std::string::npos)
        << host.output();
    EXPECT_NE(host.output().find("repeats are not shown"), std::string::npos);
}
