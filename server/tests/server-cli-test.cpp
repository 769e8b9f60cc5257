// The jtag-server program itself: start-up line, bad arguments and board
// files, tcp target addresses, and a clean stop on SIGTERM.
#include <cstdio>
#include <string>

#include <gtest/gtest.h>
#include <sys/wait.h>

#include "jtag_corvex/socket.h"
#include "test-server.h"

namespace {

/// Runs jtag-server with `arguments` and returns its exit status; `output`
/// gets standard error and standard output.
int run_server(const std::string& arguments, std::string& output) {
    FILE* pipe = ::popen((std::string(JTAG_SERVER_PATH) + " " + arguments + " 2>&1").c_str(), "r");
    if (pipe == nullptr)
        return -1;
    char buffer[512];
    std::size_t got = 0;
    while ((got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0)
        output.append(buffer, got);
    const int status = ::pclose(pipe);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace

TEST(ServerProgram, BadBoardFileNamesFileAndLineWithStatusOne) {
    char path[] = "/tmp/jtag-bad-board-XXXXXX";
    const int fd = ::mkstemp(path);
    ASSERT_GE(fd, 0);
    const std::string text = "[[cable]]\nname = \"a\"\nplugged = maybe\n";
    ASSERT_EQ(::write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    ::close(fd);
    std::string output;
    EXPECT_EQ(run_server(std::string("--board ") + path + " --listen 127.0.0.1:0", output), 1);
    EXPECT_NE(output.find(std::string("jtag-server: error: ") + path + ":3: "), std::string::npos) << output;
    ::unlink(path);
}

TEST(ServerProgram, BadArgumentsGiveStatusOne) {
    std::string output;
    EXPECT_EQ(run_server("--listen nowhere", output), 1);
    EXPECT_NE(output.find("jtag-server: error: --listen: "), std::string::npos) << output;
    output.clear();
    EXPECT_EQ(run_server("--frobnicate", output), 1);
    output.clear();
    EXPECT_EQ(run_server("--board /nonexistent.toml --listen 127.0.0.1:0", output), 1);
    EXPECT_NE(output.find("/nonexistent.toml: cannot open the board file"), std::string::npos) << output;
}

TEST(ServerProgram, TcpTargetAddressFollowsTheFirstLine) {
    TEST_SERVER server(R"(
[[cable]]
name = "SimCable [tcp-0]"
[[cable.device]]
[[cable.device]]
[[cable.device.uart]]
[[cable.device.uart]]
target = "tcp"
)");
    ASSERT_TRUE(server.running()) << server.error();
    const std::string line = server.read_line();
    const std::string prefix = "jtag-server: target SimCable [tcp-0] device 2 instance 1 on 127.0.0.1:";
    ASSERT_EQ(line.rfind(prefix, 0), 0u) << line;
    const int port = std::atoi(line.c_str() + prefix.size());
    EXPECT_GT(port, 0);
    EXPECT_NE(port, server.port());
}

TEST(ServerProgram, SigtermStopsWithStatusZeroAndPortIsReusable) {
    std::string output;
    // Start, stop, and start again on the very same port.
    TEST_SERVER first("");
    ASSERT_TRUE(first.running()) << first.error();
    const int port = first.port();
    first.stop();
    // SIGTERM only once the server says it listens: a slow start (a loaded
    // machine, a sanitized build) must not turn into a signal before the
    // handler is in place.
    const std::string script =
        std::string("out=$(mktemp); ") + JTAG_SERVER_PATH + " --listen 127.0.0.1:" + std::to_string(port) +
        " >\"$out\" 2>&1 & pid=$!; i=0; "
        "while ! grep -q listening \"$out\" && [ $i -lt 1200 ]; do sleep 0.05; i=$((i+1)); done; "
        "kill -TERM $pid; wait $pid; status=$?; cat \"$out\"; rm -f \"$out\"; exit $status";
    FILE* pipe = ::popen(("sh -c '" + script + "'").c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    char buffer[512];
    std::size_t got = 0;
    while ((got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0)
        output.append(buffer, got);
    const int status = ::pclose(pipe);
    EXPECT_EQ(output, "jtag-server: listening on 127.0.0.1:" + std::to_string(port) + "\n");
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);  // the server's own status
}
