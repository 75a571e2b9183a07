// SPDX-License-Identifier: GPL-3.0-or-later
#include "commands.hpp"

#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdlib>

namespace velta_cli {

namespace {

using Kind = Command::Kind;

std::string_view trim(std::string_view text) {
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.front()))) text.remove_prefix(1);
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back()))) text.remove_suffix(1);
    return text;
}

// Splits off the first word; the rest keeps its inner spacing.
std::pair<std::string_view, std::string_view> first_word(std::string_view text) {
    text = trim(text);
    std::size_t end = 0;
    while (end < text.size() && !std::isspace(static_cast<unsigned char>(text[end]))) ++end;
    return {text.substr(0, end), trim(text.substr(end))};
}

std::pair<std::string_view, std::string_view> last_word(std::string_view text) {
    text = trim(text);
    std::size_t start = text.size();
    while (start > 0 && !std::isspace(static_cast<unsigned char>(text[start - 1]))) --start;
    return {trim(text.substr(0, start)), text.substr(start)};
}

std::optional<double> parse_seconds(std::string_view word) {
    if (word.empty()) return std::nullopt;
    const std::string copy(word);
    char* end = nullptr;
    const double value = std::strtod(copy.c_str(), &end);
    if (end != copy.c_str() + copy.size() || !std::isfinite(value) || value < 0 || value > 86400 * 365)
        return std::nullopt;
    return value;
}

// Leading numbers are values; the first word that is not one, or "--",
// starts the text.
void values_and_text(std::string_view rest, Command& command) {
    while (true) {
        auto [word, after] = first_word(rest);
        if (word.empty()) break;
        if (word == "--") {
            rest = after;
            break;
        }
        const std::optional<std::uint32_t> value = parse_uint32(word);
        if (!value) break;
        command.values.push_back(*value);
        rest = after;
    }
    command.text = std::string(trim(rest));
}

Parsed fail(std::string message) { return {std::nullopt, std::move(message)}; }

Parsed ok(Command command) { return {std::move(command), {}}; }

Command of(Kind kind) {
    Command command;
    command.kind = kind;
    return command;
}

}  // namespace

std::optional<std::uint32_t> parse_uint32(std::string_view word) {
    std::uint32_t value = 0;
    if (word.empty() || !std::isdigit(static_cast<unsigned char>(word.front()))) return std::nullopt;
    const auto [end, error] = std::from_chars(word.data(), word.data() + word.size(), value);
    if (error != std::errc() || end != word.data() + word.size()) return std::nullopt;
    return value;
}

std::optional<Velta_Client::Identifier128> parse_identifier(std::string_view hex) {
    if (hex.size() != 32) return std::nullopt;
    Velta_Client::Identifier128 identifier{};
    for (std::size_t i = 0; i < 16; ++i) {
        unsigned value = 0;
        const auto [end, error] = std::from_chars(hex.data() + 2 * i, hex.data() + 2 * i + 2, value, 16);
        if (error != std::errc() || end != hex.data() + 2 * i + 2) return std::nullopt;
        identifier.bytes[15 - i] = static_cast<std::uint8_t>(value);
    }
    return identifier;
}

std::string identifier_hex(const Velta_Client::Identifier128& identifier) {
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    for (int i = 15; i >= 0; --i) {
        out += digits[identifier.bytes[i] >> 4];
        out += digits[identifier.bytes[i] & 0x0F];
    }
    return out;
}

namespace {
const char* const state_names[] = {"REGISTERING", "LOGGING_IN", "CONNECTED", "RESETTING", "IDLE"};
}

std::optional<int> parse_state(std::string_view word) {
    if (word.size() == 1 && word[0] >= '0' && word[0] <= '4') return word[0] - '0';
    for (int state = 0; state < 5; ++state) {
        const std::string_view name = state_names[state];
        if (name.size() != word.size()) continue;
        bool same = true;
        for (std::size_t i = 0; i < name.size() && same; ++i)
            same = name[i] == std::toupper(static_cast<unsigned char>(word[i])) ||
                   (name[i] == '_' && word[i] == '-');
        if (same) return state;
    }
    return std::nullopt;
}

std::string state_word(int state) { return state >= 0 && state < 5 ? state_names[state] : "UNKNOWN"; }

std::string state_name(int state) { return state_word(state) + "(" + std::to_string(state) + ")"; }

bool known_event(std::string_view kind) {
    for (const char* known : {"connected", "disconnected", "error", "message", "message-stored", "admin-values",
                              "admin-id", "admin-text", "cmd-message", "cmd-values"})
        if (kind == known) return true;
    return false;
}

