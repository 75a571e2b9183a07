#include "manager/xmpp/raw_message.hpp"

namespace Velta_Client::detail::xmpp {

Raw_Message::Raw_Message() : gloox::StanzaExtension(extension_type) {}

Raw_Message::Raw_Message(const gloox::Tag* element)
    : gloox::StanzaExtension(extension_type), element_(element ? element->clone() : nullptr) {}

Raw_Message::~Raw_Message() = default;

const std::string& Raw_Message::filterString() const {
    static const std::string filter = "/message";
    return filter;
}

gloox::StanzaExtension* Raw_Message::newInstance(const gloox::Tag* tag) const { return new Raw_Message(tag); }

// Never serialised: the copy is for reading only.
gloox::Tag* Raw_Message::tag() const { return nullptr; }

gloox::StanzaExtension* Raw_Message::clone() const { return new Raw_Message(element_.get()); }

}  // namespace Velta_Client::detail::xmpp
