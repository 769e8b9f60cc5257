// The UART's FIFOs and pump with a recording host: held bytes first, then
// ready; backpressure from the host's window back to the target.
#include "server/uart.h"

#include <gtest/gtest.h>

#include "server/fifo.h"
#include "server/target-kinds.h"
#include "tests/support/expected-texts.h"

namespace {

std::unique_ptr<TARGET> make_kind(const char* name) {
    static asio::io_context io;
    return find_target_kind(name)->make(TargetSettings{}, io);
}

class RECORDING_HOST : public UART_HOST {
public:
    explicit RECORDING_HOST(std::size_t window = 1 << 20) : room(window) {}
    const std::string& client_name() const override { return m_name; }
    std::uint32_t client_pid() const override { return 1; }
    std::size_t host_room() const override { return room; }
    void host_deliver(const std::uint8_t* data, std::size_t size) override {
        events += std::string(reinterpret_cast<const char*>(data), size);
        room -= size;
    }
    void host_ready() override { events += "<ready>"; }
    void host_credit(std::uint32_t count) override { credits += count; }
    void host_flush() override {}
    void host_fault(wire::FaultReason) override { events += "<fault>"; }

    std::size_t room;
    std::string events;
    std::uint32_t credits = 0;

private:
    std::string m_name = "recorder";
};

/// A UART of `fifo` bytes each way whose target of `kind` runs.
std::unique_ptr<UART> running_uart(const char* kind, std::size_t fifo) {
    auto uart = std::make_unique<UART>(fifo, fifo, true);
    uart->set_target(make_kind(kind));
    std::string error;
    EXPECT_TRUE(uart->attach_target(true, error)) << error;
    return uart;
}

/// The same UART, held by `host`.
std::unique_ptr<UART> held_uart(const char* kind, std::size_t fifo, RECORDING_HOST& host) {
    auto uart = running_uart(kind, fifo);
    uart->attach_host(host);
    return uart;
}

void write(UART& uart, const std::string& text) {
    ASSERT_TRUE(uart.host_write(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
}

}  // namespace

TEST(Fifo, WrapsAroundAndStopsWhenFull) {
    FIFO fifo(5);
    const std::uint8_t data[] = {1, 2, 3, 4, 5, 6, 7};
    EXPECT_EQ(fifo.push(data, 4), 4u);
    std::uint8_t out[8] = {};
    EXPECT_EQ(fifo.pop(out, 3), 3u);
    EXPECT_EQ(fifo.push(data + 4, 3), 3u);  // wraps
    EXPECT_EQ(fifo.push(data, 7), 1u);      // only one byte of room left
    EXPECT_EQ(fifo.space(), 0u);
    EXPECT_EQ(fifo.pop(out, 8), 5u);
    const std::uint8_t expected[] = {4, 5, 6, 7, 1};
    EXPECT_EQ(0, std::memcmp(out, expected, 5));
    EXPECT_TRUE(fifo.empty());
}

TEST(UartPump, LoopbackEchoesAndCreditsTheHost) {
    RECORDING_HOST host;
    auto owned = held_uart("loopback", 8, host);
    UART& uart = *owned;
    write(uart, "abcdefgh");
    EXPECT_EQ(host.events, "<ready>abcdefgh");
    EXPECT_EQ(host.credits, 8u);
    EXPECT_FALSE(uart.host_write(reinterpret_cast<const std::uint8_t*>("123456789"), 9));  // beyond the FIFO
}

TEST(UartPump, FullWindowBacksUpIntoBothFifos) {
    RECORDING_HOST host(0);
    auto owned = held_uart("loopback", 4, host);
    UART& uart = *owned;
    write(uart, "1234");  // the loopback moves it into the transmit FIFO
    EXPECT_EQ(uart.tx().size(), 4u);
    EXPECT_EQ(host.credits, 4u);
    write(uart, "5678");  // the transmit FIFO is full: these stay in the receive FIFO
    EXPECT_EQ(uart.rx().size(), 4u);
    EXPECT_EQ(uart.host_credit(), 0u);
    host.room = 3;
    uart.pump();
    EXPECT_EQ(host.events, "<ready>123");
    host.room = 100;
    uart.pump();
    EXPECT_EQ(host.events, "<ready>12345678");
    EXPECT_TRUE(uart.rx().empty());
    EXPECT_EQ(host.credits, 8u);
}

TEST(UartPump, HeldBytesComeBeforeReadyAndLaterOutputAfter) {
    auto owned = running_uart("demo", 128);
    UART& uart = *owned;
    const std::size_t held = uart.tx().size();
    RECORDING_HOST host;
    uart.attach_host(host);
    const std::size_t ready = host.events.find("<ready>");
    ASSERT_NE(ready, std::string::npos);
    EXPECT_EQ(ready, held);  // exactly what the FIFO held: the power-on line
    EXPECT_EQ(host.events.substr(0, ready), test_support::DEMO_POWER_ON);
    // The connection greeting, a line of its own, not the power-on line again.
    EXPECT_EQ(host.events.substr(ready + 7), test_support::DEMO_GREETING);
}

TEST(UartPump, FaultFreesTheUartAndPowerOffClearsFifos) {
    RECORDING_HOST host(0);
    auto owned = held_uart("loopback", 8, host);
    UART& uart = *owned;
    write(uart, "abc");
    uart.fault_host(wire::FaultReason::unplugged);
    EXPECT_EQ(uart.holder(), nullptr);
    EXPECT_EQ(host.events, "<ready><fault>");
    EXPECT_EQ(uart.tx().size(), 3u);  // unplugging does not touch the board
    uart.power_off();
    EXPECT_TRUE(uart.tx().empty());
}

/// A running demo target whose holder has heard nothing yet after its
/// connection banner.
class DemoTarget : public testing::Test {
protected:
    DemoTarget() {
        uart.attach_host(host);
        host.events.clear();
    }
    RECORDING_HOST host;
    std::unique_ptr<UART> owned = running_uart("demo", 64);
    UART& uart = *owned;
};

TEST_F(DemoTarget, CountsAndSaysGoodbyeWithCtrlD) {
    write(uart, "count 3\r");
    write(uart, "bye\r\n");
    // The connection banner comes first, then the echo and the answers.
    EXPECT_NE(host.events.find("count 3\nline 1\nline 2\nline 3\nbye\nBye.\n\x04"), std::string::npos)
        << host.events;
}

TEST_F(DemoTarget, ProfileBlockHasMarkerAndExactLength) {
    write(uart, "gmon\r");
    const std::string marker = "**gmon.out data follows**\n";
    const std::size_t at = host.events.find(marker);
    ASSERT_NE(at, std::string::npos);
    const std::string rest = host.events.substr(at + marker.size());
    ASSERT_GE(rest.size(), 4u);
    const std::uint32_t length = static_cast<std::uint8_t>(rest[0]) | static_cast<std::uint8_t>(rest[1]) << 8 |
                                 static_cast<std::uint8_t>(rest[2]) << 16 | static_cast<std::uint32_t>(static_cast<std::uint8_t>(rest[3])) << 24;
    EXPECT_EQ(rest.size(), 4u + length);  // nothing after the profile
    EXPECT_EQ(rest.substr(4, 4), "gmon");
}
