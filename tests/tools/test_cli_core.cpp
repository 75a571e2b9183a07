// SPDX-License-Identifier: GPL-3.0-or-later
// velta-cli's own text handling: JSON, the command language and
// the events /wait takes.
#include "commands.hpp"
#include "events.hpp"

#include <gtest/gtest.h>

using namespace velta_cli;
using Kind = Command::Kind;

TEST(Cli_Output, json_escapes_what_json_requires_and_keeps_utf8) {
    EXPECT_EQ(json_quote("a\"b\\c/"), R"("a\"b\\c/")");
    EXPECT_EQ(json_quote(std::string("\n\t\r\b\f\x01\x1f\x7f", 8)), R"("\n\t\r\b\f\u0001\u001f\u007f")");
    EXPECT_EQ(json_quote(std::string("nul\0!", 5)), R"("nul\u0000!")");
    EXPECT_EQ(json_quote("Zoë 😀"), "\"Zoë 😀\"");

    Event event{"cmd-values", {}};
    event.text("name", "a\"b").number("reserve", 4294967295u).number("time", -5);
    EXPECT_EQ(as_json(event), R"({"event":"cmd-values","name":"a\"b","reserve":4294967295,"time":-5})");
}

TEST(Cli_Output, readable_lines_show_control_characters_and_the_message_time) {
    EXPECT_EQ(visible(std::string("a\nb\0c\x1b[2J", 9)), "a\\nb\\0c\\x1B[2J");

    Event message{"message", {}};
    message.text("from", "bob").text("text", "hi\nthere").time(1000);
    const std::string line = as_text(message, 1000);
    EXPECT_EQ(line.substr(line.find(']') + 2), "message from bob, sent " + local_time(1000, 1000) + ": hi\\nthere");
    EXPECT_EQ(local_time(1000, 1000).size(), 8u);               // the same day: time only
    EXPECT_EQ(local_time(1000, 1000 + 3 * 86400).size(), 19u);  // another day: with the date
}

TEST(Cli_Commands, requests_split_their_arguments_as_documented) {
    Parsed parsed = parse_command("/cmd-message Zoë go to the plaza  12");
    ASSERT_TRUE(parsed.command) << parsed.error;
    EXPECT_EQ(parsed.command->kind, Kind::cmd_message);
    EXPECT_EQ(parsed.command->name, "Zoë");
    EXPECT_EQ(parsed.command->text, "go to the plaza");
    EXPECT_EQ(parsed.command->reserve, 12u);
    parsed = parse_command("/cmd-message bob 4294967295");
    ASSERT_TRUE(parsed.command);
    EXPECT_EQ(parsed.command->text, "");
    EXPECT_EQ(parsed.command->reserve, 4294967295u);

    parsed = parse_command("/admin-values 1 0 4294967295 12 apples");
    ASSERT_TRUE(parsed.command);
    EXPECT_EQ(parsed.command->values, (std::vector<std::uint32_t>{1, 0, 4294967295u, 12}));
    EXPECT_EQ(parsed.command->text, "apples");
    parsed = parse_command("/cmd-values 9 5 -- 12 apples");
    ASSERT_TRUE(parsed.command);
    EXPECT_EQ(parsed.command->reserve, 9u);
    EXPECT_EQ(parsed.command->values, (std::vector<std::uint32_t>{5}));
    EXPECT_EQ(parsed.command->text, "12 apples");
    parsed = parse_command("/admin-values 4294967296");  // too big for a value: it is text
    ASSERT_TRUE(parsed.command);
    EXPECT_TRUE(parsed.command->values.empty());
    EXPECT_EQ(parsed.command->text, "4294967296");

    parsed = parse_command("/admin-id 00112233445566778899aabbccddeeff badge");
    ASSERT_TRUE(parsed.command);
    EXPECT_EQ(parsed.command->identifier.bytes[15], 0x00);  // printed first: the most significant
    EXPECT_EQ(parsed.command->identifier.bytes[0], 0xFF);
    EXPECT_EQ(identifier_hex(parsed.command->identifier), "00112233445566778899AABBCCDDEEFF");
    EXPECT_EQ(parsed.command->text, "badge");

    for (const char* wrong : {"/cmd-message bob go 4294967296", "/cmd-message bob go -1", "/cmd-message",
                              "/cmd-values x 1", "/admin-id 0011", "/admin-id 00112233445566778899AABBCCDDEEFG",
                              "/msg bob", "/to", "/logout now", "/nosuch", "/wait nothing", "/wait message soon",
                              "/sleep -1", "/expect-state 5", "/expect-state CONNECTED later", "/echo-back maybe"})
        EXPECT_FALSE(parse_command(wrong).command) << wrong;
}

TEST(Cli_Commands, chat_lines_and_script_commands) {
    EXPECT_FALSE(parse_command("   ").command);
    EXPECT_TRUE(parse_command("   ").error.empty());
    Parsed parsed = parse_command("hello /there\r");
    ASSERT_TRUE(parsed.command);
    EXPECT_EQ(parsed.command->kind, Kind::chat);
    EXPECT_EQ(parsed.command->text, "hello /there");
    parsed = parse_command("//help me");
    ASSERT_TRUE(parsed.command);
    EXPECT_EQ(parsed.command->kind, Kind::chat);
    EXPECT_EQ(parsed.command->text, "/help me");

    parsed = parse_command("/wait message:Bob Smith 2.5");
    ASSERT_TRUE(parsed.command);
    EXPECT_EQ(parsed.command->name, "message");
    EXPECT_EQ(parsed.command->who, "Bob Smith");
    EXPECT_DOUBLE_EQ(parsed.command->seconds, 2.5);
    parsed = parse_command("/wait connected");
    ASSERT_TRUE(parsed.command);
    EXPECT_EQ(parsed.command->who, "");
    EXPECT_DOUBLE_EQ(parsed.command->seconds, 10);

    EXPECT_EQ(parse_command("/expect-state logging-in").command->state, 1);
    EXPECT_EQ(parse_command("/expect-state 4 1").command->state, 4);
    EXPECT_EQ(parse_command("/to Bob Smith").command->name, "Bob Smith");
}

TEST(Cli_Wait, takes_the_oldest_matching_event_and_leaves_the_others) {
    Mailbox mailbox(3);
    mailbox.add(Event{"message", {}}.text("from", "alice").text("text", "own copy"));
    mailbox.add(Event{"message", {}}.text("from", "bob").text("text", "1"));
    mailbox.add(Event{"error", {}}.number("code", 2));
    EXPECT_FALSE(mailbox.take("message", "carol"));
    EXPECT_TRUE(mailbox.take("message", "bob"));
    EXPECT_TRUE(mailbox.take("error", "2"));
    EXPECT_TRUE(mailbox.take("message", ""));  // alice's, still there
    EXPECT_FALSE(mailbox.take("message", ""));

    for (int i = 0; i < 5; ++i) mailbox.add(Event{"admin-text", {}}.text("name", std::to_string(i)));
    EXPECT_EQ(mailbox.size(), 3u);  // the oldest went first
    EXPECT_FALSE(mailbox.take("admin-text", "1"));
    EXPECT_TRUE(mailbox.take("admin-text", "2"));
    mailbox.drop("admin-text");
    EXPECT_EQ(mailbox.size(), 0u);
}
