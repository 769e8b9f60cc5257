// The RTL through its Verilated model: the TAP against the IEEE 1149.1 state
// table, IDCODE, BYPASS, IR capture, the descriptor, and the JTAG UART's data
// register (every byte value, full and empty FIFOs, scans cut short, TAP
// resets mid-stream, system clocks slower and faster than TCK).
#include <algorithm>
#include <map>
#include <numeric>
#include <queue>
#include <random>

#include <gtest/gtest.h>

#include "hardware/tests/jtag-probe.h"

namespace {

enum : unsigned {
    TLR, RTI, SELECT_DR, CAPTURE_DR, SHIFT_DR, EXIT1_DR, PAUSE_DR, EXIT2_DR, UPDATE_DR,
    SELECT_IR, CAPTURE_IR, SHIFT_IR, EXIT1_IR, PAUSE_IR, EXIT2_IR, UPDATE_IR
};

// IEEE 1149.1 figure 6-1: the next state for TMS = 0 and TMS = 1.
const unsigned k_next[16][2] = {
    {RTI, TLR},               {RTI, SELECT_DR},         {CAPTURE_DR, SELECT_IR}, {SHIFT_DR, EXIT1_DR},
    {SHIFT_DR, EXIT1_DR},     {PAUSE_DR, UPDATE_DR},    {PAUSE_DR, EXIT2_DR},    {SHIFT_DR, UPDATE_DR},
    {RTI, SELECT_DR},         {CAPTURE_IR, TLR},        {SHIFT_IR, EXIT1_IR},    {SHIFT_IR, EXIT1_IR},
    {PAUSE_IR, UPDATE_IR},    {PAUSE_IR, EXIT2_IR},     {SHIFT_IR, UPDATE_IR},   {RTI, SELECT_DR},
};

// The TMS values that lead from Test-Logic-Reset to `target` (breadth first).
std::vector<bool> path_to(unsigned target) {
    std::map<unsigned, std::vector<bool>> paths{{TLR, {}}};
    std::queue<unsigned> todo;
    todo.push(TLR);
    while (!todo.empty()) {
        const unsigned state = todo.front();
        todo.pop();
        for (bool tms : {false, true}) {
            const unsigned next = k_next[state][tms];
            if (paths.count(next))
                continue;
            paths[next] = paths[state];
            paths[next].push_back(tms);
            todo.push(next);
        }
    }
    return paths.at(target);
}

struct Board {
    explicit Board(unsigned uarts = 1, double ratio = 1.0) : model(uarts, ratio), probe(model) {
        probe.reset();
    }
    BOARD_MODEL model;
    JTAG_PROBE probe;
};

std::vector<std::uint8_t> every_byte_value() {
    std::vector<std::uint8_t> bytes(256);
    std::iota(bytes.begin(), bytes.end(), 0);
    return bytes;
}

}  // namespace

TEST(Tap, EveryStateAndTransitionFollowsTheIeeeTable) {
    for (unsigned state = 0; state < 16; ++state) {
        for (bool tms : {false, true}) {
            Board board;
            for (int i = 0; i < 5; ++i)
                board.probe.clock(true);
            for (bool step : path_to(state))
                board.probe.clock(step);
            ASSERT_EQ(board.model.tap_state(), state);
            board.probe.clock(tms);
            EXPECT_EQ(board.model.tap_state(), k_next[state][tms]) << "from state " << state << " with TMS " << tms;
        }
    }
}

TEST(Tap, FiveClocksWithTmsHighResetFromEveryStateAndSelectIdcode) {
    for (unsigned state = 0; state < 16; ++state) {
        Board board;
        board.probe.instruction(IR_BYPASS);
        board.probe.reset();
        for (bool step : path_to(state))
            board.probe.clock(step);
        for (int i = 0; i < 5; ++i)
            board.probe.clock(true);
        EXPECT_EQ(board.model.tap_state(), TLR) << "from state " << state;
        EXPECT_EQ(board.model.tap_instruction(), IR_IDCODE);
    }
}

