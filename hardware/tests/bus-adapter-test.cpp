// The JTAG UART's bus adapters (Wishbone, AXI4-Lite) with a real core behind
// our own TAP, driven by the firmware driver (hardware/driver) through bus
// cycles on the Verilated RTL, and by a JTAG host on the other side: bytes
// both ways, wait states and handshake orders, byte lanes, drop and
// blocking modes with and without a host, the interrupt, resets in the
// middle of an access. The benches' FIFOs hold 8 bytes each way and a host
// counts as gone 2**12 clocks after its last scan.
#include <algorithm>
#include <string>
#include <type_traits>
#include <vector>

#include <gtest/gtest.h>

#include "hardware/driver/jtag-uart.h"
#include "hardware/tests/bus-bench.h"

namespace {

constexpr std::uint32_t k_base = 0x40000000;
constexpr unsigned k_fifo = 8;
constexpr unsigned k_timeout = 1u << 12;
constexpr std::uint32_t k_data = k_base + JTAG_UART_DATA;
constexpr std::uint32_t k_status = k_base + JTAG_UART_STATUS;
constexpr std::uint32_t k_control = k_base + JTAG_UART_CONTROL;

std::vector<std::uint8_t> bytes_of(const std::string& text) { return {text.begin(), text.end()}; }

BUS_ACCESS data_write(std::uint8_t byte) {
    BUS_ACCESS write;
    write.write = true;
    write.address = k_data;
    write.data = byte;
    return write;
}

template <class BENCH>
class BusAdapter : public ::testing::Test {
public:
    void SetUp() override {
        host.select();
        jtag_uart_init(&uart, k_base);
    }
    /// One host scan of the UART (8 slots each way), with time before and
    /// after for the pointers to cross between the clock domains.
    void scan() {
        bench.idle_tck(4);
        host.exchange(8);
        bench.idle_tck();
    }
    void scan_while_waiting() {
        bench.while_waiting = [this] { scan(); };
    }
    /// Scans until the host got `count` bytes (or gave up).
    void drain(std::size_t count) {
        for (int i = 0; i < 100 && host.received.size() < count; ++i)
            scan();
    }
    unsigned status() { return bench.read32(k_status); }

    BENCH bench;
    DRIVER_BINDING binding{bench};
    jtag_uart uart{};
    UART_HOST host{bench, 0};
};

using BENCHES = ::testing::Types<WISHBONE_BENCH, AXIL_BENCH>;
class BENCH_NAMES {
public:
    template <class T>
    static std::string GetName(int) {
        return std::is_same_v<T, WISHBONE_BENCH> ? "Wishbone" : "AxiLite";
    }
};
TYPED_TEST_SUITE(BusAdapter, BENCHES, BENCH_NAMES);

}  // namespace

TYPED_TEST(BusAdapter, EveryByteValueBothWaysThroughTheDriver) {
    std::vector<std::uint8_t> all(256);
    for (unsigned i = 0; i < 256; ++i)
        all[i] = static_cast<std::uint8_t>(i);
    // Host to CPU: more than the receive FIFO holds, taken as it comes.
    this->host.outgoing = all;
    std::vector<std::uint8_t> got;
    for (int i = 0; i < 200 && got.size() < all.size(); ++i) {
        this->scan();
        std::uint8_t buffer[5];
        const std::size_t n = jtag_uart_read(&this->uart, buffer, sizeof buffer);
        got.insert(got.end(), buffer, buffer + n);
    }
    EXPECT_EQ(got, all);
    // CPU to host: the writes wait for room while the host scans.
    this->scan_while_waiting();
    EXPECT_EQ(jtag_uart_write(&this->uart, all.data(), all.size()), all.size());
    this->drain(all.size());
    EXPECT_EQ(this->host.received, all);
    EXPECT_EQ(jtag_uart_dropped(&this->uart), 0u);
    EXPECT_EQ(this->bench.violations, 0u) << this->bench.first_violation;
}

