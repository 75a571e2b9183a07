// A stanza extension that keeps a copy of the whole message element. gloox's
// own AMP class drops the rule attributes the library relies on ("userid",
// "reserve"), and registering it beside DelayedDelivery costs a filter pass
// per extension per stanza; this one covers both with a single filter.
#pragma once

#include <gloox/stanzaextension.h>
#include <gloox/tag.h>

#include <memory>

namespace Velta_Client::detail::xmpp {

class Raw_Message final : public gloox::StanzaExtension {
public:
    static constexpr int extension_type = gloox::ExtUser + 0x7e1;

    Raw_Message();
    explicit Raw_Message(const gloox::Tag* element);
    ~Raw_Message() override;

    const std::string& filterString() const override;
    gloox::StanzaExtension* newInstance(const gloox::Tag* tag) const override;
    gloox::Tag* tag() const override;
    gloox::StanzaExtension* clone() const override;

    // The message element as received; null for the factory instance.
    const gloox::Tag* element() const { return element_.get(); }

private:
    std::unique_ptr<gloox::Tag> element_;
};

}  // namespace Velta_Client::detail::xmpp
