// What a host reads out of captured bits: the chain's IDCODEs and IR
// lengths, the descriptor, and a JTAG UART's data register.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "jtag/chain-probe.h"

namespace {

using jtag::BITS;

/// What the IDCODE probe captures: each TAP's word (0 for one in BYPASS), then
/// the probe's own ones.
BITS idcode_capture(const std::vector<std::uint32_t>& words) {
    BITS bits;
    for (std::uint32_t word : words) {
        if (word == 0)
            bits.push_back(false);
        else
            jtag::append(bits, word, 32);
    }
    bits.resize(jtag::idcode_probe_bits().size(), true);
    return bits;
}

TEST(ReadIdcodes, ChainsThatReadAndThoseThatDoNot) {
    std::vector<jtag::TAP_FACTS> taps;
    std::string error;
    ASSERT_EQ(jtag::read_idcodes(idcode_capture({0x30A51E2B, 0, 0x17E01F57, 0}), taps, error), jtag::CHAIN_READ::ok)
        << error;
    ASSERT_EQ(taps.size(), 4u);
    EXPECT_EQ(taps[0].idcode, 0x30A51E2Bu);
    EXPECT_FALSE(taps[1].idcode.has_value());
    EXPECT_EQ(taps[2].idcode, 0x17E01F57u);
    EXPECT_FALSE(taps[3].idcode.has_value());

    // 32 TAPs fill the probe exactly; one more is a broken chain.
    EXPECT_EQ(jtag::read_idcodes(idcode_capture(std::vector<std::uint32_t>(32, 0x17E01F57)), taps, error),
              jtag::CHAIN_READ::ok);
    EXPECT_EQ(taps.size(), 32u);
    EXPECT_EQ(jtag::read_idcodes(idcode_capture(std::vector<std::uint32_t>(33, 0)), taps, error),
              jtag::CHAIN_READ::broken);
    EXPECT_TRUE(taps.empty());
    // No end mark: the chain does not pass the ones through.
    BITS stuck = idcode_capture({0x17E01F57});
    for (std::size_t i = 32; i < stuck.size(); i += 2)
        stuck[i] = false;
    EXPECT_EQ(jtag::read_idcodes(stuck, taps, error), jtag::CHAIN_READ::broken);
    EXPECT_TRUE(taps.empty());

    // The end mark first: no TAP at all, whatever follows it.
    BITS no_tap = jtag::idcode_probe_bits();
    no_tap[40] = false;
    error.clear();
    EXPECT_EQ(jtag::read_idcodes(no_tap, taps, error), jtag::CHAIN_READ::broken);
    EXPECT_TRUE(taps.empty());
    EXPECT_FALSE(error.empty());

    EXPECT_EQ(jtag::read_idcodes(jtag::idcode_probe_bits(), taps, error), jtag::CHAIN_READ::all_ones);
    EXPECT_EQ(jtag::read_idcodes(BITS(jtag::idcode_probe_bits().size()), taps, error), jtag::CHAIN_READ::all_zeros);
    EXPECT_TRUE(taps.empty());
}

/// What the IR probe captures: the TAPs' capture bits (nearest TDO first),
/// then the probe's zeros and ones delayed by the chain's IR length.
BITS ir_capture(const BITS& captures) {
    const BITS probe = jtag::ir_probe_bits();
    BITS bits = captures;
    bits.insert(bits.end(), probe.begin(), probe.end() - static_cast<std::ptrdiff_t>(captures.size()));
    return bits;
}

const BITS k_board_ir = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0};  // IR 5, then IR 6

