// The simulated board around the Verilated chain (see board-model.h).
#include "hardware/board-sim/board-model.h"

#include "Vboard_chain.h"
#include "verilated.h"

const char* BOARD_MODEL::chain_name() { return TT_CHAIN_NAME; }
unsigned BOARD_MODEL::chain_uarts() { return TT_CHAIN_UARTS; }

BOARD_MODEL::BOARD_MODEL(unsigned uarts, double clock_ratio)
    : m_context(std::make_unique<VerilatedContext>()),
      m_chain(std::make_unique<Vboard_chain>(m_context.get())),
      m_uarts(uarts),
      m_ratio(clock_ratio) {
    for (unsigned i = 0; i < m_uarts; ++i)
        m_sides[i].loopback = true;
    m_chain->trst_n = 1;
    m_chain->uart_count = static_cast<std::uint8_t>(uarts);
    eval();
}

BOARD_MODEL::~BOARD_MODEL() { m_chain->final(); }

void BOARD_MODEL::eval() { m_chain->eval(); }

void BOARD_MODEL::drive(bool tck, bool tms, bool tdi) {
    m_chain->tms = tms;
    m_chain->tdi = tdi;
    if (tck == m_tck)
        return;  // no edge: nothing in the chain looks at TMS and TDI alone
    m_tck = tck;
    m_chain->tck = tck;
    if (!tck) {
        m_chain->sys_clk = 0;  // the falling edges share one evaluation
        eval();
        return;
    }
    m_cycles_due += m_ratio;
    if (m_cycles_due < 1.0) {
        eval();
        return;
    }
    // The first system clock of this TCK cycle rises with TCK, the others
    // follow on their own.
    m_cycles_due -= 1.0;
    system_edge_before();
    m_chain->sys_clk = 1;
    eval();
    system_edge_after();
    while (m_cycles_due >= 1.0) {
        m_cycles_due -= 1.0;
        system_cycle();
    }
}

void BOARD_MODEL::system_cycle() {
    m_chain->sys_clk = 0;
    eval();
    system_edge_before();
    m_chain->sys_clk = 1;
    eval();
    system_edge_after();
}

bool BOARD_MODEL::tdo() const { return m_chain->tdo != 0; }

void BOARD_MODEL::set_resets(bool trst, bool /*srst*/) {
    m_chain->trst_n = !trst;
    eval();
}

void BOARD_MODEL::run_system(unsigned cycles) {
    for (unsigned i = 0; i < cycles; ++i)
        system_cycle();
    m_chain->sys_clk = 0;
    eval();
}

bool BOARD_MODEL::system_busy() const {
    for (unsigned i = 0; i < m_uarts; ++i) {
        const UART_SIDE& side = m_sides[i];
        if ((m_chain->rx_valid >> i & 1) && side.inbox.size() + side.outbox.size() < side.limit)
            return true;
        if (!side.outbox.empty() && (m_chain->tx_ready >> i & 1))
            return true;
    }
    return false;
}

unsigned BOARD_MODEL::tap_state() const { return m_chain->tap_state; }
unsigned BOARD_MODEL::tap_instruction() const { return m_chain->tap_instruction; }

// The CPU sides decide on what the FIFOs showed before the edge; a byte moves
// at the edge where valid and ready are both high.
void BOARD_MODEL::system_edge_before() {
    m_rx_valid = m_chain->rx_valid;
    m_rx_data = m_chain->rx_data;
    m_tx_ready = m_chain->tx_ready;
    std::uint8_t rx_ready = 0;
    std::uint8_t tx_valid = 0;
    std::uint32_t tx_data = 0;
    for (unsigned i = 0; i < m_uarts; ++i) {
        UART_SIDE& side = m_sides[i];
        if (side.inbox.size() + side.outbox.size() < side.limit)
            rx_ready |= static_cast<std::uint8_t>(1u << i);
        if (!side.outbox.empty()) {
            tx_valid |= static_cast<std::uint8_t>(1u << i);
            tx_data |= static_cast<std::uint32_t>(side.outbox.front()) << (8 * i);
        }
        side.transmit_room = m_tx_ready >> i & 1;
    }
    m_chain->rx_ready = rx_ready;
    m_chain->tx_valid = tx_valid;
    m_chain->tx_data = tx_data;
}

void BOARD_MODEL::system_edge_after() {
    const std::uint8_t received = m_rx_valid & m_chain->rx_ready;
    const std::uint8_t sent = m_chain->tx_valid & m_tx_ready;
    if (!(received | sent))
        return;
    for (unsigned i = 0; i < m_uarts; ++i) {
        UART_SIDE& side = m_sides[i];
        if (sent >> i & 1)
            side.outbox.pop_front();
        if (received >> i & 1) {
            const auto byte = static_cast<std::uint8_t>(m_rx_data >> (8 * i));
            (side.loopback ? side.outbox : side.inbox).push_back(byte);
        }
    }
}
