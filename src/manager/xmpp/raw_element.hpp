// SPDX-License-Identifier: GPL-3.0-or-later
// A stanza extension that carries an element as it stands. On received
// messages it keeps a copy of the whole message element, from which the
// receive path reads the amp rules and delay stamps (gloox's own AMP class
// drops the rule attributes "userid" and "reserve", and every registered
// extension costs a filter pass per stanza: one extension covers both). On
// outgoing messages it carries the library's "amp" element.
#pragma once

#include <gloox/stanzaextension.h>
#include <gloox/tag.h>

#include <memory>

namespace Velta_Client::detail::xmpp {

class Raw_Element final : public gloox::StanzaExtension {
public:
    static constexpr int extension_type = gloox::ExtUser + 0x7e1;

    Raw_Element();
    explicit Raw_Element(const gloox::Tag* element);
    explicit Raw_Element(std::unique_ptr<gloox::Tag> element);
    ~Raw_Element() override;

    // Matches the whole message, so a parsed message carries itself.
    const std::string& filterString() const override;
    gloox::StanzaExtension* newInstance(const gloox::Tag* tag) const override;
    gloox::Tag* tag() const override;
    gloox::StanzaExtension* clone() const override;

    const gloox::Tag* element() const { return element_.get(); }

private:
    std::unique_ptr<gloox::Tag> element_;
};

}  // namespace Velta_Client::detail::xmpp