TEST(ReadIrLengths, GuessedOnlyWhereTheCapturesAllowOneSplitAndTheRightTapBlamed) {
    const BITS four_0101 = {1, 0, 1, 0};  // a 4-bit IR capturing binary 0101: 01 twice
    auto then = [](BITS first, const BITS& second) {
        first.insert(first.end(), second.begin(), second.end());
        return first;
    };
    const struct {
        const char* what;
        BITS captures;
        std::vector<unsigned> given;  ///< per TAP, 0: not given
        std::vector<unsigned> lengths;  ///< per TAP afterwards; all 0 but the given ones when refused
        std::string error;              ///< empty: read; else a part of the message
        std::vector<std::string> problems;  ///< per TAP, a part of its problem (empty: none)
    } cases[] = {
        {"the board's chain", k_board_ir, {0, 0}, {5, 6}, "", {"", ""}},
        {"a given length kept where the pattern suggests another",
         {1, 0, 0, 0, 0, 1, 0, 1, 0, 0, 0}, {7, 0}, {7, 4}, "", {"", ""}},
        {"the last TAP takes the rest", four_0101, {0}, {4}, "", {""}},
        {"0101 then 10000: 2 + 7 or 4 + 5", then(four_0101, {1, 0, 0, 0, 0}), {0, 0}, {0, 0},
         "more than one way: device 1 (2 or 4 bits), device 2 (5 or 7 bits); give their ir_length",
         {"allow an IR length of 2 or 4 bits; give this device's ir_length", "5 or 7 bits"}},
        {"only the open TAPs are named", then({1, 0, 0, 0, 0}, then(four_0101, {1, 0, 0, 0, 0})), {5, 0, 0},
         {5, 0, 0}, "one way: device 2 (2 or 4 bits), device 3 (5 or 7 bits); give", {"", "2 or 4", "5 or 7"}},
        {"the ambiguity settled by one given length", then(four_0101, {1, 0, 0, 0, 0}), {4, 0}, {4, 5}, "",
         {"", ""}},
        {"a given length too long for device 1", k_board_ir, {6, 0}, {6, 0},
         "device 1: the given ir_length of 6 bits does not fit the chain's IR captures, which allow 5",
         {"which allow 5;", ""}},
        {"a given length too short for device 2", k_board_ir, {5, 5}, {5, 5},
         "device 2: the given ir_length of 5 bits does not fit the chain's IR captures, which allow 6",
         {"", "given ir_length of 5 bits"}},
        {"either given length may be wrong", {1, 0, 1, 0, 1, 0}, {2, 2}, {2, 2},
         "the given ir_length of device 1 or device 2 does not fit", {"or another", "or another"}},
        {"no split fits the given lengths", k_board_ir, {3, 3}, {3, 3}, "cannot be split into 2 TAPs", {"", ""}},
        {"device 1's capture does not end in 01", {0, 1, 0, 0, 0, 1, 0, 0, 0, 0, 0}, {0, 0}, {0, 0},
         "the IR capture of device 1 does not end in binary 01; give its ir_length", {"binary 01", ""}},
        {"more TAPs than two bits each allow", k_board_ir, {0, 0, 0, 0, 0, 0}, {0, 0, 0, 0, 0, 0},
         "cannot be split into 6 TAPs", {"", "", "", "", "", ""}},
    };
    for (const auto& one : cases) {
        SCOPED_TRACE(one.what);
        std::vector<jtag::TAP_FACTS> taps(one.given.size());
        for (std::size_t t = 0; t < taps.size(); ++t) {
            taps[t].ir_length = one.given[t] != 0 ? one.given[t] : 9;  // a stale length is not kept
            taps[t].ir_length_given = one.given[t] != 0;
        }
        std::string error;
        EXPECT_EQ(jtag::read_ir_lengths(ir_capture(one.captures), taps, error), one.error.empty()) << error;
        if (!one.error.empty()) {
            EXPECT_NE(error.find(one.error), std::string::npos) << error;
        }
        for (std::size_t t = 0; t < taps.size(); ++t) {
            SCOPED_TRACE("device " + std::to_string(t + 1));
            EXPECT_EQ(taps[t].ir_length, one.lengths[t]);
            EXPECT_EQ(taps[t].ir_length_guessed, one.error.empty() && one.given[t] == 0);
            if (one.problems[t].empty()) {
                EXPECT_EQ(taps[t].ir_length_problem, "");
            } else {
                EXPECT_NE(taps[t].ir_length_problem.find(one.problems[t]), std::string::npos)
                    << taps[t].ir_length_problem;
            }
        }
    }
    // An IR that never passes the probe's ones through.
    std::vector<jtag::TAP_FACTS> taps(2);
    std::string error;
    EXPECT_FALSE(jtag::read_ir_lengths(BITS(jtag::ir_probe_bits().size()), taps, error));
    EXPECT_NE(error.find("does not pass bits through"), std::string::npos) << error;
}

/// A descriptor: the head, then one word per UART.
BITS descriptor(unsigned version, unsigned count, unsigned ir_length, const std::vector<std::uint32_t>& uarts,
                std::uint32_t magic = jtag::k_descriptor_magic) {
    BITS bits;
    jtag::append(bits, magic, 32);
    jtag::append(bits, version | count << 8 | ir_length << 16, 32);
    for (std::uint32_t word : uarts)
        jtag::append(bits, word, 32);
    return bits;
}

