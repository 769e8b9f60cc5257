// Waits and clocks: the one-shot relative wait and wall-clock seconds.
#pragma once

#include <cstdint>

namespace platform {

/// Returns after `microseconds` have passed (a one-shot relative timer).
void sleep_microseconds(std::uint64_t microseconds);

/// Wall-clock time in whole seconds since the epoch.
std::int64_t wall_clock_seconds();

}  // namespace platform
