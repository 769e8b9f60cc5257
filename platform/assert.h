// The C runtime's assertion facility, reached with an explicit expression
// text, source and line: the report shows what the caller gives, not the
// caller's own file and line.
#pragma once

namespace platform {

[[noreturn]] void assertion_failed(const char* expression, const char* source, int line);

}  // namespace platform
