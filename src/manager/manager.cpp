// SPDX-License-Identifier: GPL-3.0-or-later
#include "manager/manager.hpp"

#include "manager/constants.hpp"
#include "manager/xmpp/client_factory.hpp"
#include "text/utf8.hpp"

#include <velta_client/end_words.hpp>

#include <gloox/message.h>

namespace Velta_Client::detail {

Velta_Manager_Impl::Velta_Manager_Impl(Clock* clock, Handler* handler, const wide_string& server,
                                       const wide_string& user, const wide_string& password)
    : queue_(std::make_shared<events::Call_Queue>()),
      clock_(clock),
      handler_(handler),
      user_(user),
      // The registration request carries the password as XML text, where
      // gloox silently drops a text with a character XML forbids: the
      // account would get an empty password and the login then fail. The
      // same replacement as for message text, once, for both.
      password_(text_encoding::xml_safe(password)),
      server_(server),
      last_probe_time_(0) {
    xmpp::build_registration_client(client_);
    registration_.emplace(&*client_);
    last_probe_time_ = clock_->now();
}

// The registration goes before the client it points into. gloox closes a
// connection that is still open; detached first, the manager hears nothing.
Velta_Manager_Impl::~Velta_Manager_Impl() {
    const xmpp::Private_Rand rand_scope;
    registration_.reset();
    xmpp::detach(*client_, *this);
    client_.reset();
}

void Velta_Manager_Impl::poll() {
    // A Handler that calls poll() from inside a delivery gets nothing: the
    // queue is mid-drain and gloox may be mid-call.
    if (queue_->draining()) return;

    // The host polls every frame: an idle manager with nothing to say costs
    // no system call and no reference count.
    if (states_.is(STATE_IDLE) && queue_->empty() && !logged_in_) return;

    const std::shared_ptr<events::Call_Queue> queue = queue_;

    if (!states_.is(STATE_IDLE)) {
        inside_gloox([this] { client_->recv(0); });
        if (awaiting_outcome_) check_connect_deadline();
    }

    if (logged_in_ && !states_.is(STATE_CONNECTED))
        queue->append(events::handler_call(handler_, &Handler::on_disconnected));

    if (states_.is(STATE_CONNECTED)) {
        // Wrapping difference: the host's clock may run past 2038.
        const auto since_probe = static_cast<std::int32_t>(static_cast<std::uint32_t>(clock_->now()) -
                                                           static_cast<std::uint32_t>(last_probe_time_));
        if (since_probe > keep_alive_interval_seconds) {
            // An empty message to our own full address: the server echoes it
            // and the echo proves the link alive.
            inside_gloox([this] { client_->send(gloox::Message(gloox::Message::Chat, client_->jid())); });
            last_probe_time_ = clock_->now();
            if (++unanswered_probes_ == unanswered_probe_limit + 1) note_end(END_DEAD_LINK, at_server(end_words::probes_unanswered));
        }
    }

    // The dead-link notice: the probes stopped coming back. The host decides
    // whether to log out; the connection is left as it is.
    if (states_.is(STATE_CONNECTED) && unanswered_probes_ > unanswered_probe_limit)
        queue->append(events::handler_call(handler_, &Handler::on_disconnected));

    queue->drain();
}

}  // namespace Velta_Client::detail
