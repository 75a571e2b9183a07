// SPDX-License-Identifier: GPL-3.0-or-later
// gloox draws from the C library's rand(): every client it builds, and every
// connection it ends, calls srand(time(0)), and the SCRAM client nonce is made
// of rand() values. Private_Rand keeps all of that away from the host:
// while one is alive, rand() works on the library's own generator state, and
// the host's state (where its own srand() and rand() calls go) is left exactly
// as it was. The library's state is filled from the kernel's randomness
// (getrandom) after every client is built, so gloox's srand(time(0)) leaves
// nothing that the clock predicts.
//
// Scopes nest; only the outermost one switches. No host code may run inside
// one: the deferred-call drain runs outside every scope.
#pragma once

namespace Velta_Client::detail::xmpp {

class Private_Rand {
public:
    Private_Rand();
    ~Private_Rand();
    Private_Rand(const Private_Rand&) = delete;
    Private_Rand& operator=(const Private_Rand&) = delete;

    // Refills the library's state from getrandom. Call inside a scope, after
    // gloox has reseeded it from the clock.
    static void reseed();
};

}  // namespace Velta_Client::detail::xmpp