std::uint32_t uart_word(unsigned instruction, unsigned rx_log2 = 6, unsigned tx_log2 = 6) {
    return instruction | rx_log2 << 8 | tx_log2 << 12 | 1u << 16;
}

TEST(Descriptor, HeadAndUarts) {
    jtag::DESCRIPTOR found;
    std::string error;
    ASSERT_TRUE(jtag::read_descriptor(descriptor(1, 2, 6, {uart_word(0x20, 4, 7), uart_word(0x21)}), 6, found, error))
        << error;
    ASSERT_EQ(found.uarts.size(), 2u);
    EXPECT_EQ(found.uarts[0].instruction, 0x20u);
    EXPECT_EQ(found.uarts[0].rx_depth, 16u);
    EXPECT_EQ(found.uarts[0].tx_depth, 128u);
    EXPECT_EQ(found.uarts[1].instruction, 0x21u);
    // The depth fields are four bits: 2^15 is the deepest a descriptor can claim.
    ASSERT_TRUE(jtag::read_descriptor(descriptor(1, 1, 6, {uart_word(0x3E, 15, 0)}), 6, found, error)) << error;
    EXPECT_EQ(found.uarts[0].rx_depth, 32768u);
    EXPECT_EQ(found.uarts[0].tx_depth, 1u);

    EXPECT_EQ(jtag::read_descriptor_head(descriptor(1, 1, 6, {}, 0x55A71C3C), 6, found, error),
              jtag::DESCRIPTOR_READ::absent);
    EXPECT_EQ(jtag::read_descriptor_head(BITS(63, true), 6, found, error), jtag::DESCRIPTOR_READ::absent);
    EXPECT_EQ(jtag::read_descriptor_head(descriptor(2, 1, 6, {}), 6, found, error),
              jtag::DESCRIPTOR_READ::unknown_version);
    EXPECT_EQ(jtag::read_descriptor_head(descriptor(1, 33, 6, {}), 6, found, error),
              jtag::DESCRIPTOR_READ::impossible);
    EXPECT_EQ(jtag::read_descriptor_head(descriptor(1, 1, 8, {}), 6, found, error),
              jtag::DESCRIPTOR_READ::impossible);

    const std::vector<BITS> refused = {
        descriptor(1, 2, 6, {uart_word(0x20), uart_word(0x20)}),      // the same instruction twice
        descriptor(1, 1, 6, {uart_word(jtag::k_ir_discover)}),        // DISCOVER as a UART
        descriptor(1, 1, 6, {uart_word(0x40)}),                       // wider than the IR
        descriptor(1, 3, 6, {uart_word(0x20), uart_word(0x21)}),      // cut short
        descriptor(2, 1, 6, {uart_word(0x20)}),
    };
    for (std::size_t i = 0; i < refused.size(); ++i) {
        error.clear();
        EXPECT_FALSE(jtag::read_descriptor(refused[i], 6, found, error)) << i;
        EXPECT_FALSE(error.empty()) << i;
    }
}

jtag::UART_REQUEST request(unsigned version, unsigned sends, unsigned takes, unsigned slots,
                          std::uint8_t rx_count = 0, std::uint8_t tx_count = 0, const std::uint8_t* send = nullptr,
                          std::uint8_t core = 0x21) {
    jtag::UART_REQUEST r;
    r.version = version;
    r.send = send;
    r.sends = sends;
    r.takes = takes;
    r.slots = slots;
    r.rx_count = rx_count;
    r.tx_count = tx_count;
    r.core = core;
    return r;
}

