// The simulated board: the Verilated chain (another maker's TAP, then our
// FPGA with its JTAG UARTs) driven pin by pin as a JTAG cable drives it, its
// system clock run at a chosen ratio to TCK, and each UART's CPU side. Used
// by jtag-board-sim and by the tests of the RTL.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>

class Vboard_chain;
class VerilatedContext;

/// The CPU side of one JTAG UART: bytes the CPU received from the host wait
/// in `inbox` until the CPU's program takes them; bytes in `outbox` are
/// offered to the transmit FIFO one per system clock. A loopback side puts
/// what it receives straight into its outbox.
struct UART_SIDE {
    std::deque<std::uint8_t> inbox;
    std::deque<std::uint8_t> outbox;
    /// The CPU accepts a byte while inbox and outbox together hold fewer
    /// than this; 0 makes it stop reading the receive FIFO.
    std::size_t limit = 4096;
    bool loopback = false;
    /// The transmit FIFO had room at the last system clock.
    bool transmit_room = true;
};

class BOARD_MODEL {
public:
    static constexpr unsigned k_max_uarts = 4;
    static constexpr std::uint32_t k_other_idcode = 0x30A51E2B;
    static constexpr std::uint32_t k_fpga_idcode = 0x17E01F57;
    static constexpr unsigned k_other_ir_length = 5;
    static constexpr unsigned k_fpga_ir_length = 6;

    /// The chain this model was built with: what it is, and how many UARTs
    /// it can carry (k_max_uarts on our own TAP, one behind an FPGA's primitive).
    static const char* chain_name();
    static unsigned chain_uarts();

    /// `uarts` in 1..chain_uarts(); `clock_ratio` system clocks per TCK cycle.
    BOARD_MODEL(unsigned uarts, double clock_ratio);
    ~BOARD_MODEL();
    BOARD_MODEL(const BOARD_MODEL&) = delete;
    BOARD_MODEL& operator=(const BOARD_MODEL&) = delete;

    /// Sets TCK, TMS and TDI as a cable does; a rising edge of TCK also runs
    /// the system clock for its share of cycles.
    void drive(bool tck, bool tms, bool tdi);
    bool tdo() const;
    /// TRST and SRST as the cable sets them (true = asserted). SRST is not
    /// wired on this board.
    void set_resets(bool trst, bool srst);
    /// Runs the system clock alone, as it runs while no cable clocks TCK.
    void run_system(unsigned cycles);
    /// Progress is possible on the CPU side without TCK: a byte waits in a
    /// receive FIFO and its CPU side takes it, or a CPU side has a byte and
    /// its transmit FIFO room. (A CPU side that stops reading is idle.)
    bool system_busy() const;

    unsigned uart_count() const { return m_uarts; }
    UART_SIDE& uart(unsigned index) { return m_sides[index]; }

    /// For the tests: the FPGA TAP's state (0 Test-Logic-Reset .. 15
    /// Update-IR, in the order of hardware/rtl/jtag_tap_fsm.v) and its IR.
    unsigned tap_state() const;
    unsigned tap_instruction() const;

private:
    /// One whole system clock cycle: falling edge, then rising edge.
    void system_cycle();
    void system_edge_before();
    void system_edge_after();
    void eval();

    std::unique_ptr<VerilatedContext> m_context;
    std::unique_ptr<Vboard_chain> m_chain;
    unsigned m_uarts;
    double m_ratio;
    double m_cycles_due = 0.0;
    bool m_tck = false;
    UART_SIDE m_sides[k_max_uarts];
    // What the CPU sides saw before the system clock's rising edge.
    std::uint8_t m_rx_valid = 0;
    std::uint32_t m_rx_data = 0;
    std::uint8_t m_tx_ready = 0;
};
