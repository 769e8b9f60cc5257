// A persistent terminal through many faults while traffic flows: cables
// pulled and put back, the server killed and started again. The run never
// ends, descriptors and memory stay flat, and traffic flows after each
// reconnection.
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <thread>

#include "soak-support.h"

namespace soak {
namespace {

using namespace std::chrono_literals;

const std::string TICKING_ECHO = ticking_echo("0.05");

/// Waits for the `n`th occurrence of `what` in the terminal's output.
bool expect_nth(child_process& terminal, const std::string& what, std::size_t n) {
    return eventually([&] {
        terminal.expect(what, 100ms);
        return occurrences(terminal.output(), what) >= n;
    }, std::chrono::seconds(60));
}

/// The output without the target's tick lines. Each tick line is one write
/// of the target, but an echo may arrive in pieces with ticks between them.
std::string without_ticks(const std::string& output) {
    std::string kept;
    std::size_t at = 0;
    while (at < output.size()) {
        std::size_t tick = output.find("tick ", at);
        if (tick == std::string::npos) break;
        std::size_t digits = tick + 5, end = digits;
        while (end < output.size() && output[end] >= '0' && output[end] <= '9') ++end;
        bool whole_line = end > digits && end < output.size() && output[end] == '\n';
        kept.append(output, at, tick - at);
        if (!whole_line) kept.append(output, tick, end - tick);
        at = whole_line ? end + 1 : end;
    }
    if (at < output.size()) kept.append(output, at, std::string::npos);
    return kept;
}

/// Types `text` and waits for the target's echo of it: one more copy than
/// before (the console is raw by then, so the terminal itself echoes nothing).
bool echoes(child_process& terminal, const std::string& text) {
    std::size_t before = occurrences(without_ticks(terminal.output()), text);
    terminal.send(text);
    return eventually([&] {
        terminal.expect(text, 100ms);
        return occurrences(without_ticks(terminal.output()), text) >= before + 1;
    }, std::chrono::seconds(60));
}

TEST(ReconnectSoak, TwentyUnplugReplugCyclesWhileTrafficFlows) {
    jtag_server server(exec_board(TICKING_ECHO, "", fifo_settings(64)));
    auto terminal = relaying_terminal(server, {"--persistent"});
    const termios before = fresh_terminal_mode();
    ASSERT_TRUE(echoes(*terminal, "warm-up")) << escaped(terminal->output());

    std::size_t descriptors = 0, memory = 0;
    const std::size_t cycles = env_size("TT_SOAK_CYCLES", 20);
    for (std::size_t cycle = 1; cycle <= cycles; ++cycle) {
        ASSERT_EQ(server.chainprobe({"unplug", "SimCable"}), 0);
        ASSERT_TRUE(expect_nth(*terminal, "\nJTAG connection interrupted!\n", cycle))
            << "cycle " << cycle << escaped(terminal->output().substr(terminal->output().size() - 400));
        ASSERT_EQ(server.chainprobe({"plug", "SimCable"}), 0);
        ASSERT_TRUE(expect_nth(*terminal, "\nConnected!\n", cycle)) << "cycle " << cycle;
        const std::string ping = "after-replug-" + std::to_string(cycle) + ";";
        ASSERT_TRUE(echoes(*terminal, ping)) << "no echo after reconnection " << cycle;
        // Ticks keep coming, too.
        std::size_t ticks = occurrences(terminal->output(), "tick ");
        ASSERT_TRUE(eventually([&] {
            terminal->expect("\n", 100ms);
            return occurrences(terminal->output(), "tick ") > ticks;
        })) << "no target output after reconnection " << cycle;
        ASSERT_TRUE(terminal->wait(0ms) == std::nullopt) << "the run ended in cycle " << cycle;

        // Figures taken once everything has been touched once.
        if (cycle == 2) {
            descriptors = open_descriptors(terminal->pid());
            memory = resident_kib(terminal->pid());
        }
        if (cycle > 2) {
            EXPECT_EQ(open_descriptors(terminal->pid()), descriptors) << "cycle " << cycle;
        }
    }
    EXPECT_LE(resident_kib(terminal->pid()), memory + memory_slack_kib) << "resident memory grew from " << memory << " KiB";
    terminal->send("\x03");
    EXPECT_EQ(terminal->exit_code(30s), 0);
    EXPECT_TRUE(same_mode(terminal->mode(), before));
    EXPECT_EQ(terminal->output().find("exiting due to I/O error"), std::string::npos);
}

/// Starts the server again on its port. While it is down, the port is free
/// for anyone's outgoing connection (it lies in the ephemeral range), so the
/// start is retried until the port is free again.
void restart(jtag_server& server) {
    auto give_up = std::chrono::steady_clock::now() + 60s;
    for (;;) {
        try {
            server.restart();
            return;
        } catch (const std::runtime_error& failure) {
            if (std::chrono::steady_clock::now() > give_up) throw;
            std::this_thread::sleep_for(200ms);
        }
    }
}

TEST(ReconnectSoak, ServerKilledAndRestartedMidSessionWithPersistent) {
    jtag_server server(exec_board(TICKING_ECHO, "", fifo_settings(64)));
    auto terminal = relaying_terminal(server, {"--persistent"});
    const termios before = fresh_terminal_mode();
    ASSERT_TRUE(echoes(*terminal, "first-life"));
    for (int life = 2; life <= 5; ++life) {
        server.kill_now();
        ASSERT_TRUE(expect_nth(*terminal, "I/O error communicating with client - trying again", life - 1))
            << escaped(terminal->output());
        restart(server);
        ASSERT_TRUE(expect_nth(*terminal, "\nConnected!\n", life - 1)) << escaped(terminal->output());
        ASSERT_TRUE(echoes(*terminal, "life-" + std::to_string(life) + ";"));
    }
    terminal->send("\x03");
    EXPECT_EQ(terminal->exit_code(30s), 0);
    EXPECT_TRUE(same_mode(terminal->mode(), before));
}

TEST(ReconnectSoak, ServerKilledMidTransferEndsAPlainRunCleanly) {
    jtag_server server(exec_board("exec yes 'flowing traffic'", "", fifo_settings(4096)));
    auto terminal = relaying_terminal(server, {});
    const termios before = fresh_terminal_mode();
    ASSERT_TRUE(terminal->expect("flowing traffic\nflowing traffic\n"));
    server.kill_now();
    EXPECT_EQ(terminal->exit_code(60s), 0);
    EXPECT_TRUE(terminal->expect("exiting due to I/O error communicating with target\n", 5s));
    EXPECT_TRUE(same_mode(terminal->mode(), before));
}

}  // namespace
}  // namespace soak