TEST(UartField, HeaderLayoutOfBothVersions) {
    const std::uint8_t send[] = {0x41, 0x42, 0x43};
    const BITS old = jtag::uart_field(request(1, 2, 5, 4, 0, 0, send));
    ASSERT_EQ(old.size(), jtag::uart_field_length(1, 4));
    EXPECT_TRUE(old[0]);  // the start bit
    EXPECT_EQ(jtag::from_bits(old, 1, 32), 2u | 5u << 8 | 4u << 16 | 0xA5u << 24);
    EXPECT_EQ(jtag::from_bits(old, 33, 8), 0x41u);
    EXPECT_EQ(jtag::from_bits(old, 41, 8), 0x42u);
    EXPECT_EQ(jtag::from_bits(old, 49, 16), 0u);  // the third byte is not sent

    const BITS field = jtag::uart_field(request(2, 2, 5, 4, 0x81, 0xFE, send, 0x23));
    ASSERT_EQ(field.size(), 1 + 56 + 32u);
    EXPECT_EQ(jtag::from_bits(field, 1, 32), 2u | 5u << 8 | 4u << 16 | 0xA6u << 24);
    EXPECT_EQ(jtag::from_bits(field, 33, 24), 0x81u | 0xFEu << 8 | 0x23u << 16);
    EXPECT_EQ(jtag::from_bits(field, 57, 8), 0x41u);
    jtag::UART_REQUEST status = request(2, 0, 0, 0);
    status.commit = false;
    EXPECT_EQ(jtag::from_bits(jtag::uart_field(status), 25, 8), 0u) << "a status read has no mark";

    // Version 3: the same header with its own mark, a zero before the start
    // bit and one after the slots.
    const BITS padded = jtag::uart_field(request(3, 2, 5, 4, 0x81, 0xFE, send, 0x23));
    ASSERT_EQ(padded.size(), 1 + 1 + 56 + 32 + 1u);
    ASSERT_EQ(padded.size(), jtag::uart_field_length(3, 4));
    EXPECT_FALSE(padded[0]);
    EXPECT_TRUE(padded[1]);
    EXPECT_EQ(jtag::from_bits(padded, 2, 32), 2u | 5u << 8 | 4u << 16 | 0xA7u << 24);
    EXPECT_EQ(jtag::from_bits(padded, 58, 16), 0x41u | 0x42u << 8);
    EXPECT_FALSE(padded.back());
    EXPECT_EQ(jtag::uart_commit_bits(2), 1u);
    EXPECT_EQ(jtag::uart_commit_bits(3), 2u);
}

/// A core's capture: its header, the slots, the bit of no meaning.
BITS core_capture(unsigned available, unsigned room, const std::vector<std::uint8_t>& slots,
                  unsigned mark = 0x5A, unsigned version = 1, std::uint8_t rx_count = 0, std::uint8_t tx_count = 0,
                  std::uint8_t core = 0x21) {
    BITS bits;
    jtag::append(bits, available | room << 8 | version << 16 | mark << 24, 32);
    if (version >= 2)
        jtag::append(bits, rx_count | unsigned{tx_count} << 8 | unsigned{core} << 16, 24);
    for (std::uint8_t byte : slots)
        jtag::append(bits, byte, 8);
    bits.push_back(true);
    return bits;
}

TEST(UartField, TakenAndAcceptedAreTheCoresCounts) {
    jtag::UART_STATUS status;
    std::string error;
    struct CASE {
        unsigned sends, takes, slots;
        std::size_t taken;
        unsigned accepted;
    };
    const CASE cases[] = {
        {4, 4, 4, 3, 4},   // taken limited by what is available
        {4, 2, 4, 2, 4},   // by what the host takes
        {0, 0, 4, 0, 0},
        {4, 4, 2, 2, 2},   // by the slots
    };
    for (unsigned version : {1u, 2u, 3u}) {
        const BITS captured = core_capture(3, 10, {0x61, 0x62, 0x63, 0}, 0x5A, version, 7, 9);
        for (const CASE& c : cases) {
            ASSERT_TRUE(jtag::read_uart_field(captured, request(version, c.sends, c.takes, c.slots, 7, 9), status,
                                              error))
                << error;
            EXPECT_TRUE(status.commits);
            EXPECT_EQ(status.taken_bytes.size(), c.taken) << version << ": " << c.takes << " " << c.slots;
            EXPECT_EQ(status.accepted, c.accepted) << version << ": " << c.sends << " " << c.slots;
        }
        ASSERT_TRUE(jtag::read_uart_field(captured, request(version, 4, 4, 4, 7, 9), status, error));
        EXPECT_EQ(status.taken_bytes, (std::vector<std::uint8_t>{0x61, 0x62, 0x63}));
        EXPECT_EQ(status.available, 3u);
        EXPECT_EQ(status.room, 10u);
        EXPECT_EQ(status.version, version);
        EXPECT_EQ(status.rx_count, version >= 2 ? 7u : 0u);
        EXPECT_EQ(status.tx_count, version >= 2 ? 9u : 0u);
        ASSERT_TRUE(jtag::read_uart_field(core_capture(0, 1, {0, 0, 0, 0}, 0x5A, version), request(version, 4, 0, 4),
                                          status, error));
        EXPECT_EQ(status.accepted, 1u);  // room for one

        const unsigned length = static_cast<unsigned>(jtag::uart_field_length(version, 4));
        EXPECT_FALSE(jtag::read_uart_field(core_capture(3, 10, {1, 2, 3, 4}, 0x5B, version), request(version, 4, 4, 4),
                                           status, error));
        EXPECT_FALSE(jtag::read_uart_field(BITS(length, true), request(version, 4, 4, 4), status, error));
        EXPECT_FALSE(jtag::read_uart_field(core_capture(3, 10, {1, 2, 3}, 0x5A, version), request(version, 4, 4, 4),
                                           status, error));  // too short
    }
}

