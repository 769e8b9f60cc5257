// The relay loop with scripted channels: the order of each pass, partial and
// failed writes, the Ctrl-D cut, the end conditions and the 't' dump lines.
#include "relay/relay-loop.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>

#include "cmdline/settings.h"
#include "platform/timer.h"
#include "relay/terminal.h"
#include "relay/tests/fake-channel.h"
#include "relay/write-gmon.h"
#include "tests/support/temp-dir.h"

namespace tolvan {
namespace {

using test::FakeChannel;

class RelayLoop : public testing::Test {
protected:
    void SetUp() override {
        reset_settings();
        reset_gmon_capture();
        stop_requested = 0;
        start_time = platform::wall_clock_seconds();
        jtag_channel = &m_jtag;
        console_channel = &m_console;
        // A run ends by a stop request once the target has nothing left to say.
        m_jtag.when_idle = [] { stop_requested = 1; };
    }
    void TearDown() override {
        jtag_channel = nullptr;
        console_channel = nullptr;
        stop_requested = 0;
        reset_gmon_capture();
    }

    FakeChannel m_jtag;
    FakeChannel m_console;
};

TEST_F(RelayLoop, StopRequestedBeforeTheFirstPassTouchesNoChannel) {
    stop_requested = 1;
    m_jtag.script_read("hello");
    m_console.script_read("typed");
    EXPECT_EQ(run_relay(), host_ctrl_c);
    EXPECT_EQ(m_jtag.read_calls() + m_jtag.write_calls(), 0);
    EXPECT_EQ(m_console.read_calls() + m_console.write_calls(), 0);
}

TEST_F(RelayLoop, CtrlDEndsTheRunAfterTheBytesBeforeIt) {
    m_jtag.script_read(std::string("ab\x04" "cd", 5));
    m_jtag.script_read("never read");
    m_console.script_write(1);  // the console takes one byte per pass
    EXPECT_EQ(run_relay(), remote_ctrl_d);
    EXPECT_EQ(m_console.written(), "ab");
    EXPECT_EQ(m_jtag.read_calls(), 1);
}

TEST_F(RelayLoop, CtrlDAsFirstByteWritesNothing) {
    m_jtag.script_read(std::string("\x04" "abc", 4));
    EXPECT_EQ(run_relay(), remote_ctrl_d);
    EXPECT_EQ(m_console.write_calls(), 0);
    EXPECT_EQ(m_jtag.read_calls(), 1);
}

TEST_F(RelayLoop, CtrlDPassesWhenQuitOnCtrlDIsOff) {
    settings.quit_on_ctrl_d = 0;
    const std::string chunk("ab\x04" "cd", 5);
    m_jtag.script_read(chunk);
    m_jtag.script_read("more");
    EXPECT_EQ(run_relay(), host_ctrl_c);
    EXPECT_EQ(m_console.written(), chunk + "more");
}

TEST_F(RelayLoop, PartialTargetWritesResumeAtTheFirstByteNotTaken) {
    m_console.script_read("hello world");
    m_console.script_read("NEXT");
    for (int limit : {3, 0, 2, 4, 1, 0, 1}) m_jtag.script_write(limit);
    // The console is read only when everything it gave before has been taken.
    m_console.before_read = [this] { EXPECT_EQ(m_jtag.written(), m_console.handed_out()); };
    // Keep the target quiet long enough for all host bytes to go out.
    int idle_reads = 0;
    m_jtag.when_idle = [&idle_reads] {
        if (++idle_reads == 20) stop_requested = 1;
    };
    EXPECT_EQ(run_relay(), host_ctrl_c);
    EXPECT_EQ(m_jtag.written(), "hello worldNEXT");
    EXPECT_EQ(m_jtag.offers()[1], "lo world");
    EXPECT_EQ(m_jtag.offers()[2], "lo world");
    EXPECT_EQ(m_jtag.offers()[3], " world");
}

TEST_F(RelayLoop, PartialConsoleWritesResumeAndHoldBackTargetReads) {
    const std::string first(64, 'x');
    m_jtag.script_read(first + "tail");  // more than one chunk: 64 bytes, then 4
    for (int limit : {10, 0, 50, 3, 1}) m_console.script_write(limit);
    m_jtag.before_read = [this] { EXPECT_EQ(m_console.written(), m_jtag.handed_out()); };
    EXPECT_EQ(run_relay(), host_ctrl_c);
    EXPECT_EQ(m_console.written(), first + "tail");
}

TEST_F(RelayLoop, TargetReadFailureEndsTheRunEvenWithHostInputWaiting) {
    m_console.script_read("typed");
    m_jtag.script_read_failure();
    EXPECT_EQ(run_relay(), target_io_error);
    EXPECT_EQ(m_jtag.write_calls(), 0);
}

TEST_F(RelayLoop, PersistentRetriesAfterATargetReadFailure) {
    settings.persistent = 1;
    m_jtag.script_read_failure();
    m_jtag.script_read_failure(-5);
    m_jtag.script_read("back");
    testing::internal::CaptureStdout();
    EXPECT_EQ(run_relay(), host_ctrl_c);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "tolvan-terminal: I/O error communicating with client - trying again"
              "tolvan-terminal: I/O error communicating with client - trying again");
    EXPECT_EQ(m_console.written(), "back");
}

TEST_F(RelayLoop, PersistentRetriesQuietlyWithoutVerbose) {
    settings.persistent = 1;
    settings.verbose = 0;
    m_jtag.script_read_failure();
    m_jtag.script_read("back");
    testing::internal::CaptureStdout();
    EXPECT_EQ(run_relay(), host_ctrl_c);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(m_console.written(), "back");
}

TEST_F(RelayLoop, TimeLimitEndsTheFirstPassThatStartsLateEnough) {
    settings.quit_after_secs = 5;
    start_time = platform::wall_clock_seconds() - 5;
    m_jtag.script_read("first");
    m_jtag.script_read("second");
    EXPECT_EQ(run_relay(), user_timeout);
    EXPECT_EQ(m_jtag.read_calls(), 1);
    EXPECT_EQ(m_console.written(), "");  // the pass that read it ended the run
}

TEST_F(RelayLoop, TimeLimitNotYetReached) {
    settings.quit_after_secs = 5;
    start_time = platform::wall_clock_seconds() + 3600;
    m_jtag.script_read("first");
    EXPECT_EQ(run_relay(), host_ctrl_c);
    EXPECT_EQ(m_console.written(), "first");
}

TEST_F(RelayLoop, FailedWritesAreNotCountedAsBytesWritten) {
    settings.dump_flags['t'] = 1;
    m_console.script_read("abc");
    m_jtag.script_read("xyz");
    m_jtag.script_write(-1);
    m_jtag.script_write(-1);
    m_console.script_write(-1);
    int idle_reads = 0;
    m_jtag.when_idle = [&idle_reads] {
        if (++idle_reads == 4) stop_requested = 1;
    };
    testing::internal::CaptureStdout();
    EXPECT_EQ(run_relay(), host_ctrl_c);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(m_jtag.written(), "abc");
    EXPECT_EQ(m_jtag.offers(), (std::vector<std::string>{"abc", "abc", "abc"}));
    EXPECT_EQ(m_console.written(), "xyz");
    EXPECT_EQ(m_console.offers(), (std::vector<std::string>{"xyz", "xyz"}));
    EXPECT_NE(out.find("wrote -1 characters to remote\nwrote -1 characters to console\n"), std::string::npos) << out;
}

TEST_F(RelayLoop, DumpCountsShowReadsAndWritesButNotIdleReads) {
    settings.dump_flags['t'] = 1;
    m_console.script_read("hi");
    m_jtag.script_read("yo!");
    m_jtag.script_write(1);
    int idle_reads = 0;
    m_jtag.when_idle = [&idle_reads] {
        if (++idle_reads == 2) stop_requested = 1;
    };
    testing::internal::CaptureStdout();
    EXPECT_EQ(run_relay(), host_ctrl_c);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "read 2 characters from console\n"
              "read 3 characters from remote\n"
              "wrote 1 characters to remote\n"
              "wrote 3 characters to console\n"
              "wrote 1 characters to remote\n");
}

TEST_F(RelayLoop, ProfileDataIsTakenOutBeforeTheCtrlDCheck) {
    test_support::temp_dir folder;
    test_support::working_directory in_folder(folder.path());

    settings.write_gmon = 1;
    const std::string profile("\x04\x04\x04", 3);
    m_jtag.script_read(std::string(GMON_MARKER) + std::string("\x03\0\0\0", 4) + profile + "after");
    m_jtag.script_read(std::string("end\x04", 4));
    EXPECT_EQ(run_relay(), remote_ctrl_d);
    EXPECT_EQ(m_console.written(), std::string(GMON_MARKER) + "afterend");
    std::ifstream file("gmon.out", std::ios::binary);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(file), {}), profile);
    file.close();  // an open file cannot be removed on Windows
}

}  // namespace
}  // namespace tolvan
