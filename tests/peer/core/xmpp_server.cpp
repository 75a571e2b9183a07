// SPDX-License-Identifier: GPL-3.0-or-later
#include "peer/core/xmpp_server.hpp"

#include "peer/core/scram_server.hpp"
#include "peer/core/stanza_text.hpp"

#include <gloox/base64.h>
#include <gloox/parser.h>
#include <gloox/tag.h>
#include <gloox/taghandler.h>

#include <algorithm>
#include <optional>
#include <utility>

namespace velta_test {

namespace {

const std::string domain = "localhost";
const std::string ns_sasl = "urn:ietf:params:xml:ns:xmpp-sasl";
const std::string ns_tls = "urn:ietf:params:xml:ns:xmpp-tls";
const std::string ns_bind = "urn:ietf:params:xml:ns:xmpp-bind";
const std::string ns_session = "urn:ietf:params:xml:ns:xmpp-session";
const std::string ns_streams = "urn:ietf:params:xml:ns:xmpp-streams";
const std::string ns_register = "jabber:iq:register";
const std::string ns_roster = "jabber:iq:roster";
const std::string ns_ping = "urn:xmpp:ping";
const std::string ns_private = "jabber:iq:private";

bool is_space(char ch) { return ch == ' ' || ch == '\t' || ch == '\r' || ch == '\n'; }

std::size_t leading_space(const std::string& text) {
    std::size_t i = 0;
    while (i < text.size() && is_space(text[i])) ++i;
    return i;
}

std::string qualified_name(const gloox::Tag& tag) {
    return tag.prefix().empty() ? tag.name() : tag.prefix() + ":" + tag.name();
}

std::string bare_of(const std::string& jid) { return jid.substr(0, jid.find('/')); }

}  // namespace

std::string account_key(const std::string& user) {
    std::string out = user;
    for (char& ch : out)
        if (ch >= 'A' && ch <= 'Z') ch = static_cast<char>(ch - 'A' + 'a');
    return out;
}

// ---- Recorded --------------------------------------------------------

std::string Recorded::attribute(const std::string& attribute_name) const {
    return tag ? tag->findAttribute(attribute_name) : std::string();
}

bool Recorded::has_attribute(const std::string& attribute_name) const {
    return tag && tag->hasAttribute(attribute_name);
}

std::string Recorded::child_text(const std::string& child_name) const {
    const gloox::Tag* child = tag ? tag->findChild(child_name) : nullptr;
    return child ? child->cdata() : std::string();
}

bool Recorded::has_child(const std::string& child_name) const { return tag && tag->findChild(child_name); }

// ---- Xmpp_Server -----------------------------------------------------

// Takes each element as the parser completes it, and hands it on at once:
// the parser deletes its own when this returns.
struct Xmpp_Server::Session final : gloox::TagHandler {
    // The segment keeps its room from element to element; a login's fit.
    Session(Xmpp_Server& server, int number) : server(server), number(number) { segment.reserve(256); }
    void handleTag(gloox::Tag* tag) override { server.on_element(*this, *tag); }

