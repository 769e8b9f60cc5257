// SIGINT, SIGTERM and SIGHUP at random moments of a run (countdown,
// connecting, relaying, teardown): the run always ends with status 0 (or the
// status of a failed connection, 1) and the terminal's mode exactly as before.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <random>
#include <string>
#include <thread>

#include "soak-support.h"

namespace soak {
namespace {

using namespace std::chrono_literals;

const std::string TICKING_ECHO = ticking_echo("0.02");

enum class moment { countdown, connecting, relaying, teardown };

const char* name_of(moment when) {
    switch (when) {
    case moment::countdown: return "countdown";
    case moment::connecting: return "connecting";
    case moment::relaying: return "relaying";
    case moment::teardown: return "teardown";
    }
    return "";
}

struct outcome {
    std::optional<int> code;
    bool mode_kept;
    std::string output;
};

/// One run with one signal at a random point of one moment.
outcome signal_during(jtag_server& server, moment when, int signal_number, std::mt19937& random) {
    const termios before = fresh_terminal_mode();
    std::vector<std::string> args{"--wait=1"};
    if (when == moment::teardown) args.push_back("--quit-after=2");
    auto terminal = server.terminal(args);
    // Signals go only to a program that has reached its own code.
    EXPECT_TRUE(terminal->expect("Waiting to allow other programs to start:"));
    switch (when) {
    case moment::countdown:
        std::this_thread::sleep_for(std::chrono::milliseconds(random() % 900));
        break;
    case moment::connecting:
        // Right after the countdown the connection is being made.
        EXPECT_TRUE(terminal->expect("done\n"));
        std::this_thread::sleep_for(std::chrono::microseconds(random() % 20000));
        break;
    case moment::relaying:
        EXPECT_TRUE(terminal->expect("tick "));
        std::this_thread::sleep_for(std::chrono::milliseconds(random() % 500));
        break;
    case moment::teardown:
        // --quit-after ends the run two seconds after it began relaying.
        EXPECT_TRUE(terminal->expect("tick "));
        std::this_thread::sleep_for(std::chrono::milliseconds(1700 + random() % 600));
        break;
    }
    terminal->signal(signal_number);
    outcome result;
    result.code = terminal->exit_code(60s);
    result.mode_kept = same_mode(terminal->mode(), before);
    result.output = terminal->output();
    return result;
}

class RandomSignals : public testing::TestWithParam<moment> {};

TEST_P(RandomSignals, EndTheRunWithItsStatusAndTheModeRestored) {
    unsigned seed = static_cast<unsigned>(env_size("TT_SOAK_SEED", std::random_device{}()));
    std::mt19937 random(seed);
    jtag_server server(exec_board(TICKING_ECHO));
    const std::size_t rounds = env_size("TT_SOAK_SIGNAL_ROUNDS", 2);
    for (std::size_t round = 0; round < rounds; ++round) {
        for (int signal_number : {SIGINT, SIGTERM, SIGHUP}) {
            SCOPED_TRACE(std::string(name_of(GetParam())) + ", signal " + std::to_string(signal_number) +
                         ", seed " + std::to_string(seed) + " (TT_SOAK_SEED repeats it)");
            outcome result = signal_during(server, GetParam(), signal_number, random);
            ASSERT_TRUE(result.code.has_value()) << "the run did not end: " << escaped(result.output);
            EXPECT_EQ(*result.code, 0) << escaped(result.output);
            EXPECT_TRUE(result.mode_kept);
            if (GetParam() == moment::countdown) {
                EXPECT_NE(result.output.find("done\n"), std::string::npos) << escaped(result.output);
                EXPECT_EQ(result.output.find("connected to hardware target"), std::string::npos);
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Moments, RandomSignals,
                         testing::Values(moment::countdown, moment::connecting, moment::relaying, moment::teardown),
                         [](const testing::TestParamInfo<moment>& info) { return std::string(name_of(info.param)); });

// A server that accepts and never answers keeps the library waiting for its
// answer; a signal then must not leave the console changed, and the run ends
// with the status of a failed connection once the library gives up.
TEST(SignalWhileConnecting, ToAServerThatNeverAnswers) {
    int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(listener, 4), 0);
    ASSERT_EQ(::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length), 0);

    launch how;
    how.argv = {terminal_program(), "--wait=1"};
    how.env = {"JTAG_CORVEX_SERVER=127.0.0.1:" + std::to_string(ntohs(address.sin_port))};
    child_process terminal(how);
    const termios before = fresh_terminal_mode();
    ASSERT_TRUE(terminal.expect("done\n"));
    std::this_thread::sleep_for(200ms);
    terminal.signal(SIGINT);
    auto code = terminal.exit_code(60s);
    ::close(listener);
    ASSERT_TRUE(code.has_value());
    EXPECT_TRUE(*code == 0 || *code == 1) << *code << escaped(terminal.output());
    EXPECT_TRUE(same_mode(terminal.mode(), before));
}

}  // namespace
}  // namespace soak
