// SPDX-License-Identifier: GPL-3.0-or-later
#include "manager/xmpp/scram_login.hpp"

#include <gloox/base64.h>
#include <gloox/gloox.h>

namespace Velta_Client::detail::xmpp {

namespace {

bool is_sasl(const gloox::Tag& tag, const char* name) {
    return tag.name() == name && tag.xmlns() == gloox::XMLNS_STREAM_SASL;
}

bool offers_scram_sha1(const gloox::Tag& features) {
    const gloox::Tag* mechanisms = features.findChild("mechanisms", "xmlns", gloox::XMLNS_STREAM_SASL);
    return mechanisms && mechanisms->hasChildWithCData("mechanism", "SCRAM-SHA-1");
}

gloox::Tag* sasl_element(const char* name, const std::string& message) {
    auto* tag = new gloox::Tag(name, "xmlns", gloox::XMLNS_STREAM_SASL);
    tag->setCData(gloox::Base64::encode64(message));
    return tag;
}

}  // namespace

Scram_Login::Verdict Scram_Login::on_element(gloox::Client& client, const gloox::Tag& tag, bool may_authenticate) {
    if (tag.name() == "features" && tag.xmlns() == gloox::XMLNS_STREAM) {
        if (!cache_ || stage_ != Stage::none || !may_authenticate || !offers_scram_sha1(tag)) return Verdict::not_mine;
        scram_.emplace(client.username(), *cache_);
        gloox::Tag* auth = sasl_element("auth", scram_->client_first());
        auth->addAttribute("mechanism", "SCRAM-SHA-1");
        client.send(auth);  // gloox takes it
        stage_ = Stage::awaiting_challenge;
        return Verdict::taken;
    }
    // A challenge to any other mechanism is refused too: gloox would answer
    // it with work the server chooses.
    if (is_sasl(tag, "challenge")) return on_challenge(client, tag);
    if (is_sasl(tag, "success") && stage_ != Stage::none) {
        const bool proven = stage_ == Stage::awaiting_outcome &&
                            scram_->verify_server_final(gloox::Base64::decode64(tag.cdata()));
        stage_ = Stage::over;
        return proven ? Verdict::not_mine : Verdict::refused;
    }
    if (is_sasl(tag, "failure")) stage_ = Stage::over;
    return Verdict::not_mine;
}

Scram_Login::Verdict Scram_Login::on_challenge(gloox::Client& client, const gloox::Tag& challenge) {
    if (stage_ != Stage::awaiting_challenge) return Verdict::refused;
    if (!scram_->take_server_first(gloox::Base64::decode64(challenge.cdata()), client.password()))
        return Verdict::refused;
    stage_ = Stage::computing;
    // Keys kept from the last login: the proof is ready now.
    if (scram_->ready()) send_response(client);
    return Verdict::taken;
}

void Scram_Login::advance(gloox::Client& client, long deadline_ns) {
    if (stage_ == Stage::computing && scram_->advance(deadline_ns)) send_response(client);
}

void Scram_Login::send_response(gloox::Client& client) {
    stage_ = Stage::awaiting_outcome;
    client.send(sasl_element("response", scram_->client_final()));
}

}  // namespace Velta_Client::detail::xmpp
