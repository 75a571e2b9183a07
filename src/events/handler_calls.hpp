// SPDX-License-Identifier: GPL-3.0-or-later
// Deferred calls of the host's Handler. Texts wait inside the call as UTF-8
// and become host text only when the call runs; a text that turns out not to
// be UTF-8 drops that one call, unseen by the host.
#pragma once

#include "events/call_queue.hpp"
#include "text/utf8.hpp"

#include <velta_client/velta_client.hpp>

#include <optional>
#include <string>
#include <tuple>
#include <utility>

namespace Velta_Client::events {

using utf8_text = text_encoding::encoded_string<text_encoding::charset::utf8, std::string>;

namespace detail {

template <class T>
const T& decoded(const T& value) {
    return value;
}

inline std::u16string decoded(const utf8_text& text) { return text.decode(); }

template <class Operation, class... Stored>
void call_decoded(Handler* handler, Operation operation, const Stored&... stored) {
    // Every text is decoded before the host hears anything, so a bad one
    // never leads to a call with half its arguments.
    std::optional<std::tuple<decltype(decoded(stored))...>> arguments;
    try {
        arguments.emplace(decoded(stored)...);
    } catch (const text_encoding::codecvt_error&) {
        return;
    }
    std::apply([&](const auto&... argument) { (handler->*operation)(argument...); }, *arguments);
}

}  // namespace detail

// handler_call(h, &Handler::on_message, utf8_text(from), utf8_text(body), time)
template <class Operation, class... Stored>
Deferred_Call handler_call(Handler* handler, Operation operation, Stored... stored) {
    return [handler, operation, arguments = std::make_tuple(std::move(stored)...)]() {
        std::apply([&](const auto&... argument) { detail::call_decoded(handler, operation, argument...); },
                   arguments);
    };
}

}  // namespace Velta_Client::events
