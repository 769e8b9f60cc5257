// Loopback ports for tests: one free at the time of the call, and one where
// nothing listens, so that connections to it are refused. That port stays
// bound (without listening) for the rest of the test program, so that no
// other process can take it meanwhile.
#pragma once

#include <string>

namespace test_support {

/// A loopback port free at the time of the call.
int free_port();

int refused_port();

/// "127.0.0.1:PORT" of that port.
std::string refused_address();

}  // namespace test_support
