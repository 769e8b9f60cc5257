// The program's last word on conditions it cannot handle.
#include "cmdline/fatal.h"

#include <cstdio>
#include <cstdlib>

#include "cmdline/settings.h"

namespace tolvan {

void fatal_abort(const diagnostic::place& where) {
    // abort() does not flush stdio: keep what was already printed (for
    // instance the message that explains the abort) ahead of this line.
    std::fflush(stdout);
    std::fprintf(stderr, "%s: %s:%d: abort\n", PROGRAM_NAME, where.source, where.line);
    std::abort();
}

}  // namespace tolvan
