// Stream targets read from their stream only when what they read before is
// all in the transmit FIFO, and take from the receive FIFO only what they
// can write soon: the FIFOs stay the only place where bytes wait long.
#include "server/stream-target.h"

namespace {
/// Bytes taken from the receive FIFO and not yet written to the stream.
constexpr std::size_t k_write_batch = 4096;
}  // namespace

void STREAM_TARGET::begin_stream(UART& uart) {
    ++m_generation;
    m_uart = &uart;
    m_from_pos = m_from_end = 0;
    m_to_target.clear();
    m_writing.clear();
    m_reading = m_write_busy = false;
    m_read_closed = m_write_closed = false;
    m_active = true;
}

void STREAM_TARGET::end_stream() {
    ++m_generation;
    m_active = false;
    m_reading = m_write_busy = false;
    m_from_pos = m_from_end = 0;
    m_to_target.clear();
    m_writing.clear();
}

bool STREAM_TARGET::exchange(UART& uart) {
    if (!m_active)
        return false;
    bool moved = false;
    if (m_from_pos < m_from_end) {
        const std::size_t count = uart.target_write(m_from_target.data() + m_from_pos, m_from_end - m_from_pos);
        m_from_pos += count;
        moved = count > 0;
    }
    if (!m_write_closed && m_to_target.size() < k_write_batch && !uart.rx().empty()) {
        const std::size_t old = m_to_target.size();
        m_to_target.resize(k_write_batch);
        const std::size_t count = uart.target_read(m_to_target.data() + old, k_write_batch - old);
        m_to_target.resize(old + count);
        moved = moved || count > 0;
    }
    return moved;
}

void STREAM_TARGET::after_pump(UART&) {
    if (!m_active)
        return;
    const std::uint64_t generation = m_generation;
    if (!m_reading && !m_read_closed && m_from_pos == m_from_end) {
        m_reading = true;
        async_read(asio::buffer(m_from_target), [this, generation](const std::error_code& error, std::size_t size) {
            if (generation != m_generation)
                return;
            m_reading = false;
            if (error) {
                m_read_closed = true;
                on_read_end();
                return;
            }
            m_from_pos = 0;
            m_from_end = size;
            m_uart->pump();
        });
    }
    if (!m_write_busy && !m_write_closed && !m_to_target.empty()) {
        m_write_busy = true;
        m_writing.swap(m_to_target);
        async_write(asio::buffer(m_writing), [this, generation](const std::error_code& error, std::size_t) {
            if (generation != m_generation)
                return;
            m_write_busy = false;
            m_writing.clear();
            if (error) {
                // The other side no longer reads: what the host writes now
                // stays in the receive FIFO until it is full.
                m_write_closed = true;
                m_to_target.clear();
                on_write_end();
                return;
            }
            m_uart->pump();
        });
    }
}
