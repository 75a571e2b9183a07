// The six send operations.
#include "manager/manager.hpp"

namespace Velta_Client::detail {

void Velta_Manager_Impl::send_message(std::uint32_t, const wide_string&, const wide_string&) {}
void Velta_Manager_Impl::send_admin_values(const std::uint32_t*, std::uint32_t, const wide_string&) {}
void Velta_Manager_Impl::send_admin_identifier(const Identifier128&, const wide_string&) {}
void Velta_Manager_Impl::send_admin_text(const wide_string&) {}
void Velta_Manager_Impl::send_command_message(std::uint32_t, const wide_string&, const wide_string&, std::uint32_t) {}
void Velta_Manager_Impl::send_command_values(const std::uint32_t*, std::uint32_t, const wide_string&, std::uint32_t) {}

}  // namespace Velta_Client::detail
