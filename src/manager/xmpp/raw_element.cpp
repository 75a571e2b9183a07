// SPDX-License-Identifier: GPL-3.0-or-later
#include "manager/xmpp/raw_element.hpp"

#include <utility>

namespace Velta_Client::detail::xmpp {

Raw_Element::Raw_Element() : gloox::StanzaExtension(extension_type) {}

Raw_Element::Raw_Element(const gloox::Tag* element)
    : gloox::StanzaExtension(extension_type), element_(element ? element->clone() : nullptr) {}

Raw_Element::Raw_Element(std::unique_ptr<gloox::Tag> element)
    : gloox::StanzaExtension(extension_type), element_(std::move(element)) {}

Raw_Element::~Raw_Element() = default;

const std::string& Raw_Element::filterString() const {
    static const std::string filter = "/message";
    return filter;
}

gloox::StanzaExtension* Raw_Element::newInstance(const gloox::Tag* tag) const { return new Raw_Element(tag); }

gloox::Tag* Raw_Element::tag() const { return element_ ? element_->clone() : nullptr; }

gloox::StanzaExtension* Raw_Element::clone() const { return new Raw_Element(element_.get()); }

}  // namespace Velta_Client::detail::xmpp
