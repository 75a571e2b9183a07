// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <string>

namespace velta_test {

// A loopback address on which nothing listens on port 5222, so a connection
// to it is refused at once. It tries the addresses with sockets: call it from
// a test, never to initialise a value at namespace scope, because the build
// runs each test program to list its tests, and a server on the build machine
// that holds port 5222 on every address makes it throw.
std::string refusing_loopback_address();

}  // namespace velta_test
