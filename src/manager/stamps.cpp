// Delay stamps.
#include "manager/manager.hpp"

namespace Velta_Client::detail {

std::int32_t Velta_Manager_Impl::stamp_to_time(const std::string&) { return clock_->now(); }

}  // namespace Velta_Client::detail