Parsed parse_command(std::string_view line) {
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (trim(line).empty()) return {};
    if (line.front() != '/') return ok([&] {
            Command chat = of(Kind::chat);
            chat.text = std::string(line);
            return chat;
        }());
    if (line.size() >= 2 && line[1] == '/') {  // "//text" chats "/text"
        Command chat = of(Kind::chat);
        chat.text = std::string(line.substr(1));
        return ok(chat);
    }

    const auto [name, rest] = first_word(line.substr(1));
    const auto no_argument = [&, name = name, rest = rest](Kind kind) {
        return rest.empty() ? ok(of(kind)) : fail("/" + std::string(name) + " takes no argument");
    };

    if (name == "to" || name == "msg") {
        Command command = of(name == "to" ? Kind::to : Kind::msg);
        if (command.kind == Kind::to) {
            command.name = std::string(rest);
        } else {
            const auto [peer, text] = first_word(rest);
            command.name = std::string(peer);
            command.text = std::string(text);
            if (text.empty()) return fail("usage: /msg NAME TEXT");
        }
        if (command.name.empty()) return fail("usage: /" + std::string(name) + " NAME");
        return ok(command);
    }
    if (name == "admin-text") {
        Command command = of(Kind::admin_text);
        command.text = std::string(rest);
        return ok(command);
    }
    if (name == "admin-values") {
        Command command = of(Kind::admin_values);
        values_and_text(rest, command);
        return ok(command);
    }
    if (name == "admin-id") {
        const auto [hex, text] = first_word(rest);
        const std::optional<Velta_Client::Identifier128> identifier = parse_identifier(hex);
        if (!identifier) return fail("usage: /admin-id HEX32 [TEXT] (exactly 32 hex digits)");
        Command command = of(Kind::admin_id);
        command.identifier = *identifier;
        command.text = std::string(text);
        return ok(command);
    }
    if (name == "cmd-message") {
        const auto [peer, after_peer] = first_word(rest);
        const auto [text, reserve_word] = last_word(after_peer);
        const std::optional<std::uint32_t> reserve = parse_uint32(reserve_word);
        if (peer.empty() || !reserve) return fail("usage: /cmd-message NAME TEXT RESERVE (RESERVE: 0..4294967295)");
        Command command = of(Kind::cmd_message);
        command.name = std::string(peer);
        command.text = std::string(text);
        command.reserve = *reserve;
        return ok(command);
    }
    if (name == "cmd-values") {
        const auto [reserve_word, after] = first_word(rest);
        const std::optional<std::uint32_t> reserve = parse_uint32(reserve_word);
        if (!reserve) return fail("usage: /cmd-values RESERVE N... [--] [TEXT] (RESERVE: 0..4294967295)");
        Command command = of(Kind::cmd_values);
        command.reserve = *reserve;
        values_and_text(after, command);
        return ok(command);
    }
    if (name == "logout") return no_argument(Kind::logout);
    if (name == "start") return no_argument(Kind::start);
    if (name == "quit" || name == "exit") return no_argument(Kind::quit);
    if (name == "help") return ok(of(Kind::help));
    if (name == "state") return no_argument(Kind::state);
    if (name == "wait") {
        Command command = of(Kind::wait);
        command.seconds = 10;
        std::string_view wanted = rest;
        const auto [before, last] = last_word(rest);
        if (!before.empty()) {
            const std::optional<double> seconds = parse_seconds(last);
            if (!seconds) return fail("usage: /wait EVENT[:WHO] [SECONDS]");
            command.seconds = *seconds;
            wanted = before;
        }
        const std::size_t colon = wanted.find(':');
        command.name = std::string(wanted.substr(0, colon));
        if (colon != std::string_view::npos) command.who = std::string(wanted.substr(colon + 1));
        if (!known_event(command.name))
            return fail("/wait: unknown event '" + command.name + "' (see /help)");
        return ok(command);
    }
    if (name == "sleep") {
        const std::optional<double> seconds = parse_seconds(rest);
        if (!seconds) return fail("usage: /sleep SECONDS");
        Command command = of(Kind::sleep);
        command.seconds = *seconds;
        return ok(command);
    }
    if (name == "expect-state") {
        const auto [state_word, seconds_word] = first_word(rest);
        const std::optional<int> state = parse_state(state_word);
        const std::optional<double> seconds = seconds_word.empty() ? 5.0 : parse_seconds(seconds_word);
        if (!state || !seconds) return fail("usage: /expect-state N|NAME [SECONDS] (N: 0..4)");
        Command command = of(Kind::expect_state);
        command.state = *state;
        command.seconds = *seconds;
        return ok(command);
    }
    if (name == "print") {
        Command command = of(Kind::print);
        command.text = std::string(rest);
        return ok(command);
    }
    if (name == "echo-back") {
        if (rest != "on" && rest != "off") return fail("usage: /echo-back on|off");
        Command command = of(Kind::echo_back);
        command.on = rest == "on";
        return ok(command);
    }
    return fail("unknown command /" + std::string(name) + " (try /help)");
}

const char* const help_text =
    R"(Type a line to chat with the current peer (a line starting with // sends it
with one slash). Commands:
  /to NAME                       choose the peer that plain lines go to
  /msg NAME TEXT                 one chat message to NAME
  /admin-text TEXT               admin text request
  /admin-values N... [--] [TEXT] admin values request (N: 0..4294967295)
  /admin-id HEX32 [TEXT]         admin identifier request (32 hex digits)
  /cmd-message NAME TEXT RESERVE command message request about user NAME
  /cmd-values RESERVE N... [--] [TEXT]
                                 command values request
  /logout  /start  /state  /quit /help
Scripting:
  /wait EVENT[:WHO] [SECONDS]    poll until such an event arrives (default 10 s);
                                 it takes the oldest one no earlier /wait took,
                                 so one that came before the /wait counts. WHO
                                 must equal the sender, the replying user name,
                                 the stored message's user, or an error's code.
                                 EVENT: connected disconnected error message
                                 message-stored admin-values admin-id admin-text
                                 cmd-message cmd-values
  /expect-state N|NAME [SECONDS] poll until the state is N (default 5 s)
                                 0 REGISTERING 1 LOGGING_IN 2 CONNECTED
                                 3 RESETTING 4 IDLE
  /sleep SECONDS                 keep polling for a while
  /print TEXT                    print a line
  /echo-back on|off              answer each chat message from another user
                                 with "echo: " and its text
In a script (--script FILE, or standard input that is not a terminal) blank
lines and lines starting with # are skipped, and a failed /wait or
/expect-state, a command that is not valid, or a send while not connected
ends the program with exit code 1.
)";

}  // namespace velta_cli
