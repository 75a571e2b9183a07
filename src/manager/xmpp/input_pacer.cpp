// SPDX-License-Identifier: GPL-3.0-or-later
#include "manager/xmpp/input_pacer.hpp"

#include <time.h>

namespace Velta_Client::detail::xmpp {

long Input_Pacer::thread_cpu_ns() {
    timespec now{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<long>(now.tv_sec) * 1000000000L + now.tv_nsec;
}

}  // namespace Velta_Client::detail::xmpp