TYPED_TEST(BusAdapter, WithoutAHostDropModeWritesCompleteAndAreCounted) {
    // After reset: drop mode, no host has scanned yet.
    EXPECT_EQ(this->bench.read32(k_control), JTAG_UART_CONTROL_DROP | 12u << JTAG_UART_CONTROL_TIMEOUT_SHIFT);
    EXPECT_EQ(this->status(), JTAG_UART_STATUS_TX_ROOM | JTAG_UART_STATUS_DROPPING);
    const std::vector<std::uint8_t> text = bytes_of("twenty bytes of text");
    for (const std::uint8_t byte : text) {
        const BUS_ACCESS done = this->bench.run(data_write(byte));
        ASSERT_TRUE(done.done);
        EXPECT_LE(done.clocks, 3u);
    }
    EXPECT_EQ(jtag_uart_dropped(&this->uart), text.size() - k_fifo);
    EXPECT_TRUE(this->status() & JTAG_UART_STATUS_DROPPING);
    EXPECT_EQ(jtag_uart_try_putc(&this->uart, 'x'), 0);
    // What fitted is there for a host that comes later; the rest is gone.
    this->drain(k_fifo);
    this->scan();
    EXPECT_EQ(this->host.received, std::vector<std::uint8_t>(text.begin(), text.begin() + k_fifo));
    EXPECT_TRUE(jtag_uart_host_present(&this->uart));
    jtag_uart_clear_dropped(&this->uart);
    EXPECT_EQ(jtag_uart_dropped(&this->uart), 0u);
}

TYPED_TEST(BusAdapter, WhileAHostScansDropModeDropsNothing) {
    this->scan();
    this->scan_while_waiting();
    const std::vector<std::uint8_t> text = bytes_of("forty bytes for a host that reads them..");
    unsigned longest = 0;
    for (const std::uint8_t byte : text) {
        const BUS_ACCESS done = this->bench.run(data_write(byte));
        ASSERT_TRUE(done.done);
        longest = std::max(longest, done.clocks);
    }
    EXPECT_GT(longest, 50u) << "no write had to wait for the host";
    this->drain(text.size());
    EXPECT_EQ(this->host.received, text);
    EXPECT_EQ(jtag_uart_dropped(&this->uart), 0u);
}

TYPED_TEST(BusAdapter, BlockingModeWaitsForAHostHoweverLong) {
    jtag_uart_configure(&this->uart, JTAG_UART_BLOCKING, 12);
    for (unsigned i = 0; i < k_fifo; ++i)
        jtag_uart_putc(&this->uart, static_cast<std::uint8_t>('a' + i));
    EXPECT_EQ(jtag_uart_try_putc(&this->uart, '!'), 0);  // full: not sent, no wait
    const BUS_ACCESS write = data_write('z');
    this->bench.start(write);
    this->bench.tick(3 * k_timeout);
    EXPECT_TRUE(this->bench.busy());
    this->scan();  // takes 8 bytes: the write goes in
    const BUS_ACCESS done = this->bench.finish();
    EXPECT_TRUE(done.done);
    this->drain(k_fifo + 1);
    EXPECT_EQ(this->host.received, bytes_of("abcdefghz"));
    EXPECT_EQ(jtag_uart_dropped(&this->uart), 0u);
}

TYPED_TEST(BusAdapter, DropModeStopsWaitingOnceTheHostIsGone) {
    this->scan();
    for (unsigned i = 0; i < k_fifo; ++i)
        jtag_uart_putc(&this->uart, static_cast<std::uint8_t>('a' + i));
    const BUS_ACCESS write = data_write('z');
    const BUS_ACCESS done = this->bench.run(write);
    ASSERT_TRUE(done.done);
    EXPECT_GT(done.clocks, k_timeout / 2);
    EXPECT_LE(done.clocks, k_timeout + 10);
    EXPECT_EQ(jtag_uart_dropped(&this->uart), 1u);
    EXPECT_FALSE(jtag_uart_host_present(&this->uart));
    this->drain(k_fifo);
    EXPECT_EQ(this->host.received, bytes_of("abcdefgh"));
}

