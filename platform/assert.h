// The C runtime's assertion facility, reached with an explicit expression
// text, source and line (so the report names the unit the invariant belongs to).
#pragma once

namespace platform {

[[noreturn]] void assertion_failed(const char* expression, const char* source, int line);

}  // namespace platform
