// A client connection: the frame parser sees every byte that arrives; a bad
// frame closes this connection only.
#include "server/session.h"

#include <cstdio>
#include <cstring>

#include <asio/write.hpp>

#include "server/server.h"
#include "wire/messages.h"

namespace {
constexpr std::size_t k_read_block = 64 * 1024;
}

SESSION::SESSION(SERVER& server, asio::ip::tcp::socket socket)
    : m_server(server), m_socket(std::move(socket)), m_input(k_read_block) {}

void SESSION::start() {
    std::error_code ignored;
    m_socket.set_option(asio::ip::tcp::no_delay(true), ignored);
    read_more();
}

void SESSION::close() {
    if (m_closed)
        return;
    m_closed = true;
    if (m_uart != nullptr) {
        m_uart->detach_host();
        m_uart = nullptr;
    }
    std::error_code ignored;
    m_socket.close(ignored);
    m_server.remove(this);
}

void SESSION::fail(const std::string& problem) {
    std::fprintf(stderr, "jtag-server: dropping client %s (pid %u): %s\n", m_client_name.c_str(),
                 static_cast<unsigned>(m_client_pid), problem.c_str());
    close();
}

void SESSION::read_more() {
    if (m_input_end == m_input.size())
        m_input.resize(m_input.size() * 2);  // only while a large frame is incomplete
    auto self = shared_from_this();
    m_socket.async_read_some(
        asio::buffer(m_input.data() + m_input_end, m_input.size() - m_input_end),
        [this, self](const std::error_code& error, std::size_t size) {
            if (m_closed)
                return;
            if (error) {
                close();
                return;
            }
            m_input_end += size;
            std::size_t pos = 0;
            for (;;) {
                wire::FrameView frame;
                std::size_t consumed = 0;
                std::string problem;
                const auto status = wire::parse_frame(m_input.data() + pos, m_input_end - pos, frame, consumed, problem);
                if (status == wire::ParseStatus::need_more)
                    break;
                if (status == wire::ParseStatus::bad) {
                    fail(problem);
                    return;
                }
                if (!handle(frame) || m_closed)
                    return;
                pos += consumed;
            }
            std::memmove(m_input.data(), m_input.data() + pos, m_input_end - pos);
            m_input_end -= pos;
            if (m_input.size() > k_read_block && m_input_end <= k_read_block)
                m_input.resize(k_read_block);
            read_more();
        });
}

bool SESSION::handle(const wire::FrameView& frame) {
    switch (frame.type) {
    case wire::FrameType::open: {
        wire::OpenRequest request;
        if (m_opened || !decode(frame, request))
            break;
        m_opened = true;
        m_client_name = request.app_name;
        m_client_pid = request.pid;
        UART* uart = nullptr;
        send(wire::FrameType::open_reply, encode(m_server.open(request, uart)));
        if (uart != nullptr) {
            m_uart = uart;
            uart->attach_host(*this);
        }
        return true;
    }
    case wire::FrameType::list:
        if (frame.size != 0)
            break;
        send(wire::FrameType::list_reply, encode(m_server.list()));
        return true;
    case wire::FrameType::control: {
        wire::ControlRequest request;
        if (!decode(frame, request))
            break;
        send(wire::FrameType::control_reply, encode(m_server.control(request)));
        return true;
    }
    case wire::FrameType::data:
        if (!m_opened)
            break;
        // After a fault the UART is gone; what was already on its way is dropped
        // as it would be by a cable without a board behind it.
        if (m_uart != nullptr && !m_uart->host_write(frame.payload, frame.size)) {
            fail("data beyond the receive FIFO's credit");
            return false;
        }
        return true;
    case wire::FrameType::ack: {
        std::uint32_t count = 0;
        if (!m_opened || !decode_count(frame, count) || count > m_in_flight)
            break;
        m_in_flight -= count;
        if (m_uart != nullptr)
            m_uart->pump();
        return true;
    }
    default:
        break;
    }
    fail(std::string("unexpected or malformed ") + wire::frame_type_name(frame.type) + " frame");
    return false;
}

void SESSION::send(wire::FrameType type, const std::vector<std::uint8_t>& payload) {
    wire::append_frame(m_output, type, payload);
    m_open_data = SIZE_MAX;
    host_flush();
}

void SESSION::host_deliver(const std::uint8_t* data, std::size_t size) {
    m_in_flight += static_cast<std::uint32_t>(size);
    while (size > 0) {
        if (m_open_data == SIZE_MAX) {
            m_open_data = m_output.size();
            wire::append_header(m_output, wire::FrameType::data, 0);
        }
        std::uint8_t* header = m_output.data() + m_open_data;
        std::uint32_t length = header[4] | header[5] << 8 | header[6] << 16 | static_cast<std::uint32_t>(header[7]) << 24;
        const std::size_t count = std::min<std::size_t>(size, wire::k_max_data_payload - length);
        length += static_cast<std::uint32_t>(count);
        for (int i = 0; i < 4; ++i)
            header[4 + i] = static_cast<std::uint8_t>(length >> (8 * i));
        m_output.insert(m_output.end(), data, data + count);
        data += count;
        size -= count;
        if (length == wire::k_max_data_payload)
            m_open_data = SIZE_MAX;
    }
}

void SESSION::host_ready() {
    wire::append_frame(m_output, wire::FrameType::ready, nullptr, 0);
    m_open_data = SIZE_MAX;
}

void SESSION::host_credit(std::uint32_t count) {
    wire::append_frame(m_output, wire::FrameType::credit, wire::encode_count(count));
    m_open_data = SIZE_MAX;
}

void SESSION::host_fault(wire::FaultReason reason) {
    m_uart = nullptr;
    wire::append_frame(m_output, wire::FrameType::fault, wire::encode_fault(reason));
    m_open_data = SIZE_MAX;
}

void SESSION::host_flush() {
    if (m_write_busy || m_output.empty() || m_closed)
        return;
    m_write_busy = true;
    m_writing.swap(m_output);
    m_open_data = SIZE_MAX;
    auto self = shared_from_this();
    asio::async_write(m_socket, asio::buffer(m_writing), [this, self](const std::error_code& error, std::size_t) {
        m_write_busy = false;
        m_writing.clear();
        if (m_closed)
            return;
        if (error) {
            close();
            return;
        }
        host_flush();
    });
}