TYPED_TEST(BusAdapter, InterruptIsRaisedMaskedAndCleared) {
    struct CASE {
        const char* name;
        unsigned enable;
        std::function<void(BusAdapter<TypeParam>&)> raise;
        std::function<void(BusAdapter<TypeParam>&)> clear;
    };
    const std::vector<CASE> cases = {
        {"received byte", JTAG_UART_IRQ_RX,
         [](auto& t) { t.host.outgoing = {0x42}; t.scan(); },
         [](auto& t) { EXPECT_EQ(jtag_uart_try_getc(&t.uart), 0x42); }},
        {"transmit room", JTAG_UART_IRQ_TX, [](auto&) {},
         [](auto& t) { EXPECT_EQ(jtag_uart_try_write(&t.uart, "0123456789", 10), k_fifo); }},
        {"host came", JTAG_UART_IRQ_HOST, [](auto& t) { t.scan(); },
         [](auto& t) { jtag_uart_irq_ack(&t.uart, JTAG_UART_IRQ_HOST); }},
    };
    for (const CASE& c : cases) {
        SCOPED_TRACE(c.name);
        this->bench.reset_bus();
        this->host.outgoing.clear();
        this->scan();  // the host takes what was left
        this->bench.tick(k_timeout + 10);  // and leaves
        jtag_uart_irq_ack(&this->uart, JTAG_UART_IRQ_HOST);
        jtag_uart_flush_rx(&this->uart);
        // The cause without its enable: no interrupt.
        jtag_uart_irq_disable(&this->uart, JTAG_UART_IRQ_ALL);
        c.raise(*this);
        this->bench.tick(2);
        EXPECT_FALSE(this->bench.irq());
        EXPECT_EQ(jtag_uart_irq_pending(&this->uart), 0u);
        jtag_uart_irq_enable(&this->uart, c.enable);
        this->bench.tick(2);
        EXPECT_TRUE(this->bench.irq());
        EXPECT_EQ(jtag_uart_irq_pending(&this->uart), c.enable);
        EXPECT_TRUE(this->status() & JTAG_UART_STATUS_IRQ);
        jtag_uart_irq_disable(&this->uart, c.enable);
        this->bench.tick(2);
        EXPECT_FALSE(this->bench.irq());
        jtag_uart_irq_enable(&this->uart, c.enable);
        c.clear(*this);
        this->bench.tick(2);
        EXPECT_FALSE(this->bench.irq());
        EXPECT_EQ(jtag_uart_irq_pending(&this->uart), 0u);
    }
    // The host's leaving is an event of its own.
    this->scan();
    jtag_uart_irq_ack(&this->uart, JTAG_UART_IRQ_HOST);
    jtag_uart_irq_enable(&this->uart, JTAG_UART_IRQ_HOST);
    this->bench.tick(k_timeout / 2);
    EXPECT_FALSE(this->bench.irq());
    this->bench.tick(k_timeout / 2 + 10);
    EXPECT_TRUE(this->bench.irq());
}

TYPED_TEST(BusAdapter, ByteLanesOutsideARegisterFieldLeaveItAlone) {
    struct CASE {
        std::uint32_t address, value;
        std::uint8_t strobe;
        bool sends;                // DATA: a byte goes to the host
        std::uint32_t control;     // CONTROL afterwards
    };
    const std::uint32_t reset_control = JTAG_UART_CONTROL_DROP | 12u << JTAG_UART_CONTROL_TIMEOUT_SHIFT;
    const std::vector<CASE> cases = {
        {k_data, 'A', 0x1, true, reset_control},
        {k_data, 'B', 0xF, true, reset_control},
        {k_data, 'C', 0x2, false, reset_control},
        {k_data, 'D', 0xE, false, reset_control},
        {k_data, 'E', 0x0, false, reset_control},
        {k_control, 0x0703u, 0x1, false, 0x0003u | 12u << 8},
        {k_control, 0x0703u, 0x2, false, 0x0010u | 7u << 8},
        {k_control, 0x0703u, 0xC, false, reset_control},
        {k_control, 0x0703u, 0x3, false, 0x0703u},
    };
    for (const CASE& c : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << c.address << " " << c.value << " lanes " << unsigned{c.strobe});
        this->bench.reset_bus();
        this->host.received.clear();
        this->bench.write32(c.address, c.value, c.strobe);
        this->scan();
        EXPECT_EQ(this->host.received.size(), c.sends ? 1u : 0u);
        if (c.sends && !this->host.received.empty()) {
            EXPECT_EQ(this->host.received[0], c.value);
        }
        EXPECT_EQ(this->bench.read32(k_control), c.control);
    }
}

