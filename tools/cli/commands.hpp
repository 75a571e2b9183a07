// SPDX-License-Identifier: GPL-3.0-or-later
// The command language of velta-cli: one line, one command. A line that does
// not start with "/" is chat text for the current peer.
#pragma once

#include <velta_client/velta_client.hpp>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace velta_cli {

struct Command {
    enum class Kind {
        chat,           // text to the current peer
        to,             // /to NAME
        msg,            // /msg NAME TEXT
        admin_text,     // /admin-text TEXT
        admin_values,   // /admin-values N... [--] [TEXT]
        admin_id,       // /admin-id HEX32 [TEXT]
        cmd_message,    // /cmd-message NAME TEXT RESERVE
        cmd_values,     // /cmd-values RESERVE N... [--] [TEXT]
        logout,
        start,
        quit,
        help,
        state,          // /state: print the current state
        wait,           // /wait EVENT[:WHO] [SECONDS]
        sleep,          // /sleep SECONDS
        expect_state,   // /expect-state N|NAME [SECONDS]
        print,          // /print TEXT
        echo_back,      // /echo-back on|off
    };
    Kind kind = Kind::chat;
    std::string name;   // peer, event kind, or what /wait's WHO must equal
    std::string who;
    std::string text;
    std::vector<std::uint32_t> values;
    Velta_Client::Identifier128 identifier{};
    std::uint32_t reserve = 0;
    double seconds = 0;
    int state = 0;
    bool on = false;
};

struct Parsed {
    std::optional<Command> command;  // nothing for a blank line
    std::string error;               // set when the line is not a valid command
};

Parsed parse_command(std::string_view line);

// Decimal 0..4294967295, nothing else.
std::optional<std::uint32_t> parse_uint32(std::string_view word);
// 32 hex digits, printed form: the first pair is byte 15.
std::optional<Velta_Client::Identifier128> parse_identifier(std::string_view hex);
std::string identifier_hex(const Velta_Client::Identifier128& identifier);
// A state number or name (IDLE, CONNECTED, ...; any case).
std::optional<int> parse_state(std::string_view word);
std::string state_word(int state);  // "CONNECTED"
std::string state_name(int state);  // "CONNECTED(2)"

// Event kinds /wait knows, as they appear in the output.
bool known_event(std::string_view kind);

extern const char* const help_text;

}  // namespace velta_cli
