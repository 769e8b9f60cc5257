// chainprobe: the listing's contents, its answer when no server runs, and
// control requests against a real server.
#include <cstdio>
#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

#include "chainprobe/probe-client.h"
#include "jtag_corvex.h"
#include "tests/support/boards.h"
#include "tests/support/free-port.h"
#include "tests/support/jtag-server-process.h"

using namespace test_support;

TEST(ChainListing, ShowsStatesTargetsAndHolders) {
    wire::ListReply chain;
    wire::CableInfo cable;
    cable.name = "SimCable [sim-0]";
    cable.powered = false;
    cable.support = 2;
    wire::DeviceInfo device;
    wire::UartInfo uart;
    uart.target = "exec: cat";
    uart.held = true;
    uart.holder_name = "tolvan-terminal";
    uart.holder_pid = 1234;
    uart.rx_fifo = uart.tx_fifo = 64;
    uart.tx_fill = 12;
    device.uarts.push_back(uart);
    uart = wire::UartInfo{};
    uart.target = "demo";
    uart.attached = false;
    uart.compatible = false;
    device.uarts.push_back(uart);
    cable.devices = {wire::DeviceInfo{}, device};
    chain.cables.push_back(cable);
    wire::CableInfo bare;
    bare.name = "bare";
    bare.plugged = false;
    bare.has_board = false;
    bare.support = 1;
    chain.cables.push_back(bare);

    EXPECT_EQ(format_chain(chain),
              "1) SimCable [sim-0]\n"
              "   cable plugged in, board OFF, unsupported (2)\n"
              "   device 1: no JTAG UART\n"
              "   device 2: 2 JTAG UARTs\n"
              "      instance 0: exec: cat, FIFOs host->target 0/64 target->host 12/64\n"
              "         held by tolvan-terminal (pid 1234)\n"
              "      instance 1: demo (detached), INCOMPATIBLE version, FIFOs host->target 0/0 target->host 0/0\n"
              "         free\n"
              "2) bare\n"
              "   cable UNPLUGGED, NO BOARD, support cannot be verified\n"
              "   no devices\n");
    EXPECT_EQ(format_chain(wire::ListReply{}), "No JTAG cables.\n");

    // A holder's name from a server that let it through raw is no command
    // to this terminal.
    chain.cables.resize(1);
    chain.cables[0].devices[1].uarts[0].holder_name = "x\x1b[2J\nFAKE";
    EXPECT_NE(format_chain(chain).find("         held by x\\x1B[2J\\x0AFAKE (pid 1234)\n"), std::string::npos)
        << format_chain(chain);
}

TEST(ChainListing, HeaderNamesServerVersionAndProtocol) {
    const wire::ServerAddress server{"127.0.0.1", 47113};
    wire::ListReply chain;
    EXPECT_EQ(format_header(server, chain), "JTAG server at 127.0.0.1:47113 (version unknown, protocol 1)\n");
    chain.server_version = "1.2.3";
    EXPECT_EQ(format_header(server, chain), "JTAG server at 127.0.0.1:47113 (version 1.2.3, protocol 1)\n");
}

TEST(ChainprobeProgram, VersionOptionPrintsReleaseAndProtocol) {
    int status = -1;
    const std::string output = run_command({chainprobe_program(), "--version"}, {}, &status);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(output, "chainprobe " TT_VERSION " (protocol 1)\n");
}

TEST(ChainprobeProgram, UnreachableServerExplainsHowToStartIt) {
    int status = -1;
    const std::string output = run_command({chainprobe_program(), "--server", refused_address()}, {}, &status);
    EXPECT_EQ(status, 1);
    EXPECT_NE(output.find("cannot reach the local JTAG server"), std::string::npos) << output;
    EXPECT_NE(output.find("jtag-server"), std::string::npos) << output;
}

TEST(ChainprobeProgram, ListsHolderAndControlsCables) {
    jtag_server server(loopback_board() + cable_table("SimCable [sim-1]"));
    JTAGCORVEX* link = jtagcorvex_open("sim-0", -1, -1, "probe-test");
    ASSERT_NE(link, nullptr);
    std::string listing;
    ASSERT_EQ(server.chainprobe({}, &listing), 0);
    EXPECT_EQ(listing.rfind("JTAG server at 127.0.0.1:", 0), 0u) << listing;
    EXPECT_NE(listing.find(" (version " TT_VERSION ", protocol 1)\n1) "), std::string::npos) << listing;
    EXPECT_NE(listing.find("instance 0: loopback"), std::string::npos) << listing;
    EXPECT_NE(listing.find("held by probe-test (pid " + std::to_string(::getpid()) + ")"), std::string::npos)
        << listing;

    std::string output;
    EXPECT_EQ(server.chainprobe({"unplug", "SimCable"}, &output), 1);  // matches both cables
    EXPECT_NE(output.find("matches several cables"), std::string::npos) << output;
    EXPECT_EQ(server.chainprobe({"power", "sim-0", "sideways"}, &output), 1);
    EXPECT_EQ(server.chainprobe({"detach", "sim-0", "2", "0"}, &output), 1);
    EXPECT_NE(output.find("no device 2"), std::string::npos) << output;
    EXPECT_EQ(server.chainprobe({"power", "sim-1", "off"}), 0);
    EXPECT_EQ(server.chainprobe({"unplug", "sim-0"}), 0);
    ASSERT_EQ(server.chainprobe({}, &listing), 0);
    EXPECT_NE(listing.find("cable UNPLUGGED"), std::string::npos) << listing;
    EXPECT_NE(listing.find("board OFF"), std::string::npos) << listing;
    EXPECT_EQ(listing.find("held by"), std::string::npos) << listing;  // the fault freed the UART
    jtagcorvex_close(link);
}
