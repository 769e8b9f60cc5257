// Waits on the monotonic clock, resumed after signals until the whole time
// has passed; wall-clock seconds from time().
#include "platform/timer.h"

#include <cerrno>
#include <ctime>

namespace platform {

void sleep_microseconds(std::uint64_t microseconds) {
    timespec due{};
    clock_gettime(CLOCK_MONOTONIC, &due);
    std::uint64_t nanoseconds = static_cast<std::uint64_t>(due.tv_nsec) + (microseconds % 1000000u) * 1000u;
    due.tv_sec += static_cast<time_t>(microseconds / 1000000u + nanoseconds / 1000000000u);
    due.tv_nsec = static_cast<long>(nanoseconds % 1000000000u);
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &due, nullptr) == EINTR) {
    }
}

std::int64_t wall_clock_seconds() {
    return static_cast<std::int64_t>(std::time(nullptr));
}

}  // namespace platform
