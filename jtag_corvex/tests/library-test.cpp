// The access library against a real jtag-server: every open outcome from a
// real server state, the byte stream both ways, backpressure and faults.
#include "jtag_corvex.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include "tests/support/boards.h"
#include "tests/support/free-port.h"
#include "tests/support/jtag-server-process.h"
#include "tests/support/library-client.h"

namespace {

using namespace test_support;
using clock_type = std::chrono::steady_clock;
constexpr auto k_guard = std::chrono::seconds(30);

const std::string one_loopback = loopback_board("support = 1\n");

/// Opens and returns the failure code (0 when the open succeeded; the link is closed).
int open_code(const char* cable, int device, int instance, std::string* text = nullptr) {
    open_result opened = open_uart(cable, device, instance);
    if (opened.link != nullptr)
        jtagcorvex_close(opened.link);
    else
        EXPECT_TRUE(opened.text_given);
    if (text != nullptr)
        *text = opened.text;
    return opened.code;
}

/// The outcome of an open once the UART's holder is gone: the server hears
/// of a closed or killed client asynchronously.
int open_code_once_free() {
    const auto deadline = clock_type::now() + k_guard;
    int code = JCVX_UART_IN_USE;
    while (code == JCVX_UART_IN_USE && clock_type::now() < deadline)
        code = open_code(nullptr, -1, -1);
    return code;
}

/// The first non-empty read, or the negative result (guarded).
int read_something(JTAGCORVEX* link, char* buffer, unsigned size) {
    const auto deadline = clock_type::now() + k_guard;
    for (;;) {
        const int n = jtagcorvex_read(link, buffer, size);
        if (n != 0 || clock_type::now() > deadline)
            return n;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

}  // namespace

TEST(LibraryOpen, NoServerGivesMinusOnePromptly) {
    ::setenv("JTAG_CORVEX_SERVER", test_support::refused_address().c_str(), 1);
    std::string text;
    EXPECT_EQ(open_code(nullptr, -1, -1, &text), JCVX_NO_SERVER);
    EXPECT_FALSE(text.empty());
}

TEST(LibraryOpen, CableChoiceCodes) {
    jtag_server server(one_uart_board("") + one_uart_board("", "", "SimCable [sim-1]") +
                       one_uart_board("", "", "SimCable [sim-1] spare"));
    EXPECT_EQ(open_code(nullptr, -1, -1), JCVX_AMBIGUOUS_CABLE);
    EXPECT_EQ(open_code("", -1, -1), JCVX_AMBIGUOUS_CABLE);
    EXPECT_EQ(open_code("SimCable", -1, -1), JCVX_AMBIGUOUS_CABLE);
    EXPECT_EQ(open_code("sim-9", -1, -1), JCVX_NO_CABLE);
    EXPECT_EQ(open_code("sim-0", -1, -1), 0);
    // The exact full name wins although it is also part of another name.
    EXPECT_EQ(open_code("SimCable [sim-1]", -1, -1), 0);
    EXPECT_EQ(open_code("spare", -1, -1), 0);
}

TEST(LibraryOpen, NoCablesAtAll) {
    jtag_server server("# nothing plugged in\n");
    EXPECT_EQ(open_code(nullptr, -1, -1), JCVX_NO_CABLE);
}

TEST(LibraryOpen, CableAndBoardStates) {
    jtag_server server(one_uart_board("", "plugged = false\n", "unplugged") +
                       one_uart_board("", "powered = false\n", "off") + cable_table("bare", "board = false\n") +
                       one_uart_board("compatible = false\n", "", "old"));
    EXPECT_EQ(open_code("unplugged", -1, -1), JCVX_CABLE_UNPLUGGED);
    EXPECT_EQ(open_code("off", -1, -1), JCVX_BOARD_OFF);
    EXPECT_EQ(open_code("bare", -1, -1), JCVX_BOARD_OFF);
    EXPECT_EQ(open_code("old", -1, -1), JCVX_INCOMPATIBLE_UART);
}

TEST(LibraryOpen, UartChoiceCodes) {
    // Device 1 with two UARTs, device 2 with none, device 3 with one.
    jtag_server server(cable_table("chain") + DEVICE_TABLE + uart_table() + uart_table() + DEVICE_TABLE +
                       DEVICE_TABLE + uart_table());
    EXPECT_EQ(open_code(nullptr, -1, -1), JCVX_AMBIGUOUS_UART);
    EXPECT_EQ(open_code(nullptr, 0, -1), JCVX_AMBIGUOUS_UART);
    EXPECT_EQ(open_code(nullptr, 1, -1), JCVX_AMBIGUOUS_UART);
    EXPECT_EQ(open_code(nullptr, -1, 1), 0);  // only device 1 has an instance 1
    EXPECT_EQ(open_code(nullptr, 2, -1), JCVX_NO_UART);
    EXPECT_EQ(open_code(nullptr, 4, 0), JCVX_NO_UART);
    EXPECT_EQ(open_code(nullptr, 1, 2), JCVX_NO_UART);
    EXPECT_EQ(open_code(nullptr, 3, -1), 0);

    JTAGCORVEX* link = jtagcorvex_open(nullptr, 1, 1, "library-test");
    ASSERT_NE(link, nullptr);
    const char* cable = nullptr;
    int device = 0;
    int instance = 0;
    jtagcorvex_get_info(link, &cable, &device, &instance);
    EXPECT_STREQ(cable, "chain");
    EXPECT_EQ(device, 1);
    EXPECT_EQ(instance, 1);
    jtagcorvex_close(link);
}

TEST(LibraryOpen, HeldUartNamesItsHolder) {
    jtag_server server(one_loopback);
    JTAGCORVEX* first = jtagcorvex_open(nullptr, -1, -1, "first-app");
    ASSERT_NE(first, nullptr);
    std::string text;
    EXPECT_EQ(open_code(nullptr, -1, -1, &text), JCVX_UART_IN_USE);
    EXPECT_EQ(text, "held by first-app (pid " + std::to_string(::getpid()) + ")");
    jtagcorvex_close(first);
    EXPECT_EQ(open_code_once_free(), 0);
}

TEST(LibraryStream, RoundTripThroughLoopback) {
    jtag_server server(one_loopback);
    JTAGCORVEX* link = jtagcorvex_open("sim-0", -1, -1, "library-test");
    ASSERT_NE(link, nullptr);
    const char* cable = nullptr;
    int device = -1;
    int instance = -1;
    jtagcorvex_get_info(link, &cable, &device, &instance);
    EXPECT_STREQ(cable, "SimCable [sim-0]");
    EXPECT_EQ(device, 1);
    EXPECT_EQ(instance, 0);
    EXPECT_EQ(jtagcorvex_cable_warning(link), 1);
    EXPECT_EQ(jtagcorvex_wait_open(link), 0);
    char nothing[64];
    EXPECT_EQ(jtagcorvex_read(link, nothing, sizeof nothing), 0);  // never blocks
    EXPECT_EQ(jtagcorvex_write(link, "hello, target", 13), 13);
    EXPECT_EQ(read_exactly(link, 13), "hello, target");
    jtagcorvex_close(link);
}

TEST(LibraryStream, BytesHeldAtConnectionAreThereAfterWaitOpen) {
    jtag_server server(one_uart_board(exec_target("printf early; exec sleep 600"), "", "c"));
    // Wait until the command's output sits in the transmit FIFO.
    const auto deadline = clock_type::now() + k_guard;
    std::string listing;
    while (listing.find("target->host 5/64") == std::string::npos && clock_type::now() < deadline) {
        listing.clear();
        server.chainprobe({}, &listing);
    }
    ASSERT_NE(listing.find("target->host 5/64"), std::string::npos) << listing;
    JTAGCORVEX* link = jtagcorvex_open(nullptr, -1, -1, "library-test");
    ASSERT_NE(link, nullptr);
    ASSERT_EQ(jtagcorvex_wait_open(link), 0);
    char buffer[64];
    const int n = jtagcorvex_read(link, buffer, sizeof buffer);  // at once, no waiting
    EXPECT_EQ(std::string(buffer, n > 0 ? static_cast<std::size_t>(n) : 0), "early");
    jtagcorvex_close(link);
}

TEST(LibraryBackpressure, WriteIntoFullFifoTakesFewerBytes) {
    jtag_server server(one_uart_board(LOOPBACK_TARGET + "rx_fifo = 48\n", "", "c"));
    ASSERT_EQ(server.chainprobe({"detach", "c", "1", "0"}), 0);  // nobody drains the FIFO now
    JTAGCORVEX* link = jtagcorvex_open(nullptr, -1, -1, "library-test");
    ASSERT_NE(link, nullptr);
    const std::string data(100, 'x');
    EXPECT_EQ(jtagcorvex_write(link, data.data(), 100), 48);
    EXPECT_EQ(jtagcorvex_write(link, data.data(), 100), 0);
    // Attached again, the target drains the FIFO and echoes exactly what was taken.
    ASSERT_EQ(server.chainprobe({"attach", "c", "1", "0"}), 0);
    EXPECT_EQ(read_exactly(link, 48), std::string(48, 'x'));
    jtagcorvex_close(link);
}

TEST(LibraryBackpressure, LargeTransferThroughSlowTargetLosesNothing) {
    jtag_server server(
        one_uart_board(exec_target("sleep 0.3; dd bs=7 2>/dev/null") + "rx_fifo = 32\ntx_fifo = 16\n", "", "c"));
    JTAGCORVEX* link = jtagcorvex_open(nullptr, -1, -1, "library-test");
    ASSERT_NE(link, nullptr);
    std::mt19937 random(7);
    std::string sent(256 * 1024, '\0');
    for (char& c : sent)
        c = static_cast<char>(random());
    std::string received;
    std::size_t written = 0;
    int partial_writes = 0;
    char buffer[64];
    const auto deadline = clock_type::now() + std::chrono::seconds(120);
    while (received.size() < sent.size() && clock_type::now() < deadline) {
        bool idle = true;
        if (written < sent.size()) {
            const unsigned ask = static_cast<unsigned>(std::min<std::size_t>(1000, sent.size() - written));
            const int n = jtagcorvex_write(link, sent.data() + written, ask);
            ASSERT_GE(n, 0);
            partial_writes += n < static_cast<int>(ask) ? 1 : 0;
            written += static_cast<std::size_t>(n);
            idle = idle && n == 0;
        }
        const int got = jtagcorvex_read(link, buffer, sizeof buffer);
        ASSERT_GE(got, 0);
        received.append(buffer, static_cast<std::size_t>(got));
        idle = idle && got == 0;
        if (idle)
            std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    EXPECT_GT(partial_writes, 0);
    ASSERT_EQ(received.size(), sent.size());
    EXPECT_TRUE(received == sent) << "the echoed stream differs";
    jtagcorvex_close(link);
}

TEST(LibraryBackpressure, StreamArrivesWholeWhileWritesFindNoRoom) {
    // seq never reads: once its pipe and the FIFO are full, every write looks
    // for credit and receives while earlier bytes are still unread.
    jtag_server server(exec_board("exec seq 1 300000"));
    JTAGCORVEX* link = jtagcorvex_open(nullptr, -1, -1, "library-test");
    ASSERT_NE(link, nullptr);
    std::string expected;
    for (int i = 1; i <= 300000; ++i)
        expected += std::to_string(i) + "\n";
    const std::string input(64, 'x');
    std::string received;
    int refused_writes = 0;
    char buffer[64];
    const auto deadline = clock_type::now() + k_guard;
    while (received.size() < expected.size() && clock_type::now() < deadline) {
        const int n = jtagcorvex_write(link, input.data(), static_cast<unsigned>(input.size()));
        ASSERT_GE(n, 0);
        refused_writes += n == 0 ? 1 : 0;
        const int got = jtagcorvex_read(link, buffer, sizeof buffer);
        ASSERT_GE(got, 0);
        received.append(buffer, static_cast<std::size_t>(got));
    }
    EXPECT_GT(refused_writes, 1000);
    ASSERT_EQ(received.size(), expected.size());
    EXPECT_TRUE(received == expected) << "the stream differs from byte "
                                      << std::mismatch(received.begin(), received.end(), expected.begin()).first -
                                             received.begin();
    jtagcorvex_close(link);
}

TEST(LibraryFaults, UnplugGivesFloatingReadsAndReplugAllowsNewOpen) {
    jtag_server server(one_loopback);
    JTAGCORVEX* link = jtagcorvex_open(nullptr, -1, -1, "library-test");
    ASSERT_NE(link, nullptr);
    ASSERT_TRUE(echoes(link, "abc"));
    ASSERT_EQ(server.chainprobe({"unplug", "sim-0"}), 0);
    char buffer[64];
    const int n = read_something(link, buffer, sizeof buffer);
    ASSERT_EQ(n, 64);
    for (int i = 0; i < n; ++i)
        ASSERT_EQ(static_cast<unsigned char>(buffer[i]), 0xFF) << "byte " << i;
    EXPECT_EQ(jtagcorvex_write(link, "x", 1), 0);
    EXPECT_EQ(open_code(nullptr, -1, -1), JCVX_CABLE_UNPLUGGED);
    ASSERT_EQ(server.chainprobe({"plug", "sim-0"}), 0);
    // The old client has not closed, yet the UART was freed by the fault.
    JTAGCORVEX* again = jtagcorvex_open(nullptr, -1, -1, "library-test");
    ASSERT_NE(again, nullptr);
    EXPECT_EQ(jtagcorvex_write(again, "ok", 2), 2);
    EXPECT_EQ(read_exactly(again, 2), "ok");
    jtagcorvex_close(again);
    jtagcorvex_close(link);
}

TEST(LibraryFaults, PowerOffGivesFloatingReadsAndPowerOnAllowsNewOpen) {
    jtag_server server(one_loopback);
    JTAGCORVEX* link = jtagcorvex_open(nullptr, -1, -1, "library-test");
    ASSERT_NE(link, nullptr);
    ASSERT_EQ(server.chainprobe({"power", "sim-0", "off"}), 0);
    char buffer[20];
    ASSERT_EQ(read_something(link, buffer, sizeof buffer), 20);
    EXPECT_EQ(std::string(buffer, 20), std::string(20, '\xFF'));
    EXPECT_EQ(open_code(nullptr, -1, -1), JCVX_BOARD_OFF);
    ASSERT_EQ(server.chainprobe({"power", "sim-0", "on"}), 0);
    EXPECT_EQ(open_code(nullptr, -1, -1), 0);
    jtagcorvex_close(link);
}

TEST(LibraryFaults, KilledClientFreesItsUart) {
    jtag_server server(one_loopback);
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    const pid_t child = ::fork();
    if (child == 0) {
        JTAGCORVEX* link = jtagcorvex_open(nullptr, -1, -1, "doomed-client");
        const char status = link != nullptr ? 'y' : 'n';
        (void)!::write(ready[1], &status, 1);
        ::pause();
        ::_exit(0);
    }
    char status = 0;
    ASSERT_EQ(::read(ready[0], &status, 1), 1);
    ASSERT_EQ(status, 'y');
    std::string text;
    EXPECT_EQ(open_code(nullptr, -1, -1, &text), JCVX_UART_IN_USE);
    EXPECT_EQ(text, "held by doomed-client (pid " + std::to_string(child) + ")");
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
    EXPECT_EQ(open_code_once_free(), 0);
    ::close(ready[0]);
    ::close(ready[1]);
}

TEST(LibraryFaults, KilledServerGivesNegativeResults) {
    jtag_server server(one_loopback);
    JTAGCORVEX* link = jtagcorvex_open(nullptr, -1, -1, "library-test");
    ASSERT_NE(link, nullptr);
    ASSERT_TRUE(echoes(link, "last"));
    server.kill_now();
    char buffer[64];
    EXPECT_LT(read_something(link, buffer, sizeof buffer), 0);
    EXPECT_LT(jtagcorvex_write(link, "x", 1), 0);
    jtagcorvex_close(link);
    EXPECT_EQ(open_code(nullptr, -1, -1), JCVX_NO_SERVER);
}

TEST(LibraryApi, NullHandlesFailWithoutCrashing) {
    char buffer[4];
    EXPECT_LT(jtagcorvex_read(nullptr, buffer, sizeof buffer), 0);
    EXPECT_LT(jtagcorvex_write(nullptr, buffer, sizeof buffer), 0);
    EXPECT_LT(jtagcorvex_wait_open(nullptr), 0);
    jtagcorvex_close(nullptr);
    const char* cable = nullptr;
    int device = 7;
    jtagcorvex_get_info(nullptr, &cable, &device, nullptr);
    EXPECT_STREQ(cable, "");
}
