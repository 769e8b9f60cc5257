// The jtag-server program itself: start-up line, bad arguments and board
// files, tcp target addresses, and a clean stop on SIGTERM.
#include <csignal>
#include <string>

#include <gtest/gtest.h>

#include "tests/support/boards.h"
#include "tests/support/jtag-server-process.h"
#include "tests/support/raw-client.h"
#include "tests/support/temp-dir.h"

namespace {

using namespace test_support;

/// Runs jtag-server with `args` and returns its exit status; `output` gets
/// standard error and standard output.
int run_server(const std::vector<std::string>& args, std::string& output) {
    std::vector<std::string> argv{server_program()};
    argv.insert(argv.end(), args.begin(), args.end());
    int status = -1;
    output = run_command(argv, {}, &status);
    return status;
}

}  // namespace

TEST(ServerProgram, BadBoardFileNamesFileAndLineWithStatusOne) {
    temp_dir scratch;
    scratch.write("board.toml", "[[cable]]\nname = \"a\"\nplugged = maybe\n");
    std::string output;
    EXPECT_EQ(run_server({"--board", scratch.file("board.toml"), "--listen", "127.0.0.1:0"}, output), 1);
    EXPECT_NE(output.find("jtag-server: error: " + scratch.file("board.toml") + ":3: "), std::string::npos)
        << output;
}

TEST(ServerProgram, VersionOptionPrintsReleaseAndProtocol) {
    std::string output;
    EXPECT_EQ(run_server({"--version"}, output), 0);
    EXPECT_EQ(output, "jtag-server " TT_VERSION " (protocol 1)\n");
}

TEST(ServerProgram, BadArgumentsGiveStatusOne) {
    std::string output;
    EXPECT_EQ(run_server({"--listen", "nowhere"}, output), 1);
    EXPECT_NE(output.find("jtag-server: error: --listen: "), std::string::npos) << output;
    EXPECT_EQ(run_server({"--frobnicate"}, output), 1);
    EXPECT_EQ(run_server({"--board", "/nonexistent.toml", "--listen", "127.0.0.1:0"}, output), 1);
    EXPECT_NE(output.find("/nonexistent.toml: cannot open the board file"), std::string::npos) << output;
}

TEST(ServerProgram, TcpTargetAddressFollowsTheFirstLine) {
    jtag_server server(cable_table("SimCable [tcp-0]") + DEVICE_TABLE + DEVICE_TABLE + uart_table() +
                       uart_table("target = \"tcp\"\n"));
    const std::string line = server.next_line();
    const std::string prefix = "jtag-server: target SimCable [tcp-0] device 2 instance 1 on 127.0.0.1:";
    ASSERT_EQ(line.rfind(prefix, 0), 0u) << line;
    const int port = std::atoi(line.c_str() + prefix.size());
    EXPECT_GT(port, 0);
    EXPECT_NE(port, server.port());
}

TEST(ServerProgram, SigtermStopsWithStatusZeroAndPortIsReusable) {
    // Start, stop, and start again on the very same port.
    jtag_server first("");
    const std::string address = first.address();
    first.stop();
    launch how{.argv = {server_program(), "--listen", address}, .terminal = false};
    child_process second(how);
    // SIGTERM only once the server says it listens: a slow start (a loaded
    // machine, a sanitized build) must not turn into a signal before the
    // handler is in place.
    ASSERT_TRUE(second.expect("\n", 60s)) << second.output();
    second.signal(SIGTERM);
    EXPECT_EQ(second.exit_code(), 0);  // the server's own status
    EXPECT_EQ(second.output(), "jtag-server: listening on " + address + "\n");
}

TEST(ServerProgram, AStandardErrorNobodyReadsHoldsUpNoClient) {
    // The test reads the server's standard error only at the end. Each
    // turned-away client is a line of about 100 bytes: 2000 of them fill a
    // pipe's 64 KiB three times over.
    jtag_server server(one_uart_board("target = \"loopback\"\n"));
    for (int i = 0; i < 2000; ++i) {
        raw_client client(server.port());
        ASSERT_TRUE(client.send(std::string("GET / HTTP/1.1\r\n\r\n")));
    }
    raw_client probe(server.port());
    ASSERT_TRUE(probe.send(frame_of(wire::FrameType::list)));
    std::string listing;
    EXPECT_TRUE(probe.read_frame(wire::FrameType::list_reply, listing, 5s)) << "the server is held up by its log";
    // Once standard error is read again, what did not fit is counted, after
    // the whole lines that did.
    const std::string dropped = " log lines dropped (standard error did not take them)\n";
    EXPECT_TRUE(eventually([&] { return server.log().find(dropped) != std::string::npos; }, 10s))
        << server.log().substr(0, 300);
    const std::string log = server.log();
    const std::size_t count = log.rfind('\n', log.find(dropped)) + 1;
    EXPECT_EQ(log.compare(count, 13, "jtag-server: "), 0) << log.substr(count, 100);
    EXPECT_EQ(log.rfind("jtag-server: ", 0), 0u) << log.substr(0, 100);
}
