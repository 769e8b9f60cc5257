// Fuzz target: the readers of captured bits on arbitrary bits, as a broken
// cable or a chain of unknown TAPs returns them: the IDCODE and IR probes,
// the descriptor, a JTAG UART's data register, and the replies of a
// remote_bitbang batch. The first bytes choose which TAPs have a given IR
// length; the last four the lengths and counts the other readers are given. Nothing read breaks the limits the server relies on.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz/fuzz-check.h"
#include "jtag/chain-probe.h"
#include "jtag/remote-bitbang.h"

namespace {

jtag::BITS bits_of(const std::uint8_t* data, std::size_t size) {
    jtag::BITS bits;
    for (std::size_t i = 0; i < size; ++i)
        jtag::append(bits, data[i], 8);
    return bits;
}

void check_ir_lengths(const jtag::BITS& captured, std::vector<jtag::TAP_FACTS> taps) {
    const std::vector<jtag::TAP_FACTS> before = taps;
    std::string error;
    if (!jtag::read_ir_lengths(captured, taps, error)) {
        FUZZ_CHECK(!error.empty());
        // Nothing is half-known: a length not given is no length.
        for (std::size_t t = 0; t < taps.size(); ++t)
            FUZZ_CHECK(taps[t].ir_length == (before[t].ir_length_given ? before[t].ir_length : 0));
        return;
    }
    for (std::size_t t = 0; t < taps.size(); ++t) {
        FUZZ_CHECK(taps[t].ir_length >= 2 && taps[t].ir_length <= jtag::k_max_ir_length);
        FUZZ_CHECK(taps[t].ir_length_problem.empty() && taps[t].ir_length_guessed != before[t].ir_length_given);
        if (before[t].ir_length_given)
            FUZZ_CHECK(taps[t].ir_length == before[t].ir_length);
    }
}

void check_chain(const std::uint8_t* data, std::size_t size, const jtag::BITS& bits) {
    std::vector<jtag::TAP_FACTS> taps;
    std::string error;
    if (jtag::read_idcodes(bits, taps, error) == jtag::CHAIN_READ::ok) {
        FUZZ_CHECK(!taps.empty() && taps.size() <= jtag::k_max_taps);
        for (const jtag::TAP_FACTS& tap : taps)
            FUZZ_CHECK(!tap.idcode || (*tap.idcode & 1) != 0);
    } else {
        FUZZ_CHECK(taps.empty() && !error.empty());
        taps.resize(1 + data[0] % 4);
    }
    // Some lengths given, as a board file gives them.
    for (std::size_t t = 0; t < taps.size() && t + 1 < size; ++t) {
        if ((data[t + 1] & 0x80) != 0) {
            taps[t].ir_length = data[t + 1] & 0x3F;
            taps[t].ir_length_given = true;
        }
    }
    check_ir_lengths(bits, taps);
    // The same bits as the TAPs' IR captures, followed by the probe as a
    // chain of that length passes it through.
    const jtag::BITS probe = jtag::ir_probe_bits();
    jtag::BITS captured(bits.begin(), bits.begin() + static_cast<std::ptrdiff_t>(std::min<std::size_t>(bits.size(), 96)));
    captured.insert(captured.end(), probe.begin(), probe.end() - static_cast<std::ptrdiff_t>(captured.size()));
    check_ir_lengths(captured, taps);
}

void check_descriptor(const std::uint8_t* tail, const jtag::BITS& bits) {
    const unsigned ir_length = tail[0] % 40;
    jtag::DESCRIPTOR descriptor;
    std::string error;
    const jtag::DESCRIPTOR_READ head = jtag::read_descriptor_head(bits, ir_length, descriptor, error);
    if (head == jtag::DESCRIPTOR_READ::ok) {
        FUZZ_CHECK(descriptor.count <= jtag::k_max_uarts && descriptor.ir_length == ir_length);
    }
    error.clear();
    if (!jtag::read_descriptor(bits, ir_length, descriptor, error)) {
        FUZZ_CHECK(!error.empty());
        return;
    }
    FUZZ_CHECK(head == jtag::DESCRIPTOR_READ::ok);
    FUZZ_CHECK(descriptor.uarts.size() == descriptor.count);
    for (std::size_t n = 0; n < descriptor.uarts.size(); ++n) {
        const jtag::CORE_FACTS& core = descriptor.uarts[n];
        FUZZ_CHECK(core.instruction != jtag::k_ir_discover);
        FUZZ_CHECK(ir_length >= 32 || core.instruction < (1u << ir_length));
        FUZZ_CHECK(core.rx_depth >= 1 && core.rx_depth <= 65536 && (core.rx_depth & (core.rx_depth - 1)) == 0);
        FUZZ_CHECK(core.tx_depth >= 1 && core.tx_depth <= 65536 && (core.tx_depth & (core.tx_depth - 1)) == 0);
        for (std::size_t m = 0; m < n; ++m)
            FUZZ_CHECK(descriptor.uarts[m].instruction != core.instruction);
    }
}

void check_uart_field(const std::uint8_t* tail, const jtag::BITS& bits) {
    jtag::UART_REQUEST request;
    request.version = 1 + tail[0] % 3;
    request.sends = tail[1];
    request.takes = tail[2];
    request.slots = tail[3] % 16;
    request.rx_count = tail[1];
    request.tx_count = tail[2];
    jtag::UART_STATUS status;
    std::string error;
    if (!jtag::read_uart_field(bits, request, status, error)) {
        FUZZ_CHECK(!error.empty());
        return;
    }
    const unsigned sends = request.sends, takes = request.takes, slots = request.slots;
    FUZZ_CHECK(status.taken_bytes.size() <= std::min(takes, slots));
    FUZZ_CHECK(status.taken_bytes.size() <= status.available);
    FUZZ_CHECK(status.accepted <= std::min(sends, slots) && status.accepted <= status.room);
    FUZZ_CHECK(status.available <= 255 && status.room <= 255 && status.version <= 255);
    FUZZ_CHECK(status.commits || (status.taken_bytes.empty() && status.accepted == 0));
    FUZZ_CHECK(!status.commits || status.version == request.version);
    FUZZ_CHECK(status.tdo_delay <= jtag::k_max_tdo_delay);
    FUZZ_CHECK(bits.size() >= status.tdo_delay + 32);
}

/// The replies to an IR scan and a paused DR scan of the second TAP of the
/// simulated board's chain.
void check_bitbang(const std::uint8_t* data, std::size_t size) {
    static const std::vector<jtag::TAP_SLOT> taps = {{"other.tap", 5}, {"fpga.tap", 6}};
    jtag::TAP_STATE state = jtag::TAP_STATE::reset;
    static const jtag::BITBANG_BATCH batch = jtag::bitbang_requests(
        {jtag::SCAN::ir(1, jtag::to_bits(0x20, 6)), jtag::SCAN::dr(1, jtag::BITS(9), true)}, taps, state);
    const std::string_view replies(reinterpret_cast<const char*>(data), size);
    jtag::CAPTURED captured;
    std::string error;
    if (!jtag::bitbang_captured(batch, replies, captured, error)) {
        FUZZ_CHECK(!error.empty());
        return;
    }
    FUZZ_CHECK(replies.size() == batch.replies);
    FUZZ_CHECK(replies.find_first_not_of("01") == std::string_view::npos);
    FUZZ_CHECK(captured.size() == 2 && captured[0].size() == 6 && captured[1].size() == 9);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0)
        return 0;
    const jtag::BITS bits = bits_of(data, size);
    check_chain(data, size, bits);
    if (size >= 4) {
        check_descriptor(data + size - 4, bits);
        check_uart_field(data + size - 4, bits);
    }
    check_bitbang(data, size);
    return 0;
}
