// A client that stops reading while its target floods: the server holds only
// a bounded amount for it, and another session on the same server keeps
// moving its bytes.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <thread>

#include "soak-stream.h"
#include "soak-support.h"
#include "tests/support/raw-client.h"
#include "wire/frame.h"
#include "wire/messages.h"

namespace soak {
namespace {

using namespace std::chrono_literals;

std::string two_uart_board(const std::string& flood_command, const std::string& other_command) {
    const std::string fifos = fifo_settings(65536);
    return one_uart_board(fifos + exec_target(flood_command) + uart_table(fifos + exec_target(other_command)));
}

std::vector<std::uint8_t> open_frame(int device, int instance) {
    wire::OpenRequest request;
    request.device = device;
    request.instance = instance;
    request.pid = 4242;
    request.app_name = "stalled-client";
    std::vector<std::uint8_t> frame;
    wire::append_frame(frame, wire::FrameType::open, wire::encode(request));
    return frame;
}

TEST(Flood, StalledClientKeepsServerMemoryBoundedAndOthersFlowing) {
    const std::size_t megabytes = env_size("TT_SOAK_FLOOD_MEGABYTES", 16);
    jtag_server server(two_uart_board("exec cat /dev/zero", source_command(5, megabytes << 20, 1 << 30, 1)));

    raw_client stalled(server.port());
    ASSERT_TRUE(stalled.connected());
    ASSERT_TRUE(stalled.send(open_frame(1, 0)));
    std::string reply = stalled.receive(10s);
    ASSERT_FALSE(reply.empty()) << "no answer to the open";
    // From here on the stalled client reads nothing more. Once what it is
    // sent fills the socket buffers, the server's memory is what it keeps.
    std::this_thread::sleep_for(1s);
    const std::size_t baseline = resident_kib(server.pid());
    std::size_t peak = baseline;

    temp_dir work;
    auto other = terminal_to_file(server, {"-q", "--device=1", "--instance=1"}, work.file("console.out"),
                                  work.path());
    bool ended = eventually([&] {
        peak = std::max(peak, resident_kib(server.pid()));
        return other->wait(0ms).has_value();
    }, 600s);
    ASSERT_TRUE(ended) << "the other session stalled";
    auto code = other->exit_code(0ms);
    ASSERT_TRUE(code.has_value()) << "the other session stalled";
    EXPECT_EQ(*code, 0);
    std::string expected;
    make_stream({5, megabytes << 20, 1 << 30, 1},
                [&](const std::string&, const std::string& console) { expected += console; });
    EXPECT_TRUE(work.read("console.out") == expected) << "the other session's bytes differ";
    EXPECT_LE(peak, baseline + 16 * 1024 + memory_slack_kib)
        << "server memory grew from " << baseline << " KiB to " << peak << " KiB";
}

}  // namespace
}  // namespace soak
