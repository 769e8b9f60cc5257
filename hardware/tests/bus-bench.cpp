// The bus adapter test benches (see bus-bench.h).
#include "hardware/tests/bus-bench.h"

#include <cstdlib>

#include <gtest/gtest.h>

#include "Vbus_axil_top.h"
#include "Vbus_wishbone_top.h"
#include "hardware/tests/bus-driver-binding.h"
#include "verilated.h"

namespace {
BUS_BENCH* g_bound = nullptr;
}  // namespace

BUS_BENCH::BUS_BENCH() : m_context(std::make_unique<VerilatedContext>()) {}
BUS_BENCH::~BUS_BENCH() = default;

void BUS_BENCH::violation(const std::string& what) {
    if (violations++ == 0)
        first_violation = what;
}

void BUS_BENCH::tick(unsigned clocks) {
    for (unsigned i = 0; i < clocks; ++i) {
        cycle();
        ++clock_count;
        if (m_active && !m_access.done)
            ++m_access.clocks;
    }
}

void BUS_BENCH::start(const BUS_ACCESS& access) {
    m_access = access;
    m_access.done = false;
    m_access.error = false;
    m_access.clocks = 0;
    m_active = true;
    begin_access();
}

BUS_ACCESS BUS_BENCH::finish() {
    unsigned waited = 0;
    while (busy() && waited < limit) {
        if (while_waiting && waited % host_period == host_period - 1)
            while_waiting();
        else
            tick();
        ++waited;
    }
    const BUS_ACCESS done = m_access;
    m_active = false;
    return done;
}

std::uint32_t BUS_BENCH::read32(std::uint32_t address) {
    BUS_ACCESS access;
    access.address = address;
    const BUS_ACCESS done = run(access);
    EXPECT_TRUE(done.done) << "read of " << address << " never ended";
    return done.read_data;
}

void BUS_BENCH::write32(std::uint32_t address, std::uint32_t value, std::uint8_t strobe) {
    BUS_ACCESS access;
    access.write = true;
    access.address = address;
    access.data = value;
    access.strobe = strobe;
    const BUS_ACCESS done = run(access);
    EXPECT_TRUE(done.done) << "write of " << value << " to " << address << " never ended";
}

void BUS_BENCH::reset_bus(unsigned clocks) {
    m_active = false;
    set_reset(true);
    tick(clocks);
    set_reset(false);
}

void BUS_BENCH::idle_tck(unsigned cycles) {
    for (unsigned i = 0; i < cycles; ++i)
        clock(false);
}

// remote_bitbang requests, applied to the bench: '0'..'7' set TCK, TMS and
// TDI, 'R' reads TDO; each rising edge of TCK is followed by its system clocks.
std::string BUS_BENCH::transact(const std::string& requests, std::size_t replies) {
    std::string out;
    out.reserve(replies);
    for (const char request : requests) {
        if (request == 'R') {
            out.push_back(tdo() ? '1' : '0');
            continue;
        }
        const unsigned pins = static_cast<unsigned>(request - '0');
        const bool tck = pins & 4;
        set_jtag(tck, pins & 2, pins & 1);
        if (tck && !m_tck)
            tick(clocks_per_tck);
        m_tck = tck;
    }
    return out;
}

template <class TOP>
MODEL_BENCH<TOP>::MODEL_BENCH() : m_top(std::make_unique<TOP>(m_context.get())) {
    m_top->trst_n = 1;
}

template <class TOP>
MODEL_BENCH<TOP>::~MODEL_BENCH() {
    m_top->final();
}

template <class TOP>
bool MODEL_BENCH<TOP>::irq() const {
    return m_top->irq;
}

template <class TOP>
bool MODEL_BENCH<TOP>::tdo() const {
    return m_top->tdo;
}

template <class TOP>
void MODEL_BENCH<TOP>::set_jtag(bool tck, bool tms, bool tdi) {
    m_top->tck = tck;
    m_top->tms = tms;
    m_top->tdi = tdi;
    m_top->eval();
}

template class MODEL_BENCH<Vbus_wishbone_top>;
template class MODEL_BENCH<Vbus_axil_top>;

void BUS_BENCH::power_up() {
    set_reset(false);
    set_jtag(false, false, false);
    reset();
    reset_bus();
}

// ------------------------------------------------------------------ Wishbone

WISHBONE_BENCH::WISHBONE_BENCH() { power_up(); }

void WISHBONE_BENCH::set_reset(bool reset) { m_top->rst = reset; }

void WISHBONE_BENCH::begin_access() {
    m_wait = strobe_delays.empty() ? 0 : strobe_delays[m_delay_index++ % strobe_delays.size()];
}

