// Texts that one client chose and that others see (a client's name in the
// server's listings and "held by" answers): made safe to print on a terminal.
#pragma once

#include <string>

namespace wire {

/// `text` with every byte a terminal could take as a command written as
/// \xNN: the C0 controls, DEL, the C1 controls (as UTF-8 or as single bytes)
/// and any byte that is not part of well-formed UTF-8. Printable text,
/// including other UTF-8, stays as it is.
std::string printable_text(const std::string& text);

}  // namespace wire
