// The IEEE 1149.1 TAP controller as a host follows it: the sixteen states,
// the next state for a TMS value, and the TMS sequences the scans use.
#pragma once

#include <vector>

namespace jtag {

enum class TAP_STATE {
    reset, idle,
    select_dr, capture_dr, shift_dr, exit1_dr, pause_dr, exit2_dr, update_dr,
    select_ir, capture_ir, shift_ir, exit1_ir, pause_ir, exit2_ir, update_ir,
};

TAP_STATE next_state(TAP_STATE state, bool tms);

/// The TMS values that lead from a stable state (reset, idle, pause_dr,
/// pause_ir) to `to` (shift_dr, shift_ir, idle or pause_dr), the shortest way.
/// From a pause state the path to anything but its own shift goes through
/// the update state.
std::vector<bool> tms_path(TAP_STATE from, TAP_STATE to);

const char* state_name(TAP_STATE state);

}  // namespace jtag
