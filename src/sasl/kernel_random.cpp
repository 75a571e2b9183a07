// SPDX-License-Identifier: GPL-3.0-or-later
#include "sasl/kernel_random.hpp"

#include <cerrno>
#include <system_error>

#include <sys/random.h>

namespace Velta_Client::detail::sasl {

void fill_from_kernel(void* target, std::size_t size) {
    auto* bytes = static_cast<unsigned char*>(target);
    std::size_t done = 0;
    while (done < size) {
        // Waits only before the kernel's pool is first initialised, at boot.
        const ssize_t got = ::getrandom(bytes + done, size - done, 0);
        if (got > 0)
            done += static_cast<std::size_t>(got);
        else if (errno != EINTR)
            throw std::system_error(errno, std::generic_category(), "getrandom");
    }
}

}  // namespace Velta_Client::detail::sasl
