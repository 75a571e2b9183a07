// Incoming messages.
#include "manager/manager.hpp"

namespace Velta_Client::detail {

void Velta_Manager_Impl::handleMessage(const gloox::Message&, gloox::MessageSession*) {}

}  // namespace Velta_Client::detail
