// What a host asks of a chain, independent of the adapter that carries it:
// resets, IR and DR scans of one TAP (the others in BYPASS) or of the whole
// chain, and moves to Run-Test/Idle. Adapters turn a batch of these into as
// few transactions as they can.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "jtag/bits.h"

namespace jtag {

/// A TAP of the chain as the adapters address it. Index 0 is the TAP
/// nearest TDO, which OpenOCD lists first and we number device 1.
struct TAP_SLOT {
    std::string name;        ///< the adapter's name for it (OpenOCD's "fpga.tap"); may be empty
    unsigned ir_length = 0;
};

struct SCAN {
    enum class KIND { reset, ir, dr, idle, commit };
    KIND kind = KIND::idle;
    /// The TAP scanned, or -1 for the whole chain (then `bits` covers every TAP).
    int tap = -1;
    BITS bits;           ///< shifted in, first bit first
    bool pause = false;  ///< a DR scan ends in Pause-DR instead of Run-Test/Idle
    unsigned clocks = 0; ///< idle: TCK cycles to run in Run-Test/Idle; commit: bits to shift

    static SCAN reset() { return {KIND::reset, -1, {}, false, 0}; }
    /// To Run-Test/Idle, and `clocks` TCK cycles there (time for the
    /// target's logic, which on some boards runs only while TCK does).
    static SCAN idle(unsigned clocks = 0) { return {KIND::idle, -1, {}, false, clocks}; }
    /// From Pause-DR: `bits` more bits (zeros) through the chain, then
    /// Update-DR and Run-Test/Idle. A scan paused that many bits short of its
    /// register's length is committed by this and by nothing else: the way
    /// from Pause-DR to a reset passes Update-DR without shifting.
    static SCAN commit(unsigned bits = 1) { return {KIND::commit, -1, {}, false, bits}; }
    static SCAN ir(int tap, BITS bits) { return {KIND::ir, tap, std::move(bits), false, 0}; }
    static SCAN dr(int tap, BITS bits, bool pause = false) { return {KIND::dr, tap, std::move(bits), pause, 0}; }
};

/// What came back: for each IR and DR scan in order, the bits captured
/// from the scanned TAP's register (or from the whole chain).
using CAPTURED = std::vector<BITS>;

/// The whole chain's bits for a scan of one TAP, the others in BYPASS (all
/// ones into their IRs, a zero into each one-bit DR); `field` is where the
/// TAP's own bits start, in and out.
BITS chain_bits(const std::vector<TAP_SLOT>& taps, const SCAN& scan, std::size_t& field);

/// The largest chain a host believes: a longer one is a broken adapter or cable.
constexpr std::size_t k_max_taps = 32;
constexpr unsigned k_max_ir_length = 32;

}  // namespace jtag