void WISHBONE_BENCH::cycle() {
    const bool active = busy();
    const bool strobe = active && m_wait == 0;
    m_top->clk = 0;
    m_top->wb_cyc = active;
    m_top->wb_stb = strobe;
    m_top->wb_we = active && m_access.write;
    m_top->wb_adr = m_access.address & 0xF;
    m_top->wb_dat_w = m_access.data;
    m_top->wb_sel = m_access.strobe;
    m_top->eval();
    // What the master sees at the rising edge.
    const bool ack = m_top->wb_ack, err = m_top->wb_err;
    const std::uint32_t data = m_top->wb_dat_r;
    if ((ack || err) && !strobe)
        violation("ACK or ERR without STB");
    if (ack && err)
        violation("ACK and ERR together");
    m_top->clk = 1;
    m_top->eval();
    if (!active)
        return;
    if (!strobe) {
        --m_wait;
    } else if (ack || err) {
        m_access.done = true;
        m_access.error = err;
        m_access.read_data = data;
    }
}

// ------------------------------------------------------------------ AXI4-Lite

AXIL_BENCH::AXIL_BENCH() { power_up(); }

void AXIL_BENCH::set_reset(bool reset) {
    m_top->aresetn = !reset;
    m_b_pending = m_r_pending = false;
}

void AXIL_BENCH::begin_access() {
    m_aw_wait = timing.aw;
    m_w_wait = timing.w;
    m_ar_wait = timing.ar;
    m_b_wait = timing.b;
    m_r_wait = timing.r;
    m_aw_done = m_w_done = m_ar_done = false;
}

void AXIL_BENCH::cycle() {
    const bool active = busy();
    const bool write = active && m_access.write, read = active && !m_access.write;
    m_top->clk = 0;
    m_top->awvalid = write && !m_aw_done && m_aw_wait == 0;
    m_top->awaddr = m_access.address & 0xF;
    m_top->wvalid = write && !m_w_done && m_w_wait == 0;
    m_top->wdata = m_access.data;
    m_top->wstrb = m_access.strobe;
    m_top->arvalid = read && !m_ar_done && m_ar_wait == 0;
    m_top->araddr = m_access.address & 0xF;
    m_top->eval();
    // BREADY and RREADY: `b` and `r` clocks after the slave's VALID.
    const bool bvalid = m_top->bvalid, rvalid = m_top->rvalid;
    m_top->bready = write && bvalid && m_b_wait == 0;
    m_top->rready = read && rvalid && m_r_wait == 0;
    m_top->eval();
    const bool aw = m_top->awvalid && m_top->awready, w = m_top->wvalid && m_top->wready;
    const bool ar = m_top->arvalid && m_top->arready;
    const bool b = bvalid && m_top->bready, r = rvalid && m_top->rready;
    const std::uint32_t bresp = m_top->bresp, rresp = m_top->rresp, rdata = m_top->rdata;
    // The slave's rules: a response only after its request, and held with
    // its payload until taken.
    if (bvalid && !(m_aw_done && m_w_done))
        violation("BVALID before AW and W were both taken");
    if (rvalid && !m_ar_done)
        violation("RVALID before AR was taken");
    if (m_b_pending && (!bvalid || bresp != m_b_seen))
        violation("BVALID or BRESP changed before BREADY");
    if (m_r_pending && (!rvalid || rdata != m_r_seen || rresp != m_r_resp_seen))
        violation("RVALID, RDATA or RRESP changed before RREADY");
    m_top->clk = 1;
    m_top->eval();
    // A reset takes the responses back.
    m_b_pending = bvalid && !b && m_top->aresetn;
    m_r_pending = rvalid && !r && m_top->aresetn;
    m_b_seen = bresp;
    m_r_seen = rdata;
    m_r_resp_seen = rresp;
    if (!active)
        return;
    if (!m_top->aresetn)
        return;
    m_aw_done = m_aw_done || aw;
    m_w_done = m_w_done || w;
    m_ar_done = m_ar_done || ar;
    if (m_aw_wait) --m_aw_wait;
    if (m_w_wait) --m_w_wait;
    if (m_ar_wait) --m_ar_wait;
    if (bvalid && m_b_wait) --m_b_wait;
    if (rvalid && m_r_wait) --m_r_wait;
    if (b || r) {
        m_access.done = true;
        m_access.error = (b ? bresp : rresp) == 2;
        m_access.read_data = rdata;
    }
}

// ------------------------------------------------------------------ driver

DRIVER_BINDING::DRIVER_BINDING(BUS_BENCH& bench) { g_bound = &bench; }
DRIVER_BINDING::~DRIVER_BINDING() { g_bound = nullptr; }

namespace {
// The driver cannot be unwound out of: a loop of it that never ends stops the run.
BUS_BENCH& bound_bench() {
    if (g_bound->clock_count > g_bound->budget) {
        ADD_FAILURE() << "the driver ran " << g_bound->clock_count << " clocks without finishing";
        std::abort();
    }
    return *g_bound;
}
}  // namespace

extern "C" std::uint32_t bus_bench_read32(std::uintptr_t address) {
    return bound_bench().read32(static_cast<std::uint32_t>(address));
}

extern "C" void bus_bench_write32(std::uintptr_t address, std::uint32_t value) {
    bound_bench().write32(static_cast<std::uint32_t>(address), value);
}
