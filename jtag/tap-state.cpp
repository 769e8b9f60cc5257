// The TAP controller's state diagram.
#include "jtag/tap-state.h"

#include <array>
#include <deque>

namespace jtag {

TAP_STATE next_state(TAP_STATE state, bool tms) {
    using S = TAP_STATE;
    switch (state) {
    case S::reset: return tms ? S::reset : S::idle;
    case S::idle: return tms ? S::select_dr : S::idle;
    case S::select_dr: return tms ? S::select_ir : S::capture_dr;
    case S::capture_dr: return tms ? S::exit1_dr : S::shift_dr;
    case S::shift_dr: return tms ? S::exit1_dr : S::shift_dr;
    case S::exit1_dr: return tms ? S::update_dr : S::pause_dr;
    case S::pause_dr: return tms ? S::exit2_dr : S::pause_dr;
    case S::exit2_dr: return tms ? S::update_dr : S::shift_dr;
    case S::update_dr: return tms ? S::select_dr : S::idle;
    case S::select_ir: return tms ? S::reset : S::capture_ir;
    case S::capture_ir: return tms ? S::exit1_ir : S::shift_ir;
    case S::shift_ir: return tms ? S::exit1_ir : S::shift_ir;
    case S::exit1_ir: return tms ? S::update_ir : S::pause_ir;
    case S::pause_ir: return tms ? S::exit2_ir : S::pause_ir;
    case S::exit2_ir: return tms ? S::update_ir : S::shift_ir;
    case S::update_ir: return tms ? S::select_dr : S::idle;
    }
    return S::reset;
}

std::vector<bool> tms_path(TAP_STATE from, TAP_STATE to) {
    // Breadth first over the diagram: the shortest path, and for a pause
    // state left for anything but its own shift, the one through update.
    constexpr int count = 16;
    std::array<int, count> previous{};
    std::array<bool, count> via{};
    std::array<bool, count> seen{};
    std::deque<TAP_STATE> queue{from};
    seen[static_cast<int>(from)] = true;
    while (!queue.empty()) {
        const TAP_STATE state = queue.front();
        queue.pop_front();
        if (state == to && state != from)
            break;
        for (bool tms : {false, true}) {
            const TAP_STATE next = next_state(state, tms);
            const int index = static_cast<int>(next);
            if (seen[index])
                continue;
            seen[index] = true;
            previous[index] = static_cast<int>(state);
            via[index] = tms;
            queue.push_back(next);
        }
    }
    std::vector<bool> path;
    if (from == to)
        return path;
    for (int at = static_cast<int>(to); at != static_cast<int>(from); at = previous[at])
        path.insert(path.begin(), via[at]);
    return path;
}

const char* state_name(TAP_STATE state) {
    static const char* const names[] = {
        "RESET", "IDLE", "DRSELECT", "DRCAPTURE", "DRSHIFT", "DREXIT1", "DRPAUSE", "DREXIT2", "DRUPDATE",
        "IRSELECT", "IRCAPTURE", "IRSHIFT", "IREXIT1", "IRPAUSE", "IREXIT2", "IRUPDATE",
    };
    return names[static_cast<int>(state)];
}

}  // namespace jtag