TEST(Tap, TrstResetsTheTapAtOnce) {
    Board board;
    board.probe.instruction(IR_BYPASS);
    board.probe.enter_shift_dr();
    board.model.set_resets(true, false);
    EXPECT_EQ(board.model.tap_state(), TLR);
    EXPECT_EQ(board.model.tap_instruction(), IR_IDCODE);
    board.model.set_resets(false, false);
}

TEST(Tap, ResetSelectsIdcodeInBothDevicesAndTdiFollowsThem) {
    Board board;
    // Ones after the two IDCODEs come back as they went in.
    const bits out = board.probe.chain_dr(bits(96, true));
    EXPECT_EQ(from_bits(out, 0, 32), BOARD_MODEL::k_other_idcode);
    EXPECT_EQ(from_bits(out, 32, 32), BOARD_MODEL::k_fpga_idcode);
    EXPECT_EQ(from_bits(out, 64, 32), 0xFFFFFFFFu);
    EXPECT_EQ(BOARD_MODEL::k_fpga_idcode & 1, 1u);
}

TEST(Tap, IrCapturesZerosEndingInOneInBothDevices) {
    Board board;
    // Other device (5 bits, nearest TDO) 00001, then ours (6 bits) 000001.
    EXPECT_EQ(board.probe.instruction(IR_BYPASS), 0x21u);
    EXPECT_EQ(board.model.tap_instruction(), IR_BYPASS);
}

TEST(Tap, BypassIsOneBitCapturingZeroForAllOnesAndUnknownInstructions) {
    for (unsigned code : {unsigned{IR_BYPASS}, 0x30u, 0x00u}) {
        Board board;
        board.probe.instruction(code);
        // Both devices in BYPASS: two captured zeros, then TDI two bits late.
        const bits pattern = {true, false, true, true, false, false, true, false};
        const bits out = board.probe.chain_dr(pattern);
        EXPECT_EQ(out, (bits{false, false, true, false, true, true, false, false})) << "instruction " << code;
    }
}

TEST(Tap, DescriptorListsTheUartsWithTheirInstructionsAndSizes) {
    for (unsigned uarts : {1u, 3u}) {
        Board board(uarts);
        board.probe.instruction(IR_DISCOVER);
        const bits out = board.probe.fpga_dr(bits(64 + 32 * uarts, false));
        EXPECT_EQ(from_bits(out, 0, 32), 0x55A71C3Du);
        EXPECT_EQ(from_bits(out, 32, 8), 1u) << "descriptor version";
        EXPECT_EQ(from_bits(out, 40, 8), uarts);
        EXPECT_EQ(from_bits(out, 48, 8), BOARD_MODEL::k_fpga_ir_length);
        for (unsigned i = 0; i < uarts; ++i) {
            const unsigned word = 64 + 32 * i;
            EXPECT_EQ(from_bits(out, word, 8), IR_USER0 + i);
            EXPECT_EQ(from_bits(out, word + 8, 4), 6u) << "receive FIFO of 64 bytes";
            EXPECT_EQ(from_bits(out, word + 12, 4), 6u) << "transmit FIFO of 64 bytes";
            EXPECT_EQ(from_bits(out, word + 16, 8), 3u) << "data register version";
        }
    }
}

TEST(Uart, EmptyCoreShowsItsHeaderAndTakesNothing) {
    Board board;
    board.model.uart(0).loopback = false;
    UART_HOST host(board.probe, 0);
    host.select();
    const UART_REPLY reply = host.exchange(8);
    EXPECT_EQ(reply.mark, 0x5Au);
    EXPECT_EQ(reply.version, 3u);
    EXPECT_EQ(reply.rx_count, 0u);
    EXPECT_EQ(reply.tx_count, 0u);
    EXPECT_EQ(reply.available, 0u);
    EXPECT_EQ(reply.room, 64u);
    EXPECT_EQ(reply.slots, std::vector<std::uint8_t>(8, 0));
    EXPECT_TRUE(host.received.empty());
}

TEST(Uart, EveryByteValueBothWays) {
    Board board;
    UART_SIDE& cpu = board.model.uart(0);
    cpu.loopback = false;
    const std::vector<std::uint8_t> bytes = every_byte_value();
    cpu.outbox.assign(bytes.begin(), bytes.end());
    UART_HOST host(board.probe, 0);
    host.select();
    host.outgoing = bytes;
    for (int scan = 0; scan < 200 && (host.received.size() < 256 || cpu.inbox.size() < 256); ++scan)
        host.exchange(64);
    EXPECT_EQ(host.received, bytes);
    EXPECT_EQ(std::vector<std::uint8_t>(cpu.inbox.begin(), cpu.inbox.end()), bytes);
}

