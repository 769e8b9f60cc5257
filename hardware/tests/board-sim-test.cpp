// jtag-board-sim as a client sees it: options and their errors, clients that
// break the protocol, state kept between clients, exec UARTs with
// backpressure; and OpenOCD as the judge of the chain it serves.
#include <numeric>
#include <regex>
#include <sstream>

#include <gtest/gtest.h>

#include "hardware/tests/board-sim-support.h"

using namespace std::chrono_literals;
using test_support::run_command;

namespace {

constexpr unsigned k_discover = 0x02, k_user0 = 0x20, k_bypass = 0x3F;

bool have_openocd() {
    int status = 0;
    run_command({"/bin/sh", "-c", "command -v openocd"}, {}, &status);
    return status == 0;
}

#define NEED_OPENOCD()                                                   \
    if (!have_openocd())                                                 \
    GTEST_SKIP() << "openocd is missing (Debian: openocd)"

const std::vector<std::string> k_declared = {
    "jtag newtap other tap -irlen 5 -expected-id 0x30a51e2b",
    "jtag newtap fpga tap -irlen 6 -expected-id 0x17e01f57",
};

}  // namespace

TEST(BoardSim, BadOptionsAndAPortInUseExitWithStatusOne) {
    const std::vector<std::vector<std::string>> cases = {
        {"--uart", "serial"},       {"--uart", "exec:"},          {"--clock-ratio", "20"},
        {"--clock-ratio", "0.01"},  {"--listen", "nowhere"},      {"--no-such-option"},
        {"--uart", "loopback", "--uart", "loopback", "--uart", "loopback", "--uart", "loopback", "--uart", "loopback"},
    };
    for (const auto& args : cases) {
        std::vector<std::string> argv = {board_sim_program()};
        argv.insert(argv.end(), args.begin(), args.end());
        int status = -1;
        const std::string said = run_command(argv, {}, &status);
        EXPECT_EQ(status, 1) << args.at(0) << ": " << said;
        EXPECT_NE(said.find("jtag-board-sim: error:"), std::string::npos) << said;
    }
    board_sim first;
    int status = -1;
    const std::string said =
        run_command({board_sim_program(), "--listen", "127.0.0.1:" + std::to_string(first.port())}, {}, &status);
    EXPECT_EQ(status, 1);
    EXPECT_NE(said.find("cannot listen on 127.0.0.1:" + std::to_string(first.port())), std::string::npos) << said;
}

TEST(BoardSim, CommandThatCannotStartExitsWithStatusOne) {
    int status = -1;
    const std::string said =
        run_command({board_sim_program(), "--uart", "loopback", "--uart", "exec:/nonexistent/cpu-program"}, {}, &status);
    EXPECT_EQ(status, 1);
    EXPECT_NE(said.find("the command cannot start"), std::string::npos) << said;
}

TEST(BoardSim, ByteOutsideTheProtocolDisconnectsThatClientOnly) {
    board_sim board;
    {
        bitbang_client first(board.port());
        first.reset();
        first.instruction(k_bypass, 0x1F);
        first.send("X");
        EXPECT_TRUE(first.closed_by_board());
    }
    EXPECT_TRUE(test_support::eventually([&] { return board.errors().find("0x58") != std::string::npos; }, 10s))
        << board.errors();
    // The next client finds the board as the first left it: both in BYPASS.
    bitbang_client second(board.port());
    const bits out = second.fpga_dr({true, true, false, true});
    // The FPGA's captured BYPASS bit, the other device's bit, then the pattern.
    EXPECT_EQ(out, (bits{false, false, true, true}));
}