TYPED_TEST(BusAdapter, OffsetTwelveIsAnErrorAndTheOthersAreNot) {
    for (const bool write : {false, true}) {
        for (std::uint32_t offset = 0; offset < 16; offset += 4) {
            BUS_ACCESS access;
            access.write = write;
            access.address = k_base + offset;
            access.data = offset == JTAG_UART_DATA ? 'q' : 0x0010 | 12u << 8;
            const BUS_ACCESS done = this->bench.run(access);
            ASSERT_TRUE(done.done);
            EXPECT_EQ(done.error, offset == 12) << offset << (write ? " write" : " read");
            if (offset == 12 && !write) {
                EXPECT_EQ(done.read_data, 0u);
            }
        }
    }
    EXPECT_EQ(this->bench.violations, 0u) << this->bench.first_violation;
}

TYPED_TEST(BusAdapter, ResetDuringAWaitingWriteSendsNoByteAndKeepsTheRest) {
    jtag_uart_configure(&this->uart, JTAG_UART_BLOCKING, 12);
    jtag_uart_write(&this->uart, "abcdefgh", k_fifo);
    const BUS_ACCESS write = data_write('z');
    this->bench.start(write);
    this->bench.tick(20);
    ASSERT_TRUE(this->bench.busy());
    this->bench.reset_bus();
    this->drain(k_fifo);
    this->scan();
    EXPECT_EQ(this->host.received, bytes_of("abcdefgh"));
    // The adapter works on after it.
    jtag_uart_putc(&this->uart, 'i');
    this->scan();
    EXPECT_EQ(this->host.received, bytes_of("abcdefghi"));
}

TYPED_TEST(BusAdapter, FlushDropsTheReceivedBytesOnly) {
    this->host.outgoing = bytes_of("old");
    this->scan();
    jtag_uart_flush_rx(&this->uart);
    EXPECT_EQ(jtag_uart_try_getc(&this->uart), -1);
    this->host.outgoing = bytes_of("new");
    this->scan();
    char got[4] = {};
    EXPECT_EQ(jtag_uart_read(&this->uart, got, 3), 3u);
    EXPECT_EQ(std::string(got), "new");
    this->host.outgoing = {0x00, 0xFF};
    this->scan();
    EXPECT_EQ(jtag_uart_getc(&this->uart), 0x00);
    EXPECT_EQ(jtag_uart_getc(&this->uart), 0xFF);
}

// ------------------------------------------------------------------ Wishbone

TEST(WishboneAdapter, BackToBackAccessesTakeOneClockEachPlusTheMastersWaitStates) {
    struct CASE {
        std::vector<unsigned> delays;
    };
    for (const CASE& c : std::vector<CASE>{{{0}}, {{1}}, {{0, 2, 1}}, {{3, 0}}}) {
        WISHBONE_BENCH bench;
        bench.strobe_delays = c.delays;
        const std::uint64_t before = bench.clock_count;
        unsigned expected = 0;
        for (unsigned i = 0; i < 12; ++i) {
            // Each value written is read back at once: no stale read after a write.
            const std::uint32_t value = (i & 7) | 0x10 | (i + 4) << 8;
            bench.write32(k_control, value);
            EXPECT_EQ(bench.read32(k_control), value);
            expected += 2 + c.delays[(2 * i) % c.delays.size()] + c.delays[(2 * i + 1) % c.delays.size()];
        }
        EXPECT_EQ(bench.clock_count - before, expected);
        EXPECT_EQ(bench.violations, 0u) << bench.first_violation;
    }
}