TEST(Uart, FullReceiveFifoTakesOnlyItsRoomAndLosesNothing) {
    Board board;
    UART_SIDE& cpu = board.model.uart(0);
    cpu.loopback = false;
    cpu.limit = 0;  // the CPU stops reading
    std::vector<std::uint8_t> bytes(150);
    std::iota(bytes.begin(), bytes.end(), 1);
    UART_HOST host(board.probe, 0);
    host.select();
    host.outgoing = bytes;
    unsigned accepted = 0;
    for (int scan = 0; scan < 5; ++scan)
        accepted += host.exchange(100).accepted;
    EXPECT_EQ(accepted, 64u);
    EXPECT_EQ(host.exchange(0).room, 0u);
    board.model.run_system(20);
    EXPECT_FALSE(board.model.system_busy()) << "a CPU that does not read leaves the board idle";
    cpu.limit = 4096;
    EXPECT_TRUE(board.model.system_busy());
    for (int scan = 0; scan < 50 && cpu.inbox.size() < bytes.size(); ++scan)
        host.exchange(100);
    EXPECT_EQ(std::vector<std::uint8_t>(cpu.inbox.begin(), cpu.inbox.end()), bytes);
}

TEST(Uart, FullTransmitFifoHoldsTheCpuBackAndHostTakesEachByteOnce) {
    Board board;
    UART_SIDE& cpu = board.model.uart(0);
    cpu.loopback = false;
    std::vector<std::uint8_t> bytes(200);
    std::iota(bytes.begin(), bytes.end(), 7);
    cpu.outbox.assign(bytes.begin(), bytes.end());
    board.model.run_system(300);
    EXPECT_EQ(cpu.outbox.size(), 200u - 64u) << "the FIFO holds 64 and refuses the rest";
    EXPECT_FALSE(cpu.transmit_room);
    UART_HOST host(board.probe, 0);
    host.select();
    // A host that takes fewer than there are gets exactly those, in order.
    UART_SCAN small;
    small.length = 10;
    small.takes = 3;
    UART_REPLY reply = uart_reply(small, board.probe.fpga_dr(uart_scan_bits(small)));
    EXPECT_EQ(reply.available, 64u);
    EXPECT_EQ(reply.taken, 3u);
    host.received.assign(reply.slots.begin(), reply.slots.begin() + 3);
    for (int scan = 0; scan < 50 && host.received.size() < bytes.size(); ++scan) {
        board.model.run_system(100);
        host.exchange(64);
    }
    EXPECT_EQ(host.received, bytes);
    EXPECT_EQ(host.exchange(16).available, 0u);
}

// The host pads its field with one bit, which a primitive that registers TDI
// keeps back: the core takes its field with the padding and without it.
TEST(Uart, AFieldIsWholeWithOrWithoutItsPaddingBit) {
    for (bool pad : {true, false}) {
        Board board;
        UART_SIDE& cpu = board.model.uart(0);
        cpu.loopback = false;
        cpu.outbox = {0x11, 0x22};
        board.model.run_system(20);
        UART_HOST host(board.probe, 0);
        host.select();
        UART_SCAN scan;
        scan.send = {0xA0, 0xA1};
        scan.takes = scan.length = 4;
        scan.pad = pad;
        const UART_REPLY reply = uart_reply(scan, board.probe.fpga_dr(uart_scan_bits(scan)));
        EXPECT_EQ(reply.slots.at(0), 0x11) << pad;
        scan.send.clear();
        scan.rx_count = 2;
        scan.tx_count = 2;
        const UART_REPLY after = uart_reply(scan, board.probe.fpga_dr(uart_scan_bits(scan)));
        EXPECT_EQ(after.rx_count, 2u) << pad;
        EXPECT_EQ(after.tx_count, 2u) << pad;
        board.model.run_system(20);
        EXPECT_EQ(std::vector<std::uint8_t>(cpu.inbox.begin(), cpu.inbox.end()),
                  (std::vector<std::uint8_t>{0xA0, 0xA1})) << pad;
    }
}

