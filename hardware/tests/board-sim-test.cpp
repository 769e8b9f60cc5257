// jtag-board-sim as a client sees it: options and their errors, clients that
// break the protocol, state kept between clients, exec UARTs with
// backpressure; and OpenOCD as the judge of the chain it serves.
#include <algorithm>
#include <csignal>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <numeric>
#include <sstream>

#include <gtest/gtest.h>

#include "hardware/tests/board-sim-support.h"

using namespace std::chrono_literals;
using test_support::run_command;

namespace {

constexpr unsigned k_discover = 0x02, k_user0 = 0x20, k_bypass = 0x3F;

const std::vector<std::string>& k_declared = k_board_taps;

}  // namespace

TEST(BoardSim, BadOptionsAndAPortInUseExitWithStatusOne) {
    const std::vector<std::vector<std::string>> cases = {
        {"--uart", "serial"},       {"--uart", "exec:"},          {"--clock-ratio", "60"},
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

TEST(BoardSim, SigtermEndsExecCommandsAndWhatTheyStartedEvenWhenTheyIgnoreIt) {
    // The shell, its cat and its background sleep all ignore SIGTERM: they
    // get SIGKILL after the grace period.
    test_support::temp_dir dir;
    board_sim board({"--uart", "exec:trap '' TERM; sleep 1000 & echo $! > " + dir.file("pid") + "; cat"});
    const pid_t grandchild = test_support::pid_written_to(dir.file("pid"));
    ASSERT_NE(grandchild, 0) << board.errors();
    board.process().signal(SIGTERM);
    EXPECT_EQ(board.process().exit_code(10s), 0) << "the board did not end";
    EXPECT_TRUE(test_support::eventually([&] { return !test_support::running(grandchild); }, 10s))
        << "the background sleep outlived the board";
    if (test_support::running(grandchild))
        ::kill(grandchild, SIGKILL);
}

TEST(BoardSim, SigtermEndsTheBoardWhileAClientReadsNoneOfItsReplies) {
    board_sim board;
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
    // A small receive window: the board's replies stop at once, and its
    // send buffer does not grow while it waits.
    const int small = 4096;
    ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<std::uint16_t>(board.port()));
    ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    // Reads until the replies fill both sockets' buffers and the board
    // stops taking requests: it is then held in its send.
    const std::string reads(64 * 1024, 'R');
    auto last_taken = std::chrono::steady_clock::now();
    std::size_t taken = 0;
    while (std::chrono::steady_clock::now() - last_taken < 300ms) {
        pollfd room{fd, POLLOUT, 0};
        if (::poll(&room, 1, 50) == 1) {
            const ssize_t n = ::send(fd, reads.data(), reads.size(), MSG_NOSIGNAL);
            if (n > 0) {
                taken += static_cast<std::size_t>(n);
                last_taken = std::chrono::steady_clock::now();
            }
        }
        ASSERT_LT(taken, std::size_t{1} << 30) << "the board never stopped taking requests";
    }
    const auto signalled = std::chrono::steady_clock::now();
    board.process().signal(SIGTERM);
    EXPECT_EQ(board.process().exit_code(5s), 0) << "the board did not end";
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - signalled;
    EXPECT_LT(took.count(), 2.0) << "after " << taken << " requests";
    ::close(fd);
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
        // Sends 40 bytes without taking any: the loopback fills the transmit FIFO.
        UART_SCAN scan;
        scan.send.assign(bytes.begin(), bytes.begin() + 40);
        scan.length = 40;
        const UART_REPLY reply = uart_reply(scan, first.fpga_dr(uart_scan_bits(scan)));
        EXPECT_EQ(reply.room, 64u);
        EXPECT_EQ(reply.accepted, 40u);
        first.send("Q");
        EXPECT_TRUE(first.closed_by_board());
    }
    bitbang_client second(board.port());
    UART_HOST host(second, 0);
    host.outgoing.assign(bytes.begin() + 40, bytes.end());
    for (int scan = 0; scan < 100 && host.received.size() < bytes.size(); ++scan)
        host.exchange(64);
    EXPECT_EQ(host.received, bytes);
}

