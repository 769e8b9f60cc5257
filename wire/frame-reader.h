// Collects what arrives on a connection and hands out its frames one at a
// time: the receive side of the library, the server's sessions, chainprobe
// and the tests' raw client.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "wire/frame.h"

namespace wire {

class FrameReader {
public:
    /// `block`: the room offered to a receive, and the size the buffer goes
    /// back to once a larger frame has been taken.
    explicit FrameReader(std::size_t block);

    /// Room for the next receive, at the end of what arrived so far; it grows
    /// while a frame larger than the buffer is incomplete.
    std::uint8_t* space();
    std::size_t space_size() const { return m_bytes.size() - m_end; }
    /// The receive put `size` bytes at space().
    void received(std::size_t size) { m_end += size; }
    /// Copies bytes in, for bytes that arrived elsewhere.
    void append(const std::uint8_t* data, std::size_t size);

    /// The next whole frame; it points into the reader until the next
    /// compact(), space() or append(). `need_more` while it is not all there;
    /// `bad`, with `error` filled, when the stream is broken for good.
    ParseStatus next(FrameView& frame, std::string& error);

    /// Forgets the frames already taken, keeping the bytes after them.
    void compact();

    /// The bytes not yet taken as frames.
    const std::uint8_t* pending() const { return m_bytes.data() + m_begin; }
    std::size_t pending_size() const { return m_end - m_begin; }

private:
    std::vector<std::uint8_t> m_bytes;
    std::size_t m_block;
    std::size_t m_begin = 0;  ///< first byte not yet taken as a frame
    std::size_t m_end = 0;    ///< end of the bytes received
};

}  // namespace wire
