// A JTAG adapter reached over TCP: remote_bitbang spoken directly, or a
// running OpenOCD's TCL port. All I/O is asynchronous on the caller's
// io_context, one transaction at a time, each with a deadline, so a slow or
// stalled adapter holds up nothing but its own chain.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/steady_timer.hpp>

#include "jtag/openocd-tcl.h"
#include "jtag/scan.h"
#include "jtag/tap-state.h"

namespace jtag {

enum class ADAPTER_KIND { remote_bitbang, openocd };

class ADAPTER : public std::enable_shared_from_this<ADAPTER> {
public:
    using DONE = std::function<void(const std::string& error)>;
    using SCANNED = std::function<void(const std::string& error, CAPTURED captured)>;
    using LISTED = std::function<void(const std::string& error, std::vector<LISTED_TAP> taps)>;

    /// `timeout_ms` bounds each transaction and the connection.
    static std::shared_ptr<ADAPTER> make(ADAPTER_KIND kind, std::string host, std::uint16_t port,
                                         asio::io_context& io, int timeout_ms = 3000);
    virtual ~ADAPTER() = default;

    ADAPTER_KIND kind() const { return m_kind; }
    /// "remote_bitbang" or "openocd".
    const char* kind_name() const;
    /// "HOST:PORT".
    std::string address() const;

    /// Connects (TCP_NODELAY); `done` gets an empty error on success.
    void connect(DONE done);
    /// Ends the connection; no callback of a pending transaction runs.
    void close();
    bool connected() const { return m_socket.is_open(); }

    /// Whether the adapter declares the chain's TAPs itself (OpenOCD does;
    /// over remote_bitbang the host probes the chain).
    bool lists_taps() const { return m_kind == ADAPTER_KIND::openocd; }
    /// The TAPs OpenOCD declared, as `scan_chain` lists them.
    void list_taps(LISTED done);
    /// The chain that scans of one TAP are laid out on.
    void set_taps(std::vector<TAP_SLOT> taps) { m_taps = std::move(taps); }
    const std::vector<TAP_SLOT>& taps() const { return m_taps; }
    /// Runs `scans` in one transaction (remote_bitbang) or one script
    /// (OpenOCD: at most one DR scan, last, and no whole-chain scans).
    void run(const std::vector<SCAN>& scans, SCANNED done);
    /// Where a remote_bitbang host left the TAPs.
    TAP_STATE state() const { return m_state; }
    /// Bytes written to the adapter so far (for benchmarks).
    std::uint64_t bytes_sent() const { return m_sent; }

private:
    ADAPTER(ADAPTER_KIND kind, std::string host, std::uint16_t port, asio::io_context& io, int timeout_ms);
    /// Writes `request` and reads until `complete(reply so far)`; `done`
    /// gets the error or the reply. One at a time.
    void transact(std::string request, std::function<bool(const std::string&)> complete,
                  std::function<void(const std::string& error, std::string reply)> done);
    void read_more(std::uint64_t generation);
    /// Ends a transaction that outlived its deadline. One timer serves all
    /// transactions: re-arming a timer for each would cost more than the
    /// transaction while a UART sits idle.
    void watch();
    void finish(std::uint64_t generation, const std::string& error);

    ADAPTER_KIND m_kind;
    std::string m_host;
    std::uint16_t m_port;
    asio::io_context& m_io;
    int m_timeout_ms;
    asio::ip::tcp::socket m_socket;
    asio::ip::tcp::resolver m_resolver;
    asio::steady_timer m_deadline;  ///< the connection's
    asio::steady_timer m_watchdog;
    std::chrono::steady_clock::time_point m_due;
    bool m_watching = false;
    std::vector<TAP_SLOT> m_taps;
    TAP_STATE m_state = TAP_STATE::reset;
    std::uint64_t m_generation = 0;  ///< raised by close and by each finished transaction
    std::string m_reply;
    std::array<char, 16384> m_chunk;
    std::function<bool(const std::string&)> m_complete;
    std::function<void(const std::string&, std::string)> m_done;
    bool m_written = false;
    bool m_replied = false;
    std::uint64_t m_sent = 0;
};

}  // namespace jtag
