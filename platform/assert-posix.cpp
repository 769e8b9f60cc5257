// The C library's assertion report, with the caller's expression, source and line.
#include "platform/assert.h"

// The invariants hold in every build: with NDEBUG (release builds) the C
// library's header would not declare its report function at all.
#undef NDEBUG
#include <assert.h>

namespace platform {

void assertion_failed(const char* expression, const char* source, int line) {
    __assert_fail(expression, source, static_cast<unsigned>(line), "invariant");
}

}  // namespace platform
