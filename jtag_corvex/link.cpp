// The client side of the protocol: open handshake, credit-based writes,
// acknowledged streaming reads, and the 0xFF reads of an unplugged cable.
#include "jtag_corvex/link.h"

#include <algorithm>
#include <chrono>
#include <cstring>

namespace {

constexpr int k_connect_timeout_ms = 5000;
constexpr int k_answer_timeout_ms = 10000;

using clock_type = std::chrono::steady_clock;

int remaining_ms(clock_type::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock_type::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

}  // namespace

JTAGCORVEX::~JTAGCORVEX() {
    jcvx::close_socket(m_socket);
}

wire::OpenCode JTAGCORVEX::open(const std::string& host, std::uint16_t port, const wire::OpenRequest& request,
                     const std::string& secret, std::string& error) {
    m_socket = jcvx::connect_to(host, port, k_connect_timeout_ms, error);
    if (m_socket == jcvx::k_no_socket)
        return wire::OpenCode::no_server;
    const auto payload = wire::encode(request);
    if (!secret.empty()) {
        const auto presented = wire::encode_text(secret);
        if (!send_frame(wire::FrameType::auth, presented.data(), presented.size())) {
            error = "the JTAG server closed the connection";
            return wire::OpenCode::server_closed;
        }
    }
    if (!send_frame(wire::FrameType::open, payload.data(), payload.size())) {
        error = "the JTAG server closed the connection";
        return wire::OpenCode::server_closed;
    }
    const auto deadline = clock_type::now() + std::chrono::milliseconds(k_answer_timeout_ms);
    while (!m_open_reply && !m_lost) {
        const int left = remaining_ms(deadline);
        if (left == 0) {
            error = "the JTAG server did not answer";
            return wire::OpenCode::no_answer;
        }
        receive(left);
    }
    if (!m_open_reply) {
        if (!m_refusal.empty()) {
            error = "the JTAG server refused the connection: " + m_refusal;
            return wire::OpenCode::server_closed;
        }
        if (!m_protocol_error.empty()) {
            error = "protocol error: " + m_protocol_error;
            return wire::OpenCode::protocol_error;
        }
        error = "the JTAG server closed the connection (is it of another protocol version?)";
        return wire::OpenCode::server_closed;
    }
    const wire::OpenReply& reply = *m_open_reply;
    if (reply.code != wire::code_value(wire::OpenCode::ok)) {
        error = reply.text;
        return static_cast<wire::OpenCode>(reply.code);  // passed on as the server says it
    }
    m_cable = reply.cable;
    m_device = reply.device;
    m_instance = reply.instance;
    m_support = reply.support;
    m_credit = reply.rx_credit;
    m_window = reply.window;
    return wire::OpenCode::ok;
}

int JTAGCORVEX::read(char* buffer, unsigned int size) {
    if (m_data_pos == m_data.size() && !m_lost)
        receive(0);
    const std::size_t available = m_data.size() - m_data_pos;
    if (available > 0) {
        const std::size_t count = std::min<std::size_t>(available, size);
        std::memcpy(buffer, m_data.data() + m_data_pos, count);
        m_data_pos += count;
        // Acknowledge in large steps, well before the window is used up, so
        // that the server keeps streaming while we serve reads from memory.
        m_unacked += static_cast<std::uint32_t>(count);
        if (m_unacked >= std::max<std::uint32_t>(1, m_window / 4) && !m_lost) {
            const auto payload = wire::encode_count(m_unacked);
            m_unacked = 0;
            send_frame(wire::FrameType::ack, payload.data(), payload.size());
        }
        return static_cast<int>(count);
    }
    if (m_faulted) {
        // A cable without a board behind it reads a floating data line.
        std::memset(buffer, 0xFF, size);
        return static_cast<int>(std::min<unsigned int>(size, 0x7FFFFFFF));
    }
    return m_lost ? -1 : 0;
}

int JTAGCORVEX::write(const char* data, unsigned int size) {
    if (m_lost)
        return -1;
    if (m_faulted || size == 0)
        return 0;
    if (m_credit < size)
        receive(0);  // pick up credits the server has sent since
    if (m_lost)
        return -1;
    const std::uint32_t count = std::min({static_cast<std::uint32_t>(size), m_credit, wire::k_max_data_payload});
    if (count == 0)
        return 0;
    if (!send_frame(wire::FrameType::data, reinterpret_cast<const std::uint8_t*>(data), count))
        return -1;
    m_credit -= count;
    return static_cast<int>(count);
}

int JTAGCORVEX::wait_open() {
    const auto deadline = clock_type::now() + std::chrono::milliseconds(k_answer_timeout_ms);
    while (!m_ready && !m_lost && !m_faulted) {
        const int left = remaining_ms(deadline);
        if (left == 0)
            return -1;
        receive(left);
    }
    return m_ready ? 0 : -1;
}

void JTAGCORVEX::receive(int timeout_ms) {
    if (m_lost)
        return;
    std::uint8_t* space = m_incoming.space();
    const long got = jcvx::receive_some(m_socket, space, m_incoming.space_size(), timeout_ms);
    if (got == jcvx::k_closed) {
        lose();
        return;
    }
    m_incoming.received(static_cast<std::size_t>(got));
    // A write looking for credit receives while earlier bytes are still being
    // read: drop the bytes already read once they are half of the buffer, so
    // that it holds at most about twice the unread bytes (the window), and in
    // steps large enough that the unread bytes are not moved for every read.
    constexpr std::size_t k_release_at_least = 4096;
    if (m_data_pos == m_data.size()) {
        m_data.clear();
        m_data_pos = 0;
    } else if (m_data_pos >= k_release_at_least && m_data_pos * 2 >= m_data.size()) {
        m_data.erase(m_data.begin(), m_data.begin() + static_cast<std::ptrdiff_t>(m_data_pos));
        m_data_pos = 0;
    }
    while (!m_lost) {
        wire::FrameView frame;
        const auto status = m_incoming.next(frame, m_protocol_error);
        if (status == wire::ParseStatus::need_more)
            break;
        if (status == wire::ParseStatus::bad) {
            lose();
            return;
        }
        handle(frame);
    }
    m_incoming.compact();
}

void JTAGCORVEX::handle(const wire::FrameView& frame) {
    std::uint32_t count = 0;
    wire::FaultReason reason{};
    switch (frame.type) {
    case wire::FrameType::data:
        m_data.insert(m_data.end(), frame.payload, frame.payload + frame.size);
        return;
    case wire::FrameType::credit:
        if (decode_count(frame, count) && count <= 0x7FFFFFFFu - m_credit) {
            m_credit += count;
            return;
        }
        break;
    case wire::FrameType::ready:
        if (frame.size == 0) {
            m_ready = true;
            return;
        }
        break;
    case wire::FrameType::fault:
        if (decode_fault(frame, reason)) {
            m_faulted = true;
            return;
        }
        break;
    case wire::FrameType::refused:
        if (decode_text(frame, m_refusal) && !m_refusal.empty()) {
            lose();
            return;
        }
        break;
    case wire::FrameType::open_reply:
        if (!m_open_reply) {
            wire::OpenReply reply;
            if (decode(frame, reply)) {
                m_open_reply = reply;
                return;
            }
        }
        break;
    default:
        break;
    }
    m_protocol_error = std::string("unexpected or malformed ") + wire::frame_type_name(frame.type) + " frame";
    lose();
}

void JTAGCORVEX::lose() {
    m_lost = true;
    jcvx::close_socket(m_socket);
    m_socket = jcvx::k_no_socket;
}

bool JTAGCORVEX::send_frame(wire::FrameType type, const std::uint8_t* payload, std::size_t size) {
    m_frame.clear();
    wire::append_frame(m_frame, type, payload, size);
    if (!jcvx::send_all(m_socket, m_frame.data(), m_frame.size())) {
        lose();
        return false;
    }
    return true;
}
