// SPDX-License-Identifier: GPL-3.0-or-later
// Incoming messages from the domain "localhost" (others are dropped), each
// down exactly one of four branches: a stored-offline notice, a service
// reply, a keep-alive echo, or a chat message.
#include "manager/manager.hpp"

#include "manager/constants.hpp"
#include "manager/xmpp/error_extension.hpp"
#include "parse/address.hpp"
#include "parse/decimal.hpp"
#include "parse/reply_body.hpp"
#include "parse/stamps.hpp"
#include "text/escaping.hpp"

#include <gloox/error.h>

#include <memory>
#include <string_view>
#include <vector>

namespace Velta_Client::detail {

using events::handler_call;
using events::utf8_text;
using text_encoding::node_to_user_name;

namespace {

bool is_amp(const gloox::Tag& tag) {
    return tag.name() == "amp" && tag.findAttribute("xmlns") == gloox::XMLNS_AMP;
}

bool asks_stored_notice(const gloox::Tag& rule) {
    return rule.name() == "rule" && rule.findAttribute("condition") == "deliver" &&
           rule.findAttribute("value") == "stored" && rule.findAttribute("action") == "notify" &&
           rule.hasAttribute("userid");
}

// Every "rule" child of every amp container, in document order.
template <class Visit>
void for_each_rule(const gloox::Tag& message, Visit visit) {
    for (const gloox::Tag* amp : message.children()) {
        if (!is_amp(*amp)) continue;
        for (const gloox::Tag* rule : amp->children())
            if (rule->name() == "rule") visit(*rule);
    }
}

// A message of type "error" whose first "error" child names a defined
// condition, read as gloox reads it (through the library's own error
// extension: gloox's leaks application conditions).
bool is_error_bounce(const gloox::Tag& message) {
    if (message.findAttribute("type") != "error") return false;
    const gloox::Tag* error = message.findChild("error");
    if (!error) return false;
    const std::unique_ptr<gloox::StanzaExtension> reading(xmpp::Error_Extension().newInstance(error));
    return static_cast<const gloox::Error&>(*reading).error() != gloox::StanzaErrorUndefined;
}

// The "xml:lang" of an element: gloox keeps the prefix apart from the name.
const std::string& language_of(const gloox::Tag& element) {
    for (const gloox::Tag::Attribute* attribute : element.attributes())
        if ((attribute->name() == "lang" && attribute->prefix() == "xml") || attribute->name() == "xml:lang")
            return attribute->value();
    return gloox::EmptyString;
}

// The message's default body (RFC 6121 5.2.3): the first non-empty "body"
// without a language or with the stanza's own. When every body names
// another language, the last non-empty one, as gloox has always read them.
std::string default_body(const gloox::Tag& message) {
    const std::string& stanza_language = language_of(message);
    const gloox::Tag* last = nullptr;
    for (const gloox::Tag* child : message.children()) {
        if (child->name() != "body") continue;
        const std::string text = child->cdata();
        if (text.empty()) continue;
        const std::string& language = language_of(*child);
        if (language.empty() || language == stanza_language) return text;
        last = child;
    }
    return last ? last->cdata() : std::string();
}

const std::string* first_delay_stamp(const gloox::Tag& message) {
    for (const gloox::Tag* child : message.children()) {
        const std::string& xmlns = child->findAttribute("xmlns");
        if ((child->name() == "x" && xmlns == "jabber:x:delay") || (child->name() == "delay" && xmlns == "urn:xmpp:delay"))
            return &child->findAttribute("stamp");
    }
    return nullptr;
}

// Every peer of the library is in the domain "localhost". A message without
// a sender comes from the user's own account (RFC 6120) and is ours too.
bool from_local_domain(const gloox::Tag& message) {
    if (!message.hasAttribute("from")) return true;
    return split_address(message.findAttribute("from")).domain == xmpp_domain;
}

}  // namespace

void Velta_Manager_Impl::read_message(const gloox::Tag& element) {
    // gloox called us: nothing may unwind through it. A message that cannot
    // be read is dropped alone; the rest of the input goes on.
    try {
        // A federating server delivers whatever other domains send: such a
        // sender is never a service, a local user or our own echo.
        if (!from_local_domain(element)) return;

        if (is_error_bounce(element) && element.hasAttribute("id")) {
            dispatch_stored_notice(element);
            return;
        }
        const std::string node(address_node(element.findAttribute("from")));
        const std::string body = default_body(element);
        if (node == admin_node || node == command_node) {
            dispatch_service_reply(body, element);
            return;
        }
        if (body.empty()) {
            --unanswered_probes_;  // our probe came back (or someone sent nothing)
            return;
        }
        dispatch_chat(body, element, node);
    } catch (...) {
    }
}

void Velta_Manager_Impl::dispatch_stored_notice(const gloox::Tag& element) {
    std::vector<events::Deferred_Call> calls;
    bool readable = true;
    for_each_rule(element, [&](const gloox::Tag& rule) {
        if (!readable || !asks_stored_notice(rule)) return;
        const std::optional<std::uint32_t> id = decimal_attribute(element.findAttribute("id"));
        if (!id) {
            readable = false;
            return;
        }
        calls.push_back(handler_call(handler_, &Handler::on_message_stored, *id,
                                     utf8_text(rule.findAttribute("userid"))));
    });
    if (!readable) return;
    for (auto& call : calls) queue_handler_call(std::move(call));
}

void Velta_Manager_Impl::dispatch_service_reply(const std::string& body, const gloox::Tag& element) {
    const std::optional<Reply_Body> reply = read_reply_body(body);
    if (!reply) return;
    const utf8_text name(node_to_user_name(reply->node));
    const utf8_text text(reply->text);

    switch (reply->code) {
        case CODE_ADMIN_VALUES:
            queue_handler_call(handler_call(handler_, &Handler::on_admin_values, name, text, clock_->now()));
            return;
        case CODE_ADMIN_TEXT:
            queue_handler_call(handler_call(handler_, &Handler::on_admin_text, name, text, clock_->now()));
            return;
        case CODE_ADMIN_IDENTIFIER:
            queue_handler_call(handler_call(handler_, &Handler::on_admin_identifier, name, utf8_text(reply->field),
                                            text, clock_->now()));
            return;
        default:
            break;
    }

    // Command replies: "reserve" comes back on the amp rule; the last rule
    // that has one wins, and a rule that has one also needs a numeric "id".
    std::uint32_t reserve = 0;
    bool readable = true;
    for_each_rule(element, [&](const gloox::Tag& rule) {
        if (!readable || !rule.hasAttribute("reserve")) return;
        const std::optional<std::uint32_t> value = decimal_attribute(rule.findAttribute("reserve"));
        readable = value && decimal_attribute(element.findAttribute("id"));
        if (readable) reserve = *value;
    });
    if (!readable) return;

    if (reply->code == CODE_COMMAND_MESSAGE)
        queue_handler_call(handler_call(handler_, &Handler::on_command_message, CODE_COMMAND_MESSAGE, name, text,
                                        clock_->now(), reserve));
    else
        queue_handler_call(
            handler_call(handler_, &Handler::on_command_values, name, text, clock_->now(), reserve));
}

std::int32_t Velta_Manager_Impl::stamp_to_time(const std::string& stamp) {
    const std::optional<std::int32_t> time = read_stamp(stamp);
    return time ? *time : clock_->now();
}

void Velta_Manager_Impl::dispatch_chat(const std::string& body, const gloox::Tag& element,
                                       const std::string& node) {
    const std::string* stamp = first_delay_stamp(element);
    const std::int32_t time = stamp ? stamp_to_time(*stamp) : clock_->now();
    queue_handler_call(handler_call(handler_, &Handler::on_message, utf8_text(node_to_user_name(node)),
                                    utf8_text(body), time));
}

}  // namespace Velta_Client::detail
