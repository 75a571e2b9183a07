// SPDX-License-Identifier: GPL-3.0-or-later
// The stanza error extension every client registers in place of gloox's own.
//
// gloox 1.0.24's Error keeps a copy of the last child of <error> that is
// neither a defined condition nor <text>, and leaks the copy of every earlier
// one: each received error stanza with several such children (any peer can
// send one) would cost the host memory for good. This one hands gloox's
// Error a copy of the element that keeps only the last of them, which is all
// gloox would have kept anyway.
#pragma once

#include <gloox/error.h>
#include <gloox/tag.h>

namespace Velta_Client::detail::xmpp {

class Error_Extension final : public gloox::Error {
public:
    Error_Extension() : gloox::Error(nullptr) {}

    gloox::StanzaExtension* newInstance(const gloox::Tag* tag) const override {
        if (!tag) return new gloox::Error(tag);
        const gloox::Tag* last_kept = nullptr;
        int application_conditions = 0;
        for (const gloox::Tag* child : tag->children()) {
            if (is_application_condition(*child)) {
                last_kept = child;
                ++application_conditions;
            }
        }
        if (application_conditions < 2) return new gloox::Error(tag);

        gloox::Tag copy(tag->name());
        for (const gloox::Tag::Attribute* attribute : tag->attributes())
            copy.addAttribute(attribute->name(), attribute->value());
        for (const gloox::Tag* child : tag->children())
            if (child == last_kept || !is_application_condition(*child)) copy.addChildCopy(child);
        return new gloox::Error(&copy);
    }

private:
    // Asks gloox itself, so that its list of defined conditions is the one used.
    static bool is_application_condition(const gloox::Tag& child) {
        gloox::Tag alone("error");
        alone.addChildCopy(&child);
        const gloox::Error reading(&alone);
        return reading.appError() != nullptr;
    }
};

}  // namespace Velta_Client::detail::xmpp
