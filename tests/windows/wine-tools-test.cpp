// The Windows builds of jtag-server and chainprobe under wine: the server's
// demo board serves the Windows terminal over loopback, and chainprobe shows
// a native server's chain exactly as the Linux chainprobe does.
#include <string>

#include <gtest/gtest.h>

#include "tests/support/expected-texts.h"
#include "tests/support/jtag-server-process.h"
#include "tests/windows/windows-programs.h"

namespace wine {
namespace {

using namespace test_support;

TEST(WineServer, DemoBoardServesTheWindowsTerminal) {
    launch how{.argv = {TT_WINE_RUN, windows_program("jtag-server.exe"), "--listen", "127.0.0.1:0"},
                .terminal = false,
                .stderr_apart = true};
    child_process server(how);
    const std::string prefix = "jtag-server: listening on 127.0.0.1:";
    ASSERT_TRUE(server.expect(prefix, 60s)) << escaped(server.output()) << escaped(server.errors());
    ASSERT_TRUE(server.expect("\r\n", 10s)) << escaped(server.output());
    std::string out = server.output();
    size_t at = out.find(prefix) + prefix.size();
    const std::string port = out.substr(at, out.find('\r', at) - at);

    launch at_console;
    at_console.argv = {terminal_program(), "-q"};
    at_console.env = {"JTAG_CORVEX_SERVER=127.0.0.1:" + port};
    at_console.stdout_apart = true;
    at_console.stderr_apart = true;
    child_process terminal(at_console);
    ASSERT_TRUE(terminal.expect(crlf(DEMO_GREETING), 60s))
        << escaped(terminal.output()) << escaped(terminal.errors());
    // Plain keys and Enter: nothing that a terminal's line editing would
    // change if they arrived before the console reads.
    terminal.send("count 3\r");
    ASSERT_TRUE(terminal.expect("line 3\r\n", 30s)) << escaped(terminal.output());
    terminal.send("bye\r");
    EXPECT_EQ(terminal.exit_code(30s), 0) << escaped(terminal.output());
    EXPECT_EQ(terminal.errors(), "");
}

TEST(WineChainprobe, ShowsTheChainAsOnLinux) {
    jtag_server server("[[cable]]\nname = \"SimCable [sim-0]\"\nsupport = 1\n[[cable.device]]\n"
                      "[[cable.device.uart]]\ntarget = \"loopback\"\n[[cable.device.uart]]\ntarget = \"demo\"\n"
                      "[[cable]]\nname = \"SimCable [sim-1]\"\npowered = false\n");
    int windows_status = -1;
    std::string on_linux;
    int linux_status = server.chainprobe({}, &on_linux);
    std::string on_windows =
        run_command({TT_WINE_RUN, windows_program("chainprobe.exe")}, {server.address_setting()}, &windows_status);
    EXPECT_EQ(windows_status, linux_status);
    EXPECT_EQ(linux_status, 0);
    EXPECT_NE(on_linux.find("SimCable [sim-1]"), std::string::npos) << on_linux;
    EXPECT_EQ(without_carriage_returns(on_windows), on_linux) << escaped(on_windows);
}

}  // namespace
}  // namespace wine
