// Ends the program on conditions that cannot be handled: internal
// inconsistencies and failed invariants, reported with a source and a line.
#pragma once

namespace tolvan {

/// Prints "PROGRAM_NAME: source:line: abort" on standard error and aborts.
[[noreturn]] void fatal_abort(const char* source, int line);

/// Checks an internal invariant through the runtime's assertion facility:
/// when `ok` is false, the expression text, source and line are reported and
/// the program ends. Unaffected by NDEBUG.
inline void check_invariant(bool ok, const char* expression, const char* source, int line);

}  // namespace tolvan

#include "platform/assert.h"

inline void tolvan::check_invariant(bool ok, const char* expression, const char* source, int line) {
    if (!ok) platform::assertion_failed(expression, source, line);
}