TEST(BoardSim, QuitEndsTheClientAndTheBoardKeepsItsBytes) {
    board_sim board;
    std::vector<std::uint8_t> bytes(200);
    std::iota(bytes.begin(), bytes.end(), 0);
    {
        bitbang_client first(board.port());
        first.reset();
        first.instruction(k_user0);
        std::vector<std::uint8_t> send = bytes;
        std::vector<std::uint8_t> none;
        first.uart_exchange(send, none, 0);  // nothing moves with no slots
        // Sends without taking: the loopback fills the transmit FIFO.
        const bits out = first.fpga_dr(uart_field(send, 0, 40));
        EXPECT_EQ(field_word(out, 8, 8), 64u) << "room";
        first.send("Q");
        EXPECT_TRUE(first.closed_by_board());
    }
    bitbang_client second(board.port());
    std::vector<std::uint8_t> rest(bytes.begin() + 40, bytes.end());
    std::vector<std::uint8_t> received;
    for (int scan = 0; scan < 100 && received.size() < bytes.size(); ++scan)
        second.uart_exchange(rest, received, 64);
    EXPECT_EQ(received, bytes);
}

TEST(BoardSim, ExecUartFeedsTheCommandAndReadsItsOutputOnlyAsTheHostTakesIt) {
    // The first UART's command prints far more than the FIFOs hold; the
    // second echoes through sed what the host sends.
    board_sim board({"--uart", "exec:seq 1 20000", "--uart", "exec:sed -u s/hello/HELLO/", "--clock-ratio", "0.5"});
    bitbang_client host(board.port());
    host.reset();
    host.instruction(k_discover);
    const bits descriptor = host.fpga_dr(bits(128, false));
    EXPECT_EQ(field_word(descriptor, 40, 8), 2u) << "two UARTs";

    host.instruction(k_user0 + 1);
    std::vector<std::uint8_t> send = {'h', 'e', 'l', 'l', 'o', '\n'};
    std::vector<std::uint8_t> echoed;
    for (int scan = 0; scan < 500 && echoed.size() < 6; ++scan)
        host.uart_exchange(send, echoed, 16);
    EXPECT_EQ(std::string(echoed.begin(), echoed.end()), "HELLO\n");

    std::ostringstream expected;
    for (int i = 1; i <= 20000; ++i)
        expected << i << '\n';
    host.instruction(k_user0);
    std::vector<std::uint8_t> none;
    std::vector<std::uint8_t> received;
    for (int scan = 0; scan < 20000 && received.size() < expected.str().size(); ++scan)
        host.uart_exchange(none, received, 64);
    EXPECT_EQ(std::string(received.begin(), received.end()), expected.str());
}

TEST(OpenOcd, AutoprobeFindsBothTapsWithTheirIdcodesAndIrLengths) {
    NEED_OPENOCD();
    board_sim board;
    openocd_process openocd(board.port(), {"init", "scan_chain", "shutdown"});
    EXPECT_EQ(openocd.wait_exit(), 0);
    const std::string log = openocd.log();
    EXPECT_NE(log.find("auto0.tap tap/device found: 0x30a51e2b"), std::string::npos) << log;
    EXPECT_NE(log.find("auto1.tap tap/device found: 0x17e01f57"), std::string::npos) << log;
    EXPECT_NE(log.find("jtag newtap auto0 tap -irlen 5 -expected-id 0x30a51e2b"), std::string::npos) << log;
    EXPECT_NE(log.find("jtag newtap auto1 tap -irlen 6 -expected-id 0x17e01f57"), std::string::npos) << log;
}

