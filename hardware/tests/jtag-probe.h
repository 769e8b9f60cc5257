// A JTAG host for the tests of the hardware: moves the TAPs of the simulated
// board, scans the FPGA's registers with the other device in BYPASS, and
// speaks the JTAG UART's data register; on the board model in this process or
// on a jtag-board-sim over remote_bitbang.
#pragma once

#include <cstdint>
#include <cstddef>
#include <string>
#include <vector>

#include "hardware/board-sim/board-model.h"

using bits = std::vector<bool>;

bits to_bits(std::uint64_t value, unsigned count);
std::uint64_t from_bits(const bits& value, unsigned first, unsigned count);

/// The FPGA's instructions (hardware/README.md).
enum : unsigned { IR_IDCODE = 0x01, IR_DISCOVER = 0x02, IR_USER0 = 0x20, IR_BYPASS = 0x3F };

/// A JTAG host speaking remote_bitbang requests: each scan goes out as one
/// batch and its replies come back after. The transport is the subclass's.
class JTAG_HOST {
public:
    virtual ~JTAG_HOST() = default;

    /// One TCK cycle; returns TDO as sampled before the rising edge.
    bool clock(bool tms, bool tdi = false);
    /// Five clocks with TMS high, then Run-Test/Idle.
    void reset();
    /// From Run-Test/Idle: the whole chain's IR (the FPGA's `code`, the other
    /// device's `other_code`), back to Run-Test/Idle; the 11 captured bits.
    std::uint64_t instruction(unsigned code, unsigned other_code = 0x1F);
    /// From Run-Test/Idle: a DR scan of the whole chain, back to Run-Test/Idle.
    bits chain_dr(const bits& in);
    /// A DR scan of the FPGA's register alone: the other device (nearest
    /// TDO) takes the first bit shifted, in BYPASS.
    bits fpga_dr(const bits& in);
    /// From Run-Test/Idle to Shift-DR (for scans the tests cut short).
    void enter_shift_dr();

protected:
    /// Sends the requests; returns one reply ('0' or '1') per 'R'.
    virtual std::string transact(const std::string& requests, std::size_t replies) = 0;

private:
    static void add_clock(std::string& requests, bool tms, bool tdi, bool read);
};

/// The host on the board model in this process, through the same request
/// handling jtag-board-sim uses.
class JTAG_PROBE : public JTAG_HOST {
public:
    explicit JTAG_PROBE(BOARD_MODEL& board) : m_board(board) {}

protected:
    std::string transact(const std::string& requests, std::size_t replies) override;

private:
    BOARD_MODEL& m_board;
};

/// The data register's header, each way (version 3).
constexpr unsigned k_uart_header_bits = 56;

/// One scan of a JTAG UART's data register as a host sends it.
struct UART_SCAN {
    std::vector<std::uint8_t> send;  ///< bytes for the receive FIFO
    unsigned takes = 0;              ///< bytes wanted from the transmit FIFO
    unsigned length = 0;             ///< byte slots
    bool commit = true;
    /// The counts of bytes committed each way that the host expects the
    /// core to show; the core commits only when they are right.
    std::uint8_t rx_count = 0, tx_count = 0;
    /// The core addressed: the low byte of its instruction.
    std::uint8_t core = IR_USER0;
    /// The zero after the last slot that a host adds for a core behind a
    /// primitive that registers TDI (the core takes its field with or without).
    bool pad = true;
};

/// What came back: the captured header and the byte slots.
struct UART_REPLY {
    unsigned available = 0, room = 0, version = 0, mark = 0;
    std::uint8_t rx_count = 0, tx_count = 0;  ///< as captured, before this scan's commit
    std::uint8_t core = 0;                    ///< the core that answered
    std::vector<std::uint8_t> slots;
    /// What the core committed, as the host computes it.
    unsigned taken = 0, accepted = 0;
};

bits uart_scan_bits(const UART_SCAN& scan);
UART_REPLY uart_reply(const UART_SCAN& scan, const bits& out);

/// A host that streams through one JTAG UART: sends what fits, keeps the
/// rest, and collects what arrives.
class UART_HOST {
public:
    UART_HOST(JTAG_HOST& probe, unsigned uart) : m_probe(probe), m_uart(uart) {}
    /// Selects the UART's instruction.
    void select();
    /// One full scan of `length` slots; returns the reply.
    UART_REPLY exchange(unsigned length = 64);

    std::vector<std::uint8_t> outgoing;  ///< not yet accepted by the core
    std::vector<std::uint8_t> received;
    /// The core's counts as the host expects them for its next scan.
    std::uint8_t rx_count = 0, tx_count = 0;

private:
    JTAG_HOST& m_probe;
    unsigned m_uart;
};
