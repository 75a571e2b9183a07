// SPDX-License-Identifier: GPL-3.0-or-later
#include "peer/core/stanza_text.hpp"

namespace velta_test {

const std::string ns_data = "jabber:x:data";

namespace {

const std::string ns_stanzas = "urn:ietf:params:xml:ns:xmpp-stanzas";

struct Error_Kind {
    const char* condition;
    const char* type;
    const char* code;
};

// The usual type and legacy code of each stanza error condition.
const Error_Kind error_kinds[] = {
    {"bad-request", "modify", "400"},          {"conflict", "cancel", "409"},
    {"feature-not-implemented", "cancel", "501"}, {"forbidden", "auth", "403"},
    {"gone", "modify", "302"},                 {"internal-server-error", "wait", "500"},
    {"item-not-found", "cancel", "404"},       {"jid-malformed", "modify", "400"},
    {"not-acceptable", "modify", "406"},       {"not-allowed", "cancel", "405"},
    {"not-authorized", "auth", "401"},         {"payment-required", "auth", "402"},
    {"recipient-unavailable", "wait", "404"},  {"redirect", "modify", "302"},
    {"registration-required", "auth", "407"},  {"remote-server-not-found", "cancel", "404"},
    {"remote-server-timeout", "wait", "504"},  {"resource-constraint", "wait", "500"},
    {"service-unavailable", "cancel", "503"},  {"subscription-required", "auth", "407"},
    {"undefined-condition", "cancel", "500"},  {"unexpected-request", "wait", "400"},
};

}  // namespace

std::string escape(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (char ch : text) {
        switch (ch) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '\'': out += "&apos;"; break;
        case '"': out += "&quot;"; break;
        default: out += ch;
        }
    }
    return out;
}

std::string iq_head(const std::string& type, const std::string& id, const std::string& from) {
    std::string out = "<iq type='" + type + "' id='" + escape(id) + "'";
    if (!from.empty()) out += " from='" + escape(from) + "'";
    return out;
}

std::string iq_error(const std::string& id, const std::string& from, const std::string& condition) {
    const char* type = "cancel";
    const char* code = nullptr;
    for (const auto& kind : error_kinds) {
        if (condition == kind.condition) {
            type = kind.type;
            code = kind.code;
        }
    }
    std::string out = iq_head("error", id, from) + "><error type='" + type + "'";
    if (code) out += std::string(" code='") + code + "'";
    return out + "><" + escape(condition) + " xmlns='" + ns_stanzas + "'/></error></iq>";
}

}  // namespace velta_test
