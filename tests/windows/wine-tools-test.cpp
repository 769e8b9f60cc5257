// The Windows builds of jtag-server and chainprobe under wine: the server's
// demo board serves the Windows terminal over loopback, and its own user
// only unless told otherwise; chainprobe shows a native server's chain
// exactly as the Linux chainprobe does.
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/expected-texts.h"
#include "tests/support/jtag-server-process.h"
#include "tests/support/temp-dir.h"
#include "tests/windows/windows-programs.h"

namespace wine {
namespace {

using namespace test_support;

/// jtag-server.exe under wine on a free loopback port, with `args`; its port
/// in `port` once it listens.
std::unique_ptr<child_process> windows_server(std::vector<std::string> args, std::string& port) {
    launch how{.argv = {TT_WINE_RUN, windows_program("jtag-server.exe"), "--listen", "127.0.0.1:0"},
               .terminal = false,
               .stderr_apart = true};
    how.argv.insert(how.argv.end(), args.begin(), args.end());
    auto server = std::make_unique<child_process>(how);
    const std::string prefix = "jtag-server: listening on 127.0.0.1:";
    if (!server->expect(prefix, 60s) || !server->expect("\r\n", 10s))
        return server;
    const std::string out = server->output();
    const std::size_t at = out.find(prefix) + prefix.size();
    port = out.substr(at, out.find('\r', at) - at);
    return server;
}

TEST(WineServer, DemoBoardServesTheWindowsTerminal) {
    std::string port;
    auto server = windows_server({}, port);
    ASSERT_FALSE(port.empty()) << escaped(server->output()) << escaped(server->errors());

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

TEST(WineServer, ServesItsOwnUserOnlyUnlessTold) {
    if (::geteuid() != 0 || ::access("/usr/sbin/runuser", X_OK) != 0)
        GTEST_SKIP() << "needs root and /usr/sbin/runuser to run a client as user nobody";
    const std::vector<std::string> as_nobody{"/usr/sbin/runuser", "-u", "nobody", "--", "/usr/bin/env"};
    for (const bool everyone : {false, true}) {
        std::string port;
        auto server = windows_server(everyone ? std::vector<std::string>{"--allow-local-users"}
                                              : std::vector<std::string>{},
                                     port);
        ASSERT_FALSE(port.empty()) << escaped(server->output()) << escaped(server->errors());
        const std::string address = "JTAG_CORVEX_SERVER=127.0.0.1:" + port;
        int status = -1;
        const std::string own = run_command({TT_WINE_RUN, windows_program("chainprobe.exe")}, {address}, &status);
        EXPECT_EQ(status, 0) << escaped(own);
        std::vector<std::string> argv = as_nobody;
        argv.insert(argv.end(), {address, copy_others_can_run(chainprobe_program())});
        const std::string other = run_command(argv, {}, &status);
        if (everyone) {
            EXPECT_EQ(status, 0) << other;
        } else {
            EXPECT_NE(status, 0) << other;
            EXPECT_NE(other.find("its owner can let others in with --secret-file or --allow-local-users"),
                      std::string::npos)
                << other;
        }
    }
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
