// SPDX-License-Identifier: GPL-3.0-or-later
// The six send operations and their wire forms.
#include "manager/manager.hpp"

#include "manager/xmpp/raw_element.hpp"
#include "text/escaping.hpp"
#include "text/utf8.hpp"

#include <gloox/message.h>

#include <string>

namespace Velta_Client::detail {

using text_encoding::to_utf8;
using text_encoding::user_name_to_node;
using text_encoding::xml_safe;

namespace {

// Host text as XML can carry it: control characters that XML 1.0 forbids
// would make gloox drop the whole body, or a strict server close the stream.
std::string wire_text(const wide_string& text) { return to_utf8(xml_safe(text)); }

// node@localhost, or the bare domain for an empty node (gloox would call a
// JID with an empty node invalid and leave the "to" out altogether).
gloox::JID address(const std::string& node) {
    gloox::JID jid;
    jid.setServer("localhost");
    if (!node.empty()) jid.setUsername(node);
    return jid;
}

std::string hex_identifier(const Identifier128& identifier) {
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(32);
    for (int i = 15; i >= 0; --i) {
        out += digits[identifier.bytes[i] >> 4];
        out += digits[identifier.bytes[i] & 0x0F];
    }
    return out;
}

std::string values_subject(std::uint32_t code, const std::uint32_t* values, std::uint32_t count) {
    std::string subject = std::to_string(code) + ' ';
    for (std::uint32_t i = 0; i < count; ++i) subject += std::to_string(values[i]) + ' ';
    return subject;
}

// The "amp" element asking the server to say when it stores the message for
// later delivery; "reserve" and "userid" are the library's own additions.
// gloox leaves out an attribute whose value is empty (an empty "userid").
struct Rule {
    bool notify_when_stored;
    const std::uint32_t* reserve;
    const std::string* userid;
};

std::unique_ptr<gloox::Tag> amp_element(const Rule& rule) {
    auto amp = std::make_unique<gloox::Tag>("amp", "xmlns", gloox::XMLNS_AMP);
    auto* child = new gloox::Tag(amp.get(), "rule");
    if (rule.notify_when_stored) {
        child->addAttribute("condition", "deliver");
        child->addAttribute("value", "stored");
        child->addAttribute("action", "notify");
    }
    if (rule.reserve) child->addAttribute("reserve", std::to_string(*rule.reserve));
    if (rule.userid) child->addAttribute("userid", *rule.userid);
    return amp;
}

}  // namespace

void Velta_Manager_Impl::send_request(const std::string& node, const std::string& subject, const wide_string& text,
                                      const std::string& id, std::unique_ptr<gloox::Tag> amp) {
    gloox::Message message(gloox::Message::Chat, address(node), wire_text(text), subject);
    if (!id.empty()) message.setID(id);
    if (amp) message.addExtension(new xmpp::Raw_Element(std::move(amp)));
    const xmpp::Private_Rand rand_scope;  // a failed write makes gloox call srand()
    client_->send(message);
}

void Velta_Manager_Impl::send_message(std::uint32_t message_id, const wide_string& user, const wide_string& text) {
    if (!states_.is(STATE_CONNECTED) || text.empty()) return;
    const std::optional<std::string> node = user_name_to_node(to_utf8(user));
    if (!node) return;  // no address can name this user
    const std::string body = wire_text(text);
    const std::string userid = wire_text(user);

    // Our own copy goes first, so that a host sees its words in the order it
    // sent them when the server routes the copy back.
    const xmpp::Private_Rand rand_scope;
    client_->send(gloox::Message(gloox::Message::Chat, client_->jid(), body));

    gloox::Message message(gloox::Message::Chat, address(*node), body);
    message.setID(std::to_string(message_id));
    message.addExtension(new xmpp::Raw_Element(amp_element({true, nullptr, &userid})));
    client_->send(message);  // dropped by gloox if the copy's write lost the connection
}

void Velta_Manager_Impl::send_admin_values(const std::uint32_t* values, std::uint32_t count,
                                           const wide_string& text) {
    if (!states_.is(STATE_CONNECTED)) return;
    send_request("admin", values_subject(CODE_ADMIN_VALUES, values, count), text, "", nullptr);
}

void Velta_Manager_Impl::send_admin_identifier(const Identifier128& identifier, const wide_string& text) {
    if (!states_.is(STATE_CONNECTED)) return;
    const std::string subject = std::to_string(CODE_ADMIN_IDENTIFIER) + ' ' + hex_identifier(identifier) + ' ';
    send_request("admin", subject, text, "", nullptr);
}

void Velta_Manager_Impl::send_admin_text(const wide_string& text) {
    if (!states_.is(STATE_CONNECTED)) return;
    send_request("admin", std::to_string(CODE_ADMIN_TEXT) + ' ', text, "", nullptr);
}

void Velta_Manager_Impl::send_command_message(std::uint32_t message_id, const wide_string& user,
                                              const wide_string& text, std::uint32_t reserve) {
    if (!states_.is(STATE_CONNECTED)) return;
    const std::optional<std::string> node = user_name_to_node(to_utf8(user));
    if (!node) return;
    const std::string userid = wire_text(user);
    const std::string subject = std::to_string(CODE_COMMAND_MESSAGE) + ' ' + *node + "@localhost/zorvan ";
    send_request("cmdadmin", subject, text, std::to_string(message_id), amp_element({true, &reserve, &userid}));
}

void Velta_Manager_Impl::send_command_values(const std::uint32_t* values, std::uint32_t count,
                                             const wide_string& text, std::uint32_t reserve) {
    if (!states_.is(STATE_CONNECTED)) return;
    send_request("cmdadmin", values_subject(CODE_COMMAND_VALUES, values, count), text, "0",
                 amp_element({false, &reserve, nullptr}));
}

}  // namespace Velta_Client::detail