TEST(OpenOcd, DeclaredTapsInitWithoutWarningsAndAWrongIdcodeIsCaught) {
    NEED_OPENOCD();
    board_sim board;
    // Warnings OpenOCD gives on every start say nothing about the chain.
    const std::regex noise("adapter speed|To remove this warnings|gdb services|Transport \"jtag\" was already");
    for (bool wrong : {false, true}) {
        std::vector<std::string> commands = k_declared;
        if (wrong)
            commands[1] = "jtag newtap fpga tap -irlen 6 -expected-id 0x17e01f59";
        commands.insert(commands.end(), {"init", "shutdown"});
        openocd_process openocd(board.port(), commands);
        openocd.wait_exit();
        std::istringstream lines(openocd.log());
        std::string chain_warnings;
        for (std::string line; std::getline(lines, line);)
            if ((line.rfind("Warn", 0) == 0 || line.rfind("Error", 0) == 0) && !std::regex_search(line, noise))
                chain_warnings += line + "\n";
        if (wrong)
            EXPECT_NE(chain_warnings.find("0x17e01f57"), std::string::npos) << openocd.log();
        else
            EXPECT_EQ(chain_warnings, "") << openocd.log();
    }
}

TEST(OpenOcd, TclScansReadTheDescriptorAndMoveEveryByteValueThroughALoopbackUart) {
    NEED_OPENOCD();
    board_sim board({"--uart", "loopback", "--uart", "loopback"});
    const int tcl_port = free_port();
    std::vector<std::string> commands = k_declared;
    commands.push_back("init");
    openocd_process openocd(board.port(), commands, tcl_port);
    tcl_client tcl(openocd.connect_tcl());
    // OpenOCD 0.12 needs an irscan to every TAP before its first drscan.
    tcl.command("irscan other.tap 0x1f");
    tcl.command("irscan fpga.tap " + std::to_string(k_discover));
    const bits descriptor = parse_drscan(tcl.command("drscan fpga.tap 128 0"), 128);
    EXPECT_EQ(field_word(descriptor, 0, 32), 0x55A71C3Du);
    EXPECT_EQ(field_word(descriptor, 32, 8), 1u);
    EXPECT_EQ(field_word(descriptor, 40, 8), 2u);
    EXPECT_EQ(field_word(descriptor, 48, 8), 6u);
    EXPECT_EQ(field_word(descriptor, 64, 8), k_user0);
    EXPECT_EQ(field_word(descriptor, 96, 8), k_user0 + 1);
    EXPECT_EQ(field_word(descriptor, 72, 8), 0x66u) << "64-byte FIFOs";

    tcl.command("irscan fpga.tap " + std::to_string(k_user0 + 1));
    std::vector<std::uint8_t> bytes(256);
    std::iota(bytes.begin(), bytes.end(), 0);
    std::vector<std::uint8_t> send = bytes;
    std::vector<std::uint8_t> received;
    const unsigned length = 48;
    for (int scan = 0; scan < 200 && received.size() < bytes.size(); ++scan) {
        const bits field = uart_field(send, length, length);
        const std::string reply = tcl.command("drscan fpga.tap " + std::to_string(field.size()) + " " + drscan_value(field));
        const bits out = parse_drscan(reply, static_cast<unsigned>(field.size()));
        ASSERT_EQ(field_word(out, 24, 8), 0x5Au) << reply;
        const unsigned available = static_cast<unsigned>(field_word(out, 0, 8));
        const unsigned room = static_cast<unsigned>(field_word(out, 8, 8));
        for (unsigned i = 0; i < std::min(length, available); ++i)
            received.push_back(static_cast<std::uint8_t>(field_word(out, 32 + 8 * i, 8)));
        send.erase(send.begin(), send.begin() + std::min<std::size_t>({send.size(), length, room}));
    }
    EXPECT_EQ(received, bytes);
    tcl.command("shutdown");
    EXPECT_EQ(openocd.wait_exit(), 0);
}

TEST(OpenOcd, DrscanRepliesOfBothFormatsParse) {
    const bits a = parse_drscan("00005a0140ff \n", 48);
    const bits b = parse_drscan("0x00005a0140ff\n", 48);
    EXPECT_EQ(a, b);
    EXPECT_EQ(field_word(a, 0, 32), 0x5A0140FFu);
    EXPECT_EQ(drscan_value(a), "0x00005a0140ff");
    EXPECT_THROW(parse_drscan("invalid command name", 8), std::runtime_error);
}
