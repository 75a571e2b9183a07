#pragma once

#include <string>

namespace velta_test {

// A loopback address on which nothing listens on port 5222, so a connection
// to it is refused at once.
std::string refusing_loopback_address();

}  // namespace velta_test
