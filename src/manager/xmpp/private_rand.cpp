// SPDX-License-Identifier: GPL-3.0-or-later
#include "manager/xmpp/private_rand.hpp"

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <mutex>

#include <sys/random.h>

namespace Velta_Client::detail::xmpp {

namespace {

// 256 bytes select glibc's largest generator (63 words of state).
alignas(std::int32_t) char library_state[256];

// All of these under `switching`.
std::mutex switching;
bool initialised = false;
char* host_state = nullptr;
int open_scopes = 0;  // outermost scopes, on every thread
bool refill_due = false;

thread_local int depth = 0;

void fill_from_kernel(void* target, std::size_t size) {
    auto* bytes = static_cast<unsigned char*>(target);
    std::size_t done = 0;
    while (done < size) {
        const ssize_t got = ::getrandom(bytes + done, size - done, 0);
        if (got <= 0) break;  // only EINTR is possible with these flags
        done += static_cast<std::size_t>(got);
    }
}

// glibc keeps the generator's type in the first word of the buffer and the
// additive table in the rest; a table of kernel randomness is a seed of
// 2016 bits, where srand() would give 32. Only while no other thread draws.
void refill() {
    fill_from_kernel(library_state + sizeof(std::int32_t), sizeof library_state - sizeof(std::int32_t));
    refill_due = false;
}

}  // namespace

Private_Rand::Private_Rand() : saved_errno_(errno) {
    if (depth++ > 0) return;
    const std::lock_guard<std::mutex> lock(switching);
    if (open_scopes++ > 0) return;  // another thread switched already
    if (!initialised) {
        initialised = true;
        unsigned seed = 0;
        fill_from_kernel(&seed, sizeof seed);
        // initstate selects the new state and returns the one in use.
        host_state = ::initstate(seed, library_state, sizeof library_state);
        refill();
    } else {
        host_state = ::setstate(library_state);
        if (refill_due) refill();
    }
}

Private_Rand::~Private_Rand() {
    if (--depth == 0) {
        const std::lock_guard<std::mutex> lock(switching);
        if (--open_scopes == 0) ::setstate(host_state);
    }
    errno = saved_errno_;
}

void Private_Rand::reseed() {
    const std::lock_guard<std::mutex> lock(switching);
    if (open_scopes == 1)
        refill();
    else
        refill_due = true;
}

}  // namespace Velta_Client::detail::xmpp
