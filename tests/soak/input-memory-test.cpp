// The terminal's own memory while what it is given cannot be delivered: a
// target that floods while the terminal's writes find no room, and input for
// a target that takes none of it, also across an unplugged cable.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <thread>

#include "soak-support.h"

namespace soak {
namespace {

using namespace std::chrono_literals;

/// Input in large pieces, as `yes` gives it.
const std::string INPUT_PIECE(16384, 'y');

/// Resident memory of a process, and the most it has been since.
struct memory_watch {
    pid_t pid;
    std::size_t baseline = resident_kib(pid);
    std::size_t peak = baseline;
    void look() { peak = std::max(peak, resident_kib(pid)); }
    std::string report() const {
        return "terminal memory grew from " + std::to_string(baseline) + " KiB to " + std::to_string(peak) + " KiB";
    }
};

/// Offers input until the terminal has taken none of it for a second; false
/// when it still takes some when the guard time runs out. Adds to `taken`.
bool offer_until_refused(child_process& terminal, memory_watch& memory, std::size_t& taken) {
    return terminal.offer_until_refused(INPUT_PIECE, taken, 1s, 10s, [&] { memory.look(); });
}

TEST(InputMemory, FloodingTargetAndWritesWithoutRoomKeepTheTerminalBounded) {
    // `yes` never reads: the terminal's writes find no room, while the
    // target's output keeps arriving.
    jtag_server server(exec_board("exec yes 0123456789abcdef"));
    temp_dir work;
    auto terminal = terminal_to_file(server, {"-q"}, "/dev/null", work.path());
    ASSERT_TRUE(server.wait_until_held_by("tolvan-terminal"));
    memory_watch memory{terminal->pid()};
    // About 300 KB of input, and three seconds of watching.
    std::size_t offered = 0;
    for (const auto until = std::chrono::steady_clock::now() + 3s; std::chrono::steady_clock::now() < until;) {
        memory.look();
        if (offered < 300 * 1000) offered += terminal->offer(INPUT_PIECE);
        std::this_thread::sleep_for(50ms);
    }
    memory.look();
    ASSERT_FALSE(terminal->wait(0ms).has_value()) << "the terminal ended";
    // What is not read yet stays within the server's window (512 KiB), and
    // the library's buffer within about twice that.
    EXPECT_LE(memory.peak, memory.baseline + 2048 + memory_slack_kib) << memory.report();
}

TEST(InputMemory, InputForATargetThatTakesNothingStaysBoundedAcrossAnUnplug) {
    jtag_server server(exec_board("exec sleep 600"));
    launch how;
    how.argv = {terminal_program(), "-q", "--persistent"};
    how.env = {server.address_setting()};
    how.terminal = false;
    child_process terminal(how);
    ASSERT_TRUE(server.wait_until_held_by("tolvan-terminal"));
    memory_watch memory{terminal.pid()};

    // The terminal holds 64 KiB, the UART and the target's pipe a little more;
    // the rest waits in the terminal's input pipe (64 KiB).
    std::size_t taken = 0;
    ASSERT_TRUE(offer_until_refused(terminal, memory, taken)) << "input still taken: " << taken << " bytes";
    EXPECT_LE(taken, 512u * 1024);

    ASSERT_EQ(server.chainprobe({"unplug", "SimCable"}), 0);
    ASSERT_TRUE(terminal.expect("\nJTAG connection interrupted!\n")) << escaped(terminal.output());
    std::size_t while_unplugged = 0;
    ASSERT_TRUE(offer_until_refused(terminal, memory, while_unplugged));
    EXPECT_LE(while_unplugged, 64u * 1024);
    ASSERT_EQ(server.chainprobe({"plug", "SimCable"}), 0);
    ASSERT_TRUE(terminal.expect("\nConnected!\n")) << escaped(terminal.output());
    std::size_t after_replug = 0;
    ASSERT_TRUE(offer_until_refused(terminal, memory, after_replug));
    EXPECT_LE(while_unplugged + after_replug, 512u * 1024);

    ASSERT_FALSE(terminal.wait(0ms).has_value()) << "the terminal ended";
    EXPECT_LE(memory.peak, memory.baseline + 1024 + memory_slack_kib) << memory.report();
}

}  // namespace
}  // namespace soak
