// The terminal driver and the process-wide state it owns, which the relay
// loop reads: the two channels, the start time and the stop request.
#pragma once

#include <atomic>
#include <cstdint>

#include "relay/comm.h"

namespace tolvan {

/// Set by the interrupt handler (SIGINT; SIGTERM and SIGHUP on POSIX); never cleared.
extern std::atomic<int> stop_requested;
static_assert(std::atomic<int>::is_always_lock_free);

extern COMM* jtag_channel;     ///< target side, owned by run_terminal
extern COMM* console_channel;  ///< host side, owned by run_terminal
extern std::int64_t start_time;  ///< wall-clock seconds, origin of the time limit

/// Countdown, connection, raw console, optional flush, banner, relay,
/// teardown and the exit line.
void run_terminal();

}  // namespace tolvan
