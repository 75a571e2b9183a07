// SPDX-License-Identifier: GPL-3.0-or-later
// gloox draws from the C library's rand(): every client it builds, and every
// connection it ends, calls srand(time(0)), and its ids are made of rand()
// values. Private_Rand keeps all of that away from the host: while one is
// alive on any thread, rand() works on the library's own generator state, and
// the host's state (where its own srand() and rand() calls go) is left exactly
// as it was once the last scope in the process ends. The library's state is
// filled from the kernel's randomness (getrandom) after every client is
// built, so gloox's srand(time(0)) leaves nothing that the clock predicts.
//
// The generator is one per process, so the switch is too: a count of the
// scopes open on every thread, under a mutex of the library's own, switches
// to the library's state when it leaves zero and back when it returns there.
// Scopes nest on a thread; only a thread's outermost one counts. No host code
// may run inside one: the deferred-call drain runs outside every scope.
//
// A scope also keeps errno: whatever the socket calls inside it leave there,
// the host finds errno as it was when the scope began.
#pragma once

namespace Velta_Client::detail::xmpp {

class Private_Rand {
public:
    Private_Rand();
    ~Private_Rand();
    Private_Rand(const Private_Rand&) = delete;
    Private_Rand& operator=(const Private_Rand&) = delete;

    // Refills the library's state from getrandom. Call inside a scope, after
    // gloox has reseeded it from the clock. While another thread is inside a
    // scope (and may be drawing), the refill waits for the next switch.
    static void reseed();

private:
    int saved_errno_;
};

}  // namespace Velta_Client::detail::xmpp
