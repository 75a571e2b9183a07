// SPDX-License-Identifier: GPL-3.0-or-later
// velta-check as built, against a private Prosody started from
// examples/servers/prosody.cfg.lua as it is and with each setting broken
// that a stock server gets wrong: every verdict and the exit status.
#include "integration/prosody_server.hpp"
#include "support/program.hpp"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

namespace {

using velta_test::Program;
using velta_test::Prosody_Server;

struct Outcome {
    int status = -1;
    std::string output;
    std::map<std::string, std::string> verdicts;  // check name -> pass, warn, fail or skip
};

Outcome run_check(const std::string& server, std::vector<std::string> options = {}) {
    std::vector<std::string> arguments{VELTA_CHECK_PATH};
    arguments.insert(arguments.end(), options.begin(), options.end());
    arguments.push_back(server);
    Program check(arguments);
    Outcome outcome;
    outcome.status = check.finish(std::chrono::seconds(60));
    outcome.output = check.output();
    std::size_t at = 0;
    while (at < outcome.output.size()) {
        std::size_t end = outcome.output.find('\n', at);
        if (end == std::string::npos) end = outcome.output.size();
        const std::string line = outcome.output.substr(at, end - at);
        for (const char* verdict : {"pass", "warn", "fail", "skip"})
            if (line.rfind(std::string(verdict) + "  ", 0) == 0) {
                const std::size_t name_start = line.find_first_not_of(' ', 4);
                const std::size_t name_end = line.find(' ', name_start);
                outcome.verdicts[line.substr(name_start, name_end - name_start)] = verdict;
            }
        at = end + 1;
    }
    return outcome;
}

void expect_verdicts(const Outcome& outcome, const std::map<std::string, std::string>& expected) {
    for (const auto& [name, verdict] : expected) EXPECT_EQ(outcome.verdicts.count(name) ? outcome.verdicts.at(name) : "(missing)", verdict) << name << " in\n" << outcome.output;
    EXPECT_EQ(outcome.verdicts.size(), expected.size()) << outcome.output;
}

const std::map<std::string, std::string> probes_pass = {
    {"reachable", "pass"}, {"stream", "pass"}, {"starttls", "pass"}, {"registration", "pass"}, {"sasl", "pass"}};

}  // namespace

TEST(Velta_Check, the_example_configuration_passes_every_check_with_an_account) {
    Prosody_Server prosody;
    const Outcome outcome = run_check(prosody.address(), {"--account"});
    auto expected = probes_pass;
    expected.insert({{"account", "pass"}, {"second-start", "pass"}, {"account-removed", "pass"}});
    expect_verdicts(outcome, expected);
    EXPECT_EQ(outcome.status, 0) << outcome.output;
    EXPECT_NE(outcome.output.find("verdict: the library can work with this server"), std::string::npos);
}

TEST(Velta_Check, services_answer_when_running_and_fail_when_not) {
    Prosody_Server prosody;
    {
        Outcome outcome = run_check(prosody.address(), {"--account", "--services", "--timeout", "2"});
        EXPECT_EQ(outcome.verdicts["admin"], "fail") << outcome.output;
        EXPECT_EQ(outcome.verdicts["cmdadmin"], "fail") << outcome.output;
        EXPECT_EQ(outcome.status, 1);
    }
    Program services({VELTA_SERVICES_PATH, "--server", prosody.address()});
    ASSERT_TRUE(services.wait_for("cmdadmin logged in", std::chrono::seconds(20))) << services.output();
    Outcome outcome = run_check(prosody.address(), {"--account", "--services"});
    EXPECT_EQ(outcome.verdicts["admin"], "pass") << outcome.output;
    EXPECT_EQ(outcome.verdicts["cmdadmin"], "pass") << outcome.output;
    EXPECT_EQ(outcome.status, 0) << outcome.output;
}

TEST(Velta_Check, starttls_offered_fails_and_names_the_module) {
    Prosody_Server prosody([](std::string& config) {
        velta_test::set_prosody_option(config, "modules_enabled",
                                       "{ \"saslauth\"; \"tls\"; \"register\"; \"roster\"; \"disco\"; \"ping\" }");
    });
    const Outcome outcome = run_check(prosody.address(), {"--account"});
    auto expected = probes_pass;
    expected["starttls"] = "fail";
    expected.insert({{"account", "skip"}, {"second-start", "skip"}});
    expect_verdicts(outcome, expected);
    EXPECT_EQ(outcome.status, 1);
    EXPECT_NE(outcome.output.find("remove \"tls\" from modules_enabled"), std::string::npos) << outcome.output;
}

TEST(Velta_Check, a_stock_prosody_fails_on_tls_and_on_closed_registration) {
    // What Debian installs: "tls" on, encryption required, registration closed.
    Prosody_Server prosody([](std::string& config) {
        velta_test::set_prosody_option(config, "modules_enabled",
                                       "{ \"saslauth\"; \"tls\"; \"register\"; \"roster\"; \"disco\"; \"ping\" }");
        velta_test::set_prosody_option(config, "allow_registration", "false");
        velta_test::set_prosody_option(config, "c2s_require_encryption", "true");
    });
    const Outcome outcome = run_check(prosody.address());
    expect_verdicts(outcome, {{"reachable", "pass"}, {"stream", "pass"}, {"starttls", "fail"},
                              {"registration", "fail"}, {"sasl", "fail"}});
    EXPECT_EQ(outcome.status, 1);
    EXPECT_NE(outcome.output.find("never uses TLS (required by the server)"), std::string::npos) << outcome.output;
}