// A primitive that registers TDI shows the core its register's stale bit
// first: a one, where the device nearer TDI idles its TDO high. The field
// starts at the first one after a zero: the host's lead.
TEST(Uart, AStaleOneBeforeTheFieldIsSkipped) {
    Board board;
    UART_SIDE& cpu = board.model.uart(0);
    cpu.loopback = false;
    cpu.outbox = {0x11};
    board.model.run_system(20);
    UART_HOST host(board.probe, 0);
    host.select();
    UART_SCAN scan;
    scan.send = {0xA0, 0xA1};
    scan.takes = scan.length = 2;
    bits in{true, true};  // stale ones: the core sees every bit the host shifts
    const bits field = uart_scan_bits(scan);
    in.insert(in.end(), field.begin(), field.end());
    const bits out = board.probe.chain_dr(in);
    const UART_REPLY reply = uart_reply(scan, bits(out.begin() + 1, out.end()));
    EXPECT_EQ(reply.taken, 1u);
    EXPECT_EQ(reply.slots.at(0), 0x11);
    board.model.run_system(20);
    EXPECT_EQ(std::vector<std::uint8_t>(cpu.inbox.begin(), cpu.inbox.end()), (std::vector<std::uint8_t>{0xA0, 0xA1}));
    const UART_REPLY after = host.exchange(2);
    EXPECT_EQ(after.rx_count, 2u);
    EXPECT_EQ(after.tx_count, 1u);
}

TEST(Uart, ScansCutShortTakeNothing) {
    Board board;
    UART_SIDE& cpu = board.model.uart(0);
    cpu.loopback = false;
    cpu.outbox = {0x11, 0x22, 0x33, 0x44};
    board.model.run_system(20);
    UART_HOST host(board.probe, 0);
    host.select();
    UART_SCAN scan;
    scan.send = {0xA0, 0xA1};
    scan.takes = 4;
    scan.length = 4;
    const bits full = uart_scan_bits(scan);

    // One bit short of the header's length, two bits and one byte too long
    // (the padding bit is the one more the core takes): the length does not match.
    for (std::size_t length : {full.size() - 2, full.size() + 1, full.size() + 8}) {
        bits in = full;
        in.resize(length, false);
        const UART_REPLY reply = uart_reply(scan, board.probe.fpga_dr(in));
        EXPECT_EQ(reply.available, 4u);
        EXPECT_EQ(reply.slots.at(0), 0x11);
    }
    // No commit mark: a status read.
    UART_SCAN status = scan;
    status.commit = false;
    board.probe.fpga_dr(uart_scan_bits(status));
    // A pause in the middle of the scan, then Update-DR and a new capture.
    board.probe.enter_shift_dr();
    board.probe.clock(false);  // the other device's BYPASS bit
    for (std::size_t i = 0; i + 1 < full.size() / 2; ++i)
        board.probe.clock(false, full[i]);
    board.probe.clock(true, full[full.size() / 2 - 1]);  // Exit1-DR
    board.probe.clock(false);                            // Pause-DR
    board.probe.clock(true);                             // Exit2-DR
    board.probe.clock(true);                             // Update-DR
    board.probe.clock(false);                            // Run-Test/Idle
    // A TAP reset in the middle of the scan, then the instruction again.
    board.probe.enter_shift_dr();
    board.probe.clock(false);  // the other device's BYPASS bit
    for (std::size_t i = 0; i < full.size() / 2; ++i)
        board.probe.clock(false, full[i]);
    board.probe.reset();
    host.select();
    // TRST in the middle of the scan.
    board.probe.enter_shift_dr();
    for (std::size_t i = 0; i < 40; ++i)
        board.probe.clock(false, full[i % full.size()]);
    board.model.set_resets(true, false);
    board.model.set_resets(false, false);
    board.probe.reset();
    host.select();
    board.model.run_system(20);
    EXPECT_TRUE(cpu.inbox.empty());

    const UART_REPLY reply = uart_reply(scan, board.probe.fpga_dr(full));
    EXPECT_EQ(reply.available, 4u) << "nothing was taken before";
    EXPECT_EQ(std::vector<std::uint8_t>(reply.slots.begin(), reply.slots.end()),
              (std::vector<std::uint8_t>{0x11, 0x22, 0x33, 0x44}));
    board.model.run_system(20);
    EXPECT_EQ(std::vector<std::uint8_t>(cpu.inbox.begin(), cpu.inbox.end()),
              (std::vector<std::uint8_t>{0xA0, 0xA1}));
    EXPECT_EQ(uart_reply(scan, board.probe.fpga_dr(full)).available, 0u) << "taken once";
}

