// A JTAG host for the tests of the RTL: drives the simulated board's pins
// directly (as a cable would), moves the TAPs, scans the FPGA's registers
// with the other device in BYPASS, and speaks the JTAG UART's data register.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "hardware/board-sim/board-model.h"

using bits = std::vector<bool>;

bits to_bits(std::uint64_t value, unsigned count);
std::uint64_t from_bits(const bits& value, unsigned first, unsigned count);

/// The FPGA's instructions (hardware/README.md).
enum : unsigned { IR_IDCODE = 0x01, IR_DISCOVER = 0x02, IR_USER0 = 0x20, IR_BYPASS = 0x3F };

class JTAG_PROBE {
public:
    explicit JTAG_PROBE(BOARD_MODEL& board) : m_board(board) {}

    /// One TCK cycle; returns TDO as sampled before the rising edge.
    bool clock(bool tms, bool tdi = false);
    /// Five clocks with TMS high, then Run-Test/Idle.
    void reset();
    /// From Run-Test/Idle: the whole chain's IR (the FPGA's `code`, the other
    /// device in BYPASS), back to Run-Test/Idle; returns the 11 captured bits.
    std::uint64_t instruction(unsigned code);
    /// From Run-Test/Idle: a DR scan of the whole chain, back to Run-Test/Idle.
    bits chain_dr(const bits& in);
    /// A DR scan of the FPGA's register alone (the other device's BYPASS
    /// bit added and removed).
    bits fpga_dr(const bits& in);
    /// From Run-Test/Idle to Shift-DR (for scans the tests cut short).
    void enter_shift_dr();

private:
    BOARD_MODEL& m_board;
};

/// One scan of a JTAG UART's data register as a host sends it.
struct UART_SCAN {
    std::vector<std::uint8_t> send;  ///< bytes for the receive FIFO
    unsigned takes = 0;              ///< bytes wanted from the transmit FIFO
    unsigned length = 0;             ///< byte slots
    bool commit = true;
};

/// What came back: the captured header and the byte slots.
struct UART_REPLY {
    unsigned available = 0, room = 0, version = 0, mark = 0;
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
    UART_HOST(JTAG_PROBE& probe, unsigned uart) : m_probe(probe), m_uart(uart) {}
    /// Selects the UART's instruction.
    void select();
    /// One full scan of `length` slots; returns the reply.
    UART_REPLY exchange(unsigned length = 64);

    std::vector<std::uint8_t> outgoing;  ///< not yet accepted by the core
    std::vector<std::uint8_t> received;

private:
    JTAG_PROBE& m_probe;
    unsigned m_uart;
};
