// SPDX-License-Identifier: GPL-3.0-or-later
// The check of SCRAM-SHA-1's server-first-message, which must read it
// exactly as gloox does before gloox spends the server's count on it.
#include "manager/xmpp/checked_client.hpp"

#include <gtest/gtest.h>

using Velta_Client::detail::xmpp::acceptable_scram_challenge;

TEST(Scram_Challenge, scram_challenges_are_read_as_gloox_reads_them) {
    const std::string mine = "abc";
    EXPECT_TRUE(acceptable_scram_challenge("r=abcdef,s=c2FsdA==,i=4096", mine));
    EXPECT_FALSE(acceptable_scram_challenge("r=abc,s=c2FsdA==,i=4096", mine));     // nothing of the server's
    EXPECT_FALSE(acceptable_scram_challenge("r=xabcdef,s=c2FsdA==,i=4096", mine));  // not a prefix
    EXPECT_FALSE(acceptable_scram_challenge("r=abcdef,s=,i=4096", mine));           // no salt
    EXPECT_FALSE(acceptable_scram_challenge("r=abcdef,s=c2FsdA==", mine));
    EXPECT_FALSE(acceptable_scram_challenge("r=abcdef,s=c2FsdA==,i=", mine));
    EXPECT_FALSE(acceptable_scram_challenge("r=abcdef,s=c2FsdA==,i=99999999999999999999", mine));
    EXPECT_FALSE(acceptable_scram_challenge("r=abcdef,s=c2FsdA==,i=4096", ""));
    // gloox takes the first "i=", here inside the nonce: its count would be 0.
    EXPECT_FALSE(acceptable_scram_challenge("r=abci=0x,s=c2FsdA==,i=4096", mine));
}

TEST(Scram_Challenge, the_bound_is_inclusive) {
    EXPECT_TRUE(acceptable_scram_challenge("r=abcd,s=c2FsdA==,i=1", "abc"));
    EXPECT_TRUE(acceptable_scram_challenge("r=abcd,s=c2FsdA==,i=40000", "abc"));
    EXPECT_FALSE(acceptable_scram_challenge("r=abcd,s=c2FsdA==,i=40001", "abc"));
    EXPECT_FALSE(acceptable_scram_challenge("r=abcd,s=c2FsdA==,i=0", "abc"));
}