// A host that lost the reply to a commit cannot know whether it reached
// Update-DR: the counts the core shows tell it, and a commit sent again
// names counts that have moved on, so it takes and gives nothing twice.
TEST(Uart, CountsTellWhetherACommitTookEffectAndARepeatedCommitMovesNothing) {
    Board board;
    UART_SIDE& cpu = board.model.uart(0);
    cpu.loopback = false;
    cpu.outbox = {1, 2, 3, 4, 5, 6};
    board.model.run_system(30);
    UART_HOST host(board.probe, 0);
    host.select();
    UART_SCAN scan;
    scan.send = {0xB0, 0xB1, 0xB2};
    scan.takes = 4;
    scan.length = 4;
    const bits in = uart_scan_bits(scan);
    const UART_REPLY first = uart_reply(scan, board.probe.fpga_dr(in));
    ASSERT_EQ(first.taken, 4u);
    ASSERT_EQ(first.accepted, 3u);
    // The same bits again, as a host would resend a commit whose reply it lost.
    for (int again = 0; again < 3; ++again) {
        const UART_REPLY repeated = uart_reply(scan, board.probe.fpga_dr(in));
        EXPECT_EQ(repeated.rx_count, 3u);
        EXPECT_EQ(repeated.tx_count, 4u);
        EXPECT_EQ(repeated.taken, 0u) << "the counts it names have moved on";
        EXPECT_EQ(repeated.slots.at(0), 5) << "slot 0 is the first byte not yet taken";
    }
    board.model.run_system(30);
    EXPECT_EQ(std::vector<std::uint8_t>(cpu.inbox.begin(), cpu.inbox.end()),
              (std::vector<std::uint8_t>{0xB0, 0xB1, 0xB2}));
    // A header without the counts' bytes (the 32-bit header and mark of an
    // older host) never commits either.
    UART_SCAN old = scan;
    old.rx_count = 3;
    old.tx_count = 4;
    bits older{true};
    const bits head = to_bits(old.send.size() | old.takes << 8 | old.length << 16 | 0xA5u << 24, 32);
    older.insert(older.end(), head.begin(), head.end());
    older.resize(older.size() + 8 * old.length, false);
    board.probe.fpga_dr(older);
    const UART_REPLY after = uart_reply(old, board.probe.fpga_dr(uart_scan_bits(UART_SCAN{{}, 0, 0, false, 0, 0, IR_USER0})));
    EXPECT_EQ(after.available, 2u);
    EXPECT_EQ(after.rx_count, 3u);
    EXPECT_EQ(after.tx_count, 4u);
    EXPECT_EQ(after.core, IR_USER0) << "the core names itself";
    // Right counts, but meant for another core (a host whose instruction
    // another host changed): nothing moves.
    UART_SCAN elsewhere;
    elsewhere.send = {0xC0};
    elsewhere.takes = elsewhere.length = 2;
    elsewhere.rx_count = 3;
    elsewhere.tx_count = 4;
    elsewhere.core = IR_USER0 + 1;
    board.probe.fpga_dr(uart_scan_bits(elsewhere));
    board.model.run_system(30);
    EXPECT_EQ(cpu.inbox.size(), 3u);
    const UART_REPLY last = uart_reply(old, board.probe.fpga_dr(uart_scan_bits(UART_SCAN{{}, 0, 0, false, 0, 0, IR_USER0})));
    EXPECT_EQ(last.available, 2u);
    EXPECT_EQ(last.tx_count, 4u);
}

