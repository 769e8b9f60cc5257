// OpenOCD's remote_bitbang protocol as a host speaks it: a batch of scans
// becomes one string of requests, each read of TDO an 'R' whose reply is
// '0' or '1'. No I/O here: the adapter sends the requests in one write and
// reads all replies after (pipelined, never a round trip per bit).
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "jtag/scan.h"
#include "jtag/tap-state.h"

namespace jtag {

struct BITBANG_BATCH {
    std::string requests;
    std::size_t replies = 0;  ///< 'R' requests, one reply byte each
    struct READ {
        std::size_t first;    ///< index of its first reply
        std::size_t field;    ///< the scanned TAP's bits within the chain's
        std::size_t count;
    };
    std::vector<READ> reads;  ///< one per IR or DR scan
};

/// The requests for `scans` from `state` (updated to where they end). The
/// batch ends with one more read, which confirms that everything before it
/// reached the chain.
BITBANG_BATCH bitbang_requests(const std::vector<SCAN>& scans, const std::vector<TAP_SLOT>& taps, TAP_STATE& state);

/// The captured bits from the replies; false with `error` when a reply is
/// anything but '0' or '1', the count is wrong, or a scan addressed a TAP
/// beyond the chain.
bool bitbang_captured(const BITBANG_BATCH& batch, std::string_view replies, CAPTURED& captured, std::string& error);

}  // namespace jtag
