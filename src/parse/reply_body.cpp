// SPDX-License-Identifier: GPL-3.0-or-later
#include "parse/reply_body.hpp"

#include "parse/address.hpp"
#include "parse/decimal.hpp"

#include <velta_client/velta_client.hpp>

namespace Velta_Client::detail {

namespace {

bool is_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }

class Reader {
public:
    explicit Reader(std::string_view text) : text_(text) {}

    std::optional<std::uint32_t> number() {
        skip_spaces();
        const std::optional<Decimal> number = leading_decimal(text_.substr(at_));
        if (!number) return std::nullopt;
        at_ += number->length;
        return number->value;
    }

    std::string_view token() {
        skip_spaces();
        const std::size_t first = at_;
        while (at_ < text_.size() && !is_space(text_[at_])) ++at_;
        return text_.substr(first, at_ - first);
    }

    void skip_one() {
        if (at_ < text_.size()) ++at_;
    }

    std::size_t left() const { return text_.size() - at_; }

    std::string_view take(std::size_t count) {
        const std::string_view taken = text_.substr(at_, count);
        at_ += taken.size();
        return taken;
    }

    std::string_view rest() { return take(left()); }

private:
    void skip_spaces() {
        while (at_ < text_.size() && is_space(text_[at_])) ++at_;
    }

    std::string_view text_;
    std::size_t at_ = 0;
};

bool known_code(std::uint32_t code) {
    return code == CODE_ADMIN_VALUES || code == CODE_ADMIN_IDENTIFIER || code == CODE_ADMIN_TEXT ||
           code == CODE_COMMAND_MESSAGE || code == CODE_COMMAND_VALUES;
}

}  // namespace

std::optional<Reply_Body> read_reply_body(std::string_view body) {
    Reader reader(body);
    const std::optional<std::uint32_t> code = reader.number();
    if (!code || !known_code(*code)) return std::nullopt;

    Reply_Body reply;
    reply.code = *code;
    reply.node = std::string(address_node(reader.token()));
    reader.skip_one();

    if (reply.code == CODE_ADMIN_IDENTIFIER) {
        const std::optional<std::uint32_t> count = reader.number();
        // The count is checked against what is there before anything is
        // made of it: a claimed 4294967295 allocates nothing.
        if (!count || *count < 2) return std::nullopt;
        reader.skip_one();
        if (reader.left() < *count) return std::nullopt;
        reply.field = std::string(reader.take(*count));
        reply.field += '\0';  // replies have always carried it
        reader.skip_one();
    }
    reply.text = std::string(reader.rest());
    return reply;
}

}  // namespace Velta_Client::detail
