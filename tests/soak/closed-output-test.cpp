// Standard output closed by its reader in the middle of a run (a pager that
// quits, a pipe into head): no crash, no busy loop, and the console mode
// restored when the run is stopped.
#include <gtest/gtest.h>

#include <unistd.h>

#include <csignal>
#include <string>
#include <thread>

#include "soak-support.h"

namespace soak {
namespace {

using namespace std::chrono_literals;

TEST(ClosedOutput, ReaderGoneMidRunNoCrashNoBusyLoopModeRestored) {
    jtag_server server(exec_board("exec yes 'endless output'"));
    const termios before = fresh_terminal_mode();
    // Input and errors on a pseudo-terminal, output into a pipe.
    launch how;
    how.stdout_apart = true;
    how.stderr_apart = true;
    auto terminal = server.terminal({}, how);
    ASSERT_TRUE(terminal->expect("endless output\nendless output\n", 60s));
    terminal->close_output();

    // Every write now fails. The loop must pause between failed writes: over
    // two seconds a spinning loop would burn about two seconds of CPU.
    std::this_thread::sleep_for(500ms);
    long start = cpu_ticks(terminal->pid());
    std::this_thread::sleep_for(2s);
    long used = cpu_ticks(terminal->pid()) - start;
    EXPECT_LT(used, sysconf(_SC_CLK_TCK)) << "CPU ticks used in 2 s with no reader: " << used;

    terminal->signal(SIGINT);
    auto code = terminal->exit_code(60s);
    ASSERT_TRUE(code.has_value()) << "the run did not end after SIGINT";
    EXPECT_EQ(*code, 0);
    EXPECT_TRUE(same_mode(terminal->mode(), before));
}

}  // namespace
}  // namespace soak
