// Stopping what may not stop at once: ask, wait a little, ask again, up to a
// limit. The console teardown stops its reader thread this way; a reader that
// cannot be interrupted is then left as it is.
#pragma once

#include <chrono>

namespace platform {

/// Calls `ask()`, then `ended_within(each)`, again and again until the latter
/// is true or `limit` has passed. True once ended, false when the limit ran out.
template <typename Ask, typename EndedWithin>
bool ask_until_ended(Ask ask, EndedWithin ended_within, std::chrono::milliseconds limit,
                     std::chrono::milliseconds each = std::chrono::milliseconds(20)) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
        ask();
        if (ended_within(each)) return true;
        if (std::chrono::steady_clock::now() >= deadline) return false;
    }
}

}  // namespace platform
