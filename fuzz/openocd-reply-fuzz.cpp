// Fuzz target: the parsers of what OpenOCD's TCL port answers, on arbitrary
// text. The first byte is the bit count of the drscan whose reply the rest
// is; the same text is read as scan_chain's output. Every text is either
// read or refused with a message; what is read keeps the limits the server
// relies on.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz/fuzz-check.h"
#include "jtag/openocd-tcl.h"

namespace {

bool name_character(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' || c == '_' ||
           c == '-';
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0)
        return 0;
    const std::size_t count = data[0];
    const std::string_view text(reinterpret_cast<const char*>(data + 1), size - 1);

    jtag::BITS bits;
    std::string error;
    if (jtag::parse_drscan_reply(text, count, bits, error)) {
        FUZZ_CHECK(bits.size() == count);
        // The value read is the value written back, as the script would send it.
        jtag::BITS again;
        FUZZ_CHECK(jtag::from_hex(jtag::to_hex(bits), count, again) && again == bits);
    } else {
        FUZZ_CHECK(!error.empty());
    }

    std::vector<jtag::LISTED_TAP> taps;
    error.clear();
    if (jtag::parse_scan_chain(text, taps, error)) {
        FUZZ_CHECK(!taps.empty() && taps.size() <= jtag::k_max_taps);
        for (const jtag::LISTED_TAP& tap : taps) {
            FUZZ_CHECK(tap.ir_length >= 2 && tap.ir_length <= jtag::k_max_ir_length);
            FUZZ_CHECK(!tap.name.empty());
            for (char c : tap.name)
                FUZZ_CHECK(name_character(c));
        }
    } else {
        FUZZ_CHECK(!error.empty());
    }
    return 0;
}
