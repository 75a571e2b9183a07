// SPDX-License-Identifier: GPL-3.0-or-later
// Service reply bodies and numeric attributes, as received.
#include "parse/address.hpp"
#include "parse/decimal.hpp"
#include "parse/reply_body.hpp"

#include <velta_client/velta_client.hpp>

#include <gtest/gtest.h>

using namespace Velta_Client;
using Velta_Client::detail::address_node;
using Velta_Client::detail::decimal_attribute;
using Velta_Client::detail::read_reply_body;

TEST(Reply_Body, text_replies_take_the_rest_after_one_separator) {
    auto reply = read_reply_body("268470416 _ym9i@localhost/zorvan see you");
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->code, CODE_ADMIN_TEXT);
    EXPECT_EQ(reply->node, "_ym9i");
    EXPECT_EQ(reply->text, "see you");

    reply = read_reply_body(" \n268470420\t_ym9i@localhost   two\nlines ");
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->text, "  two\nlines ");

    reply = read_reply_body("268470408 localhost");  // no node, nothing after
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->node, "");
    EXPECT_EQ(reply->text, "");
}

TEST(Reply_Body, identifier_replies_carry_a_counted_field_and_a_nul) {
    auto reply = read_reply_body("268470409 _ym9i@localhost 4 abcd rest");
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->field, std::string("abcd\0", 5));
    EXPECT_EQ(reply->text, "rest");

    reply = read_reply_body("268470409 _ym9i@localhost 2 a b");  // the field may hold the separator byte
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->field, std::string("a \0", 3));
    EXPECT_EQ(reply->text, "");
}

TEST(Reply_Body, unusable_bodies_give_nothing) {
    for (const char* body : {"", "hello", "12 _ym9i@localhost x", "-268470416 a@b x", "4294967296 a@b x",
                             "268470409 a@localhost 1 a x", "268470409 a@localhost 0  x", "268470409 a@localhost",
                             "268470409 a@localhost x abcd", "268470409 a@localhost 5 abcd",
                             "268470409 a@localhost 4294967295 abcd"})
        EXPECT_FALSE(read_reply_body(body)) << body;
}

TEST(Reply_Body, address_nodes_are_taken_as_written) {
    EXPECT_EQ(address_node("Admin@localhost/res"), "Admin");
    EXPECT_EQ(address_node("localhost"), "");
    EXPECT_EQ(address_node("localhost/a@b"), "");
    EXPECT_EQ(address_node("@localhost"), "");
}

TEST(Reply_Body, numeric_attributes_must_be_whole_decimal_numbers) {
    EXPECT_EQ(decimal_attribute("0"), 0u);
    EXPECT_EQ(decimal_attribute("4294967295"), 4294967295u);
    for (const char* text : {"", " 1", "1 ", "+1", "-1", "4294967296", "0x10", "1e3"})
        EXPECT_FALSE(decimal_attribute(text)) << text;
}
