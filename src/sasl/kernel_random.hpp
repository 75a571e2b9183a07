// SPDX-License-Identifier: GPL-3.0-or-later
// Bytes from the kernel's randomness (getrandom), for nonces and keys.
#pragma once

#include <cstddef>

namespace Velta_Client::detail::sasl {

void fill_from_kernel(void* target, std::size_t size);

}  // namespace Velta_Client::detail::sasl
