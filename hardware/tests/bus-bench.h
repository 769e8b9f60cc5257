// Test benches of the JTAG UART's bus adapters: the Verilated adapter with a
// real core behind our own TAP, a bus master that runs cycles on it (with
// wait states and handshake delays the test chooses and a check of the
// slave's side of the protocol), and the JTAG host of jtag-probe.h on the
// same model. The driver's register accesses run on the bench bound last.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "hardware/tests/jtag-probe.h"

class Vbus_wishbone_top;
class Vbus_axil_top;
class VerilatedContext;

/// One register access as the master runs it, and what came of it.
struct BUS_ACCESS {
    bool write = false;
    std::uint32_t address = 0;
    std::uint32_t data = 0;
    std::uint8_t strobe = 0xF;  ///< byte lanes (Wishbone SEL, AXI WSTRB)
    bool done = false;
    bool error = false;         ///< ERR or SLVERR
    std::uint32_t read_data = 0;
    unsigned clocks = 0;        ///< from the first clock of the access to its end
};

class BUS_BENCH : public JTAG_HOST {
public:
    ~BUS_BENCH() override;

    /// Runs system clocks (TCK stays as it is); an access started goes on.
    void tick(unsigned clocks = 1);
    /// Starts an access; it runs from the next clock on.
    void start(const BUS_ACCESS& access);
    bool busy() const { return m_active && !m_access.done; }
    /// Runs clocks until the access started is done (or `limit` clocks
    /// passed: not done), calling `while_waiting` every `host_period` clocks.
    BUS_ACCESS finish();
    BUS_ACCESS run(const BUS_ACCESS& access) { start(access); return finish(); }
    std::uint32_t read32(std::uint32_t address);
    void write32(std::uint32_t address, std::uint32_t value, std::uint8_t strobe = 0xF);
    /// Holds the adapter's reset for `clocks`; the master drops its access.
    void reset_bus(unsigned clocks = 2);
    /// TCK cycles in Run-Test/Idle, so that a committed scan crosses to sys_clk.
    void idle_tck(unsigned cycles = 16);

    virtual bool irq() const = 0;
    /// Protocol rules the slave broke so far (with the first one's text).
    unsigned violations = 0;
    std::string first_violation;

    std::function<void()> while_waiting;
    unsigned host_period = 400;
    unsigned limit = 200000;
    /// Clocks after which a driver call gives up the test run (a driver
    /// loop that never ends: the bus works, the RTL never answers).
    std::uint64_t budget = 50000000;
    unsigned clocks_per_tck = 1;
    std::uint64_t clock_count = 0;

protected:
    BUS_BENCH();
    /// After the model exists: reset released, the TAP reset, the adapter reset.
    void power_up();
    std::string transact(const std::string& requests, std::size_t replies) override;
    virtual void set_jtag(bool tck, bool tms, bool tdi) = 0;
    virtual bool tdo() const = 0;
    /// One system clock with the master's signals for m_access.
    virtual void cycle() = 0;
    virtual void set_reset(bool reset) = 0;
    virtual void begin_access() = 0;
    void violation(const std::string& what);

    std::unique_ptr<VerilatedContext> m_context;
    BUS_ACCESS m_access;
    bool m_active = false;
    bool m_reset = false;

private:
    bool m_tck = false;
};

/// The pins every bench's Verilated top has: JTAG and the interrupt.
template <class TOP>
class MODEL_BENCH : public BUS_BENCH {
public:
    bool irq() const override;

protected:
    MODEL_BENCH();
    ~MODEL_BENCH() override;
    void set_jtag(bool tck, bool tms, bool tdi) override;
    bool tdo() const override;

    std::unique_ptr<TOP> m_top;
};

/// Wishbone B4 classic: CYC and STB until ACK; the master may hold STB low
/// for some clocks first (its own wait states, taken in turn from
/// `strobe_delays`).
class WISHBONE_BENCH : public MODEL_BENCH<Vbus_wishbone_top> {
public:
    WISHBONE_BENCH();
    std::vector<unsigned> strobe_delays{0};

protected:
    void cycle() override;
    void set_reset(bool reset) override;
    void begin_access() override;

private:
    unsigned m_delay_index = 0;
    unsigned m_wait = 0;
};

/// When the AXI4-Lite master raises each VALID and READY: clocks after the
/// access starts (AW, W, AR) or after the slave's VALID (B, R).
struct AXI_TIMING {
    unsigned aw = 0, w = 0, b = 0, ar = 0, r = 0;
};

class AXIL_BENCH : public MODEL_BENCH<Vbus_axil_top> {
public:
    AXIL_BENCH();
    AXI_TIMING timing;

protected:
    void cycle() override;
    void set_reset(bool reset) override;
    void begin_access() override;

private:
    unsigned m_aw_wait = 0, m_w_wait = 0, m_b_wait = 0, m_ar_wait = 0, m_r_wait = 0;
    bool m_aw_done = false, m_w_done = false, m_ar_done = false;
    // The slave's response channel as seen at the last clock (must hold until taken).
    bool m_b_pending = false, m_r_pending = false;
    std::uint32_t m_b_seen = 0, m_r_seen = 0, m_r_resp_seen = 0;
};

/// Binds the driver's register accesses to `bench` while it lives.
class DRIVER_BINDING {
public:
    explicit DRIVER_BINDING(BUS_BENCH& bench);
    ~DRIVER_BINDING();
    DRIVER_BINDING(const DRIVER_BINDING&) = delete;
    DRIVER_BINDING& operator=(const DRIVER_BINDING&) = delete;
};
