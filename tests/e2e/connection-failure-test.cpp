// Every way a connection can fail, each from a real server state: the
// explanation on standard error, status 1, and the console left alone.
#include <gtest/gtest.h>

#include "tests/support/boards.h"
#include "tests/support/expected-texts.h"
#include "tests/support/free-port.h"
#include "tests/support/jtag-server-process.h"

namespace e2e {
namespace {

using namespace test_support;

const std::string TWO_CABLES = loopback_board() + one_uart_board(LOOPBACK_TARGET, "", "SimCable [sim-1]");

struct failure {
    std::string board;
    std::vector<std::string> args;
    std::string report;
};

/// Runs the terminal against `board` and expects exactly `report`, status 1,
/// nothing on standard output and the console mode as it was.
void expect_refusal(const failure& f) {
    jtag_server server(f.board);
    launch how;
    how.stderr_apart = true;
    auto terminal = server.terminal(f.args, how);
    termios before = fresh_terminal_mode();
    EXPECT_EQ(terminal->exit_code(), 1);
    EXPECT_EQ(terminal->errors(), f.report) << escaped(terminal->errors());
    EXPECT_EQ(terminal->output(), "");
    EXPECT_TRUE(same_mode(terminal->mode(), before));
}

TEST(ConnectionFailure, SeveralCablesAndNoCableOption) {
    expect_refusal({TWO_CABLES,
                    {},
                    SEVERAL_CABLES_REPORT + NO_CABLE_OPTION_LINE});
}

TEST(ConnectionFailure, CableOptionMatchingSeveralCables) {
    expect_refusal({TWO_CABLES,
                    {"-c", "SimCable"},
                    SEVERAL_CABLES_REPORT + P + "Two or more cables match the --cable option you provided\n" + P +
                        "(SimCable) - please be more specific.\n"});
}

TEST(ConnectionFailure, NoCablesAtAll) {
    expect_refusal({"# a host with no cable\n", {}, P + "There are no JTAG cables available on your system.\n"});
}

TEST(ConnectionFailure, NoCableMatchingTheCableOption) {
    expect_refusal({loopback_board(),
                    {"--cable", "USB-7"},
                    no_matching_cable_report("USB-7")});
}

TEST(ConnectionFailure, CableUnplugged) {
    expect_refusal({loopback_board("plugged = false\n"),
                    {},
                    P + "The selected JTAG cable is not plugged into your PC.\n"});
}

TEST(ConnectionFailure, BoardSwitchedOff) {
    expect_refusal({loopback_board("powered = false\n"),
                    {},
                    P + "The selected JTAG cable is either not connected to a board, or\n" + P +
                        "the board is not switched on.\n"});
}

TEST(ConnectionFailure, SeveralUartsAndNoChoice) {
    expect_refusal({one_uart_board(LOOPBACK_TARGET + uart_table(LOOPBACK_TARGET)),
                    {},
                    P + "More than one JTAG UART is available.  Please specify\n" + P +
                        "--device and/or --instance options to select one.\n"});
}

TEST(ConnectionFailure, NoUartMatchingDeviceAndInstance) {
    expect_refusal({loopback_board(),
                    {"-d", "5"},
                    P + "There are no JTAG UARTs available which match the --device and\n" + P +
                        "--instance options you provided.\n"});
}

TEST(ConnectionFailure, IncompatibleUart) {
    expect_refusal({one_uart_board(LOOPBACK_TARGET + "compatible = false\n"),
                    {},
                    P + "The JTAG UART selected is not compatible with this version\n" + P + "of the software.\n"});
}

TEST(ConnectionFailure, NoServerRunning) {
    launch how;
    how.stderr_apart = true;
    how.argv = {terminal_program()};
    how.env = {"JTAG_CORVEX_SERVER=" + refused_address()};
    child_process terminal(how);
    termios before = fresh_terminal_mode();
    EXPECT_EQ(terminal.exit_code(), 1);
    EXPECT_EQ(terminal.errors(), NO_SERVER_REPORT);
    EXPECT_TRUE(same_mode(terminal.mode(), before));
}

TEST(ConnectionFailure, UartHeldByAnotherTerminalNamesTheHolder) {
    jtag_server server(loopback_board());
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

TEST(CableWarning, OnlyCablesThatAreNotKnownGoodAreWarnedAbout) {
    for (auto [support, warning] : {std::pair{0, std::string()}, std::pair{1, UNVERIFIED_CABLE_WARNING},
                                    std::pair{2, UNSUPPORTED_CABLE_WARNING}}) {
        SCOPED_TRACE(support);
        // The target ends the run with a Ctrl-D after its line, however long
        // a loaded machine takes to start it.
        jtag_server server(exec_board("printf 'hi\\n\\004'; exec cat > /dev/null", "support = " + std::to_string(support) + "\n"));
        launch how;
        how.stderr_apart = true;
        auto terminal = server.terminal({}, how);
        EXPECT_EQ(terminal->exit_code(), 0);
        EXPECT_EQ(terminal->errors(), warning);
        // A warning never stops the run.
        EXPECT_NE(terminal->output().find("hi\n"), std::string::npos);
    }
}

}  // namespace
}  // namespace e2e
