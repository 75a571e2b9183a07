// SPDX-License-Identifier: GPL-3.0-or-later
// The six send operations and their wire forms.
#include "manager/manager.hpp"

#include "manager/constants.hpp"
#include "text/escaping.hpp"
#include "text/utf8.hpp"

#include <gloox/gloox.h>

#include <string>
#include <utility>

namespace Velta_Client::detail {

using text_encoding::to_utf8;
using text_encoding::user_name_to_node;

// The "amp" element asking the server to say when it stores the message for
// later delivery; "reserve" and "userid" are the library's own additions.
// An empty "userid" is left out, as gloox's elements leave out empty values.
struct Amp_Rule {
    bool notify_when_stored;
    const std::uint32_t* reserve;
    const wide_string* userid;
};

namespace {

// Plain ASCII of our own making (numbers, nodes, fixed words): escaped all
// the same, so that nothing here can ever end an attribute.
void append_escaped(std::string& out, const std::string& text) {
    for (const char c : text) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '\'': out += "&apos;"; break;
        case '"': out += "&quot;"; break;
        default: out += c;
        }
    }
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


// One chat message, written the way gloox writes its elements (single
// quotes, its five escapes) at the end of a text that may hold stanzas
// before it, in a single pass over the host's text: each byte converted,
// escaped and serialised once. The server stamps "from".
class Chat_Stanza {
public:
    Chat_Stanza(std::string& out, const std::string& to, const std::string& id) : xml_(out) {
        xml_ += "<message type='chat' to='";
        append_escaped(xml_, to);
        xml_ += '\'';
        if (!id.empty()) {
            xml_ += " id='";
            append_escaped(xml_, id);
            xml_ += '\'';
        }
        xml_ += " xmlns='jabber:client'>";
    }
    // The host's text, converted on the way; nothing for an empty text.
    // Returns where the body element lies in the output.
    std::pair<std::size_t, std::size_t> body(const wide_string& text) {
        if (text.empty()) return {xml_.size(), 0};
        const std::size_t from = xml_.size();
        xml_ += "<body>";
        text_encoding::append_xml_text(xml_, text);
        xml_ += "</body>";
        return {from, xml_.size() - from};
    }
    // A body element written already, earlier in the same output.
    void body_again(std::pair<std::size_t, std::size_t> written) {
        // Appending part of a string to itself is safe, and the caller
        // reserved room for both stanzas, so nothing moves.
        xml_.append(xml_, written.first, written.second);
    }
    void subject(const std::string& subject) {
        xml_ += "<subject>";
        append_escaped(xml_, subject);
        xml_ += "</subject>";
    }
    void amp(const Amp_Rule& rule) {
        xml_ += "<amp xmlns='";
        xml_ += gloox::XMLNS_AMP;
        xml_ += "'><rule";
        if (rule.notify_when_stored) xml_ += " condition='deliver' value='stored' action='notify'";
        if (rule.reserve) xml_ += " reserve='" + std::to_string(*rule.reserve) + '\'';
        if (rule.userid && !rule.userid->empty()) {
            xml_ += " userid='";
            text_encoding::append_xml_text(xml_, *rule.userid);
            xml_ += '\'';
        }
        xml_ += "/></amp>";
    }
    ~Chat_Stanza() { xml_ += "</message>"; }
    Chat_Stanza(const Chat_Stanza&) = delete;
    Chat_Stanza& operator=(const Chat_Stanza&) = delete;

private:
    std::string& xml_;
};

// Room for a stanza around text of this many units (UTF-8 takes at most
// three bytes a unit; "&quot;" six for one).
std::size_t room_for(const wide_string& text) { return 512 + 6 * text.size(); }

// node@localhost, or the bare domain for an empty node.
std::string address(const std::string& node) { return node.empty() ? xmpp_domain : node + '@' + xmpp_domain; }

}  // namespace

void Velta_Manager_Impl::send_request(const std::string& node, const std::string& subject, const wide_string& text,
                                      const std::string& id, const Amp_Rule* rule) {
    std::string xml;
    xml.reserve(room_for(text) + subject.size());
    {
        Chat_Stanza stanza(xml, address(node), id);
        stanza.body(text);
        stanza.subject(subject);
        if (rule) stanza.amp(*rule);
    }
    const xmpp::Private_Rand rand_scope;  // a failed write makes gloox call srand()
    client_->send_xml(xml);
}

void Velta_Manager_Impl::send_message(std::uint32_t message_id, const wide_string& user, const wide_string& text) {
    if (!states_.is(STATE_CONNECTED) || text.empty()) return;
    const std::optional<std::string> node = user_name_to_node(to_utf8(user));
    if (!node) return;  // no address can name this user

    // Our own copy goes first, so that a host sees its words in the order it
    // sent them when the server routes the copy back. The body is converted
    // and escaped once, for both, and both go in one write: one system call,
    // and the server reads them together.
    std::string xml;
    xml.reserve(2 * room_for(text) + room_for(user));
    std::pair<std::size_t, std::size_t> body;
    {
        Chat_Stanza copy(xml, client_->jid().full(), "");
        body = copy.body(text);
    }
    {
        Chat_Stanza message(xml, address(*node), std::to_string(message_id));
        message.body_again(body);
        message.amp({true, nullptr, &user});
    }
    const xmpp::Private_Rand rand_scope;
    client_->send_xml(xml);
}

void Velta_Manager_Impl::send_admin_values(const std::uint32_t* values, std::uint32_t count,
                                           const wide_string& text) {
    if (!states_.is(STATE_CONNECTED)) return;
    send_request(admin_node, values_subject(CODE_ADMIN_VALUES, values, count), text, "", nullptr);
}

void Velta_Manager_Impl::send_admin_identifier(const Identifier128& identifier, const wide_string& text) {
    if (!states_.is(STATE_CONNECTED)) return;
    const std::string subject = std::to_string(CODE_ADMIN_IDENTIFIER) + ' ' + hex_identifier(identifier) + ' ';
    send_request(admin_node, subject, text, "", nullptr);
}

void Velta_Manager_Impl::send_admin_text(const wide_string& text) {
    if (!states_.is(STATE_CONNECTED)) return;
    send_request(admin_node, std::to_string(CODE_ADMIN_TEXT) + ' ', text, "", nullptr);
}

void Velta_Manager_Impl::send_command_message(std::uint32_t message_id, const wide_string& user,
                                              const wide_string& text, std::uint32_t reserve) {
    if (!states_.is(STATE_CONNECTED)) return;
    const std::optional<std::string> node = user_name_to_node(to_utf8(user));
    if (!node) return;
    const std::string subject = std::to_string(CODE_COMMAND_MESSAGE) + ' ' + *node + "@localhost/zorvan ";
    const Amp_Rule rule{true, &reserve, &user};
    send_request(command_node, subject, text, std::to_string(message_id), &rule);
}

void Velta_Manager_Impl::send_command_values(const std::uint32_t* values, std::uint32_t count,
                                             const wide_string& text, std::uint32_t reserve) {
    if (!states_.is(STATE_CONNECTED)) return;
    const Amp_Rule rule{false, &reserve, nullptr};
    send_request(command_node, values_subject(CODE_COMMAND_VALUES, values, count), text, "0", &rule);
}

}  // namespace Velta_Client::detail
