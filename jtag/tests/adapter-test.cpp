// The adapter against small scripted peers on loopback: a remote_bitbang
// server that answers nonsense or nothing, an OpenOCD TCL port that answers
// as 0.12 does, and a port where nothing listens.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/write.hpp>

#include "jtag/adapter.h"
#include "jtag/chain-probe.h"

namespace {

using jtag::SCAN;

/// A peer on a free loopback port that takes one connection and answers
/// each chunk it reads with what `answer` returns.
class PEER {
public:
    using ANSWER = std::function<std::string(const std::string& chunk)>;

    PEER(asio::io_context& io, ANSWER answer)
        : m_acceptor(io, {asio::ip::address_v4::loopback(), 0}), m_socket(io), m_answer(std::move(answer)) {
        m_acceptor.async_accept(m_socket, [this](const std::error_code& error) {
            if (!error)
                read();
        });
    }
    std::uint16_t port() const { return m_acceptor.local_endpoint().port(); }
    const std::string& received() const { return m_received; }
    bool closed() const { return m_closed; }

private:
    void read() {
        m_socket.async_read_some(asio::buffer(m_chunk), [this](const std::error_code& error, std::size_t size) {
            if (error) {
                m_closed = true;
                return;
            }
            const std::string chunk(m_chunk.data(), size);
            m_received += chunk;
            auto reply = std::make_shared<std::string>(m_answer(chunk));
            if (!reply->empty())
                asio::async_write(m_socket, asio::buffer(*reply), [reply](const std::error_code&, std::size_t) {});
            read();
        });
    }

    asio::ip::tcp::acceptor m_acceptor;
    asio::ip::tcp::socket m_socket;
    ANSWER m_answer;
    std::array<char, 4096> m_chunk{};
    std::string m_received;
    bool m_closed = false;
};

/// Runs `io` until `done` or 5 s have passed.
bool run_until(asio::io_context& io, const std::function<bool()>& done) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!done() && std::chrono::steady_clock::now() < end) {
        io.run_for(std::chrono::milliseconds(10));
        if (io.stopped())
            io.restart();
    }
    return done();
}

struct RESULT {
    bool done = false;
    std::string error;
    jtag::CAPTURED captured;
};

std::shared_ptr<jtag::ADAPTER> connected(asio::io_context& io, jtag::ADAPTER_KIND kind, std::uint16_t port,
                                         int timeout_ms = 3000) {
    auto adapter = jtag::ADAPTER::make(kind, "127.0.0.1", port, io, timeout_ms);
    RESULT connect;
    adapter->connect([&](const std::string& error) {
        connect.done = true;
        connect.error = error;
    });
    EXPECT_TRUE(run_until(io, [&] { return connect.done; }));
    EXPECT_EQ(connect.error, "");
    return adapter;
}

RESULT run(asio::io_context& io, jtag::ADAPTER& adapter, const std::vector<SCAN>& scans) {
    RESULT result;
    adapter.run(scans, [&](const std::string& error, jtag::CAPTURED captured) {
        result.done = true;
        result.error = error;
        result.captured = std::move(captured);
    });
    EXPECT_TRUE(run_until(io, [&] { return result.done; }));
    return result;
}

const std::vector<jtag::TAP_SLOT> k_board = {{"other.tap", 5}, {"fpga.tap", 6}};

TEST(Adapter, RemoteBitbangPeerAnsweringNonsenseIsDropped) {
    asio::io_context io;
    PEER peer(io, [](const std::string& chunk) {
        return std::string(static_cast<std::size_t>(std::count(chunk.begin(), chunk.end(), 'R')), 'X');
    });
    auto adapter = connected(io, jtag::ADAPTER_KIND::remote_bitbang, peer.port());
    adapter->set_taps(k_board);
    const RESULT result = run(io, *adapter, {SCAN::ir(1, jtag::to_bits(0x01, 6)), SCAN::dr(1, jtag::BITS(32))});
    EXPECT_NE(result.error.find("0x58"), std::string::npos) << result.error;
    EXPECT_TRUE(result.captured.empty());
    EXPECT_FALSE(adapter->connected());
    EXPECT_EQ(adapter->state(), jtag::TAP_STATE::reset);
    EXPECT_TRUE(run_until(io, [&] { return peer.closed(); }));
}

