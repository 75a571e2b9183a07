// SPDX-License-Identifier: GPL-3.0-or-later
// new_velta_manager: the library's one export. No exception crosses it.
#include "manager/manager.hpp"

#include <velta_client/velta_client.hpp>

#include <new>

extern "C" VELTA_CLIENT_API Velta_Client::Velta_Manager* new_velta_manager(Velta_Client::Clock* clock,
                                                                           Velta_Client::Handler* handler,
                                                                           const Velta_Client::wide_string& server,
                                                                           const Velta_Client::wide_string& user,
                                                                           const Velta_Client::wide_string& password) {
    try {
        return new Velta_Client::detail::Velta_Manager_Impl(clock, handler, server, user, password);
    } catch (...) {
        return nullptr;
    }
}
