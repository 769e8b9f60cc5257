// Every way a connection can fail, each from a real server state: the
// explanation on standard error, status 1, and the console left alone.
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "sim-server.h"

namespace e2e {
namespace {

const std::string P = "tolvan-terminal: ";

std::string cable(const std::string& name, const std::string& extra = "") {
    return "[[cable]]\nname = \"" + name + "\"\n" + extra;
}
const std::string DEVICE = "[[cable.device]]\n";
const std::string UART = "[[cable.device.uart]]\ntarget = \"loopback\"\n";

struct failure {
    std::string board;
    std::vector<std::string> args;
    std::string report;
};

/// Runs the terminal against `board` and expects exactly `report`, status 1,
/// nothing on standard output and the console mode as it was.
void expect_refusal(const failure& f) {
    sim_server server(f.board);
    launch how;
    how.stderr_apart = true;
    auto terminal = server.terminal(f.args, how);
    termios before = fresh_terminal_mode();
    EXPECT_EQ(terminal->exit_code(), 1);
    EXPECT_EQ(terminal->errors(), f.report) << escaped(terminal->errors());
    EXPECT_EQ(terminal->output(), "");
    EXPECT_TRUE(same_mode(terminal->mode(), before));
}

const std::string SEVERAL_CABLES = P + "You have more than one JTAG cable available so you must use the\n" + P +
                                   "--cable option to choose between them (or set up a cable from\n" + P +
                                   "the launch configuration window).\n";

TEST(ConnectionFailure, SeveralCablesAndNoCableOption) {
    expect_refusal({cable("SimCable [sim-0]") + DEVICE + UART + cable("SimCable [sim-1]") + DEVICE + UART,
                    {},
                    SEVERAL_CABLES + P + "No --cable option was provided (or you selected Automatic)\n"});
}

TEST(ConnectionFailure, CableOptionMatchingSeveralCables) {
    expect_refusal({cable("SimCable [sim-0]") + DEVICE + UART + cable("SimCable [sim-1]") + DEVICE + UART,
                    {"-c", "SimCable"},
                    SEVERAL_CABLES + P + "Two or more cables match the --cable option you provided\n" + P +
                        "(SimCable) - please be more specific.\n"});
}

TEST(ConnectionFailure, NoCablesAtAll) {
    expect_refusal({"# a host with no cable\n", {}, P + "There are no JTAG cables available on your system.\n"});
}

TEST(ConnectionFailure, NoCableMatchingTheCableOption) {
    expect_refusal({cable("SimCable [sim-0]") + DEVICE + UART,
                    {"--cable", "USB-7"},
                    P + "There are no JTAG cables available on your system which match\n" + P +
                        "the --cable option you provided (USB-7).\n"});
}

TEST(ConnectionFailure, CableUnplugged) {
    expect_refusal({cable("SimCable [sim-0]", "plugged = false\n") + DEVICE + UART,
                    {},
                    P + "The selected JTAG cable is not plugged into your PC.\n"});
}

TEST(ConnectionFailure, BoardSwitchedOff) {
    expect_refusal({cable("SimCable [sim-0]", "powered = false\n") + DEVICE + UART,
                    {},
                    P + "The selected JTAG cable is either not connected to a board, or\n" + P +
                        "the board is not switched on.\n"});
}

TEST(ConnectionFailure, SeveralUartsAndNoChoice) {
    expect_refusal({cable("SimCable [sim-0]") + DEVICE + UART + UART,
                    {},
                    P + "More than one JTAG UART is available.  Please specify\n" + P +
                        "--device and/or --instance options to select one.\n"});
}

TEST(ConnectionFailure, NoUartMatchingDeviceAndInstance) {
    expect_refusal({cable("SimCable [sim-0]") + DEVICE + UART,
                    {"-d", "5"},
                    P + "There are no JTAG UARTs available which match the --device and\n" + P +
                        "--instance options you provided.\n"});
}

TEST(ConnectionFailure, IncompatibleUart) {
    expect_refusal({cable("SimCable [sim-0]") + DEVICE + "[[cable.device.uart]]\ntarget = \"loopback\"\ncompatible = false\n",
                    {},
                    P + "The JTAG UART selected is not compatible with this version\n" + P + "of the software.\n"});
}

TEST(ConnectionFailure, NoServerRunning) {
    // A port that was free a moment ago and has nobody listening now.
    int probe = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(probe, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    socklen_t length = sizeof address;
    getsockname(probe, reinterpret_cast<sockaddr*>(&address), &length);
    close(probe);

    launch how;
    how.stderr_apart = true;
    how.argv = {terminal_program()};
    how.env = {"JTAG_CORVEX_SERVER=127.0.0.1:" + std::to_string(ntohs(address.sin_port))};
    child_process terminal(how);
    termios before = fresh_terminal_mode();
    EXPECT_EQ(terminal.exit_code(), 1);
    EXPECT_EQ(terminal.errors(), P + "Unable to connect to local JTAG server.  Please check that\n" + P +
                                     "Corlane is correctly installed on your machine and use the\n" + P +
                                     "`chainprobe` utility to diagnose further.\n");
    EXPECT_TRUE(same_mode(terminal.mode(), before));
}

TEST(ConnectionFailure, UartHeldByAnotherTerminalNamesTheHolder) {
    sim_server server(cable("SimCable [sim-0]") + DEVICE + UART);
    auto first = server.terminal({});
    ASSERT_TRUE(first->expect("Ctrl-C to terminate"));

    launch how;
    how.stderr_apart = true;
    auto second = server.terminal({}, how);
    EXPECT_EQ(second->exit_code(), 1);
    std::string report = second->errors();
    EXPECT_EQ(report.find(P + "Unable to connect to JTAG UART because another application\n" + P + "("), 0u)
        << escaped(report);
    // The second line names the holder: its client name and process id.
    size_t second_line = report.find('\n') + 1;
    std::string holder = report.substr(second_line, report.find('\n', second_line) - second_line);
    EXPECT_NE(holder.find("tolvan-terminal", P.size()), std::string::npos) << holder;
    EXPECT_NE(holder.find(std::to_string(first->pid())), std::string::npos) << holder;
    const std::string tail = P + "is using it (or is using something else which clashes). Please close\n" + P +
                             "the other application and try again.\n";
    EXPECT_EQ(report.substr(report.size() - tail.size()), tail) << escaped(report);

    // Once the holder is gone, the UART is free again.
    first->send("\x03");
    EXPECT_EQ(first->exit_code(), 0);
    auto third = server.terminal({"-q", "-o", "1"});
    EXPECT_EQ(third->exit_code(), 0);
}

const std::string VERIFY_WARNING =
    "\n" + P + "Warning: Unable to verify whether your download cable is\n" + P +
    "supported for Tolvan systems.  If you use an unsupported cable\n" + P +
    "you may experience intermittent JTAG communication failures.\n" + P +
    "Please refer to the file errata.txt included in the Tolvan\n" + P +
    "development kit documents directory for information on how to\n" + P + "update your system.\n\n";
const std::string UNSUPPORTED_WARNING =
    "\n" + P + "Warning: The JTAG cable you are using is not supported for Tolvan\n" + P +
    "systems.  You may experience intermittent JTAG communication\n" + P +
    "failures with this cable.  Please use a USB Ferrant revision B\n" + P +
    "cable or another supported cable.  Please refer to the file\n" + P +
    "errata.txt included in the Tolvan development kit documents\n" + P + "directory for more information.\n\n";

TEST(CableWarning, OnlyCablesThatAreNotKnownGoodAreWarnedAbout) {
    for (auto [support, warning] : {std::pair{0, std::string()}, std::pair{1, VERIFY_WARNING},
                                    std::pair{2, UNSUPPORTED_WARNING}}) {
        SCOPED_TRACE(support);
        sim_server server(exec_board("printf 'hi\\n'; exec cat > /dev/null", support));
        launch how;
        how.stderr_apart = true;
        auto terminal = server.terminal({"-o", "1"}, how);
        EXPECT_EQ(terminal->exit_code(), 0);
        EXPECT_EQ(terminal->errors(), warning);
        // A warning never stops the run.
        EXPECT_NE(terminal->output().find("hi\n"), std::string::npos);
    }
}

}  // namespace
}  // namespace e2e
