// SPDX-License-Identifier: GPL-3.0-or-later
// The library's SCRAM-SHA-1: RFC 5802's example, the server-first-messages
// it refuses, the slices, and the keys kept between exchanges.
#include "sasl/scram_key_cache.hpp"
#include "sasl/scram_sha1.hpp"

#include <gtest/gtest.h>

#include <string>

using namespace Velta_Client::detail::sasl;

namespace {

// RFC 5802, section 5.
const std::string rfc_nonce = "fyko+d2lbbFgONRv9qkxdawL";
const std::string rfc_server_first = "r=fyko+d2lbbFgONRv9qkxdawL3rfcNHYJY1ZVvWVs7j,s=QSXCR+Q6sek8bf92,i=4096";
const std::string rfc_client_final = "c=biws,r=fyko+d2lbbFgONRv9qkxdawL3rfcNHYJY1ZVvWVs7j,p=v0X8v3Bz2T0CJGbJQyF0X+HI4Ts=";
const std::string rfc_server_final = "v=rmF9pqV8S7suAoZWja4dJRkFsKQ=";

// Advances in slices until ready; the number of calls.
int run_to_ready(Scram_Sha1& scram) {
    int calls = 0;
    while (!scram.ready() && calls < 100000) {
        scram.advance(thread_cpu_ns() + scram_slice_ns);
        ++calls;
    }
    return calls;
}

}  // namespace

TEST(Scram_Sha1, computes_rfc_5802s_example) {
    Scram_Key_Cache cache;
    Scram_Sha1 scram("user", cache, rfc_nonce);
    EXPECT_EQ(scram.client_first(), "n,,n=user,r=" + rfc_nonce);
    ASSERT_TRUE(scram.take_server_first(rfc_server_first, "pencil"));
    run_to_ready(scram);
    EXPECT_EQ(scram.client_final(), rfc_client_final);
    EXPECT_TRUE(scram.verify_server_final(rfc_server_final));
    EXPECT_FALSE(scram.verify_server_final("v=rmF9pqV8S7suAoZWja4dJRkFsKA="));  // one bit off
    EXPECT_FALSE(scram.verify_server_final("e=invalid-proof"));
    EXPECT_FALSE(scram.verify_server_final(""));
}

TEST(Scram_Sha1, a_fresh_nonce_is_random_and_names_are_escaped) {
    Scram_Key_Cache cache;
    const Scram_Sha1 first("a,b=c", cache), second("a,b=c", cache);
    EXPECT_EQ(first.client_first().compare(0, 17, "n,,n=a=2Cb=3Dc,r="), 0);
    EXPECT_EQ(first.client_first().size(), 17u + 32u);  // 24 bytes in base64
    EXPECT_NE(first.client_first(), second.client_first());
}

TEST(Scram_Sha1, refuses_server_first_messages_that_prove_nothing_or_cost_too_much) {
    const std::string salt = ",s=QSXCR+Q6sek8bf92";
    const std::string good_nonce = "r=" + rfc_nonce + "x";
    for (const std::string& message : {
             "r=" + rfc_nonce + salt + ",i=4096",             // nothing of the server's in the nonce
             "r=x" + rfc_nonce + salt + ",i=4096",            // the client's nonce not at the start
             "r=" + rfc_nonce + "x\x01" + salt + ",i=4096",   // not printable
             good_nonce + ",s=,i=4096",                       // no salt
             good_nonce + ",s=!!!!,i=4096",                   // not base64
             good_nonce + salt,                               // no count
             good_nonce + salt + ",i=",                       //
             good_nonce + salt + ",i=0",                      //
             good_nonce + salt + ",i=-1",                     //
             good_nonce + salt + ",i=100001",                 // past the bound
             good_nonce + salt + ",i=99999999999999999999",   //
             good_nonce + ",i=4096" + salt,                   // out of order
             "m=ext," + good_nonce + salt + ",i=4096",        // a mandatory extension
         }) {
        SCOPED_TRACE(message);
        Scram_Key_Cache cache;
        Scram_Sha1 scram("user", cache, rfc_nonce);
        EXPECT_FALSE(scram.take_server_first(message, "pencil"));
        EXPECT_FALSE(scram.advance(thread_cpu_ns() + scram_slice_ns));
    }
    Scram_Key_Cache cache;
    Scram_Sha1 scram("user", cache, rfc_nonce);
    EXPECT_TRUE(scram.take_server_first(good_nonce + salt + ",i=100000,x=extension", "pencil"));
    EXPECT_FALSE(scram.take_server_first(rfc_server_first, "pencil"));  // a second one
}

