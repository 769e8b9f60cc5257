// A scan of one TAP laid out on the whole chain.
#include "jtag/scan.h"

namespace jtag {

BITS chain_bits(const std::vector<TAP_SLOT>& taps, const SCAN& scan, std::size_t& field) {
    field = 0;
    if (scan.tap < 0)
        return scan.bits;
    BITS out;
    for (std::size_t t = 0; t < taps.size(); ++t) {
        if (static_cast<int>(t) == scan.tap) {
            field = out.size();
            append(out, scan.bits);
        } else if (scan.kind == SCAN::KIND::ir) {
            out.insert(out.end(), taps[t].ir_length, true);
        } else {
            out.push_back(false);
        }
    }
    return out;
}

}  // namespace jtag
