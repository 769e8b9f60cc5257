// The C runtime's assertion report, with the caller's expression, source and line.
#include "platform/assert.h"

#include <assert.h>
#include <cstdlib>

namespace platform {

void assertion_failed(const char* expression, const char* source, int line) {
    _assert(expression, source, static_cast<unsigned>(line));
    std::abort();  // _assert aborts already; it is just not declared so
}

}  // namespace platform
