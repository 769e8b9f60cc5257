// Waits on a one-shot relative waitable timer; wall-clock seconds from _time64.
#include "platform/timer.h"

#include <windows.h>

#include <time.h>

namespace platform {

void sleep_microseconds(std::uint64_t microseconds) {
    // Negative: relative to now, in units of 100 ns.
    LARGE_INTEGER due;
    due.QuadPart = -10 * static_cast<LONGLONG>(microseconds);
    HANDLE timer = CreateWaitableTimerA(nullptr, TRUE, nullptr);
    SetWaitableTimer(timer, &due, 0, nullptr, nullptr, FALSE);
    WaitForSingleObject(timer, INFINITE);
    CloseHandle(timer);
}

std::int64_t wall_clock_seconds() {
    return static_cast<std::int64_t>(_time64(nullptr));
}

}  // namespace platform
