// The part shared by targets whose other side is a byte stream (a command's
// pipes, a TCP peer, a serial device): buffering with backpressure both ways.
#pragma once

#include <cstdint>
#include <functional>
#include <system_error>
#include <vector>

#include <asio/buffer.hpp>
#include <asio/io_context.hpp>
#include <asio/write.hpp>

#include "server/uart.h"

class STREAM_TARGET : public TARGET {
public:
    using io_handler = std::function<void(const std::error_code&, std::size_t)>;

    bool exchange(UART& uart) override;
    void after_pump(UART& uart) override;

protected:
    /// A new stream begins: buffers are emptied, callbacks of the old one ignored.
    void begin_stream(UART& uart);
    /// The stream is gone (stop, peer left); pending callbacks are ignored.
    void end_stream();
    bool stream_active() const { return m_active; }

    virtual void async_read(asio::mutable_buffer buffer, io_handler handler) = 0;
    virtual void async_write(asio::const_buffer buffer, io_handler handler) = 0;
    /// The other side stopped sending (end of file or error).
    virtual void on_read_end() {}
    /// The other side stopped taking bytes (a write failed); what the host
    /// writes from now on stays in the receive FIFO.
    virtual void on_write_end() {}

private:
    std::vector<std::uint8_t> m_from_target = std::vector<std::uint8_t>(64 * 1024);
    std::size_t m_from_pos = 0;
    std::size_t m_from_end = 0;
    std::vector<std::uint8_t> m_to_target;
    std::vector<std::uint8_t> m_writing;
    bool m_reading = false;
    bool m_write_busy = false;
    bool m_read_closed = false;
    bool m_write_closed = false;
    bool m_active = false;
    std::uint64_t m_generation = 0;
    UART* m_uart = nullptr;
};

/// A stream target whose other side is one stream object (a socket, a tty).
template <typename Stream>
class ONE_STREAM_TARGET : public STREAM_TARGET {
protected:
    explicit ONE_STREAM_TARGET(asio::io_context& io) : m_stream(io) {}

    void async_read(asio::mutable_buffer buffer, io_handler handler) override {
        m_stream.async_read_some(buffer, std::move(handler));
    }
    void async_write(asio::const_buffer buffer, io_handler handler) override {
        asio::async_write(m_stream, buffer, std::move(handler));
    }

    Stream m_stream;
};
