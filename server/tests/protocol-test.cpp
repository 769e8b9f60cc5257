// A real jtag-server meets malformed frames: the offending connection is
// closed and every other client goes on undisturbed.
#include "jtag_corvex.h"

#include <chrono>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/boards.h"
#include "tests/support/jtag-server-process.h"
#include "tests/support/library-client.h"
#include "tests/support/raw-client.h"
#include "wire/messages.h"

namespace {

using namespace test_support;

const std::string board = one_uart_board(LOOPBACK_TARGET, "", "c");

/// Sends `bytes` on a fresh connection; true when the server then closed it.
bool server_closes_after(const jtag_server& server, const std::vector<std::uint8_t>& bytes) {
    raw_client client(server.port());
    std::string ignored;
    return client.connected() && client.send(bytes) && client.read_until_closed(ignored);
}

}  // namespace

TEST(ServerProtocol, MalformedFramesCloseOnlyThatConnection) {
    jtag_server server(board);
    JTAGCORVEX* link = jtagcorvex_open(nullptr, -1, -1, "bystander");
    ASSERT_NE(link, nullptr);
    EXPECT_TRUE(echoes(link, "before"));

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

    EXPECT_TRUE(echoes(link, "after"));
    jtagcorvex_close(link);
}

TEST(ServerProtocol, ClientExceedingItsCreditIsDropped) {
    jtag_server server(one_uart_board(LOOPBACK_TARGET + "rx_fifo = 4\n", "", "c"));
    ASSERT_EQ(server.chainprobe({"detach", "c", "1", "0"}), 0);
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