    Xmpp_Server& server;
    const int number;
    std::unique_ptr<gloox::Parser> parser = std::make_unique<gloox::Parser>(this);
    std::string segment;  // bytes since the last top-level element
    bool closing = false;
    bool encrypted = false;   // from <proceed/> on
    bool awaits_tls = false;  // between <proceed/> and the new stream inside TLS
    bool authed = false;
    std::string user;
    std::string full_jid;  // set by resource binding
    int streams = 0;
    std::optional<Scram_Exchange> scram;  // between challenge and response
};

Xmpp_Server::Xmpp_Server(Writer write, Observer observe) : write_(std::move(write)), observe_(std::move(observe)) {}

Xmpp_Server::~Xmpp_Server() = default;

void Xmpp_Server::open(int session) {
    sessions_[session] = std::make_unique<Session>(*this, session);
}

void Xmpp_Server::forget(int session) { sessions_.erase(session); }

Xmpp_Server::Session* Xmpp_Server::find(int session) const {
    const auto found = sessions_.find(session);
    return found == sessions_.end() ? nullptr : found->second.get();
}

bool Xmpp_Server::awaits_tls(int session) const {
    const Session* s = find(session);
    return s && s->awaits_tls;
}

void Xmpp_Server::restart_stream(int session) {
    Session* s = find(session);
    if (!s) return;
    s->parser = std::make_unique<gloox::Parser>(s);
    s->segment.clear();
    s->awaits_tls = false;
}

void Xmpp_Server::close(int session, bool stream_end) {
    Session* s = find(session);
    if (!s || s->closing) return;
    if (stream_end) send(*s, "</stream:stream>");
    s->closing = true;
}

bool Xmpp_Server::closing(int session) const {
    const Session* s = find(session);
    return !s || s->closing;
}

void Xmpp_Server::send(Session& s, const std::string& text) {
    if (s.closing) return;
    write_(s.number, text);
}

// ---- input -----------------------------------------------------------

// Feeds the parser one byte at a time, so that every element's exact bytes
// are known: the parser completes an element, or the stream's end, only at
// the '>' that ends it.
std::size_t Xmpp_Server::receive(int session, const char* data, std::size_t size) {
    Session* found = find(session);
    if (!found) return size;
    Session& s = *found;
    for (std::size_t i = 0; i < size; ++i) {
        if (s.awaits_tls) return i;
        s.segment.push_back(data[i]);
        std::string one(1, data[i]);
        if (s.parser->feed(one) >= 0) {
            on_not_well_formed(s);
            return size;
        }
        if (data[i] == '>' && !s.segment.empty()) {
            // gloox reports no event for the end of the stream; at the
            // top level, a closing tag can only be that.
            const std::size_t at = leading_space(s.segment);
            if (s.segment.compare(at, 2, "</") == 0) on_stream_end(s);
        }
    }
    return size;
}

namespace {

// The bytes of the element the parser has just completed, leading
// whitespace removed; the segment starts again empty.
std::string take_segment(std::string& segment) {
    std::string raw = segment.substr(leading_space(segment));
    segment.clear();
    return raw;
}

}  // namespace

void Xmpp_Server::observe(const Recorded& element) {
    if (observe_) observe_(element);
}

void Xmpp_Server::on_not_well_formed(Session& s) {
    observe(Recorded{s.number, take_segment(s.segment), "!not-well-formed", nullptr});
    if (!script.silent) send(s, "<stream:error><not-well-formed xmlns='" + ns_streams + "'/></stream:error>");
    close(s.number, !script.silent);
}

void Xmpp_Server::on_stream_end(Session& s) {
    observe(Recorded{s.number, take_segment(s.segment), "/stream:stream", nullptr});
    if (!script.silent) close(s.number, true);
}

// The observer sees the parser's own element, which it must copy to keep it.
void Xmpp_Server::on_element(Session& s, const gloox::Tag& parsed) {
    const Recorded element{s.number, take_segment(s.segment), qualified_name(parsed),
                           std::shared_ptr<const gloox::Tag>(std::shared_ptr<void>(), &parsed)};
    observe(element);
    if (script.silent || (script.silent_from > 0 && s.number >= script.silent_from)) return;
    const std::string& name = element.name;
    const gloox::Tag* const tag = &parsed;
    const std::string& raw = element.raw;
    if (name == "stream:stream")
        on_stream_start(s);
    else if (name == "starttls")
        on_starttls(s);
    else if (name == "compress")
        send(s, "<failure xmlns='http://jabber.org/protocol/compress'><unsupported-method/></failure>");
    else if (name == "auth" && !script.unanswered.count("auth"))
        on_auth(s, *tag);
    else if (name == "response")
        on_sasl_response(s, *tag);
    else if (name == "iq")
        on_iq(s, *tag);
    else if (name == "message")
        on_message(s, *tag, raw);
    // Presence and everything else: recorded, not answered.
}

// ---- stream negotiation ----------------------------------------------

void Xmpp_Server::on_stream_start(Session& s) {
    ++s.streams;
    std::string out = "<?xml version='1.0'?><stream:stream xmlns='jabber:client' "
                      "xmlns:stream='http://etherx.jabber.org/streams' id='peer-" +
                      std::to_string(s.number) + "-" + std::to_string(s.streams) +
                      "' from='localhost' version='1.0' xml:lang='en'><stream:features>";
    if (script.offer_starttls && !s.encrypted) out += "<starttls xmlns='" + ns_tls + "'/>";
    if (script.offer_compression)
        out += "<compression xmlns='http://jabber.org/features/compress'><method>zlib</method></compression>";
    if (!s.authed) {
        if (!script.mechanisms.empty()) {
            out += "<mechanisms xmlns='" + ns_sasl + "'>";
            for (const auto& m : script.mechanisms) out += "<mechanism>" + escape(m) + "</mechanism>";
            out += "</mechanisms>";
        }
        out += "<register xmlns='http://jabber.org/features/iq-register'/>";
    } else {
        out += "<bind xmlns='" + ns_bind + "'/>";
        if (script.offer_session) out += "<session xmlns='" + ns_session + "'/>";
    }
    send(s, out + "</stream:features>");
}

void Xmpp_Server::on_starttls(Session& s) {
    if (!script.offer_starttls || s.encrypted) {
        send(s, "<failure xmlns='" + ns_tls + "'/>");
        close(s.number, true);
        return;
    }
    send(s, "<proceed xmlns='" + ns_tls + "'/>");
    s.encrypted = true;
    s.awaits_tls = true;
}

void Xmpp_Server::sasl_failure(Session& s, const std::string& condition) {
    send(s, "<failure xmlns='" + ns_sasl + "'><" + condition + "/></failure>");
    close(s.number, true);
}

void Xmpp_Server::on_auth(Session& s, const gloox::Tag& auth) {
    const std::string mechanism = auth.findAttribute("mechanism");
    const auto& mechanisms = script.mechanisms;
    const bool offered = std::find(mechanisms.begin(), mechanisms.end(), mechanism) != mechanisms.end();
    if (!s.authed && offered && (!script.sasl_challenge.empty() || mechanism == "SCRAM-SHA-1")) {
        on_challenged_auth(s, mechanism, auth);
        return;
    }
    if (s.authed || !offered || (mechanism != "PLAIN" && mechanism != "ANONYMOUS")) {
        sasl_failure(s, "invalid-mechanism");
        return;
    }
    std::string user;
    bool ok = false;
    if (mechanism == "ANONYMOUS") {
        user = "anonymous-" + std::to_string(++anonymous_users_);
        ok = script.auth_mode != Auth_Mode::always_fail;
    } else {
        // authzid NUL authcid NUL password
        const std::string message = gloox::Base64::decode64(auth.cdata());
        const std::size_t first = message.find('\0');
        const std::size_t second = first == std::string::npos ? first : message.find('\0', first + 1);
        if (second == std::string::npos) {
            sasl_failure(s, "malformed-request");
            return;
        }
        user = message.substr(first + 1, second - first - 1);
        const std::string password = message.substr(second + 1);
        const auto account = script.accounts.find(account_key(user));
        ok = script.auth_mode == Auth_Mode::always_succeed ||
             (script.auth_mode == Auth_Mode::accounts && account != script.accounts.end() &&
              account->second == password);
    }
    if (!ok) {
        sasl_failure(s, "not-authorized");
        return;
    }
    s.authed = true;
    s.user = user;
    send(s, "<success xmlns='" + ns_sasl + "'/>");
}

// Mechanisms with a challenge: the scripted one, or SCRAM-SHA-1's.
void Xmpp_Server::on_challenged_auth(Session& s, const std::string& mechanism, const gloox::Tag& auth) {
    if (!script.sasl_challenge.empty()) {
        send(s, "<challenge xmlns='" + ns_sasl + "'>" + script.sasl_challenge + "</challenge>");
        return;
    }
    s.scram = scram_begin(gloox::Base64::decode64(auth.cdata()), script.scram_iterations, script.scram_nonce,
                          script.scram_salt);
    if (!s.scram || mechanism != "SCRAM-SHA-1") {
        sasl_failure(s, "malformed-request");
        return;
    }
    send(s, "<challenge xmlns='" + ns_sasl + "'>" + gloox::Base64::encode64(s.scram->server_first) + "</challenge>");
}

void Xmpp_Server::on_sasl_response(Session& s, const gloox::Tag& response) {
    if (s.authed || !s.scram) {
        sasl_failure(s, "not-authorized");
        return;
    }
    const Scram_Exchange exchange = *s.scram;
    s.scram.reset();
    const auto account = script.accounts.find(account_key(exchange.user));
    std::optional<std::string> server_final;
    if (script.auth_mode != Auth_Mode::always_fail && account != script.accounts.end())
        server_final = scram_finish(exchange, gloox::Base64::decode64(response.cdata()), account->second);
    if (!server_final) {
        sasl_failure(s, "not-authorized");
        return;
    }
    s.authed = true;
    s.user = exchange.user;
    if (script.scram_wrong_signature) {
        std::string signature = gloox::Base64::decode64(server_final->substr(2));
        signature[0] = static_cast<char>(signature[0] ^ 1);
        server_final = "v=" + gloox::Base64::encode64(signature);
    }
    send(s, "<success xmlns='" + ns_sasl + "'>" + gloox::Base64::encode64(*server_final) + "</success>");
}

// ---- IQs -------------------------------------------------------------

void Xmpp_Server::on_iq(Session& s, const gloox::Tag& iq) {
    const std::string type = iq.findAttribute("type");
    if (type != "get" && type != "set") return;
    const std::string id = iq.findAttribute("id");
    const std::string to = iq.findAttribute("to");
    const gloox::TagList& children = iq.children();
    const gloox::Tag* query = children.empty() ? nullptr : children.front();
    const std::string ns = query ? query->xmlns() : std::string();
    const bool own_account = !s.full_jid.empty() && (to == bare_of(s.full_jid) || to == s.full_jid);
    if (!to.empty() && to != domain && !own_account) {
        send(s, iq_error(id, to, "service-unavailable"));
        return;
    }
    if (script.unanswered.count(ns == ns_register ? "register-" + type : ns == ns_bind ? "bind" : "")) return;
    if (ns == ns_register && type == "get") {
        send(s, iq_head("result", id, to) + "><query xmlns='" + ns_register + "'>" + script.registration_fields +
                    "</query></iq>");
    } else if (ns == ns_register) {
        on_register_set(s, *query, id, to);
    } else if (ns == ns_bind && type == "set") {
        on_bind(s, *query, id, to);
    } else if (ns == ns_session || ns == ns_ping || (ns == ns_roster && type == "set")) {
        send(s, iq_head("result", id, to) + "/>");
    } else if (ns == ns_roster) {
        send(s, iq_head("result", id, to) + "><query xmlns='" + ns_roster + "'/></iq>");
    } else if (ns == ns_private && type == "get") {
        // Nothing stored: the request comes back as it was asked.
        send(s, iq_head("result", id, to) + ">" + query->xml() + "</iq>");
    } else if (ns == ns_private) {
        send(s, iq_head("result", id, to) + "/>");
    } else {
        send(s, iq_error(id, to, "service-unavailable"));
    }
}

void Xmpp_Server::on_register_set(Session& s, const gloox::Tag& query, const std::string& id, const std::string& to) {
    if (query.findChild("remove")) {
        if (s.authed) script.accounts.erase(account_key(s.user));
        send(s, iq_head("result", id, to) + "/>");
        return;
    }
    std::string user;
    std::string password;
    if (const gloox::Tag* form = query.findChild("x", "xmlns", ns_data)) {
        for (const gloox::Tag* field : form->findChildren("field")) {
            const gloox::Tag* value = field->findChild("value");
            const std::string var = field->findAttribute("var");
            if (var == "username" && value) user = value->cdata();
            if (var == "password" && value) password = value->cdata();
        }
    } else {
        if (const gloox::Tag* t = query.findChild("username")) user = t->cdata();
        if (const gloox::Tag* t = query.findChild("password")) password = t->cdata();
    }
    std::string outcome;
    auto& outcomes = script.registration_outcomes;
    if (!outcomes.empty()) {
        outcome = outcomes.front();
        outcomes.pop_front();
    } else if (user.empty()) {
        outcome = "not-acceptable";
    } else {
        outcome = script.accounts.count(account_key(user)) ? "conflict" : "success";
    }
    if (outcome == "ignore") return;
    if (outcome == "success") {
        if (!user.empty()) script.accounts[account_key(user)] = password;
        send(s, iq_head("result", id, to) + "/>");
    } else {
        send(s, iq_error(id, to, outcome));
    }
}

void Xmpp_Server::on_bind(Session& s, const gloox::Tag& bind, const std::string& id, const std::string& to) {
    if (!s.authed || !script.bind_error.empty()) {
        send(s, iq_error(id, to, s.authed ? script.bind_error : "not-authorized"));
        return;
    }
    std::string resource;
    if (const gloox::Tag* r = bind.findChild("resource")) resource = r->cdata();
    if (resource.empty()) resource = "peer-" + std::to_string(s.number);
    s.full_jid = s.user + "@" + domain + "/" + resource;
    bound_number_ = s.number;
    bound_full_jid_ = s.full_jid;
    const std::string answer =
        script.bind_answer.empty() ? "<jid>" + escape(s.full_jid) + "</jid>" : script.bind_answer;
    send(s, iq_head("result", id, to) + "><bind xmlns='" + ns_bind + "'>" + answer + "</bind></iq>");
}

// ---- messages --------------------------------------------------------

// The session a message to `to` goes to: the bound session with that full
// JID, else the latest bound session with that bare JID.
Xmpp_Server::Session* Xmpp_Server::route(const std::string& to) {
    if (to.empty()) return nullptr;
    Session* by_bare = nullptr;
    for (auto& entry : sessions_) {
        Session& s = *entry.second;
        if (s.closing || s.full_jid.empty()) continue;
        if (s.full_jid == to) return &s;
        if (bare_of(s.full_jid) == to) by_bare = &s;
    }
    return by_bare;
}

void Xmpp_Server::on_message(Session& s, const gloox::Tag& message, const std::string& raw) {
    if (s.full_jid.empty()) return;  // not logged in
    Session* target = route(message.findAttribute("to"));
    if (!target || (target == &s && !script.echo)) return;
    std::string out = raw;
    if (!message.hasAttribute("from")) {
        // Stamp the sender, as a server does.
        const std::size_t at = out.find_first_of(" \t\r\n/>", 1);
        out.insert(at == std::string::npos ? out.size() : at, " from='" + escape(s.full_jid) + "'");
    }
    send(*target, out);
}

}  // namespace velta_test