TEST(Scram_Sha1, the_highest_count_takes_many_short_slices) {
    Scram_Key_Cache cache;
    Scram_Sha1 scram("user", cache, rfc_nonce);
    ASSERT_TRUE(scram.take_server_first("r=" + rfc_nonce + "x,s=QSXCR+Q6sek8bf92,i=100000", "pencil"));
    long longest = 0;
    while (!scram.ready()) {
        const long began = thread_cpu_ns();
        scram.advance(began + scram_slice_ns);
        longest = std::max(longest, thread_cpu_ns() - began);
    }
    // 200,000 SHA-1 blocks cannot be done in one slice on any machine.
    EXPECT_GT(scram.slices(), 4);
    // A slice ends within one batch of the budget; the margin is for
    // sanitizers and busy machines.
    EXPECT_LT(longest, 8 * scram_slice_ns);
}

TEST(Scram_Sha1, kept_keys_make_the_next_exchange_with_that_password_salt_and_count_ready_at_once) {
    Scram_Key_Cache cache;
    {
        Scram_Sha1 first("user", cache, rfc_nonce);
        ASSERT_TRUE(first.take_server_first(rfc_server_first, "pencil"));
        EXPECT_GT(run_to_ready(first), 0);
    }
    Scram_Sha1 again("user", cache, rfc_nonce);
    ASSERT_TRUE(again.take_server_first(rfc_server_first, "pencil"));
    EXPECT_TRUE(again.ready());
    EXPECT_EQ(again.slices(), 0);
    EXPECT_EQ(again.client_final(), rfc_client_final);
    EXPECT_TRUE(again.verify_server_final(rfc_server_final));

    // Another count is computed (and then kept instead).
    Scram_Sha1 other_count("user", cache, rfc_nonce);
    ASSERT_TRUE(other_count.take_server_first("r=" + rfc_nonce + "x,s=QSXCR+Q6sek8bf92,i=4095", "pencil"));
    EXPECT_FALSE(other_count.ready());
}

TEST(Scram_Sha1, another_password_clears_the_kept_keys) {
    Scram_Key_Cache cache;
    const auto pencil = cache.tag_of("pencil");
    Scram_Keys keys{};
    keys.client_key[0] = 1;
    cache.remember(pencil, "salt", 4096, keys);
    ASSERT_NE(cache.find(pencil, "salt", 4096), nullptr);
    EXPECT_EQ(cache.find(pencil, "salt", 4097), nullptr);
    EXPECT_EQ(cache.find(pencil, "other", 4096), nullptr);
    EXPECT_EQ(cache.find(cache.tag_of("crayon"), "salt", 4096), nullptr);
    EXPECT_EQ(cache.find(pencil, "salt", 4096), nullptr);  // gone, not just hidden

    // The proof made from another password is not the one kept keys give.
    Scram_Sha1 first("user", cache, rfc_nonce);
    ASSERT_TRUE(first.take_server_first(rfc_server_first, "crayon"));
    run_to_ready(first);
    Scram_Sha1 second("user", cache, rfc_nonce);
    ASSERT_TRUE(second.take_server_first(rfc_server_first, "pencil"));
    EXPECT_FALSE(second.ready());
    run_to_ready(second);
    EXPECT_EQ(second.client_final(), rfc_client_final);
}
