// A loopback port where nothing listens: connections to it are refused. The
// port stays bound (without listening) for the rest of the test program, so
// that no other process can take it meanwhile.
#pragma once

#include <string>

namespace test_support {

int refused_port();

/// "127.0.0.1:PORT" of that port.
std::string refused_address();

}  // namespace test_support
