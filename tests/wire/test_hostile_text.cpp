// SPDX-License-Identifier: GPL-3.0-or-later
// Text and stamps a hostile server may send: forms of UTF-8 that would reach
// the host as characters no check let through, and stamps outside the
// host's 32-bit time.
#include "wire/wire_host.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace velta_test;
using Strings = std::vector<std::string>;

namespace {

std::string admin_text(const std::string& text) { return reply("admin", "268470416 _ym9i@localhost/r " + text); }

struct Hostile_Text : Logged_In {};

}  // namespace

// "<" as E0 80 BC and U+0000 as E0 80 80 pass gloox's byte checks; as text
// that is not UTF-8 they drop their message, like any other such text.
TEST_F(Hostile_Text, overlong_and_over_long_utf8_drops_the_message) {
    for (const std::string bad : {"\xE0\x80\xBC", "\xE0\x80\x80", "\xF0\x80\x80\xBC", "\xE0\x9F\xBF",
                                  "\xF8\x88\x80\x80\x80", "\xFC\x84\x80\x80\x80\x80", "\xF4\x90\x80\xBC"}) {
        EXPECT_TRUE(host.heard(chat("a" + bad + "b")).empty()) << testing::PrintToString(bad);
        EXPECT_TRUE(host.heard(admin_text("a" + bad + "b")).empty()) << testing::PrintToString(bad);
    }
    EXPECT_EQ(host.heard(admin_text("ab")), Strings{"on_admin_text(name=bob, text=ab, time=1234)"});
    EXPECT_EQ(host.heard(chat("a\xE0\xA0\x80\xF0\x90\x80\x80z")),
              Strings{"on_message(from=bob, body=a\xE0\xA0\x80\xF0\x90\x80\x80z, time=1234)"});
}

// Before 1901-12-13T20:45:52Z the low 32 bits would lie in the future.
TEST_F(Hostile_Text, stamps_before_the_least_32_bit_time_read_as_the_clock) {
    for (const std::string delay : {"<delay xmlns='urn:xmpp:delay' stamp='1900-01-01T00:00:00Z'/>",
                                    "<x xmlns='jabber:x:delay' stamp='19000101T00:00:00'/>",
                                    "<delay xmlns='urn:xmpp:delay' stamp='1901-12-13T20:45:51Z'/>",
                                    "<delay xmlns='urn:xmpp:delay' stamp='0000-01-01T00:00:00Z'/>"})
        EXPECT_EQ(host.heard(chat("old", delay)), Strings{"on_message(from=bob, body=old, time=1234)"}) << delay;
    EXPECT_EQ(host.heard(chat("old", "<delay xmlns='urn:xmpp:delay' stamp='1901-12-13T20:45:52Z'/>")),
              Strings{"on_message(from=bob, body=old, time=-2147483648)"});
}