TEST(Uart, CountsFollowEveryCommitPastTheirWrap) {
    Board board;  // a loopback CPU side
    std::vector<std::uint8_t> bytes(700);
    std::iota(bytes.begin(), bytes.end(), 0);
    UART_HOST host(board.probe, 0);
    host.select();
    host.outgoing = bytes;
    std::size_t accepted = 0, taken = 0;
    for (int scan = 0; scan < 400 && host.received.size() < bytes.size(); ++scan) {
        const UART_REPLY reply = host.exchange(scan % 3 ? 40 : 64);
        ASSERT_EQ(reply.rx_count, accepted % 256) << "scan " << scan;
        ASSERT_EQ(reply.tx_count, taken % 256) << "scan " << scan;
        accepted += reply.accepted;
        taken += reply.taken;
    }
    EXPECT_EQ(host.received, bytes);
}

TEST(Uart, PauseInTheMiddleOfAScanKeepsIt) {
    Board board;
    UART_SIDE& cpu = board.model.uart(0);
    cpu.loopback = false;
    UART_HOST host(board.probe, 0);
    host.select();
    UART_SCAN scan;
    scan.send = {1, 2, 3};
    scan.length = 3;
    const bits in = uart_scan_bits(scan);
    board.probe.enter_shift_dr();
    board.probe.clock(false);  // the other device's BYPASS bit
    for (std::size_t i = 0; i < in.size(); ++i) {
        const bool last = i + 1 == in.size();
        board.probe.clock(last || i == 20, in[i]);  // Exit1-DR after bit 20
        if (i == 20) {
            board.probe.clock(false);  // Pause-DR
            board.probe.clock(false);
            board.probe.clock(true);   // Exit2-DR
            board.probe.clock(false);  // Shift-DR
        }
    }
    board.probe.clock(true);   // Update-DR
    board.probe.clock(false);
    board.model.run_system(20);
    EXPECT_EQ(std::vector<std::uint8_t>(cpu.inbox.begin(), cpu.inbox.end()), (std::vector<std::uint8_t>{1, 2, 3}));
}

TEST(Uart, TapResetsInTheMiddleOfAStreamLoseAndDoubleNothing) {
    Board board;  // a loopback CPU side
    std::mt19937 random(17);
    std::vector<std::uint8_t> bytes(2000);
    for (auto& byte : bytes)
        byte = static_cast<std::uint8_t>(random());
    UART_HOST host(board.probe, 0);
    host.select();
    host.outgoing = bytes;
    for (int scan = 0; scan < 2000 && host.received.size() < bytes.size(); ++scan) {
        if (scan % 3 == 1) {
            // A scan cut off by a TAP reset at a random bit.
            UART_SCAN lost;
            lost.send.assign(host.outgoing.begin(), host.outgoing.begin() + std::min<std::size_t>(host.outgoing.size(), 64));
            lost.takes = lost.length = 64;
            const bits in = uart_scan_bits(lost);
            board.probe.enter_shift_dr();
            const std::size_t cut = random() % in.size();
            for (std::size_t i = 0; i < cut; ++i)
                board.probe.clock(false, in[i]);
            board.probe.reset();
            host.select();
        }
        host.exchange(64);
    }
    EXPECT_EQ(host.received, bytes);
}

class UartClockRatio : public testing::TestWithParam<double> {};

TEST_P(UartClockRatio, LoopbackKeepsEveryByteInOrder) {
    Board board(2, GetParam());
    const std::vector<std::uint8_t> bytes = every_byte_value();
    UART_HOST first(board.probe, 0);
    first.select();
    first.outgoing = bytes;
    first.outgoing.insert(first.outgoing.end(), bytes.rbegin(), bytes.rend());
    const std::vector<std::uint8_t> expected = first.outgoing;
    for (int scan = 0; scan < 3000 && first.received.size() < expected.size(); ++scan)
        first.exchange(scan % 2 ? 64 : 17);
    EXPECT_EQ(first.received, expected);
    // The second UART saw none of it.
    UART_HOST second(board.probe, 1);
    second.select();
    EXPECT_EQ(second.exchange(0).available, 0u);
}

INSTANTIATE_TEST_SUITE_P(SystemClocksPerTck, UartClockRatio, testing::Values(0.1, 1.0, 10.0));
