// A real jtag-server meets malformed frames: the offending connection is
// closed and every other client goes on undisturbed.
#include "jtag_corvex.h"

#include <chrono>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "jtag_corvex/socket.h"
#include "test-server.h"
#include "wire/messages.h"

namespace {

const char* const board = R"(
[[cable]]
name = "c"
[[cable.device]]
[[cable.device.uart]]
target = "loopback"
)";

/// Sends `bytes` on a fresh connection; true when the server then closed it.
bool server_closes_after(const TEST_SERVER& server, const std::vector<std::uint8_t>& bytes) {
    std::string error;
    const auto socket = jcvx::connect_to("127.0.0.1", static_cast<std::uint16_t>(server.port()), 5000, error);
    if (socket == jcvx::k_no_socket)
        return false;
    jcvx::send_all(socket, bytes.data(), bytes.size());
    std::uint8_t buffer[256];
    long got = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while ((got = jcvx::receive_some(socket, buffer, sizeof buffer, 1000)) >= 0 &&
           std::chrono::steady_clock::now() < deadline) {
    }
    jcvx::close_socket(socket);
    return got == jcvx::k_closed;
}

void expect_echo(JTAGCORVEX* link, const std::string& text) {
    ASSERT_EQ(jtagcorvex_write(link, text.data(), static_cast<unsigned>(text.size())), static_cast<int>(text.size()));
    std::string got;
    char buffer[64];
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (got.size() < text.size() && std::chrono::steady_clock::now() < deadline) {
        const int n = jtagcorvex_read(link, buffer, sizeof buffer);
        ASSERT_GE(n, 0);
        got.append(buffer, static_cast<std::size_t>(n));
        if (n == 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    EXPECT_EQ(got, text);
}

}  // namespace

TEST(ServerProtocol, MalformedFramesCloseOnlyThatConnection) {
    TEST_SERVER server(board);
    ASSERT_TRUE(server.running()) << server.error();
    JTAGCORVEX* link = jtagcorvex_open(nullptr, -1, -1, "bystander");
    ASSERT_NE(link, nullptr);
    expect_echo(link, "before");

    EXPECT_TRUE(server_closes_after(server, {'G', 'E', 'T', ' ', '/'}));
    std::vector<std::uint8_t> oversized;
    wire::append_header(oversized, wire::FrameType::list_reply, wire::k_max_payload + 1);
    EXPECT_TRUE(server_closes_after(server, oversized));
    std::vector<std::uint8_t> data_before_open;
    const std::uint8_t byte = 'x';
    wire::append_frame(data_before_open, wire::FrameType::data, &byte, 1);
    EXPECT_TRUE(server_closes_after(server, data_before_open));
    std::vector<std::uint8_t> truncated_open;
    const std::uint8_t short_payload[] = {1, 0};
    wire::append_frame(truncated_open, wire::FrameType::open, short_payload, sizeof short_payload);
    EXPECT_TRUE(server_closes_after(server, truncated_open));

    expect_echo(link, "after");
    jtagcorvex_close(link);
}

TEST(ServerProtocol, ClientExceedingItsCreditIsDropped) {
    TEST_SERVER server(R"(
[[cable]]
name = "c"
[[cable.device]]
[[cable.device.uart]]
target = "loopback"
rx_fifo = 4
)");
    ASSERT_TRUE(server.running()) << server.error();
    ASSERT_EQ(server.chainprobe("detach c 1 0"), 0);
    std::vector<std::uint8_t> bytes;
    wire::OpenRequest request;
    request.app_name = "greedy";
    wire::append_frame(bytes, wire::FrameType::open, wire::encode(request));
    const std::uint8_t data[5] = {1, 2, 3, 4, 5};
    wire::append_frame(bytes, wire::FrameType::data, data, sizeof data);
    EXPECT_TRUE(server_closes_after(server, bytes));
    // And its UART is free again.
    JTAGCORVEX* link = nullptr;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (link == nullptr && std::chrono::steady_clock::now() < deadline)
        link = jtagcorvex_open(nullptr, -1, -1, "next");
    ASSERT_NE(link, nullptr);
    jtagcorvex_close(link);
}
