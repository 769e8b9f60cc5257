// jtag-server over remote_bitbang to the simulated board with each chain it
// can be built with: our own TAP, an ECP5 with the core behind JTAGG (each
// timing variant of the primitive's model), and a 7-series FPGA with the
// core behind BSCANE2, the FPGAs between devices in BYPASS; at TCK to
// system clock ratios from 1:50 to 50:1. And the FPGA chains through
// OpenOCD, which judges their TAPs.
#include <chrono>
#include <string>
#include <thread>
#include <tuple>

#include <gtest/gtest.h>

#include "hardware/tests/board-sim-support.h"
#include "hardware/tests/server-streams.h"
#include "tests/support/jtag-server-process.h"
#include "tests/support/library-client.h"

using namespace std::chrono_literals;
using namespace test_support;

namespace {

struct CHAIN {
    const char* name;         ///< for the test's name
    const char* program;      ///< jtag-board-sim's suffix; empty: jtag-board-sim itself
    const char* instruction;  ///< the FPGA's user instruction; empty: the descriptor tells
};

const CHAIN k_chains[] = {
    {"OwnTap", "", ""},
    {"Ecp5JtaggDirect", "ecp5-direct", "0x32"},
    {"Ecp5JtaggRegistered", "ecp5-registered", "0x32"},
    {"Ecp5JtaggLateJtck", "ecp5-late-jtck", "0x32"},
    {"Xc7Bscane2", "xc7", "0x02"},
};

using PARAM = std::tuple<CHAIN, double>;

class FpgaChains : public testing::TestWithParam<PARAM> {};

// The FPGA is device 2 in every chain: the device in BYPASS nearest TDO
// is device 1.
std::string cable_for(const CHAIN& chain, int port) {
    std::string text = "[[cable]]\nname = \"SimJTAG [fpga]\"\nadapter = \"remote_bitbang\"\naddress = \"127.0.0.1:" +
                       std::to_string(port) + "\"\n";
    if (*chain.instruction != '\0')
        text += "[[cable.device]]\n[[cable.device]]\nuser_instructions = [" + std::string(chain.instruction) + "]\n";
    return text;
}

}  // namespace

// The CPU side prints about 100 KB while the client does not read yet (the
// target waits in its write), sleeps (the host's bytes wait for room), then
// echoes every byte value and more.
TEST_P(FpgaChains, EveryByteValueBothWaysAHundredKilobytesExactlyAndBackpressureBothWays) {
    const CHAIN& chain = std::get<0>(GetParam());
    const double ratio = std::get<1>(GetParam());
#ifdef TT_SANITIZED
    const std::string lines = "seq 1 4000";
    const std::size_t at_least = 15000;
#else
    const std::string lines = "seq 1 20000";
    const std::size_t at_least = 100000;
#endif
    board_sim board({"--uart", "exec:" + lines + "; sleep 2; exec cat", "--clock-ratio", std::to_string(ratio)},
                    *chain.program != '\0' ? board_sim_program(chain.program) : board_sim_program());
    jtag_server server(cable_for(chain, board.port()));

    open_result uart = open_uart(nullptr, 2, 0);
    ASSERT_NE(uart.link, nullptr) << uart.code << ": " << uart.text << "\n" << server.log();
    jtagcorvex_wait_open(uart.link);
    std::this_thread::sleep_for(1s);
    const std::string expected = run_command({"/bin/sh", "-c", lines});
    ASSERT_GT(expected.size(), at_least);
    const std::string got = read_exactly(uart.link, expected.size(), 4096, 200s);
    EXPECT_TRUE(got == expected) << got.size() << " bytes of " << expected.size() << "\n" << server.log();

    std::string bytes = every_byte_value(4);
    for (int i = 0; bytes.size() < 12000; ++i)
        bytes += "line " + std::to_string(i) + "\n";
    const std::string back = write_and_collect(uart.link, bytes, bytes.size(), 200s);
    EXPECT_TRUE(back == bytes) << back.size() << " bytes of " << bytes.size() << "\n" << server.log();
    jtagcorvex_close(uart.link);
    // Only the primitive that samples JTDO itself, behind the wrapper's own
    // falling-edge register, shows the header late.
    if (std::string(chain.program) == "ecp5-registered")
        EXPECT_TRUE(server.logged("JTAG UART instruction 0x32: its header comes 1 bit late on TDO")) << server.log();
    else
        EXPECT_EQ(server.log().find("late on TDO"), std::string::npos) << server.log();
}

#ifndef TT_SANITIZED
class FpgaChainsThroughOpenOcd : public testing::TestWithParam<CHAIN> {};

// OpenOCD declares the chain (nearest TDO first) and checks each TAP's
// IDCODE and IR capture; jtag-server reaches the UART through its TCL port.
TEST_P(FpgaChainsThroughOpenOcd, OpenOcdAcceptsTheChainAndEveryByteValueComesBack) {
    NEED_OPENOCD();
    const CHAIN& chain = GetParam();
    const bool ecp5 = std::string(chain.program).rfind("ecp5", 0) == 0;
    board_sim board({"--uart", "loopback"}, board_sim_program(chain.program));
    const int tcl = free_port();
    openocd_process openocd(board.port(),
                            {"jtag newtap near tap -irlen 5 -expected-id 0x30a51e2b",
                             ecp5 ? "jtag newtap fpga tap -irlen 8 -expected-id 0x41111043"
                                  : "jtag newtap fpga tap -irlen 6 -expected-id 0x0362d093",
                             "jtag newtap far tap -irlen 5 -expected-id 0x10a52e2b", "init"},
                            tcl);
    openocd.connect_tcl();
    jtag_server server("[[cable]]\nname = \"SimJTAG [fpga]\"\nadapter = \"openocd\"\naddress = \"127.0.0.1:" +
                       std::to_string(tcl) + "\"\n[[cable.device]]\n[[cable.device]]\nuser_instructions = [" +
                       chain.instruction + "]\n");
    open_result uart = open_uart(nullptr, 2, 0);
    ASSERT_NE(uart.link, nullptr) << uart.code << ": " << uart.text << "\n" << server.log() << openocd.log();
    jtagcorvex_wait_open(uart.link);
    const std::string bytes = every_byte_value(2);
    EXPECT_EQ(write_and_collect(uart.link, bytes, bytes.size(), 120s), bytes) << server.log() << openocd.log();
    jtagcorvex_close(uart.link);
    for (const char* complaint : {"Assertion", "UNEXPECTED", "IR capture error"})
        EXPECT_EQ(openocd.log().find(complaint), std::string::npos) << complaint << "\n" << openocd.log();
}

INSTANTIATE_TEST_SUITE_P(Fpgas, FpgaChainsThroughOpenOcd, testing::Values(k_chains[2], k_chains[3], k_chains[4]),
                         [](const testing::TestParamInfo<CHAIN>& info) { return std::string(info.param.name); });
#endif

INSTANTIATE_TEST_SUITE_P(
    ChainsAndClockRatios, FpgaChains,
#ifdef TT_SANITIZED
    // A sanitized build makes no FPGA boards (their server code is the same).
    testing::Combine(testing::Values(k_chains[0]), testing::Values(1.0)),
#else
    testing::Combine(testing::ValuesIn(k_chains), testing::Values(0.02, 1.0, 50.0)),
#endif
    [](const testing::TestParamInfo<PARAM>& info) {
        const double ratio = std::get<1>(info.param);
        return std::string(std::get<0>(info.param).name) +
               (ratio < 1 ? "_Tck50ToSys1" : ratio > 1 ? "_Tck1ToSys50" : "_Tck1ToSys1");
    });
