// SPDX-License-Identifier: GPL-3.0-or-later
// examples/host, built against the installed package, against a private
// Prosody with the reference services: every step of its session shows.
#include "integration/prosody_server.hpp"
#include "support/program.hpp"

#include <gtest/gtest.h>

#include <string>

TEST(Example_Host, chats_asks_the_admin_service_and_logs_out) {
    velta_test::Prosody_Server prosody;
    velta_test::Program services({VELTA_SERVICES_PATH, "--server", prosody.address()});
    ASSERT_TRUE(services.wait_for("cmdadmin logged in", std::chrono::seconds(20))) << services.output();

    velta_test::Program host({VELTA_EXAMPLE_HOST_PATH, prosody.address(), "alice", "alice-pw"});
    const int status = host.finish(std::chrono::seconds(30));
    const std::string output = host.output();
    EXPECT_EQ(status, 0) << output;
    const auto at = [&](const std::string& text) { return output.find(text); };
    ASSERT_NE(at("connected\n"), std::string::npos) << output;
    EXPECT_NE(at("message from alice (sent "), std::string::npos) << output;
    EXPECT_NE(at("Hello from the example host \u2713"), std::string::npos) << output;
    EXPECT_NE(at("admin text reply for alice: hello, admin"), std::string::npos) << output;
    EXPECT_LT(at("connected\n"), at("disconnected\n")) << output;
    EXPECT_NE(at("example host: done"), std::string::npos) << output;
}

TEST(Example_Host, a_wrong_password_is_an_error_and_status_1) {
    velta_test::Prosody_Server prosody;
    // No services run: bob's account is made, the admin does not answer.
    velta_test::Program first({VELTA_EXAMPLE_HOST_PATH, prosody.address(), "bob", "bob-pw"});
    EXPECT_EQ(first.finish(std::chrono::seconds(30)), 1) << first.output();
    EXPECT_NE(first.output().find("no answer from admin within 5 s\ndisconnected\n"), std::string::npos)
        << first.output();
    velta_test::Program second({VELTA_EXAMPLE_HOST_PATH, prosody.address(), "bob", "not-bobs"});
    EXPECT_EQ(second.finish(std::chrono::seconds(30)), 1) << second.output();
    EXPECT_NE(second.output().find("error 2: register failed.\n already have such user with different password"),
              std::string::npos)
        << second.output();
}
