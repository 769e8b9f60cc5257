// Faults during a session: a cable pulled and put back, a server that dies
// and comes back, with and without --persistent.
#include <thread>

#include <gtest/gtest.h>

#include "tests/support/boards.h"
#include "tests/support/expected-texts.h"
#include "tests/support/free-port.h"
#include "tests/support/jtag-server-process.h"
#include "tests/support/temp-dir.h"

namespace e2e {
namespace {

using namespace test_support;

const std::string LOOPBACK_BOARD = loopback_board();

/// Types `text` and waits until the loopback target has echoed it back.
bool echoes(child_process& terminal, const std::string& text) {
    size_t before = occurrences(terminal.output(), text);
    terminal.send(text);
    auto give_up = std::chrono::steady_clock::now() + 15s;
    while (std::chrono::steady_clock::now() < give_up) {
        if (occurrences(terminal.output(), text) > before) return true;
        terminal.expect(text + "\x01never", 50ms);  // just lets output arrive
    }
    return false;
}

TEST(CableFault, UnpluggedCableEndsTheRunWithAnIoError) {
    jtag_server server(LOOPBACK_BOARD);
    auto terminal = relaying_terminal(server, {});
    termios before = fresh_terminal_mode();
    ASSERT_TRUE(echoes(*terminal, "ping-1"));
    EXPECT_EQ(server.chainprobe({"unplug", "SimCable"}), 0);
    EXPECT_EQ(terminal->exit_code(), 0) << escaped(terminal->output());
    std::string out = terminal->output();
    EXPECT_NE(out.find("ping-1\nJTAG connection interrupted!\n\n\ntolvan-terminal: exiting due to "
                       "I/O error communicating with target\n"),
              std::string::npos)
        << escaped(out);
    EXPECT_TRUE(same_mode(terminal->mode(), before));
}

TEST(CableFault, PersistentTerminalReconnectsAfterReplugAndTrafficFlowsAgain) {
    jtag_server server(LOOPBACK_BOARD);
    auto terminal = relaying_terminal(server, {"--persistent"});
    ASSERT_TRUE(echoes(*terminal, "before-unplug"));
    server.chainprobe({"unplug", "SimCable [sim-0]"});
    ASSERT_TRUE(terminal->expect("\nJTAG connection interrupted!\n")) << escaped(terminal->output());
    ASSERT_TRUE(terminal->expect("tolvan-terminal: I/O error communicating with client - trying again"));
    std::this_thread::sleep_for(1500ms);  // a few failed reconnections while unplugged
    server.chainprobe({"plug", "SimCable [sim-0]"});
    ASSERT_TRUE(terminal->expect("\nConnected!\n")) << escaped(terminal->output());
    EXPECT_TRUE(echoes(*terminal, "after-replug")) << escaped(terminal->output());
    terminal->send("\x03");
    EXPECT_EQ(terminal->exit_code(), 0);
    EXPECT_EQ(terminal->output().find("exiting due to I/O error"), std::string::npos);
}

TEST(CableFault, BoardSwitchedOffLooksLikeALostConnection) {
    jtag_server server(LOOPBACK_BOARD);
    auto terminal = relaying_terminal(server, {"--persistent"});
    ASSERT_TRUE(echoes(*terminal, "powered"));
    server.chainprobe({"power", "SimCable", "off"});
    ASSERT_TRUE(terminal->expect("\nJTAG connection interrupted!\n")) << escaped(terminal->output());
    server.chainprobe({"power", "SimCable", "on"});
    ASSERT_TRUE(terminal->expect("\nConnected!\n")) << escaped(terminal->output());
    EXPECT_TRUE(echoes(*terminal, "powered-again"));
    terminal->send("\x03");
    EXPECT_EQ(terminal->exit_code(), 0);
}

TEST(ServerFault, DeadServerEndsARunThatIsNotPersistent) {
    jtag_server server(LOOPBACK_BOARD);
    auto terminal = relaying_terminal(server, {});
    ASSERT_TRUE(echoes(*terminal, "alive"));
    server.kill_now();
    EXPECT_EQ(terminal->exit_code(), 0);
    EXPECT_NE(terminal->output().find("exiting due to I/O error communicating with target\n"), std::string::npos)
        << escaped(terminal->output());
}

TEST(ServerFault, PersistentTerminalRidesOutAServerRestart) {
    jtag_server server(LOOPBACK_BOARD);
    auto terminal = relaying_terminal(server, {"--persistent"});
    ASSERT_TRUE(echoes(*terminal, "first-life"));
    server.kill_now();
    ASSERT_TRUE(terminal->expect("I/O error communicating with client - trying again"))
        << escaped(terminal->output());
    server.restart();
    ASSERT_TRUE(terminal->expect("\nConnected!\n")) << escaped(terminal->output());
    EXPECT_TRUE(echoes(*terminal, "second-life")) << escaped(terminal->output());
    terminal->send("\x03");
    EXPECT_EQ(terminal->exit_code(), 0);
}

TEST(ClosedDescriptor, StartedWithoutAStandardDescriptorTheRunGoesOnToItsEnd) {
    // Nothing of the library's takes the free descriptor: the terminal's
    // messages (a cable warning on 2, the connection message on 1) and its
    // console reads (on 0) never meet the connection to the server.
    for (int closed : {0, 1, 2}) {
        SCOPED_TRACE(closed);
        temp_dir scratch;
        jtag_server server(exec_board("printf 'hello\\n'; exec cat > " + scratch.file("received"), "support = 1\n"));
        launch how;
        how.terminal = false;
        how.stderr_apart = true;
        how.closed = {closed};
        auto started = std::chrono::steady_clock::now();
        auto terminal = server.terminal({"-o", "3"}, how);
        EXPECT_EQ(terminal->exit_code(), 0);
        EXPECT_GE(std::chrono::steady_clock::now() - started, 2s) << escaped(terminal->output());
        if (closed != 1) {
            EXPECT_NE(terminal->output().find("hello\n\n\ntolvan-terminal: exiting due to user timeout\n"),
                      std::string::npos)
                << escaped(terminal->output());
        }
        EXPECT_EQ(scratch.read("received"), "");
        EXPECT_EQ(server.log().find("dropping client"), std::string::npos) << server.log();
    }
}

}  // namespace

TEST(RealChainProblem, ChainprobeShowsWhyACableIsDownInTheServersWords) {
    const int nobody = refused_port();
    jtag_server server("[[cable]]\nname = \"Nobody\"\nadapter = \"remote_bitbang\"\naddress = \"127.0.0.1:" +
                       std::to_string(nobody) + "\"\n[[cable]]\nname = \"Sim\"\n");
    std::string listing;
    ASSERT_EQ(server.chainprobe({}, &listing), 0) << listing;
    EXPECT_NE(listing.find("1) Nobody\n   cable UNPLUGGED, board on, supported\n   adapter remote_bitbang at 127.0.0.1:" +
                           std::to_string(nobody) + "\n   problem: cannot connect: Connection refused\n   no devices\n"
                           "2) Sim\n"),
              std::string::npos)
        << listing;
}

}  // namespace e2e
