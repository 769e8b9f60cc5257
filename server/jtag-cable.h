// A cable that reaches a real JTAG chain through an adapter (remote_bitbang
// or OpenOCD): it finds the TAPs and the JTAG UARTs behind them, fills its
// CABLE with them, and moves bytes between each UART's FIFOs and its core
// by scans, polling the held UARTs in turn. A lost adapter is an unplugged
// cable, retried in the background; a chain that reads all ones or zeros
// is a board that is off.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <asio/io_context.hpp>
#include <asio/steady_timer.hpp>

#include "jtag/adapter.h"
#include "jtag/chain-probe.h"
#include "server/board.h"
#include "server/chain.h"
#include "server/poll-plan.h"

class CORE_LINK;
class OPENOCD_SUPERVISOR;

class JTAG_CABLE {
public:
    /// `index` numbers the cable in the board file (it names the log of an
    /// OpenOCD the server starts for it).
    JTAG_CABLE(CABLE& cable, const CableConfig& config, asio::io_context& io, std::size_t index = 0);
    ~JTAG_CABLE();
    JTAG_CABLE(const JTAG_CABLE&) = delete;
    JTAG_CABLE& operator=(const JTAG_CABLE&) = delete;

    /// Connects and scans the chain; `settled()` once the first try is over.
    void start();
    void stop();
    bool settled() const { return m_settled; }
    /// "remote_bitbang at 127.0.0.1:5555"; an OpenOCD of the server's own
    /// adds ", started by the server as pid N".
    std::string describe() const;
    /// The OpenOCD the server runs for this cable; null when it has an address.
    const OPENOCD_SUPERVISOR* openocd() const { return m_openocd.get(); }
    /// A link has host bytes or a new holder: poll now rather than after the idle pause.
    void wake();

    /// How long a lost adapter waits between tries, and the idle poll's longest pause.
    static constexpr std::chrono::milliseconds k_retry{500};
    static constexpr std::chrono::microseconds k_max_idle_pause{10000};
    /// The longest pause while host bytes wait for room in a core.
    static constexpr std::chrono::microseconds k_max_busy_pause{1000};

private:
    void connect();
    void identify();
    void identify_openocd();
    void probe_ir_lengths(std::vector<jtag::TAP_FACTS> taps);
    void discover(std::vector<jtag::TAP_FACTS> taps, std::size_t next, std::vector<std::vector<jtag::CORE_FACTS>> cores,
                  std::vector<std::string> notes);
    void go_up(const std::vector<jtag::TAP_FACTS>& taps, const std::vector<std::vector<jtag::CORE_FACTS>>& cores,
               const std::vector<std::string>& notes);
    /// The adapter is lost or broken (or the board is off): holders get the
    /// fault, and the adapter is tried again later.
    void go_down(const std::string& problem, bool board_off);
    void log(const std::string& message);
    /// The cable's problem for chainprobe: the last words of go_down, and
    /// the error lines of the server's OpenOCD.
    void tell_problem(const std::string& problem);

    void poll();
    void poll_after(std::chrono::microseconds pause);
    /// What the poll's transaction captured: true when the cable is still up.
    bool take_reply(CORE_LINK* link, const POLL_PLAN& plan, const std::vector<jtag::UART_REQUEST>& requests,
                    const jtag::CAPTURED& captured, bool& moved);
    /// A status read of `link` shows its counts: a commit of it lost with a reply is settled.
    void settle(CORE_LINK& link, const jtag::UART_STATUS& status);
    /// The transaction failed: commits it carried may or may not have reached their cores.
    void keep_unsettled(CORE_LINK* link, const POLL_PLAN& plan, const std::vector<jtag::UART_REQUEST>& requests);
    /// The core behind `link` does not answer as a JTAG UART: only its holder is told.
    void silence(CORE_LINK& link, const std::string& problem);
    /// The scan before this one reached Update-DR: its bytes count.
    void confirm();
    /// The scan before this one did not commit: its bytes are still where they were.
    void drop_pending();
    /// Its commit was sent to a core with counts: the core's next capture tells whether it landed.
    void unsettle_pending();

    CABLE& m_cable;
    CableConfig m_config;
    asio::io_context& m_io;
    std::shared_ptr<jtag::ADAPTER> m_adapter;
    asio::steady_timer m_timer;
    bool m_stopped = false;
    bool m_settled = false;
    bool m_up = false;
    bool m_busy = false;       ///< a transaction is out
    bool m_waiting = false;    ///< the timer holds the next poll
    bool m_woken = false;      ///< asked to poll while a transaction was out
    std::string m_last_problem;
    std::vector<CORE_LINK*> m_links;  ///< in chain order, owned by their UARTs
    std::size_t m_next = 0;           ///< round robin
    std::chrono::microseconds m_pause{0};
    /// The selected instruction: (TAP, value), so that a UART scanned again needs no IR scan.
    int m_ir_tap = -1;
    unsigned m_ir_value = 0;
    /// A scan that stopped in Pause-DR, and what it will have moved once the next transaction confirms its commit.
    bool m_in_pause = false;
    CORE_LINK* m_pending_link = nullptr;
    std::vector<std::uint8_t> m_pending_taken;
    unsigned m_pending_accepted = 0;
    std::uint8_t m_pending_rx = 0, m_pending_tx = 0;  ///< the core's counts before it (version 2)
    std::uint64_t m_layout = 0;  ///< a hash of the chain found, to keep UARTs across reconnections
    std::unique_ptr<OPENOCD_SUPERVISOR> m_openocd;
};
