// SPDX-License-Identifier: GPL-3.0-or-later
// examples/reconnect as built, against a private Prosody that is stopped and
// started again: the host hears the loss and its cause, its tries back off
// while nothing listens, and it is connected again once the server is back.
// The policy's windows are shortened (--first 0.2 --cap 0.8) so that the test
// takes seconds; each step waits for the program's line, not for a time.
#include "integration/prosody_server.hpp"
#include "support/program.hpp"

#include <gtest/gtest.h>

#include <csignal>

using namespace std::chrono_literals;

namespace {

int count(const std::string& text, const std::string& part) {
    int n = 0;
    for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
    return n;
}

}  // namespace

TEST(Reconnect_Example, a_stopped_and_restarted_server_is_reconnected_with_backed_off_tries) {
    velta_test::Prosody_Server prosody;
    velta_test::Program host({VELTA_RECONNECT_PATH, "--first", "0.2", "--cap", "0.8", prosody.address(), "ann", "pw"});
    ASSERT_TRUE(host.wait_for("connected\n")) << host.output();

    prosody.stop();
    // Prosody says goodbye on SIGTERM (a stream error), or, stopped harder
    // when slow to go, just closes the connection: either way one loss.
    ASSERT_TRUE(host.wait_for("lost (")) << host.output();
    EXPECT_TRUE(host.output().find("lost (stream_error: " + prosody.address() +
                                   ":5222: stream error system-shutdown") != std::string::npos ||
                host.output().find("lost (closed_by_server: " + prosody.address()) != std::string::npos)
        << host.output();
    // Two refused tries while it is down, each followed by a wider wait.
    ASSERT_TRUE(host.wait_for("try failed (refused: " + prosody.address() + ":5222: nothing listens)")) << host.output();
    ASSERT_TRUE(host.wait_for_count("try failed (refused", 2)) << host.output();

    prosody.start();
    ASSERT_TRUE(host.wait_for_count("connected\n", 2, 20s)) << host.output();
    EXPECT_EQ(count(host.output(), "lost ("), 1) << host.output();  // the repeats are not new losses

    // Ctrl-C: it logs out and leaves. (Not the end of its input: the
    // restarted server holds a copy of the pipe.)
    host.signal(SIGINT);
    EXPECT_EQ(host.finish(), 0) << host.output();
}
