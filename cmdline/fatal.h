// Ends the program on conditions that cannot be handled: internal
// inconsistencies and failed invariants, reported with their fixed
// identifiers (cmdline/diagnostic-sites.h).
#pragma once

#include "cmdline/diagnostic-sites.h"

namespace tolvan {

/// Prints "PROGRAM_NAME: source:line: abort" on standard error and aborts.
[[noreturn]] void fatal_abort(const diagnostic::place& where);

/// Checks an internal invariant through the runtime's assertion facility:
/// when `ok` is false, its expression text, source and line are reported and
/// the program ends. Unaffected by NDEBUG.
inline void check_invariant(bool ok, const diagnostic::invariant& invariant);

}  // namespace tolvan

#include "platform/assert.h"

inline void tolvan::check_invariant(bool ok, const diagnostic::invariant& invariant) {
    if (!ok) platform::assertion_failed(invariant.expression, invariant.where.source, invariant.where.line);
}
