// Whole terminal sessions against a simulated board: what the user types
// reaches the target, what it prints reaches the screen, and each way of
// ending a run says why, with the console mode given back.
#include <csignal>
#include <cstdio>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "tests/support/boards.h"
#include "tests/support/expected-texts.h"
#include "tests/support/jtag-server-process.h"
#include "tests/support/temp-dir.h"

namespace e2e {
namespace {

using namespace test_support;

// Sums the counts of "read N characters from console" lines, each of which
// must be followed at once by "wrote N characters to remote"; -1 if one is not.
int console_bytes_passed_on(const std::string& out) {
    const std::string read_text = "read ", from_console = " characters from console\n";
    int total = 0;
    for (std::size_t at = out.find(from_console); at != std::string::npos; at = out.find(from_console, at + 1)) {
        std::size_t start = out.rfind(read_text, at);
        if (start == std::string::npos) return -1;
        std::string count = out.substr(start + read_text.size(), at - start - read_text.size());
        std::string wrote = "wrote " + count + " characters to remote\n";
        if (out.compare(at + from_console.size(), wrote.size(), wrote) != 0) return -1;
        total += std::stoi(count);
    }
    return total;
}

TEST(TerminalSession, TypedBytesReachTheTargetAndCtrlCEndsTheRun) {
    temp_dir scratch;
    jtag_server server(exec_board("printf 'ready\\n'; head -c 6 > " + scratch.file("received") +
                                 "; printf 'got it\\n'; exec cat > /dev/null"));
    auto terminal = server.terminal({});
    termios before = fresh_terminal_mode();
    ASSERT_TRUE(terminal->expect("ready\n")) << escaped(terminal->output());
    EXPECT_EQ(terminal->output(), CONNECTED + BANNER + "ready\n");

    // Enter arrives as a carriage return; Ctrl-Z and Ctrl-\ are plain bytes.
    terminal->send("ab\r\x1a\x1c\x7f");
    ASSERT_TRUE(terminal->expect("got it\n")) << escaped(terminal->output());
    EXPECT_EQ(scratch.read("received"), "ab\r\x1a\x1c\x7f");

    terminal->send("\x03");
    EXPECT_EQ(terminal->exit_code(), 0);
    EXPECT_EQ(terminal->output(), CONNECTED + BANNER + "ready\ngot it\n" + exit_line("^C on host"));
    EXPECT_TRUE(same_mode(terminal->mode(), before));
}

TEST(TerminalSession, CtrlDFromTheTargetEndsTheRunAfterTheBytesBeforeIt) {
    jtag_server server(exec_board("printf 'before\\004after\\n'; exec cat > /dev/null"));
    auto terminal = server.terminal({});
    termios before = fresh_terminal_mode();
    EXPECT_EQ(terminal->exit_code(), 0) << escaped(terminal->output());
    EXPECT_EQ(terminal->output(), CONNECTED + BANNER + "before" + exit_line("^D on remote"));
    EXPECT_TRUE(same_mode(terminal->mode(), before));
}

TEST(TerminalSession, CtrlDIsPassedOnWhenTheTerminalIsToldNotToQuit) {
    jtag_server server(exec_board("printf 'before\\004after\\n'; exec cat > /dev/null"));
    auto terminal = server.terminal({"--no-quit-on-ctrl-d", "-o", "2"});
    EXPECT_EQ(terminal->exit_code(), 0);
    EXPECT_EQ(terminal->output(), CONNECTED + BANNER + "before\x04" "after\n" + exit_line("user timeout"));
}

TEST(TerminalSession, QuietRunShowsOnlyTheTargetOutput) {
    // A Ctrl-D after the line ends the run, however long a loaded machine
    // takes to start the target.
    jtag_server server(exec_board("printf 'hi\\n\\004'; exec cat > /dev/null"));
    auto terminal = server.terminal({"-q"});
    EXPECT_EQ(terminal->exit_code(), 0);
    EXPECT_EQ(terminal->output(), "hi\n");
}

TEST(TerminalSession, FlushDiscardsWhatTheTargetPrintedBeforeTheConnection) {
    temp_dir scratch;
    const std::string target = "printf 'early\\n'; touch " + scratch.file("ready") +
                               "; head -c 1 > /dev/null; printf 'late\\n'; exec cat > /dev/null";
    for (bool flush : {true, false}) {
        SCOPED_TRACE(flush ? "--flush" : "without --flush");
        std::remove(scratch.file("ready").c_str());
        jtag_server server(exec_board(target));
        for (int i = 0; i < 500 && !scratch.exists("ready"); ++i) std::this_thread::sleep_for(10ms);
        std::this_thread::sleep_for(300ms);  // let the server take the line into the UART
        std::vector<std::string> args{"-q"};
        if (flush) args.push_back("--flush");
        auto terminal = server.terminal(args);
        if (!flush) {
            ASSERT_TRUE(terminal->expect("early\n"));
        }
        std::this_thread::sleep_for(300ms);
        terminal->send("x");
        ASSERT_TRUE(terminal->expect("late\n")) << escaped(terminal->output());
        EXPECT_EQ(terminal->output(), flush ? "late\n" : "early\nlate\n");
        terminal->send("\x03");
        EXPECT_EQ(terminal->exit_code(), 0);
    }
}

TEST(TerminalSession, CountdownShowsTheSecondsLeftThenDone) {
    jtag_server server(exec_board("exec cat > /dev/null"));
    auto terminal = server.terminal({"-q", "-w", "1", "-o", "1"});
    EXPECT_EQ(terminal->exit_code(), 0);
    std::string ticks;
    for (int i = 0; i < 10; ++i) ticks += "\b\b\b 1s";
    EXPECT_EQ(terminal->output(),
              "tolvan-terminal: Waiting to allow other programs to start:    " + ticks + "\b\b\bdone\n");
}

TEST(TerminalSession, CtrlCDuringTheCountdownEndsWithoutConnecting) {
    jtag_server server(exec_board("exec cat > /dev/null"));
    auto terminal = server.terminal({"-w", "30"});
    ASSERT_TRUE(terminal->expect("30s"));
    terminal->send("\x03");
    EXPECT_EQ(terminal->exit_code(), 0);
    std::string out = terminal->output();
    EXPECT_EQ(out.substr(out.size() - 8), "\b\b\bdone\n") << escaped(out);
    EXPECT_EQ(out.find("connected"), std::string::npos);
}

TEST(TerminalSession, DumpSwitchesAnnounceTheModeChangeAndCountTheTraffic) {
    temp_dir scratch;
    jtag_server server(exec_board("printf '12345'; head -c 2 > " + scratch.file("received") +
                                 "; printf 'ok'; exec cat > /dev/null"));
    auto terminal = server.terminal({"-u", "it"});
    ASSERT_TRUE(terminal->expect("wrote 5 characters to console\n")) << escaped(terminal->output());
    terminal->send("xy");
    ASSERT_TRUE(terminal->expect("wrote 2 characters to console\n")) << escaped(terminal->output());
    terminal->send("\x03");
    EXPECT_EQ(terminal->exit_code(), 0);
    std::string out = terminal->output();
    EXPECT_EQ(out.find(CONNECTED + "changing terminal state of stdin to be non-canonical\n" + BANNER), 0u)
        << escaped(out);
    EXPECT_NE(out.find("read 5 characters from remote\n12345wrote 5 characters to console\n"), std::string::npos)
        << escaped(out);
    // The kernel may hand the two typed bytes over in one read or in two.
    EXPECT_EQ(console_bytes_passed_on(out), 2) << escaped(out);
    EXPECT_EQ(scratch.read("received"), "xy");
}

TEST(TerminalSession, PipedInputAsAnIdeStartsItAndSigtermEndsTheRun) {
    temp_dir scratch;
    jtag_server server(exec_board("head -c 4 > " + scratch.file("received") + "; printf 'done\\n'; exec cat > /dev/null"));
    launch how;
    how.terminal = false;
    auto terminal = server.terminal({"-u", "i"}, how);
    ASSERT_TRUE(terminal->expect(BANNER));
    terminal->send("ab\ncd");
    ASSERT_TRUE(terminal->expect("done\n")) << escaped(terminal->output());
    EXPECT_EQ(scratch.read("received"), "ab\nc");
    terminal->signal(SIGTERM);
    EXPECT_EQ(terminal->exit_code(), 0);
    EXPECT_EQ(terminal->output(), CONNECTED + BANNER + "done\n" + exit_line("^C on host"));
}

TEST(TerminalSession, SighupFromAClosedWindowRestoresTheConsole) {
    jtag_server server(exec_board("printf 'up\\n'; exec cat > /dev/null"));
    auto terminal = server.terminal({});
    termios before = fresh_terminal_mode();
    ASSERT_TRUE(terminal->expect("up\n"));
    terminal->signal(SIGHUP);
    EXPECT_EQ(terminal->exit_code(), 0);
    EXPECT_NE(terminal->output().find(exit_line("^C on host")), std::string::npos);
    EXPECT_TRUE(same_mode(terminal->mode(), before));
}

}  // namespace
}  // namespace e2e