TEST(BoardSim, ExecUartFeedsTheCommandAndReadsItsOutputOnlyAsTheHostTakesIt) {
    // The first UART's command prints far more than the FIFOs hold; the
    // second echoes through sed what the host sends.
    board_sim board({"--uart", "exec:seq 1 20000", "--uart", "exec:sed -u s/hello/HELLO/", "--clock-ratio", "0.5"});
    bitbang_client host(board.port());
    host.reset();
    host.instruction(k_discover);
    const bits descriptor = host.fpga_dr(bits(128, false));
    EXPECT_EQ(from_bits(descriptor, 40, 8), 2u) << "two UARTs";

    UART_HOST sed(host, 1);
    sed.select();
    sed.outgoing = {'h', 'e', 'l', 'l', 'o', '\n'};
    for (int scan = 0; scan < 500 && sed.received.size() < 6; ++scan)
        sed.exchange(16);
    EXPECT_EQ(std::string(sed.received.begin(), sed.received.end()), "HELLO\n");

    std::ostringstream expected;
    for (int i = 1; i <= 20000; ++i)
        expected << i << '\n';
    UART_HOST seq(host, 0);
    seq.select();
    for (int scan = 0; scan < 20000 && seq.received.size() < expected.str().size(); ++scan)
        seq.exchange(64);
    EXPECT_EQ(std::string(seq.received.begin(), seq.received.end()), expected.str());
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
    const std::vector<std::string> noise = {"adapter speed", "To remove this warnings", "gdb services",
                                            "Transport \"jtag\" was already"};
    const auto is_noise = [&](const std::string& line) {
        return std::any_of(noise.begin(), noise.end(),
                           [&](const std::string& text) { return line.find(text) != std::string::npos; });
    };
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
            if ((line.rfind("Warn", 0) == 0 || line.rfind("Error", 0) == 0) && !is_noise(line))
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
    EXPECT_EQ(from_bits(descriptor, 0, 32), 0x55A71C3Du);
    EXPECT_EQ(from_bits(descriptor, 32, 8), 1u);
    EXPECT_EQ(from_bits(descriptor, 40, 8), 2u);
    EXPECT_EQ(from_bits(descriptor, 48, 8), 6u);
    EXPECT_EQ(from_bits(descriptor, 64, 8), k_user0);
    EXPECT_EQ(from_bits(descriptor, 80, 8), 3u) << "data register version";
    EXPECT_EQ(from_bits(descriptor, 96, 8), k_user0 + 1);
    EXPECT_EQ(from_bits(descriptor, 72, 8), 0x66u) << "64-byte FIFOs";

    tcl.command("irscan fpga.tap " + std::to_string(k_user0 + 1));
    std::vector<std::uint8_t> bytes(256);
    std::iota(bytes.begin(), bytes.end(), 0);
    std::vector<std::uint8_t> send = bytes;
    std::vector<std::uint8_t> received;
    std::uint8_t rx_count = 0, tx_count = 0;
    for (int scan = 0; scan < 200 && received.size() < bytes.size(); ++scan) {
        UART_SCAN request;
        request.rx_count = rx_count;
        request.tx_count = tx_count;
        request.core = static_cast<std::uint8_t>(k_user0 + 1);
        request.send.assign(send.begin(), send.begin() + std::min<std::ptrdiff_t>(send.size(), 48));
        request.takes = request.length = 48;
        const bits field = uart_scan_bits(request);
        const std::string reply = tcl.command("drscan fpga.tap " + std::to_string(field.size()) + " " + drscan_value(field));
        const UART_REPLY answer = uart_reply(request, parse_drscan(reply, static_cast<unsigned>(field.size())));
        ASSERT_EQ(answer.mark, 0x5Au) << reply;
        received.insert(received.end(), answer.slots.begin(), answer.slots.begin() + answer.taken);
        send.erase(send.begin(), send.begin() + answer.accepted);
        rx_count = static_cast<std::uint8_t>(rx_count + answer.accepted);
        tx_count = static_cast<std::uint8_t>(tx_count + answer.taken);
    }
    EXPECT_EQ(received, bytes);
    tcl.command("shutdown");
    EXPECT_EQ(openocd.wait_exit(), 0);
}

TEST(OpenOcd, DrscanRepliesOfBothFormatsParse) {
    const bits a = parse_drscan("00005a0140ff \n", 48);
    const bits b = parse_drscan("0x00005a0140ff\n", 48);
    EXPECT_EQ(a, b);
    EXPECT_EQ(from_bits(a, 0, 32), 0x5A0140FFu);
    EXPECT_EQ(drscan_value(a), "0x00005a0140ff");
    EXPECT_THROW(parse_drscan("invalid command name", 8), std::runtime_error);
}
