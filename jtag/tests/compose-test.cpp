// The TAP's paths, bit strings, and scans composed into remote_bitbang
// requests and OpenOCD scripts, with the parsers of what comes back.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "jtag/bits.h"
#include "jtag/openocd-tcl.h"
#include "jtag/remote-bitbang.h"
#include "jtag/tap-state.h"

namespace {

using jtag::BITS;
using jtag::SCAN;
using jtag::TAP_STATE;

/// The simulated board: another maker's TAP (IR 5) nearest TDO, then ours (IR 6).
const std::vector<jtag::TAP_SLOT> k_board = {{"other.tap", 5}, {"fpga.tap", 6}};

TEST(TapState, PathsFromEveryStableStateReachTheirTarget) {
    const TAP_STATE stable[] = {TAP_STATE::reset, TAP_STATE::idle, TAP_STATE::pause_dr, TAP_STATE::pause_ir};
    const TAP_STATE targets[] = {TAP_STATE::shift_dr, TAP_STATE::shift_ir, TAP_STATE::idle, TAP_STATE::pause_dr};
    for (TAP_STATE from : stable) {
        for (TAP_STATE to : targets) {
            TAP_STATE at = from;
            for (bool tms : jtag::tms_path(from, to)) {
                at = jtag::next_state(at, tms);
                // No path goes through Test-Logic-Reset: it would lose the instruction.
                EXPECT_NE(at, TAP_STATE::reset) << jtag::state_name(from) << " to " << jtag::state_name(to);
            }
            EXPECT_EQ(at, to) << jtag::state_name(from) << " to " << jtag::state_name(to);
        }
    }
    EXPECT_EQ(jtag::tms_path(TAP_STATE::reset, TAP_STATE::shift_ir), (std::vector<bool>{0, 1, 1, 0, 0}));
    EXPECT_EQ(jtag::tms_path(TAP_STATE::idle, TAP_STATE::shift_dr), (std::vector<bool>{1, 0, 0}));
}

/// Whether the path from `from` to `to` passes `via`.
bool passes(TAP_STATE from, TAP_STATE to, TAP_STATE via) {
    TAP_STATE at = from;
    for (bool tms : jtag::tms_path(from, to)) {
        at = jtag::next_state(at, tms);
        if (at == via)
            return true;
    }
    return false;
}

TEST(TapState, LeavingPauseCommitsExceptToItsOwnShift) {
    EXPECT_TRUE(passes(TAP_STATE::pause_dr, TAP_STATE::idle, TAP_STATE::update_dr));
    EXPECT_TRUE(passes(TAP_STATE::pause_dr, TAP_STATE::shift_ir, TAP_STATE::update_dr));
    EXPECT_FALSE(passes(TAP_STATE::pause_dr, TAP_STATE::shift_dr, TAP_STATE::update_dr));
    EXPECT_TRUE(passes(TAP_STATE::pause_ir, TAP_STATE::shift_dr, TAP_STATE::update_ir));
    EXPECT_FALSE(passes(TAP_STATE::pause_ir, TAP_STATE::shift_ir, TAP_STATE::update_ir));
}

TEST(Bits, HexRoundTripAndRefusals) {
    for (unsigned count : {1u, 4u, 5u, 33u, 64u}) {
        const BITS value = jtag::to_bits(0xA5C3'0F1E'9B27'6D48ULL, count);
        BITS back;
        ASSERT_TRUE(jtag::from_hex(jtag::to_hex(value), count, back)) << count;
        EXPECT_EQ(back, value) << count;
    }
    EXPECT_EQ(jtag::to_hex(jtag::to_bits(0x12AB, 16)), "12ab");
    EXPECT_EQ(jtag::to_hex(jtag::to_bits(0x1, 5)), "01");
    EXPECT_EQ(jtag::to_hex({}), "0");
    BITS bits;
    EXPECT_TRUE(jtag::from_hex("00FfAa", 16, bits));
    EXPECT_EQ(jtag::from_bits(bits, 0, 16), 0xFFAAu);
    EXPECT_FALSE(jtag::from_hex("1g", 8, bits));
    EXPECT_FALSE(jtag::from_hex("0x1", 8, bits));  // the prefix is the caller's to strip
    EXPECT_FALSE(jtag::from_hex("1 2", 8, bits));
    EXPECT_TRUE(jtag::from_hex("1f", 5, bits));
    EXPECT_FALSE(jtag::from_hex("20", 5, bits));  // bit 5 set in a 5-bit value
    EXPECT_FALSE(jtag::from_hex("100", 8, bits));
}

/// Pins for one clock without a read: the falling edge, then the rising edge.
std::string clock(bool tms, bool tdi = false) {
    const char pins = static_cast<char>('0' + 2 * tms + tdi);
    return {pins, static_cast<char>(pins + 4)};
}
/// One clock that reads TDO before the rising edge.
std::string read(bool tms, bool tdi) {
    const char pins = static_cast<char>('0' + 2 * tms + tdi);
    return {pins, 'R', static_cast<char>(pins + 4)};
}

TEST(RemoteBitbang, IrAndPausedDrScanOfTheSecondTap) {
    TAP_STATE state = TAP_STATE::reset;
    const std::vector<SCAN> scans = {SCAN::ir(1, jtag::to_bits(0x20, 6)), SCAN::dr(1, jtag::to_bits(0b101, 3), true)};
    const jtag::BITBANG_BATCH batch = jtag::bitbang_requests(scans, k_board, state);

    std::string expected = clock(0) + clock(1) + clock(1) + clock(0) + clock(0);  // reset to Shift-IR
    for (int i = 0; i < 5; ++i)
        expected += read(0, 1);  // the other TAP's IR: BYPASS, all ones
    expected += read(0, 0) + read(0, 0) + read(0, 0) + read(0, 0) + read(0, 0) + read(1, 1);  // 0x20, TMS on the last
    expected += clock(1) + clock(0);                          // Update-IR, Run-Test/Idle
    expected += clock(1) + clock(0) + clock(0);               // to Shift-DR
    expected += read(0, 0);                                   // the other TAP's BYPASS bit: zero
    expected += read(0, 1) + read(0, 0) + read(1, 1);         // 0b101
    expected += clock(0);                                     // Exit1-DR to Pause-DR
    expected += "R";                                          // the fence, last
    EXPECT_EQ(batch.requests, expected);
    EXPECT_EQ(state, TAP_STATE::pause_dr);
    EXPECT_EQ(batch.replies, 11u + 4u + 1u);
    ASSERT_EQ(batch.reads.size(), 2u);

    // Each field is picked where the TAP sits: after the other TAP's 5 IR
    // bits, after its 1 BYPASS bit.
    std::string replies = "00000" "100000" "0" "110" "1";
    jtag::CAPTURED captured;
    std::string error;
    ASSERT_TRUE(jtag::bitbang_captured(batch, replies, captured, error)) << error;
    ASSERT_EQ(captured.size(), 2u);
    EXPECT_EQ(captured[0], jtag::to_bits(0x01, 6));
    EXPECT_EQ(captured[1], jtag::to_bits(0b011, 3));

    replies[3] = 'X';
    EXPECT_FALSE(jtag::bitbang_captured(batch, replies, captured, error));
    EXPECT_NE(error.find("0x58"), std::string::npos) << error;
    error.clear();
    EXPECT_FALSE(jtag::bitbang_captured(batch, std::string(15, '0'), captured, error));
    EXPECT_NE(error.find("15 reads of 16"), std::string::npos) << error;
    EXPECT_FALSE(jtag::bitbang_captured(batch, std::string(17, '0'), captured, error));
}

TEST(RemoteBitbang, ScanOfATapBeyondTheChainIsRefusedNotReadPastTheReplies) {
    TAP_STATE state = TAP_STATE::idle;
    const jtag::BITBANG_BATCH batch = jtag::bitbang_requests({SCAN::dr(2, BITS(8))}, k_board, state);
    ASSERT_EQ(batch.replies, 3u);  // the two TAPs' BYPASS bits and the fence
    jtag::CAPTURED captured;
    std::string error;
    EXPECT_FALSE(jtag::bitbang_captured(batch, "001", captured, error));
    EXPECT_FALSE(error.empty());
}

TEST(RemoteBitbang, APausedScanIsCommittedOnlyByTheBitItLeftOut) {
    // The commit shifts one zero (Shift-DR to Exit1-DR) on its way to Update-DR.
    TAP_STATE state = TAP_STATE::pause_dr;
    jtag::BITBANG_BATCH batch = jtag::bitbang_requests({SCAN::commit()}, k_board, state);
    EXPECT_EQ(batch.requests, clock(1) + clock(0) + clock(1) + clock(1) + clock(0) + "R");
    EXPECT_EQ(state, TAP_STATE::idle);
    // Leaving Pause-DR any other way shifts nothing: Exit2-DR, Update-DR, Run-Test/Idle.
    state = TAP_STATE::pause_dr;
    batch = jtag::bitbang_requests({SCAN::idle(2)}, k_board, state);
    EXPECT_EQ(batch.requests, clock(1) + clock(1) + clock(0) + clock(0) + clock(0) + "R");
}

TEST(OpenocdTcl, ScriptAndRefusals) {
    std::string script;
    std::string error;
    ASSERT_TRUE(jtag::tcl_script({SCAN::idle(), SCAN::ir(1, jtag::to_bits(0x20, 6)),
                                  SCAN::dr(1, jtag::to_bits(0x1A5, 33), true)},
                                 k_board, script, error))
        << error;
    EXPECT_EQ(script, "runtest 0; irscan fpga.tap 0x20; drscan fpga.tap 33 0x0000001a5 -endstate DRPAUSE");
    ASSERT_TRUE(jtag::tcl_script({SCAN::dr(0, jtag::to_bits(1, 1)), SCAN::idle()}, k_board, script, error));
    // What follows the last DR scan is a group of its own, which adds nothing to the result.
    EXPECT_EQ(script, "concat [drscan other.tap 1 0x1] [runtest 0]");
    // Several DR scans: each group's result is its scan's, joined by concat;
    // the commit shifts the bit a paused scan left out.
    ASSERT_TRUE(jtag::tcl_script({SCAN::dr(1, jtag::to_bits(5, 4), true), SCAN::commit(), SCAN::idle(8),
                                  SCAN::dr(1, jtag::to_bits(3, 4), true)},
                                 k_board, script, error));
    EXPECT_EQ(script, "concat [drscan fpga.tap 4 0x5 -endstate DRPAUSE] [pathmove DRPAUSE DREXIT2 DRSHIFT DREXIT1 "
                      "DRUPDATE IDLE; runtest 8; drscan fpga.tap 4 0x3 -endstate DRPAUSE]");
    jtag::CAPTURED captured;
    ASSERT_TRUE(jtag::parse_drscan_replies("05 0x3\n", {4, 4}, captured, error)) << error;
    EXPECT_EQ(captured, (jtag::CAPTURED{jtag::to_bits(5, 4), jtag::to_bits(3, 4)}));
    EXPECT_FALSE(jtag::parse_drscan_replies("05", {4, 4}, captured, error));

    const std::vector<std::vector<SCAN>> refused = {
        {SCAN::dr(-1, BITS(8, true))},                               // the whole chain
        {SCAN::ir(-1, BITS(11, true))},
        {SCAN::reset()},
        {SCAN::ir(2, BITS(6, true))},                                // no such TAP
    };
    for (std::size_t i = 0; i < refused.size(); ++i) {
        error.clear();
        EXPECT_FALSE(jtag::tcl_script(refused[i], k_board, script, error)) << i;
        EXPECT_FALSE(error.empty()) << i;
    }
}

TEST(OpenocdTcl, DrscanReplyInEitherVersionsForm) {
    BITS bits;
    std::string error;
    // 0.12 prints two digits per byte: 24 bits as six digits.
    ASSERT_TRUE(jtag::parse_drscan_reply("0012ab", 24, bits, error)) << error;
    EXPECT_EQ(bits, jtag::to_bits(0x12AB, 24));
    ASSERT_TRUE(jtag::parse_drscan_reply(" \t0x12ab\n", 16, bits, error)) << error;
    EXPECT_EQ(bits, jtag::to_bits(0x12AB, 16));
    ASSERT_TRUE(jtag::parse_drscan_reply("0X0000001a5\r\n", 33, bits, error)) << error;
    EXPECT_EQ(bits, jtag::to_bits(0x1A5, 33));

    const char* const refused[] = {
        "0x12 0x34", "12zz", "0x", "12ab",  // 16 bits, but 12 asked below
        "invalid command name \"drscan\"", "", " \n",
    };
    for (const char* reply : refused) {
        error.clear();
        EXPECT_FALSE(jtag::parse_drscan_reply(reply, 12, bits, error)) << reply;
        EXPECT_NE(error.find("drscan reply"), std::string::npos) << reply;
    }
    EXPECT_FALSE(jtag::parse_drscan_reply("0000012ab", 16, bits, error));  // more digits than bits
}

#define SCAN_CHAIN_HEADING                                                     \
    "   TapName             Enabled  IdCode     Expected   IrLen IrCap IrMask\n" \
    "-- ------------------- -------- ---------- ---------- ----- ----- ------\n"

const char k_scan_chain[] =
    SCAN_CHAIN_HEADING
    " 0 other.tap              Y     0x30a51e2b 0x30a51e2b     5 0x01  0x03\n"
    " 1 fpga.tap               Y     0x17e01f57 0x17e01f57     6 0x01  0x03\n";

std::string row(unsigned index, const std::string& name, const std::string& ir_length = "6",
                const std::string& enabled = "Y") {
    return " " + std::to_string(index) + " " + name + " " + enabled + " 0x17e01f57 0x17e01f57 " + ir_length +
           " 0x01 0x03\n";
}

TEST(OpenocdTcl, ScanChainOfTheRealOutput) {
    std::vector<jtag::LISTED_TAP> taps;
    std::string error;
    ASSERT_TRUE(jtag::parse_scan_chain(k_scan_chain, taps, error)) << error;
    ASSERT_EQ(taps.size(), 2u);
    EXPECT_EQ(taps[0].name, "other.tap");
    EXPECT_EQ(taps[0].idcode, 0x30a51e2bu);
    EXPECT_EQ(taps[0].ir_length, 5u);
    EXPECT_EQ(taps[1].name, "fpga.tap");
    EXPECT_EQ(taps[1].expected, std::vector<std::uint32_t>{0x17e01f57u});
    EXPECT_EQ(taps[1].ir_length, 6u);
    EXPECT_EQ(taps[1].ir_capture, 1u);
    EXPECT_TRUE(taps[1].enabled);
    ASSERT_TRUE(jtag::parse_scan_chain(row(0, "a-b_c.9", "32", "n"), taps, error)) << error;
    EXPECT_FALSE(taps[0].enabled);

    std::string many;
    for (unsigned i = 0; i <= jtag::k_max_taps; ++i)
        many += row(i, "t" + std::to_string(i));
    const std::string refused[] = {
        std::string(k_scan_chain) + " 2 short.tap Y 0x1\n",           // a malformed row
        std::string(k_scan_chain) + " 2 x.tap Y 0xzz 0x1 6 0x01 0x03\n",  // not hex
        row(1, "fpga.tap"),                                            // starts at 1
        row(0, "a.tap") + row(0, "b.tap"),                             // index repeated
        row(0, "a.tap", "0"), row(0, "a.tap", "1"), row(0, "a.tap", "33"),
        row(0, "a.tap", "6", "y"),
        row(0, "fp$ga.tap"), row(0, "fpga\x1b[2J"),                    // odd names
        many,                                                          // 33 TAPs
        "", "   TapName  Enabled\n-- -------\n",                       // no TAP
        "invalid command name \"scan_chain\"",
    };
    for (const std::string& reply : refused) {
        error.clear();
        EXPECT_FALSE(jtag::parse_scan_chain(reply, taps, error)) << reply;
        EXPECT_FALSE(error.empty()) << reply;
    }
    error.clear();
    EXPECT_TRUE(jtag::parse_scan_chain(many.substr(0, many.rfind(" 32 ")), taps, error)) << error;
    EXPECT_EQ(taps.size(), jtag::k_max_taps);
}

/// OpenOCD 0.12 against jtag-board-sim, the FPGA's TAP declared with
/// `-expected-id 0x27e01f57 -expected-id 0x17e01f57` (two silicon revisions):
/// the second ID stands alone on a row of its own.
const char k_scan_chain_two_ids[] =
    SCAN_CHAIN_HEADING
    " 0 other.tap              Y     0x30a51e2b 0x30a51e2b     5 0x01  0x03\n"
    " 1 fpga.tap               Y     0x17e01f57 0x27e01f57     6 0x01  0x03\n"
    "                                           0x17e01f57\n";

TEST(OpenocdTcl, ScanChainRowsOfFurtherExpectedIdsBelongToTheTapAbove) {
    std::vector<jtag::LISTED_TAP> taps;
    std::string error;
    ASSERT_TRUE(jtag::parse_scan_chain(k_scan_chain_two_ids, taps, error)) << error;
    std::vector<std::vector<std::uint32_t>> expected;
    for (const jtag::LISTED_TAP& tap : taps)
        expected.push_back(tap.expected);
    EXPECT_EQ(expected, (std::vector<std::vector<std::uint32_t>>{{0x30a51e2bu}, {0x27e01f57u, 0x17e01f57u}}));
    EXPECT_EQ(taps.back().name + " " + std::to_string(taps.back().ir_length), "fpga.tap 6");
    EXPECT_EQ(taps.back().idcode, 0x17e01f57u);

    // The first TAP with three IDs, then another TAP: each keeps its own.
    const std::string first = " 0 a.tap Y 0x00000001 0x00000001 4 0x01 0x03\n   0x00000003\n 0x00000005\n" +
                              row(1, "b.tap");
    ASSERT_TRUE(jtag::parse_scan_chain(first, taps, error)) << error;
    ASSERT_EQ(taps.size(), 2u);
    EXPECT_EQ(taps[0].expected, (std::vector<std::uint32_t>{1, 3, 5}));
    EXPECT_EQ(taps[1].expected, std::vector<std::uint32_t>{0x17e01f57u});
    // Declared without an ID: OpenOCD prints zero there.
    ASSERT_TRUE(jtag::parse_scan_chain(" 0 other.tap Y 0x30a51e2b 0x00000000 5 0x01 0x03\n", taps, error)) << error;
    EXPECT_TRUE(taps[0].expected.empty());

    const std::string refused[] = {
        std::string(k_scan_chain).substr(0, std::string(k_scan_chain).find(" 0 ")) + "  0x17e01f57\n" +
            row(0, "a.tap"),                                // no TAP above it
        std::string(k_scan_chain) + "  0x17e0zz57\n",     // not hex
        std::string(k_scan_chain) + "  0x117e01f57\n",    // beyond 32 bits
        std::string(k_scan_chain) + "  0x17e01f57 6\n",   // more than the ID
        std::string(k_scan_chain) + "  17\n",             // a number, not an ID
    };
    for (const std::string& reply : refused) {
        error.clear();
        EXPECT_FALSE(jtag::parse_scan_chain(reply, taps, error)) << reply;
        EXPECT_FALSE(error.empty()) << reply;
    }
}

}  // namespace
