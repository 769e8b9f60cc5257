// The frame reader: one buffer, frames taken from its front, the rest moved
// down between receives.
#include "wire/frame-reader.h"

#include <cstring>

namespace wire {

FrameReader::FrameReader(std::size_t block) : m_bytes(block), m_block(block) {}

std::uint8_t* FrameReader::space() {
    if (m_end == m_bytes.size()) {
        compact();
        if (m_end == m_bytes.size())
            m_bytes.resize(m_bytes.size() * 2);  // a frame larger than the buffer
    }
    return m_bytes.data() + m_end;
}

void FrameReader::append(const std::uint8_t* data, std::size_t size) {
    while (size > 0) {
        std::uint8_t* room = space();
        const std::size_t count = size < space_size() ? size : space_size();
        std::memcpy(room, data, count);
        received(count);
        data += count;
        size -= count;
    }
}

ParseStatus FrameReader::next(FrameView& frame, std::string& error) {
    std::size_t consumed = 0;
    const ParseStatus status = parse_frame(pending(), pending_size(), frame, consumed, error);
    m_begin += consumed;
    return status;
}

void FrameReader::compact() {
    if (m_begin > 0) {
        std::memmove(m_bytes.data(), m_bytes.data() + m_begin, m_end - m_begin);
        m_end -= m_begin;
        m_begin = 0;
    }
    if (m_bytes.size() > m_block && m_end <= m_block)
        m_bytes.resize(m_block);
}

}  // namespace wire
