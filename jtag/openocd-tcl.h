// OpenOCD's TCL port as a host speaks it: a batch of scans becomes one
// script (irscan, drscan, runtest) whose result is the last DR scan's
// captured bits; the TAPs OpenOCD declared come from `scan_chain`. No I/O
// here; the parsers trust nothing in the text they are given.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "jtag/scan.h"

namespace jtag {

/// Ends a command and a reply on the TCL port.
constexpr char k_tcl_end = '\x1a';
/// The longest reply a host reads before it calls the adapter broken.
constexpr std::size_t k_max_tcl_reply = 1024 * 1024;

/// One command text (without the end byte) for `scans`; its result is the
/// captured bits of each DR scan in order (several are joined with concat).
/// Whole-chain scans and resets cannot be sent (OpenOCD resets and probes
/// the chain itself); false with `error` then.
bool tcl_script(const std::vector<SCAN>& scans, const std::vector<TAP_SLOT>& taps, std::string& script,
                std::string& error);

/// The captured bits of a `count`-bit DR scan: one hex word, bare (0.12) or
/// with 0x and on a line of its own (later versions), blanks around it.
bool parse_drscan_reply(std::string_view reply, std::size_t count, BITS& bits, std::string& error);
/// The same for a script of several DR scans: one word per scan, in order.
bool parse_drscan_replies(std::string_view reply, const std::vector<std::size_t>& counts, CAPTURED& captured,
                          std::string& error);

/// A TAP as OpenOCD's `scan_chain` lists it.
struct LISTED_TAP {
    std::string name;
    bool enabled = true;
    std::uint32_t idcode = 0;    ///< as read at init; 0 for a TAP in BYPASS
    /// Every `-expected-id` it was declared with, in order (a chip with
    /// several silicon revisions has several); empty when none was given.
    std::vector<std::uint32_t> expected;
    unsigned ir_length = 0;
    std::uint32_t ir_capture = 0;
};

/// The rows of `scan_chain` in order; a row of one ID alone is a further
/// expected ID of the TAP above. False with `error` when a row does not
/// parse, a value is out of range or there are more than k_max_taps.
bool parse_scan_chain(std::string_view reply, std::vector<LISTED_TAP>& taps, std::string& error);

}  // namespace jtag