TEST(Velta_Check, closed_registration_fails_and_names_the_setting) {
    Prosody_Server prosody([](std::string& config) { velta_test::set_prosody_option(config, "allow_registration", "false"); });
    const Outcome outcome = run_check(prosody.address());
    auto expected = probes_pass;
    expected["registration"] = "fail";
    expect_verdicts(outcome, expected);
    EXPECT_EQ(outcome.status, 1);
    EXPECT_NE(outcome.output.find("allow_registration = true"), std::string::npos) << outcome.output;
}

TEST(Velta_Check, registration_module_missing_fails) {
    Prosody_Server prosody([](std::string& config) {
        velta_test::set_prosody_option(config, "modules_enabled", "{ \"saslauth\"; \"roster\"; \"disco\"; \"ping\" }");
    });
    const Outcome outcome = run_check(prosody.address());
    auto expected = probes_pass;
    expected["registration"] = "fail";
    expect_verdicts(outcome, expected);
    EXPECT_EQ(outcome.status, 1);
}

TEST(Velta_Check, encryption_required_without_tls_fails_on_the_stream) {
    Prosody_Server prosody([](std::string& config) {
        velta_test::set_prosody_option(config, "c2s_require_encryption", "true");
    });
    const Outcome outcome = run_check(prosody.address());
    expect_verdicts(outcome, {{"reachable", "pass"}, {"stream", "fail"}, {"starttls", "skip"},
                              {"registration", "skip"}, {"sasl", "skip"}});
    EXPECT_EQ(outcome.status, 1);
    EXPECT_NE(outcome.output.find("c2s_require_encryption = false"), std::string::npos) << outcome.output;
}

TEST(Velta_Check, another_domain_fails_on_the_stream_with_host_unknown) {
    Prosody_Server prosody([](std::string& config) {
        velta_test::replace_prosody_line(config, "VirtualHost", "VirtualHost \"example.com\"");
    });
    const Outcome outcome = run_check(prosody.address(), {"--account"});
    expect_verdicts(outcome, {{"reachable", "pass"}, {"stream", "fail"}, {"starttls", "skip"},
                              {"registration", "skip"}, {"sasl", "skip"}, {"account", "skip"},
                              {"second-start", "skip"}});
    EXPECT_EQ(outcome.status, 1);
    EXPECT_NE(outcome.output.find("host-unknown"), std::string::npos) << outcome.output;
}

TEST(Velta_Check, a_registration_limit_per_address_fails_the_account_check) {
    Prosody_Server prosody([](std::string& config) {
        velta_test::set_prosody_option(config, "registration_allowlist", "{ }");
        velta_test::set_prosody_option(config, "min_seconds_between_registrations", "600");
        // The limit is a token bucket that refills with time, so whether the
        // check's first or second registration meets it would depend on how
        // long the steps before it took. A bucket of no tokens refuses every
        // registration from this address, whatever the clock says.
        velta_test::set_prosody_option(config, "registration_throttle_max", "0");
    });
    const Outcome outcome = run_check(prosody.address(), {"--account"});
    auto expected = probes_pass;
    expected.insert({{"account", "fail"}, {"second-start", "skip"}});
    expect_verdicts(outcome, expected);
    EXPECT_EQ(outcome.status, 1);
    EXPECT_NE(outcome.output.find("min_seconds_between_registrations"), std::string::npos) << outcome.output;
}

TEST(Velta_Check, plain_only_is_a_warning_and_still_usable) {
    Prosody_Server prosody([](std::string& config) {
        velta_test::set_prosody_option(config, "authentication", "\"internal_plain\"");
        velta_test::set_prosody_option(config, "allow_unencrypted_plain_auth", "true");
        velta_test::set_prosody_option(config, "disable_sasl_mechanisms", "{ \"SCRAM-SHA-1\", \"SCRAM-SHA-256\" }");
    });
    const Outcome outcome = run_check(prosody.address(), {"--account"});
    auto expected = probes_pass;
    expected["sasl"] = "warn";
    expected.insert({{"account", "pass"}, {"second-start", "pass"}, {"account-removed", "pass"}});
    expect_verdicts(outcome, expected);
    EXPECT_EQ(outcome.status, 0) << outcome.output;
}

TEST(Velta_Check, nothing_listening_fails_reachable) {
    Prosody_Server prosody;
    const std::string address = prosody.address();
    prosody.stop();
    const Outcome outcome = run_check(address);
    expect_verdicts(outcome, {{"reachable", "fail"}, {"stream", "skip"}, {"starttls", "skip"},
                              {"registration", "skip"}, {"sasl", "skip"}});
    EXPECT_EQ(outcome.status, 1);
    EXPECT_NE(outcome.output.find("nothing listens"), std::string::npos) << outcome.output;
}

TEST(Velta_Check, json_and_arguments) {
    Prosody_Server prosody;
    Program json({VELTA_CHECK_PATH, "--json", prosody.address()});
    EXPECT_EQ(json.finish(std::chrono::seconds(30)), 0) << json.output();
    const std::string output = json.output();
    EXPECT_EQ(output.rfind("{\"server\":\"" + prosody.address() + "\",\"usable\":true,\"checks\":[", 0), 0u) << output;
    EXPECT_NE(output.find("{\"name\":\"starttls\",\"result\":\"pass\""), std::string::npos) << output;

    Program none({VELTA_CHECK_PATH});
    EXPECT_EQ(none.finish(), 2);
    Program services_alone({VELTA_CHECK_PATH, "--services", prosody.address()});
    EXPECT_EQ(services_alone.finish(), 2);
    Program help({VELTA_CHECK_PATH, "--help"});
    EXPECT_EQ(help.finish(), 0);
    EXPECT_NE(help.output().find("usage: velta-check"), std::string::npos);
}
