// SPDX-License-Identifier: GPL-3.0-or-later
// The stanza error reader registered in place of gloox's own: it must read
// every <error> as gloox does, without gloox's leak (the sanitizer build and
// valgrind would report one here).
#include "manager/xmpp/error_extension.hpp"

#include <gtest/gtest.h>

#include <gloox/gloox.h>

#include <memory>

using Velta_Client::detail::xmpp::Error_Extension;

namespace {

const std::string stanzas_ns = "urn:ietf:params:xml:ns:xmpp-stanzas";

std::unique_ptr<gloox::Error> read(const gloox::Tag& error) {
    return std::unique_ptr<gloox::Error>(static_cast<gloox::Error*>(Error_Extension().newInstance(&error)));
}

}  // namespace

TEST(Error_Extension, reads_condition_type_text_and_the_last_unknown_child_as_gloox_does) {
    gloox::Tag error("error", "type", "cancel");
    new gloox::Tag(&error, "x", "xmlns", "a");
    (new gloox::Tag(&error, "y", "xmlns", "b"))->addChild(new gloox::Tag("z"));
    new gloox::Tag(&error, "service-unavailable", "xmlns", stanzas_ns);
    (new gloox::Tag(&error, "text", "xmlns", stanzas_ns))->setCData("why");
    new gloox::Tag(&error, "w");

    const std::unique_ptr<gloox::Error> ours = read(error);
    EXPECT_EQ(ours->type(), gloox::StanzaErrorTypeCancel);
    EXPECT_EQ(ours->error(), gloox::StanzaErrorServiceUnavailable);
    EXPECT_EQ(ours->text(), "why");
    ASSERT_NE(ours->appError(), nullptr);
    EXPECT_EQ(ours->appError()->name(), "w");
}

TEST(Error_Extension, leaves_errors_with_one_unknown_child_or_none_to_gloox_unchanged) {
    gloox::Tag plain("error", "type", "wait");
    new gloox::Tag(&plain, "resource-constraint", "xmlns", stanzas_ns);
    EXPECT_EQ(read(plain)->error(), gloox::StanzaErrorResourceConstraint);
    EXPECT_EQ(read(plain)->appError(), nullptr);

    gloox::Tag one("error", "type", "modify");
    new gloox::Tag(&one, "bad-request", "xmlns", stanzas_ns);
    new gloox::Tag(&one, "too-many", "xmlns", "urn:example");
    EXPECT_EQ(read(one)->appError()->name(), "too-many");

    gloox::Tag legacy("error", "code", "503");  // no defined condition at all
    EXPECT_EQ(read(legacy)->error(), gloox::StanzaErrorUndefined);
}
