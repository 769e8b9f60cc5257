// The relay loop: pumps bytes between the console and the JTAG UART channels
// through two 64-byte buffers until one of the end conditions is met.
#pragma once

#include "relay/comm.h"

namespace tolvan {

/// Relays between the terminal driver's two channels (the process-wide
/// `console_channel` and `jtag_channel`) until the time limit, a Ctrl-D from
/// the target, a target I/O error or a stop request.
ExitReason run_relay();

/// The words printed after "exiting due to " for each reason.
const char* exit_reason_words(ExitReason reason);

}  // namespace tolvan
