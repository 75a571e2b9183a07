// SPDX-License-Identifier: GPL-3.0-or-later
// The in-band registration side: every start() first creates the account (or
// finds it taken), then hands over to the login step.
#include "manager/manager.hpp"

#include "text/escaping.hpp"
#include "text/utf8.hpp"

#include "manager/xmpp/conditions.hpp"

#include <velta_client/end_words.hpp>

#include <gloox/dataform.h>
#include <gloox/oob.h>

namespace Velta_Client::detail {

using Event = Connection_States::Event;
using text_encoding::to_utf8;
using text_encoding::user_name_to_node;

// Answers every fields answer, in any state, as gloox reports it last for
// each answer to the fields request.
void Velta_Manager_Impl::handleRegistrationFields(const gloox::JID&, int fields, std::string) {
    const std::optional<std::string> node = user_name_to_node(to_utf8(user_));
    if (!registration_ || !node) return;
    gloox::RegistrationFields values;
    values.username = *node;
    values.password = to_utf8(password_);
    registration_->createAccount(fields, values);
}

void Velta_Manager_Impl::handleAlreadyRegistered(const gloox::JID&) {
    if (!states_.is(STATE_REGISTERING)) return;
    queue_login_step();
}

void Velta_Manager_Impl::handleRegistrationResult(const gloox::JID&, gloox::RegistrationResult result) {
    if (!states_.is(STATE_REGISTERING)) return;
    if (result == gloox::RegistrationSuccess || result == gloox::RegistrationConflict)
        queue_login_step();
    else {
        report_error("register failed.");  // the deadline ends the connection
        note_end(END_REGISTRATION_REFUSED, at_server(std::string(end_words::registration_refused) + " (" +
                                                     xmpp::registration_condition(result) + ")"));
        registration_refused_ = true;
    }
}

// Servers that offer a form next to the legacy fields expect it back filled
// in; only the fields the form has are set, the rest go back as received.
void Velta_Manager_Impl::handleDataForm(const gloox::JID&, const gloox::DataForm& form) {
    if (!states_.is(STATE_REGISTERING) || !registration_) return;
    const std::optional<std::string> node = user_name_to_node(to_utf8(user_));
    if (!node) return;
    auto* filled = new gloox::DataForm(form);
    filled->setType(gloox::TypeSubmit);
    if (gloox::DataFormField* field = filled->field("username")) field->setValue(*node);
    if (gloox::DataFormField* field = filled->field("password")) field->setValue(to_utf8(password_));
    registration_->createAccount(filled);  // takes the form
}

void Velta_Manager_Impl::handleOOB(const gloox::JID&, const gloox::OOB& oob) {
    if (!states_.allows(Event::registration_redirected)) return;
    report_error("register failed.\n" + oob.desc() + "\nurl: " + oob.url());
    note_end(END_REGISTRATION_REFUSED,
             at_server(std::string(end_words::registration_elsewhere) + ": " + oob.url().substr(0, 200)));
    end_connection(Event::registration_redirected);
}

}  // namespace Velta_Client::detail
