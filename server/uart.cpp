// The UART's FIFOs and pump: bytes move only within FIFO room and the
// client's window, so nothing is dropped and a fast side is slowed down.
#include "server/uart.h"

#include <vector>

UART::UART(std::size_t rx_fifo, std::size_t tx_fifo, bool compatible)
    : m_rx(rx_fifo), m_tx(tx_fifo), m_compatible(compatible) {}

void UART::attach_host(UART_HOST& host) {
    m_holder = &host;
    m_freed = 0;
    std::vector<std::uint8_t> held(m_tx.size());
    m_tx.pop(held.data(), held.size());
    if (!held.empty())
        host.host_deliver(held.data(), held.size());
    host.host_ready();
    if (m_target && m_target_running)
        m_target->host_connected(*this);
    pump();
}

void UART::detach_host() {
    m_holder = nullptr;
    m_freed = 0;
}

void UART::fault_host(wire::FaultReason reason) {
    if (m_holder == nullptr)
        return;
    UART_HOST* holder = m_holder;
    detach_host();
    holder->host_fault(reason);
    holder->host_flush();
}

bool UART::host_write(const std::uint8_t* data, std::size_t size) {
    if (size > m_rx.space())
        return false;
    m_rx.push(data, size);
    pump();
    return true;
}

bool UART::start_target(std::string& error) {
    if (m_target_running || !m_target)
        return true;
    if (!m_target->start(*this, error))
        return false;
    m_target_running = true;
    pump();
    return true;
}

void UART::stop_target() {
    if (m_target && m_target_running)
        m_target->stop();
    m_target_running = false;
}

bool UART::attach_target(bool powered, std::string& error) {
    m_target_attached = true;
    if (powered && m_target && m_target_running && m_target->ended())
        stop_target();
    return !powered || start_target(error);
}

void UART::detach_target() {
    m_target_attached = false;
    stop_target();
}

std::size_t UART::target_write(const std::uint8_t* data, std::size_t size) {
    return m_tx.push(data, size);
}

std::size_t UART::target_read(std::uint8_t* data, std::size_t size) {
    const std::size_t count = m_rx.pop(data, size);
    m_freed += static_cast<std::uint32_t>(count);
    return count;
}

void UART::power_off() {
    stop_target();
    m_rx.clear();
    m_tx.clear();
    m_freed = 0;
}

bool UART::power_on(std::string& error) {
    return !m_target_attached || start_target(error);
}

void UART::pump() {
    if (m_pumping) {
        m_pump_again = true;
        return;
    }
    m_pumping = true;
    std::uint8_t chunk[4096];
    do {
        m_pump_again = false;
        bool moved = true;
        while (moved) {
            moved = false;
            if (m_target && m_target_running && m_target->exchange(*this))
                moved = true;
            if (m_holder != nullptr && !m_tx.empty()) {
                const std::size_t room = m_holder->host_room();
                const std::size_t count = m_tx.pop(chunk, std::min(room, sizeof chunk));
                if (count > 0) {
                    m_holder->host_deliver(chunk, count);
                    moved = true;
                }
            }
        }
        if (m_holder != nullptr) {
            if (m_freed > 0)
                m_holder->host_credit(m_freed);
            m_freed = 0;
            m_holder->host_flush();
        }
        if (m_target && m_target_running)
            m_target->after_pump(*this);
    } while (m_pump_again);
    m_pumping = false;
}
