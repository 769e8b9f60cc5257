// The Windows program under wine, in a pseudo-terminal as a user runs it,
// against the native jtag-server on a loopback port: the console mode it sets
// and gives back, whole sessions and how each ends, connection failures, the
// cable check through the library's decorated entry, and profile capture.
// Standard output is read from a pipe, byte for byte: the program leaves it
// in text mode, so every line feed arrives as a carriage return and a line feed.
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>
#include <thread>

#include <gtest/gtest.h>

#include "../e2e/sim-server.h"

namespace e2e {
namespace {

const std::string P = "tolvan-terminal: ";
const std::string CONNECTED = P + "connected to hardware target using JTAG UART on cable\r\n" + P +
                              "\"SimCable [sim-0]\", device 1, instance 0\r\n";
const std::string BANNER = P + "(Use the IDE stop button or Ctrl-C to terminate)\r\n\r\n";

std::string exit_line(const std::string& words) {
    return "\r\n\r\n" + P + "exiting due to " + words + "\r\n";
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

std::string windows_program(const std::string& name) {
    return std::string(TT_WINDOWS_BIN) + "/" + name;
}

/// A loopback port on which nothing listens.
int closed_port() {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    socklen_t length = sizeof address;
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    close(fd);
    return ntohs(address.sin_port);
}

TEST(WineConsole, RawWhileTheChannelLivesAndRestoredAfterTheTeardown) {
    launch how = at_console();
    how.argv = {TT_WINE_RUN, windows_program("console-mode-probe.exe")};
    child_process probe(how);
    ASSERT_TRUE(probe.expect("type a key\r\n", 60s)) << escaped(probe.output());
    ASSERT_TRUE(console_is_reading(probe));
    probe.send("k");
    EXPECT_EQ(probe.exit_code(), 0);
    // The teardown also ends the reader, which is blocked on the next key.
    EXPECT_EQ(probe.output(), "before 0x1F7\r\nduring 0x1F1\r\ntype a key\r\ntyped 1 0x6B\r\nafter 0x1F7\r\n");
}

TEST(WineConsole, DumpSwitchAnnouncesTheChangeOnceBeforeIt) {
    launch how = at_console();
    how.argv = {TT_WINE_RUN, windows_program("console-mode-probe.exe"), "i"};
    child_process probe(how);
    ASSERT_TRUE(probe.expect("type a key\r\n", 60s)) << escaped(probe.output());
    ASSERT_TRUE(console_is_reading(probe));
    probe.send("k");
    EXPECT_EQ(probe.exit_code(), 0);
    EXPECT_EQ(probe.output(),
              "before 0x1F7\r\nchanging terminal state of stdin to be non-canonical\r\nduring 0x1F1\r\n"
              "type a key\r\ntyped 1 0x6B\r\nafter 0x1F7\r\n");
}

TEST(WineConsole, ExitWhileTheChannelLivesRestoresTheMode) {
    launch how = at_console();
    how.argv = {TT_WINE_RUN, windows_program("console-mode-probe.exe"), "exit"};
    child_process probe(how);
    ASSERT_TRUE(probe.expect("type a key\r\n", 60s)) << escaped(probe.output());
    ASSERT_TRUE(console_is_reading(probe));
    probe.send("k");
    EXPECT_EQ(probe.exit_code(), 0);
    EXPECT_EQ(probe.output(), "before 0x1F7\r\nduring 0x1F1\r\ntype a key\r\ntyped 1 0x6B\r\nat exit 0x1F7\r\n");
}

TEST(WineSession, TypedBytesReachTheTargetAndCtrlCEndsTheRun) {
    temp_dir scratch;
    sim_server server(exec_board("printf 'ready\\n'; head -c 6 > " + scratch.file("received") +
                                 "; printf 'got it\\n'; exec cat > /dev/null"));
    auto terminal = server.terminal({}, at_console());
    ASSERT_TRUE(terminal->expect("ready\r\n", 60s)) << escaped(terminal->output());
    EXPECT_EQ(terminal->output(), CONNECTED + BANNER + "ready\r\n");

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
    EXPECT_EQ(terminal->output(), CONNECTED + BANNER + "ready\r\ngot it\r\n" + exit_line("^C on host"));
    EXPECT_EQ(terminal->errors(), "");
}

TEST(WineSession, CtrlDFromTheTargetEndsTheRunAfterTheBytesBeforeIt) {
    sim_server server(exec_board("printf 'before\\004after\\n'; exec cat > /dev/null"));
    auto terminal = server.terminal({}, at_console());
    EXPECT_EQ(terminal->exit_code(60s), 0) << escaped(terminal->output());
    EXPECT_EQ(terminal->output(), CONNECTED + BANNER + "before" + exit_line("^D on remote"));
    EXPECT_EQ(terminal->errors(), "");
}

TEST(WineSession, QuitAfterEndsTheRunOnTheClock) {
    sim_server server(exec_board("printf 'hi\\n'; exec cat > /dev/null"));
    auto terminal = server.terminal({"-o", "1"}, at_console());
    EXPECT_EQ(terminal->exit_code(60s), 0) << escaped(terminal->output());
    EXPECT_EQ(terminal->output(), CONNECTED + BANNER + "hi\r\n" + exit_line("user timeout"));
}

TEST(WineSession, LineEndsFromTheTargetAreExpandedByTheTextMode) {
    // A carriage return and line feed from the target reach the screen as
    // carriage return, carriage return, line feed; other bytes pass untouched.
    sim_server server(exec_board("printf 'a\\r\\nb\\032\\377c\\n'; exec cat > /dev/null"));
    auto terminal = server.terminal({"-q", "-o", "1"}, at_console());
    EXPECT_EQ(terminal->exit_code(60s), 0);
    EXPECT_EQ(terminal->output(), "a\r\r\nb\x1a\xff" "c\r\n");
}

TEST(WineConnectionFailure, NoServerToConnectTo) {
    launch how = at_console();
    how.argv = {terminal_program()};
    how.env = {"JTAG_CORVEX_SERVER=127.0.0.1:" + std::to_string(closed_port())};
    child_process terminal(how);
    EXPECT_EQ(terminal.exit_code(60s), 1);
    EXPECT_EQ(terminal.errors(), P + "Unable to connect to local JTAG server.  Please check that\r\n" + P +
                                     "Corlane is correctly installed on your machine and use the\r\n" + P +
                                     "`chainprobe` utility to diagnose further.\r\n");
    EXPECT_EQ(terminal.output(), "");
}

TEST(WineConnectionFailure, SeveralCablesAndNoCableOption) {
    const std::string cable_with_uart = "[[cable.device]]\n[[cable.device.uart]]\ntarget = \"loopback\"\n";
    sim_server server("[[cable]]\nname = \"SimCable [sim-0]\"\n" + cable_with_uart +
                      "[[cable]]\nname = \"SimCable [sim-1]\"\n" + cable_with_uart);
    auto terminal = server.terminal({}, at_console());
    EXPECT_EQ(terminal->exit_code(60s), 1);
    EXPECT_EQ(terminal->errors(), P + "You have more than one JTAG cable available so you must use the\r\n" + P +
                                      "--cable option to choose between them (or set up a cable from\r\n" + P +
                                      "the launch configuration window).\r\n" + P +
                                      "No --cable option was provided (or you selected Automatic)\r\n");
    EXPECT_EQ(terminal->output(), "");
}

TEST(WineConnectionFailure, NoCableMatchingTheCableOption) {
    sim_server server(exec_board("exec cat > /dev/null"));
    auto terminal = server.terminal({"--cable", "USB-7"}, at_console());
    EXPECT_EQ(terminal->exit_code(60s), 1);
    EXPECT_EQ(terminal->errors(), P + "There are no JTAG cables available on your system which match\r\n" + P +
                                      "the --cable option you provided (USB-7).\r\n");
}

const std::string UNVERIFIED_WARNING =
    "\r\n" + P + "Warning: Unable to verify whether your download cable is\r\n" + P +
    "supported for Tolvan systems.  If you use an unsupported cable\r\n" + P +
    "you may experience intermittent JTAG communication failures.\r\n" + P +
    "Please refer to the file errata.txt included in the Tolvan\r\n" + P +
    "development kit documents directory for information on how to\r\n" + P + "update your system.\r\n\r\n";

const std::string UNSUPPORTED_WARNING =
    "\r\n" + P + "Warning: The JTAG cable you are using is not supported for Tolvan\r\n" + P +
    "systems.  You may experience intermittent JTAG communication\r\n" + P +
    "failures with this cable.  Please use a USB Ferrant revision B\r\n" + P +
    "cable or another supported cable.  Please refer to the file\r\n" + P +
    "errata.txt included in the Tolvan development kit documents\r\n" + P + "directory for more information.\r\n\r\n";

/// The warnings a one-second run on a cable with this support value prints.
std::string cable_warnings(int support, const std::vector<std::string>& program = {}) {
    sim_server server(exec_board("exec cat > /dev/null", support));
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
    sim_server server(exec_board("printf 'booting\\n**gmon.out data follows**\\n'; printf '" +
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
    sim_server server(exec_board("exec cat > /dev/null"));
    auto terminal = server.terminal({"-w", "30"}, at_console());
    ASSERT_TRUE(terminal->expect("30s", 60s)) << escaped(terminal->output());
    terminal->send("\x03");
    EXPECT_EQ(terminal->exit_code(), 0);
    std::string out = terminal->output();
    EXPECT_EQ(out.substr(out.size() - 9), "\b\b\bdone\r\n") << escaped(out);
    EXPECT_EQ(out.find("connected"), std::string::npos);
}

const std::string LOOPBACK_BOARD =
    "[[cable]]\nname = \"SimCable [sim-0]\"\n[[cable.device]]\n[[cable.device.uart]]\ntarget = \"loopback\"\n";

/// Types `text` once the console reads and waits for the loopback's echo.
bool echoes(child_process& terminal, const std::string& text) {
    if (!console_is_reading(terminal)) return false;
    terminal.send(text);
    return terminal.expect(text, 30s);
}

TEST(WineFault, UnpluggedCableEndsTheRunWithAnIoError) {
    sim_server server(LOOPBACK_BOARD);
    auto terminal = server.terminal({}, at_console());
    ASSERT_TRUE(terminal->expect(BANNER, 60s)) << escaped(terminal->output());
    ASSERT_TRUE(echoes(*terminal, "ping-1")) << escaped(terminal->output());
    int status = -1;
    server.chainprobe({"unplug", "SimCable"}, &status);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(terminal->exit_code(), 0) << escaped(terminal->output());
    EXPECT_EQ(terminal->output(), CONNECTED + BANNER + "ping-1\r\nJTAG connection interrupted!\r\n" +
                                      exit_line("I/O error communicating with target"));
}

TEST(WineFault, PersistentTerminalReconnectsAfterReplug) {
    sim_server server(LOOPBACK_BOARD);
    auto terminal = server.terminal({"--persistent"}, at_console());
    ASSERT_TRUE(terminal->expect(BANNER, 60s)) << escaped(terminal->output());
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
    sim_server server(exec_board("printf 'hi\\n'; exec cat > /dev/null"));
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

}  // namespace
}  // namespace e2e
