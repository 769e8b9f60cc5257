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

// Ticks of its own and an echo of what it is sent: traffic flows both ways.
const std::string TICKING_ECHO =
    "i=0; while :; do i=$((i+1)); echo \"tick $i\"; sleep 0.05; done & exec cat";

std::size_t count_of(const std::string& text, const std::string& what) {
    std::size_t count = 0;
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + what.size())) ++count;
    return count;
}

/// Waits for the `n`th occurrence of `what` in the terminal's output.
bool expect_nth(e2e::child_process& terminal, const std::string& what, std::size_t n) {
    return eventually([&] {
        terminal.expect(what, 100ms);
        return count_of(terminal.output(), what) >= n;
    }, 60);
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
bool echoes(e2e::child_process& terminal, const std::string& text) {
    std::size_t before = count_of(without_ticks(terminal.output()), text);
    terminal.send(text);
    return eventually([&] {
        terminal.expect(text, 100ms);
        return count_of(without_ticks(terminal.output()), text) >= before + 1;
    }, 60);
}

/// A terminal that has connected and relays, so that typing reaches it raw.
std::unique_ptr<e2e::child_process> relaying_terminal(const e2e::sim_server& server,
                                                      std::vector<std::string> args) {
    auto terminal = server.terminal(std::move(args));
    EXPECT_TRUE(terminal->expect("Ctrl-C to terminate)\n\n", 60s)) << e2e::escaped(terminal->output());
    return terminal;
}

TEST(ReconnectSoak, TwentyUnplugReplugCyclesWhileTrafficFlows) {
    e2e::sim_server server(exec_board(TICKING_ECHO, 64));
    auto terminal = relaying_terminal(server, {"--persistent"});
    const termios before = e2e::fresh_terminal_mode();
    ASSERT_TRUE(echoes(*terminal, "warm-up")) << e2e::escaped(terminal->output());

    std::size_t descriptors = 0, memory = 0;
    const std::size_t cycles = env_size("TT_SOAK_CYCLES", 20);
    for (std::size_t cycle = 1; cycle <= cycles; ++cycle) {
        int status = -1;
        server.chainprobe({"unplug", "SimCable"}, &status);
        ASSERT_EQ(status, 0);
        ASSERT_TRUE(expect_nth(*terminal, "\nJTAG connection interrupted!\n", cycle))
            << "cycle " << cycle << e2e::escaped(terminal->output().substr(terminal->output().size() - 400));
        server.chainprobe({"plug", "SimCable"}, &status);
        ASSERT_EQ(status, 0);
        ASSERT_TRUE(expect_nth(*terminal, "\nConnected!\n", cycle)) << "cycle " << cycle;
        const std::string ping = "after-replug-" + std::to_string(cycle) + ";";
        ASSERT_TRUE(echoes(*terminal, ping)) << "no echo after reconnection " << cycle;
        // Ticks keep coming, too.
        std::size_t ticks = count_of(terminal->output(), "tick ");
        ASSERT_TRUE(eventually([&] {
            terminal->expect("\n", 100ms);
            return count_of(terminal->output(), "tick ") > ticks;
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
    EXPECT_TRUE(e2e::same_mode(terminal->mode(), before));
    EXPECT_EQ(terminal->output().find("exiting due to I/O error"), std::string::npos);
}

/// Starts the server again on its port. While it is down, the port is free
/// for anyone's outgoing connection (it lies in the ephemeral range), so the
/// start is retried until the port is free again.
void restart(e2e::sim_server& server) {
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
    e2e::sim_server server(exec_board(TICKING_ECHO, 64));
    auto terminal = relaying_terminal(server, {"--persistent"});
    const termios before = e2e::fresh_terminal_mode();
    ASSERT_TRUE(echoes(*terminal, "first-life"));
    for (int life = 2; life <= 5; ++life) {
        server.kill_now();
        ASSERT_TRUE(expect_nth(*terminal, "I/O error communicating with client - trying again", life - 1))
            << e2e::escaped(terminal->output());
        restart(server);
        ASSERT_TRUE(expect_nth(*terminal, "\nConnected!\n", life - 1)) << e2e::escaped(terminal->output());
        ASSERT_TRUE(echoes(*terminal, "life-" + std::to_string(life) + ";"));
    }
    terminal->send("\x03");
    EXPECT_EQ(terminal->exit_code(30s), 0);
    EXPECT_TRUE(e2e::same_mode(terminal->mode(), before));
}

TEST(ReconnectSoak, ServerKilledMidTransferEndsAPlainRunCleanly) {
    e2e::sim_server server(exec_board("exec yes 'flowing traffic'", 4096));
    auto terminal = relaying_terminal(server, {});
    const termios before = e2e::fresh_terminal_mode();
    ASSERT_TRUE(terminal->expect("flowing traffic\nflowing traffic\n"));
    server.kill_now();
    EXPECT_EQ(terminal->exit_code(60s), 0);
    EXPECT_TRUE(terminal->expect("exiting due to I/O error communicating with target\n", 5s));
    EXPECT_TRUE(e2e::same_mode(terminal->mode(), before));
}

}  // namespace
}  // namespace soak
