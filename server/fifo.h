// A JTAG UART FIFO: a fixed-capacity byte ring that never grows, so a full
// FIFO is what slows the writer down.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

class FIFO {
public:
    explicit FIFO(std::size_t capacity) : m_ring(capacity) {}

    std::size_t capacity() const { return m_ring.size(); }
    std::size_t size() const { return m_size; }
    std::size_t space() const { return m_ring.size() - m_size; }
    bool empty() const { return m_size == 0; }

    /// Appends as many of `size` bytes as fit; returns how many.
    std::size_t push(const std::uint8_t* data, std::size_t size) {
        const std::size_t count = std::min(size, space());
        std::size_t tail = (m_head + m_size) % m_ring.size();
        std::size_t done = 0;
        while (done < count) {
            const std::size_t run = std::min(count - done, m_ring.size() - tail);
            std::memcpy(m_ring.data() + tail, data + done, run);
            done += run;
            tail = (tail + run) % m_ring.size();
        }
        m_size += count;
        return count;
    }

    /// Removes up to `size` bytes from the front into `out`; returns how many.
    std::size_t pop(std::uint8_t* out, std::size_t size) {
        const std::size_t count = std::min(size, m_size);
        std::size_t done = 0;
        while (done < count) {
            const std::size_t run = std::min(count - done, m_ring.size() - m_head);
            std::memcpy(out + done, m_ring.data() + m_head, run);
            done += run;
            m_head = (m_head + run) % m_ring.size();
        }
        m_size -= count;
        return count;
    }

    void clear() {
        m_head = 0;
        m_size = 0;
    }

private:
    std::vector<std::uint8_t> m_ring;
    std::size_t m_head = 0;
    std::size_t m_size = 0;
};