TEST(WishboneAdapter, ADataReadWithoutLaneZeroShowsTheByteAndLeavesIt) {
    WISHBONE_BENCH bench;
    UART_HOST host(bench, 0);
    host.select();
    host.outgoing = {0x5A, 0xA5};
    host.exchange(8);
    bench.idle_tck();
    BUS_ACCESS peek;
    peek.address = k_data;
    peek.strobe = 0x2;
    for (int i = 0; i < 2; ++i)
        EXPECT_EQ(bench.run(peek).read_data, JTAG_UART_DATA_VALID | 0x5A);
    EXPECT_EQ(bench.read32(k_data), JTAG_UART_DATA_VALID | 0x5A);
    EXPECT_EQ(bench.read32(k_data), JTAG_UART_DATA_VALID | 0xA5);
    EXPECT_EQ(bench.read32(k_data), 0u);
}

// ------------------------------------------------------------------ AXI4-Lite

TEST(AxiLiteAdapter, EveryHandshakeOrderAndReadyDelayMovesTheSameBytes) {
    const std::vector<AXI_TIMING> timings = {
        {0, 0, 0, 0, 0}, {0, 3, 0, 0, 0}, {3, 0, 0, 0, 0}, {2, 2, 4, 2, 3},
        {0, 1, 5, 0, 6}, {5, 0, 1, 4, 0}, {1, 4, 2, 1, 1},
    };
    for (const AXI_TIMING& timing : timings) {
        SCOPED_TRACE(testing::Message() << "aw " << timing.aw << " w " << timing.w << " b " << timing.b
                                        << " ar " << timing.ar << " r " << timing.r);
        AXIL_BENCH bench;
        bench.timing = timing;
        DRIVER_BINDING binding(bench);
        UART_HOST host(bench, 0);
        host.select();
        jtag_uart uart;
        jtag_uart_init(&uart, k_base);
        host.outgoing = bytes_of("in");
        host.exchange(8);
        bench.idle_tck();
        EXPECT_EQ(jtag_uart_getc(&uart), 'i');
        EXPECT_EQ(jtag_uart_getc(&uart), 'n');
        EXPECT_EQ(jtag_uart_try_getc(&uart), -1);
        EXPECT_EQ(jtag_uart_write(&uart, "out", 3), 3u);
        jtag_uart_configure(&uart, JTAG_UART_BLOCKING, 9);
        EXPECT_EQ(bench.read32(k_control), 9u << JTAG_UART_CONTROL_TIMEOUT_SHIFT);
        host.exchange(8);
        EXPECT_EQ(host.received, bytes_of("out"));
        EXPECT_EQ(bench.violations, 0u) << bench.first_violation;
    }
}

TEST(AxiLiteAdapter, ResetInTheMiddleOfAnAccessLeavesNothingHalfDone) {
    AXIL_BENCH bench;
    UART_HOST host(bench, 0);
    host.select();
    const std::uint32_t reset_control = JTAG_UART_CONTROL_DROP | 12u << JTAG_UART_CONTROL_TIMEOUT_SHIFT;
    // A DATA read whose R is not taken yet: the byte stays in the FIFO.
    host.outgoing = {0x77};
    host.exchange(8);
    bench.idle_tck();
    bench.timing.r = 10;
    BUS_ACCESS read;
    read.address = k_data;
    bench.start(read);
    bench.tick(4);
    ASSERT_TRUE(bench.busy());
    bench.reset_bus();
    bench.timing.r = 0;
    EXPECT_EQ(bench.read32(k_data), JTAG_UART_DATA_VALID | 0x77);
    EXPECT_EQ(bench.read32(k_data), 0u);
    // An address (of CONTROL) taken without its data: forgotten, so the data
    // of the next write, coming first, does not meet it.
    bench.timing.w = 10;
    BUS_ACCESS write;
    write.write = true;
    write.address = k_control;
    write.data = 'x';
    bench.start(write);
    bench.tick(4);
    bench.reset_bus();
    bench.timing = AXI_TIMING{3, 0, 0, 0, 0};
    bench.write32(k_data, 'x');
    bench.idle_tck(4);
    host.exchange(8);
    EXPECT_EQ(host.received, bytes_of("x"));
    EXPECT_EQ(bench.read32(k_control), reset_control);
    EXPECT_EQ(bench.violations, 0u) << bench.first_violation;
}