TEST(UartField, ScansThatDoNotCommitMoveNothing) {
    jtag::UART_STATUS status;
    std::string error;
    struct CASE {
        const char* what;
        unsigned core_version, host_version;
        std::uint8_t rx_count, tx_count;  // what the host named; the core shows 7 and 9
        bool commit;
        std::uint8_t core = 0x21;         // the core the host meant; 0x21 answers
    };
    const CASE cases[] = {
        {"the receive count is stale", 2, 2, 6, 9, true},
        {"the transmit count is stale", 2, 2, 7, 8, true},
        {"a status read", 2, 2, 7, 9, false},
        {"an older core", 1, 2, 7, 9, true},
        {"a newer core", 2, 1, 7, 9, true},
        {"a core without padding", 2, 3, 7, 9, true},
        {"a core with padding, an older host", 3, 2, 7, 9, true},
        {"another core answers (its instruction was changed)", 2, 2, 7, 9, true, 0x20},
    };
    for (const CASE& c : cases) {
        const BITS captured = core_capture(3, 10, {0x61, 0x62, 0x63, 0, 0, 0, 0, 0, 0, 0, 0, 0}, 0x5A, c.core_version,
                                           7, 9);
        jtag::UART_REQUEST r = request(c.host_version, 4, 4, 4, c.rx_count, c.tx_count, nullptr, c.core);
        r.commit = c.commit;
        ASSERT_TRUE(jtag::read_uart_field(captured, r, status, error)) << c.what << ": " << error;
        EXPECT_FALSE(status.commits) << c.what;
        EXPECT_TRUE(status.taken_bytes.empty()) << c.what;
        EXPECT_EQ(status.accepted, 0u) << c.what;
        EXPECT_EQ(status.version, c.core_version) << c.what;
    }
}

// A primitive that samples TDO itself, behind a wrapper that holds TDO from
// the falling edge, shows the header a bit late: the host finds it by its
// mark wherever the bits of the header happen to fall.
TEST(UartField, TheHeaderIsFoundUpToTwoBitsLate) {
    for (unsigned version : {1u, 2u, 3u}) {
        for (unsigned delay = 0; delay <= 3; ++delay) {
            for (bool before : {false, true}) {
                // What TDO showed before the header: zeros or ones.
                BITS captured(delay, before);
                const BITS core = core_capture(3, 10, {0x61, 0x62, 0x63, 0x5A, 0x5A}, 0x5A, version, 7, 9);
                captured.insert(captured.end(), core.begin(), core.end());
                jtag::UART_STATUS status;
                std::string error;
                const bool read = jtag::read_uart_field(captured, request(version, 4, 4, 4, 7, 9), status, error);
                const std::string what = "version " + std::to_string(version) + ", " + std::to_string(delay) +
                                         " bits late, " + (before ? "ones" : "zeros") + " before";
                if (delay > jtag::k_max_tdo_delay) {
                    EXPECT_FALSE(read) << what;
                    continue;
                }
                ASSERT_TRUE(read) << what << ": " << error;
                EXPECT_EQ(status.tdo_delay, delay) << what;
                EXPECT_EQ(status.available, 3u) << what;
                EXPECT_EQ(status.room, 10u) << what;
                EXPECT_EQ(status.version, version) << what;
                EXPECT_TRUE(status.commits) << what;
                EXPECT_EQ(status.taken_bytes, (std::vector<std::uint8_t>{0x61, 0x62, 0x63})) << what;
            }
        }
    }
    // Every slot of the request must be there past the header.
    jtag::UART_STATUS status;
    std::string error;
    BITS late{false, false};
    const BITS core = core_capture(3, 10, {1, 2, 3, 4}, 0x5A, 3, 7, 9);
    late.insert(late.end(), core.begin(), core.end() - 2);
    EXPECT_FALSE(jtag::read_uart_field(late, request(3, 4, 4, 4, 7, 9), status, error));
}

TEST(UartField, StuckChainsReadTheSameBitThroughout) {
    EXPECT_TRUE(jtag::reads_stuck(BITS(81, true)));
    EXPECT_TRUE(jtag::reads_stuck(BITS(81, false)));
    EXPECT_FALSE(jtag::reads_stuck(core_capture(0, 0, {})));
}

}  // namespace