TEST(Adapter, SilentPeerMeetsTheDeadline) {
    asio::io_context io;
    PEER peer(io, [](const std::string&) { return std::string(); });
    auto adapter = connected(io, jtag::ADAPTER_KIND::remote_bitbang, peer.port(), 300);
    adapter->set_taps(k_board);
    const auto start = std::chrono::steady_clock::now();
    const RESULT result = run(io, *adapter, {SCAN::reset(), SCAN::dr(-1, jtag::idcode_probe_bits())});
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(250));
    EXPECT_EQ(result.error, "no answer within 300 ms");
    EXPECT_FALSE(adapter->connected());
    EXPECT_FALSE(peer.received().empty());
    EXPECT_EQ(peer.received().back(), 'R');  // the fence went out last

    // A run on the closed adapter fails at once, on the io_context.
    const RESULT again = run(io, *adapter, {SCAN::idle()});
    EXPECT_EQ(again.error, "not connected");
}

const char k_scan_chain[] =
    "   TapName             Enabled  IdCode     Expected   IrLen IrCap IrMask\n"
    "-- ------------------- -------- ---------- ---------- ----- ----- ------\n"
    " 0 other.tap              Y     0x30a51e2b 0x30a51e2b     5 0x01  0x03\n"
    " 1 fpga.tap               Y     0x17e01f57 0x17e01f57     6 0x01  0x03\n";

TEST(Adapter, OpenocdListsTapsAndRunsAScript) {
    asio::io_context io;
    std::string pending;
    std::vector<std::string> commands;
    PEER peer(io, [&](const std::string& chunk) {
        pending += chunk;
        std::string reply;
        for (std::size_t end; (end = pending.find(jtag::k_tcl_end)) != std::string::npos;) {
            commands.push_back(pending.substr(0, end));
            pending.erase(0, end + 1);
            reply += commands.back() == "scan_chain" ? k_scan_chain : "0x0000000000000005a024000\n";
            reply += jtag::k_tcl_end;
        }
        return reply;
    });
    auto adapter = connected(io, jtag::ADAPTER_KIND::openocd, peer.port());
    ASSERT_TRUE(adapter->lists_taps());

    bool listed = false;
    std::string error = "not called";
    std::vector<jtag::LISTED_TAP> taps;
    adapter->list_taps([&](const std::string& problem, std::vector<jtag::LISTED_TAP> found) {
        listed = true;
        error = problem;
        taps = std::move(found);
    });
    ASSERT_TRUE(run_until(io, [&] { return listed; }));
    ASSERT_EQ(error, "");
    ASSERT_EQ(taps.size(), 2u);
    EXPECT_EQ(taps[1].name, "fpga.tap");

    adapter->set_taps(k_board);
    jtag::UART_REQUEST request;
    request.takes = request.slots = 4;
    const jtag::BITS field = jtag::uart_field(request);
    const RESULT result =
        run(io, *adapter, {SCAN::idle(), SCAN::ir(1, jtag::to_bits(0x20, 6)), SCAN::dr(1, field, true)});
    ASSERT_EQ(result.error, "");
    ASSERT_EQ(result.captured.size(), 1u);
    jtag::UART_STATUS status;
    ASSERT_TRUE(jtag::read_uart_field(result.captured[0], request, status, error)) << error;
    EXPECT_EQ(status.room, 64u);
    EXPECT_EQ(status.available, 0u);
    EXPECT_EQ(status.version, 2u);
    ASSERT_EQ(commands.size(), 2u);
    EXPECT_EQ(commands[1], "runtest 0; irscan fpga.tap 0x20; drscan fpga.tap " + std::to_string(field.size()) + " 0x" +
                               jtag::to_hex(field) +
                               " -endstate DRPAUSE");
    EXPECT_TRUE(adapter->connected());
    EXPECT_EQ(adapter->bytes_sent(), commands[0].size() + commands[1].size() + 2);

    // A scan OpenOCD cannot take is refused without a word sent.
    const RESULT refused = run(io, *adapter, {SCAN::reset()});
    EXPECT_FALSE(refused.error.empty());
    EXPECT_EQ(commands.size(), 2u);
    adapter->close();
    EXPECT_TRUE(run_until(io, [&] { return peer.closed(); }));
}

TEST(Adapter, RefusedConnection) {
    asio::io_context io;
    std::uint16_t port = 0;
    {
        asio::ip::tcp::acceptor taken(io, {asio::ip::address_v4::loopback(), 0});
        port = taken.local_endpoint().port();
    }
    auto adapter = jtag::ADAPTER::make(jtag::ADAPTER_KIND::remote_bitbang, "127.0.0.1", port, io, 2000);
    RESULT connect;
    adapter->connect([&](const std::string& error) {
        connect.done = true;
        connect.error = error;
    });
    ASSERT_TRUE(run_until(io, [&] { return connect.done; }));
    EXPECT_EQ(connect.error, asio::error::make_error_code(asio::error::connection_refused).message());
    EXPECT_FALSE(adapter->connected());
    EXPECT_EQ(adapter->address(), "127.0.0.1:" + std::to_string(port));
}

}  // namespace
