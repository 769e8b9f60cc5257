// The JTAG UART channel against a scripted library: failure reports, the
// connection message, the cable check, write-back, interruption and recovery.
#include "channels/jtag-uart.h"

#include <chrono>
#include <string>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "cmdline/settings.h"
#include "fake-jtag-corvex.h"
#include "tests/support/expected-texts.h"

namespace tolvan {
namespace {

using namespace test_support;

using ::testing::ExitedWithCode;
using ::testing::internal::CaptureStderr;
using ::testing::internal::CaptureStdout;
using ::testing::internal::GetCapturedStderr;
using ::testing::internal::GetCapturedStdout;

class JtagUartChannel : public ::testing::Test {
protected:
    void SetUp() override {
        reset_settings();
        fake_jtag::reset();
    }
    fake_jtag::State& lib = fake_jtag::state();
};

std::string report_for(int code, const char* text, std::optional<std::string> cable) {
    settings.jtag_cable = cable;
    CaptureStderr();
    print_connection_failure(code, text);
    return GetCapturedStderr();
}

TEST(ConnectionFailureReport, ExplainsEveryLibraryCode) {
    reset_settings();
    const std::pair<int, std::string> reports[] = {
        {-1, NO_SERVER_REPORT},
        {-4, P + "The selected JTAG cable is not plugged into your PC.\n"},
        {-5, P + "The selected JTAG cable is either not connected to a board, or\n" + P + "the board is not switched on.\n"},
        {-7, P + "More than one JTAG UART is available.  Please specify\n" + P +
                 "--device and/or --instance options to select one.\n"},
        {-8, P + "There are no JTAG UARTs available which match the --device and\n" + P +
                 "--instance options you provided.\n"},
        {-9, P + "The JTAG UART selected is not compatible with this version\n" + P + "of the software.\n"},
    };
    for (const auto& [code, report] : reports) EXPECT_EQ(report_for(code, "", std::nullopt), report) << code;
}

TEST(ConnectionFailureReport, SeveralCablesDependsOnTheCableSetting) {
    EXPECT_EQ(report_for(-2, "", std::nullopt), SEVERAL_CABLES_REPORT + NO_CABLE_OPTION_LINE);
    EXPECT_EQ(report_for(-2, "", "Sim"),
              SEVERAL_CABLES_REPORT + P + "Two or more cables match the --cable option you provided\n" + P +
                  "(Sim) - please be more specific.\n");
}

TEST(ConnectionFailureReport, NoCableNamesTheCableSettingWhenGiven) {
    EXPECT_EQ(report_for(-3, "", std::nullopt), P + "There are no JTAG cables available on your system.\n");
    EXPECT_EQ(report_for(-3, "", "USB-9"), no_matching_cable_report("USB-9"));
}
TEST(ConnectionFailureReport, UartInUseShowsTheErrorTextOnlyWhenThereIsOne) {
    const std::string first = "tolvan-terminal: Unable to connect to JTAG UART because another application\n";
    const std::string rest =
        "tolvan-terminal: is using it (or is using something else which clashes). Please close\n"
        "tolvan-terminal: the other application and try again.\n";
    EXPECT_EQ(report_for(-6, "", std::nullopt), first + rest);
    EXPECT_EQ(report_for(-6, "held by ide (pid 7)", std::nullopt),
              first + "tolvan-terminal: (held by ide (pid 7))\n" + rest);
    // The error text belongs to the in-use report alone.
    EXPECT_EQ(report_for(-4, "held by ide (pid 7)", std::nullopt),
              "tolvan-terminal: The selected JTAG cable is not plugged into your PC.\n");
}

TEST(ConnectionFailureReport, UnknownCodesAreInternalErrors) {
    for (int code : {-12, 0, 5}) {
        EXPECT_EQ(report_for(code, "x", std::nullopt),
                  "tolvan-terminal: An internal error (" + std::to_string(code) +
                      ") is preventing connection to the\ntolvan-terminal: JTAG UART.\n");
    }
}

TEST_F(JtagUartChannel, FailedConnectionReportsAndExitsWithStatusOne) {
    lib.open_results = {-8};
    EXPECT_EXIT(COMM_JTAG_UART channel, ExitedWithCode(1),
                "There are no JTAG UARTs available which match the --device and\n"
                "tolvan-terminal: --instance options you provided.\n$");
}

TEST_F(JtagUartChannel, ConnectsWithTheSettingsAndWritesBackWhatWasFound) {
    settings.jtag_device = -1;
    settings.jtag_instance = -1;
    lib.cable = "abc";
    lib.device = 1;
    lib.instance = 0;
    CaptureStdout();
    CaptureStderr();
    {
        COMM_JTAG_UART channel;
        EXPECT_FALSE(lib.last_cable.has_value());
        EXPECT_EQ(lib.last_device, -1);
        EXPECT_EQ(lib.last_instance, -1);
        EXPECT_EQ(lib.last_app, "tolvan-terminal");
    }
    EXPECT_EQ(GetCapturedStderr(), "");
    EXPECT_EQ(GetCapturedStdout(),
              "tolvan-terminal: connected to hardware target using JTAG UART on cable\n"
              "tolvan-terminal: \"abc\", device 1, instance 0\n");
    EXPECT_EQ(settings.jtag_cable, "abc");
    EXPECT_EQ(settings.jtag_device, 1);
    EXPECT_EQ(settings.jtag_instance, 0);
    EXPECT_EQ(lib.closes, 1);
}

TEST_F(JtagUartChannel, QuietConnectionWithASupportedCablePrintsNothing) {
    settings.verbose = 0;
    CaptureStdout();
    CaptureStderr();
    { COMM_JTAG_UART channel; }
    EXPECT_EQ(GetCapturedStdout(), "");
    EXPECT_EQ(GetCapturedStderr(), "");
}

TEST_F(JtagUartChannel, CableThatCannotBeVerifiedGetsTheVerifyWarning) {
    settings.verbose = 0;
    lib.cable_warning = 1;
    CaptureStderr();
    { COMM_JTAG_UART channel; }
    EXPECT_EQ(GetCapturedStderr(),
              "\n"
              "tolvan-terminal: Warning: Unable to verify whether your download cable is\n"
              "tolvan-terminal: supported for Tolvan systems.  If you use an unsupported cable\n"
              "tolvan-terminal: you may experience intermittent JTAG communication failures.\n"
              "tolvan-terminal: Please refer to the file errata.txt included in the Tolvan\n"
              "tolvan-terminal: development kit documents directory for information on how to\n"
              "tolvan-terminal: update your system.\n"
              "\n");
}

TEST_F(JtagUartChannel, UnsupportedCableGetsTheUnsupportedWarning) {
    settings.verbose = 0;
    for (int value : {2, -1}) {
        lib.cable_warning = value;
        CaptureStderr();
        { COMM_JTAG_UART channel; }
        EXPECT_EQ(GetCapturedStderr(),
                  "\n"
                  "tolvan-terminal: Warning: The JTAG cable you are using is not supported for Tolvan\n"
                  "tolvan-terminal: systems.  You may experience intermittent JTAG communication\n"
                  "tolvan-terminal: failures with this cable.  Please use a USB Ferrant revision B\n"
                  "tolvan-terminal: cable or another supported cable.  Please refer to the file\n"
                  "tolvan-terminal: errata.txt included in the Tolvan development kit documents\n"
                  "tolvan-terminal: directory for more information.\n"
                  "\n");
    }
}

TEST_F(JtagUartChannel, TenLeadingFloatingBytesMeanAnInterruptedConnection) {
    settings.verbose = 0;
    COMM_JTAG_UART channel;
    lib.reads = {std::string(9, '\xff'), "A" + std::string(19, '\xff'), std::string(10, '\xff')};
    char buffer[64];
    EXPECT_EQ(channel.read(buffer, 64), 9);
    EXPECT_EQ(channel.read(buffer, 64), 20);
    CaptureStdout();
    EXPECT_EQ(channel.read(buffer, 64), -1);
    EXPECT_EQ(GetCapturedStdout(), "\nJTAG connection interrupted!\n");
    EXPECT_EQ(lib.closes, 1);
    // Without --persistent nothing reconnects behind the relay's back, and
    // writes are held back while disconnected.
    EXPECT_EQ(channel.write("xy", 2), 0);
    EXPECT_EQ(lib.opens, 1);
    channel.wait_open();
    EXPECT_EQ(lib.wait_open_calls, 0);
}

TEST_F(JtagUartChannel, PersistentReadReconnectsToTheUartFoundAtFirst) {
    settings.persistent = 1;
    settings.verbose = 0;
    lib.cable = "SimCable [sim-0]";
    lib.device = 2;
    lib.instance = 3;
    COMM_JTAG_UART channel;
    lib.reads = {std::string(64, '\xff'), "hello"};
    char buffer[64];
    CaptureStdout();
    EXPECT_EQ(channel.read(buffer, 64), -1);
    EXPECT_EQ(channel.read(buffer, 64), 5);
    EXPECT_EQ(GetCapturedStdout(), "\nJTAG connection interrupted!\n\nConnected!\n");
    EXPECT_EQ(std::string(buffer, 5), "hello");
    EXPECT_EQ(lib.opens, 2);
    EXPECT_EQ(lib.last_cable, "SimCable [sim-0]");
    EXPECT_EQ(lib.last_device, 2);
    EXPECT_EQ(lib.last_instance, 3);
}

TEST_F(JtagUartChannel, FailedReconnectionWaitsASecondSilently) {
    settings.persistent = 1;
    settings.verbose = 0;
    COMM_JTAG_UART channel;
    lib.reads = {std::string(10, '\xff')};
    char buffer[64];
    CaptureStdout();
    ASSERT_EQ(channel.read(buffer, 64), -1);
    GetCapturedStdout();
    lib.open_results = {-5};
    CaptureStdout();
    CaptureStderr();
    auto begin = std::chrono::steady_clock::now();
    EXPECT_EQ(channel.read(buffer, 64), 0);
    EXPECT_GE(std::chrono::steady_clock::now() - begin, std::chrono::milliseconds(1000));
    EXPECT_EQ(GetCapturedStdout(), "");
    EXPECT_EQ(GetCapturedStderr(), "");
    EXPECT_EQ(lib.get_error_calls, 0);
}

TEST_F(JtagUartChannel, LibraryReadFailureClosesOnlyWhenPersistent) {
    settings.verbose = 0;
    for (int persistent : {0, 1}) {
        SCOPED_TRACE(persistent);
        fake_jtag::reset();
        settings.persistent = persistent;
        {
            COMM_JTAG_UART channel;
            lib.read_result_when_empty = -3;
            char buffer[64];
            EXPECT_EQ(channel.read(buffer, 64), -3);
            EXPECT_EQ(lib.closes, persistent);  // with persistent, closed for the next read to reopen
        }
        EXPECT_EQ(lib.closes, 1);  // each connection is closed exactly once
    }
}

TEST_F(JtagUartChannel, EmptyReadPacesTheRelay) {
    settings.verbose = 0;
    COMM_JTAG_UART channel;
    char buffer[64];
    auto begin = std::chrono::steady_clock::now();
    EXPECT_EQ(channel.read(buffer, 64), 0);
    EXPECT_GE(std::chrono::steady_clock::now() - begin, std::chrono::milliseconds(100));
}

TEST_F(JtagUartChannel, WriteFailureBecomesZeroOnlyWhenPersistent) {
    settings.verbose = 0;
    COMM_JTAG_UART channel;
    lib.write_limit = 3;
    EXPECT_EQ(channel.write("abcdef", 6), 3);
    EXPECT_EQ(lib.writes.back(), "abc");
    lib.write_result = -2;
    EXPECT_EQ(channel.write("abcdef", 6), -2);
    settings.persistent = 1;
    EXPECT_EQ(channel.write("abcdef", 6), 0);
    EXPECT_EQ(lib.closes, 0);
}

TEST_F(JtagUartChannel, WaitOpenAsksTheLibraryWhileConnected) {
    settings.verbose = 0;
    COMM_JTAG_UART channel;
    channel.wait_open();
    EXPECT_EQ(lib.wait_open_calls, 1);
}

}  // namespace
}  // namespace tolvan
