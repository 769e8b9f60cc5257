// The Windows program under wine, in a pseudo-terminal as a user runs it,
// against the native jtag-server on a loopback port: the console mode it sets
// and gives back, whole sessions and how each ends, connection failures, the
// cable check through the library's decorated entry, and profile capture.
// Standard output is read from a pipe, byte for byte: the program leaves it
// in text mode, so every line feed arrives as a carriage return and a line feed.
#include <filesystem>
#include <thread>

#include <gtest/gtest.h>

#include "tests/support/boards.h"
#include "tests/support/expected-texts.h"
#include "tests/support/free-port.h"
#include "tests/support/jtag-server-process.h"
#include "tests/support/temp-dir.h"
#include "tests/windows/windows-programs.h"

namespace wine {
namespace {

using namespace test_support;

// What the Windows program's text mode makes of the terminal's texts.
const std::string CONNECTED_CRLF = crlf(CONNECTED);
const std::string BANNER_CRLF = crlf(BANNER);

std::string exit_line_crlf(const std::string& words) {
    return crlf(exit_line(words));
}

/// Standard input on the terminal (so the console is a real one, mode 0x1F7
/// under wine), standard output and standard error each on a pipe.
launch at_console(bool stderr_apart = true) {
    launch how;
    how.stdout_apart = true;
    how.stderr_apart = stderr_apart;
    return how;
}

/// Waits until the program's console read is pending. Wine puts the
/// pseudo-terminal into raw input only while a console read waits; keys typed
/// before that would go through the terminal's line editing first.
bool console_is_reading(child_process& program, std::chrono::milliseconds limit = 60s) {
    auto give_up = std::chrono::steady_clock::now() + limit;
    while (program.mode().c_lflag & ICANON) {
        if (std::chrono::steady_clock::now() > give_up) return false;
        std::this_thread::sleep_for(10ms);
    }
    return true;
}

/// Runs the console-mode probe with `mode` ("", "i" or "exit"), types a key
/// once it reads, and returns what it printed.
std::string probe_console(const std::string& mode) {
    launch how = at_console();
    how.argv = {TT_WINE_RUN, windows_program("console-mode-probe.exe")};
    if (!mode.empty()) how.argv.push_back(mode);
    child_process probe(how);
    EXPECT_TRUE(probe.expect("type a key\r\n", 60s)) << escaped(probe.output());
    EXPECT_TRUE(console_is_reading(probe));
    probe.send("k");
    EXPECT_EQ(probe.exit_code(), 0);
    return probe.output();
}

TEST(WineConsole, RawWhileTheChannelLivesAndRestoredAfterTheTeardown) {
    // The teardown also ends the reader, which is blocked on the next key.
    EXPECT_EQ(probe_console(""), "before 0x1F7\r\nduring 0x1F1\r\ntype a key\r\ntyped 1 0x6B\r\nafter 0x1F7\r\n");
}

TEST(WineConsole, DumpSwitchAnnouncesTheChangeOnceBeforeIt) {
    EXPECT_EQ(probe_console("i"),
              "before 0x1F7\r\nchanging terminal state of stdin to be non-canonical\r\nduring 0x1F1\r\n"
              "type a key\r\ntyped 1 0x6B\r\nafter 0x1F7\r\n");
}

TEST(WineConsole, ExitWhileTheChannelLivesRestoresTheMode) {
    EXPECT_EQ(probe_console("exit"),
              "before 0x1F7\r\nduring 0x1F1\r\ntype a key\r\ntyped 1 0x6B\r\nat exit 0x1F7\r\n");
}

TEST(WineConsole, TeardownLeavesAReaderWhoseReadCannotBeCancelled) {
    // Standard input is a pipe whose writer, this test, stays and never
    // writes: a read of it cannot be cancelled, so the teardown must give up
    // on the reader instead of trying for ever.
    launch how{.argv = {TT_WINE_RUN, windows_program("console-mode-probe.exe"), "stop"},
               .terminal = false,
               .stderr_apart = true};
    child_process probe(how);
    EXPECT_EQ(probe.exit_code(60s), 0) << escaped(probe.output());
    EXPECT_EQ(probe.output().rfind("stopped in ", 0), 0u) << escaped(probe.output());
}

TEST(WineSession, TypedBytesReachTheTargetAndCtrlCEndsTheRun) {
    temp_dir scratch;
    jtag_server server(exec_board("printf 'ready\\n'; head -c 6 > " + scratch.file("received") +
                                 "; printf 'got it\\n'; exec cat > /dev/null"));
    auto terminal = server.terminal({}, at_console());
    ASSERT_TRUE(terminal->expect("ready\r\n", 60s)) << escaped(terminal->output());
    EXPECT_EQ(terminal->output(), CONNECTED_CRLF + BANNER_CRLF + "ready\r\n");

    // Enter arrives as a carriage return, control keys as their bytes, and
    // Backspace (DEL from the terminal) as the console's 0x08.
    ASSERT_TRUE(console_is_reading(*terminal));
    terminal->send("ab\r\x01\x04\x7f");
    ASSERT_TRUE(terminal->expect("got it\r\n")) << escaped(terminal->output());
    EXPECT_EQ(scratch.read("received"), "ab\r\x01\x04\x08");

    // Ctrl-C is the console's interrupt, never a byte for the target.
    ASSERT_TRUE(console_is_reading(*terminal));
    terminal->send("\x03");
    EXPECT_EQ(terminal->exit_code(), 0);
    EXPECT_EQ(terminal->output(), CONNECTED_CRLF + BANNER_CRLF + "ready\r\ngot it\r\n" + exit_line_crlf("^C on host"));
    EXPECT_EQ(terminal->errors(), "");
}

TEST(WineSession, CtrlDFromTheTargetEndsTheRunAfterTheBytesBeforeIt) {
    jtag_server server(exec_board("printf 'before\\004after\\n'; exec cat > /dev/null"));
    auto terminal = server.terminal({}, at_console());
    EXPECT_EQ(terminal->exit_code(60s), 0) << escaped(terminal->output());
    EXPECT_EQ(terminal->output(), CONNECTED_CRLF + BANNER_CRLF + "before" + exit_line_crlf("^D on remote"));
    EXPECT_EQ(terminal->errors(), "");
}

TEST(WineSession, QuitAfterEndsTheRunOnTheClock) {
    jtag_server server(exec_board("printf 'hi\\n'; exec cat > /dev/null"));
    auto terminal = server.terminal({"-o", "1"}, at_console());
    EXPECT_EQ(terminal->exit_code(60s), 0) << escaped(terminal->output());
    EXPECT_EQ(terminal->output(), CONNECTED_CRLF + BANNER_CRLF + "hi\r\n" + exit_line_crlf("user timeout"));
}

TEST(WineSession, LineEndsFromTheTargetAreExpandedByTheTextMode) {
    // A carriage return and line feed from the target reach the screen as
    // carriage return, carriage return, line feed; other bytes pass untouched.
    jtag_server server(exec_board("printf 'a\\r\\nb\\032\\377c\\n'; exec cat > /dev/null"));
    auto terminal = server.terminal({"-q", "-o", "1"}, at_console());
    EXPECT_EQ(terminal->exit_code(60s), 0);
    EXPECT_EQ(terminal->output(), "a\r\r\nb\x1a\xff" "c\r\n");
}

TEST(WineConnectionFailure, NoServerToConnectTo) {
    launch how = at_console();
    how.argv = {terminal_program()};
    how.env = {"JTAG_CORVEX_SERVER=" + refused_address()};
    child_process terminal(how);
    EXPECT_EQ(terminal.exit_code(60s), 1);
    EXPECT_EQ(terminal.errors(), crlf(NO_SERVER_REPORT));
    EXPECT_EQ(terminal.output(), "");
}

TEST(WineConnectionFailure, SeveralCablesAndNoCableOption) {
    jtag_server server(loopback_board() + one_uart_board(LOOPBACK_TARGET, "", "SimCable [sim-1]"));
    auto terminal = server.terminal({}, at_console());
    EXPECT_EQ(terminal->exit_code(60s), 1);
    EXPECT_EQ(terminal->errors(), crlf(SEVERAL_CABLES_REPORT + NO_CABLE_OPTION_LINE));
    EXPECT_EQ(terminal->output(), "");
}

TEST(WineConnectionFailure, NoCableMatchingTheCableOption) {
    jtag_server server(exec_board("exec cat > /dev/null"));
    auto terminal = server.terminal({"--cable", "USB-7"}, at_console());
    EXPECT_EQ(terminal->exit_code(60s), 1);
    EXPECT_EQ(terminal->errors(), crlf(no_matching_cable_report("USB-7")));
}

const std::string UNVERIFIED_WARNING = crlf(UNVERIFIED_CABLE_WARNING);
const std::string UNSUPPORTED_WARNING = crlf(UNSUPPORTED_CABLE_WARNING);

/// The warnings a one-second run on a cable with this support value prints.
std::string cable_warnings(int support, const std::vector<std::string>& program = {}) {
    jtag_server server(exec_board("exec cat > /dev/null", "support = " + std::to_string(support) + "\n"));
    std::unique_ptr<child_process> terminal;
    if (program.empty()) {
        terminal = server.terminal({"-q", "-o", "1"}, at_console());
    } else {
        launch how = at_console();
        how.argv = program;
        how.argv.insert(how.argv.end(), {"-q", "-o", "1"});
        how.env = {server.address_setting()};
        how.cwd = server.dir().path();
        terminal = std::make_unique<child_process>(how);
    }
    EXPECT_EQ(terminal->exit_code(60s), 0);
    return terminal->errors();
}

TEST(WineCableCheck, TheLibraryJudgesTheCableThroughItsDecoratedEntry) {
    EXPECT_EQ(cable_warnings(0), "");
    EXPECT_EQ(cable_warnings(1), UNVERIFIED_WARNING);
    EXPECT_EQ(cable_warnings(2), UNSUPPORTED_WARNING);
}

TEST(WineCableCheck, ALibraryWithoutTheDecoratedEntryCannotVerifyTheCable) {
    // The program beside a build of the library that lacks the entry: the
    // loader finds the library in the program's own folder first.
    temp_dir folder;
    namespace fs = std::filesystem;
    fs::copy_file(windows_program("tolvan-terminal.exe"), folder.file("tolvan-terminal.exe"));
    fs::copy_file(windows_program("without-cable-check/jtag_corvex.dll"), folder.file("jtag_corvex.dll"));
    EXPECT_EQ(cable_warnings(0, {TT_WINE_RUN, folder.file("tolvan-terminal.exe")}), UNVERIFIED_WARNING);
}

TEST(WineProfileCapture, ProfileFileIsWrittenByteForByte) {
    // Every byte value, line feeds and Ctrl-Z included: a file written in
    // text mode would not come out the same.
    std::string profile;
    for (int round = 0; round < 3; ++round) {
        for (int c = 0; c < 256; ++c) profile.push_back(static_cast<char>(c));
    }
    std::string length;
    for (int i = 0; i < 4; ++i) length.push_back(static_cast<char>(profile.size() >> (8 * i)));
    jtag_server server(exec_board("printf 'booting\\n**gmon.out data follows**\\n'; printf '" +
                                 printf_escapes(length + profile) + "'; printf 'after\\n'; exec cat > /dev/null"));
    temp_dir carved;
    launch how = at_console();
    how.cwd = carved.path();
    auto terminal = server.terminal({"-q", "--gmon"}, how);
    ASSERT_TRUE(terminal->expect("after\r\n", 60s)) << escaped(terminal->output());
    ASSERT_TRUE(console_is_reading(*terminal));
    terminal->send("\x03");
    EXPECT_EQ(terminal->exit_code(), 0);
    EXPECT_EQ(terminal->output(), "booting\r\n**gmon.out data follows**\r\nafter\r\n");
    EXPECT_EQ(carved.read("gmon.out"), profile);
}

TEST(WineSession, CtrlCDuringTheCountdownEndsWithoutConnecting) {
    jtag_server server(exec_board("exec cat > /dev/null"));
    auto terminal = server.terminal({"-w", "30"}, at_console());
    ASSERT_TRUE(terminal->expect("30s", 60s)) << escaped(terminal->output());
    terminal->send("\x03");
    EXPECT_EQ(terminal->exit_code(), 0);
    std::string out = terminal->output();
    EXPECT_EQ(out.substr(out.size() - 9), "\b\b\bdone\r\n") << escaped(out);
    EXPECT_EQ(out.find("connected"), std::string::npos);
}

const std::string LOOPBACK_BOARD = loopback_board();

/// Types `text` once the console reads and waits for the loopback's echo.
bool echoes(child_process& terminal, const std::string& text) {
    if (!console_is_reading(terminal)) return false;
    terminal.send(text);
    return terminal.expect(text, 30s);
}

TEST(WineFault, UnpluggedCableEndsTheRunWithAnIoError) {
    jtag_server server(LOOPBACK_BOARD);
    auto terminal = server.terminal({}, at_console());
    ASSERT_TRUE(terminal->expect(BANNER_CRLF, 60s)) << escaped(terminal->output());
    ASSERT_TRUE(echoes(*terminal, "ping-1")) << escaped(terminal->output());
    EXPECT_EQ(server.chainprobe({"unplug", "SimCable"}), 0);
    EXPECT_EQ(terminal->exit_code(), 0) << escaped(terminal->output());
    EXPECT_EQ(terminal->output(), CONNECTED_CRLF + BANNER_CRLF + "ping-1\r\nJTAG connection interrupted!\r\n" +
                                      exit_line_crlf("I/O error communicating with target"));
}

TEST(WineFault, PersistentTerminalReconnectsAfterReplug) {
    jtag_server server(LOOPBACK_BOARD);
    auto terminal = server.terminal({"--persistent"}, at_console());
    ASSERT_TRUE(terminal->expect(BANNER_CRLF, 60s)) << escaped(terminal->output());
    ASSERT_TRUE(echoes(*terminal, "before-unplug")) << escaped(terminal->output());
    server.chainprobe({"unplug", "SimCable [sim-0]"});
    ASSERT_TRUE(terminal->expect("\r\nJTAG connection interrupted!\r\n")) << escaped(terminal->output());
    // Reconnection is tried once a second (a one-shot timer) while unplugged.
    server.chainprobe({"plug", "SimCable [sim-0]"});
    ASSERT_TRUE(terminal->expect("\r\nConnected!\r\n", 30s)) << escaped(terminal->output());
    EXPECT_TRUE(echoes(*terminal, "after-replug")) << escaped(terminal->output());
    ASSERT_TRUE(console_is_reading(*terminal));
    terminal->send("\x03");
    EXPECT_EQ(terminal->exit_code(), 0);
    EXPECT_EQ(terminal->output().find("exiting due to I/O error"), std::string::npos) << escaped(terminal->output());
}

TEST(WineSession, InputFromTheNullDeviceIsNoConsoleToRestore) {
    // The null device is a character device but no console: the program
    // leaves the mode alone and has nothing to complain about at the end.
    jtag_server server(exec_board("printf 'hi\\n'; exec cat > /dev/null"));
    launch how;
    how.argv = {"/bin/sh", "-c", "exec \"$0\" -q -o 1 < /dev/null", terminal_program()};
    how.env = {server.address_setting()};
    how.terminal = false;
    how.stderr_apart = true;
    child_process terminal(how);
    EXPECT_EQ(terminal.exit_code(60s), 0);
    EXPECT_EQ(terminal.output(), "hi\r\n");
    EXPECT_EQ(terminal.errors(), "");
}

TEST(WineSession, InputForATargetThatTakesNothingIsLeftInThePipe) {
    // The reader stops at 64 KiB held; the rest stays in the pipe, which soon
    // takes no more.
    jtag_server server(exec_board("exec sleep 600"));
    auto terminal = server.terminal({"-q"}, {.terminal = false, .stderr_apart = true});
    ASSERT_TRUE(server.wait_until_held_by("tolvan-terminal"));
    std::size_t taken = 0;
    ASSERT_TRUE(terminal->offer_until_refused(std::string(16384, 'y'), taken, 2s, 20s))
        << "input still taken: " << taken << " bytes";
    EXPECT_LE(taken, 512u * 1024);
}

}  // namespace
}  // namespace wine
