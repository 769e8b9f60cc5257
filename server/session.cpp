// A client connection: the frame parser sees every byte that arrives; a bad
// frame closes this connection only.
#include "server/session.h"

#include <chrono>
#include <cstdio>

#include <asio/write.hpp>

#include "server/log.h"
#include "server/peer-user.h"
#include "server/server.h"
#include "wire/messages.h"
#include "wire/printable.h"
#include "wire/secret.h"

namespace {
constexpr std::size_t k_read_block = 64 * 1024;
}

SESSION::SESSION(SERVER& server, asio::ip::tcp::socket socket, std::uint64_t serial)
    : m_server(server),
      m_socket(std::move(socket)),
      m_serial(serial),
      m_incoming(k_read_block),
      m_timer(m_socket.get_executor()) {}

void SESSION::start() {
    std::error_code ignored;
    m_socket.set_option(asio::ip::tcp::no_delay(true), ignored);
    const ACCESS_POLICY& policy = m_server.policy();
    m_connected = std::chrono::steady_clock::now();
    if (!policy.secret.empty()) {
        // The secret comes first, soon, and among a few waiting connections:
        // silent ones neither hold places nor keep anyone out for long.
        m_server.wait_for_proof(*this);
        const int limit = std::min(policy.secret_timeout_ms, policy.handshake_timeout_ms);
        auto self = shared_from_this();
        m_timer.expires_at(m_connected + std::chrono::milliseconds(limit));
        m_timer.async_wait([this, self, limit](const std::error_code& error) {
            if (!error && !m_closed && !m_authenticated)
                refuse("no secret within " + std::to_string(limit) + " ms");
        });
    } else if (policy.all_local_users) {
        m_authenticated = true;
        if (!m_server.admit(*this))
            return;
        await_first_request(m_connected + std::chrono::milliseconds(policy.handshake_timeout_ms));
    } else {
        // Without a secret the server is its own user's (and root's). Where
        // the system cannot tell yet (under wine, a client's end may show as
        // its own only once it has sent), it is asked again when the first
        // bytes arrive; meanwhile the connection waits like one without its
        // secret.
        m_identify_later = true;
        if (!identify())
            return;
        if (m_identify_later) {
            m_server.wait_for_proof(*this);
            await_first_request(m_connected + std::chrono::milliseconds(policy.handshake_timeout_ms));
        }
    }
    read_more();
}

bool SESSION::identify() {
    std::error_code ignored;
    const PEER_USER user = peer_user(m_socket.local_endpoint(ignored), m_socket.remote_endpoint(ignored));
    if (user.trusted) {
        m_identify_later = false;
        m_authenticated = true;
        if (!m_server.admit(*this))
            return false;
        if (!m_greeted)
            await_first_request(m_connected + std::chrono::milliseconds(m_server.policy().handshake_timeout_ms));
        return true;
    }
    if (user.who.empty() && m_identify_later && m_incoming.pending_size() == 0)
        return true;  // once more with the first bytes
    m_identify_later = false;
    refuse(peer_refusal(user));
    return false;
}

void SESSION::await_first_request(std::chrono::steady_clock::time_point deadline) {
    // A client that connects and says nothing does not hold a place for ever.
    auto self = shared_from_this();
    m_timer.expires_at(deadline);
    m_timer.async_wait([this, self](const std::error_code& error) {
        if (!error && !m_closed && !m_greeted)
            refuse("no request within " + std::to_string(m_server.policy().handshake_timeout_ms) + " ms");
    });
}

void SESSION::refuse(const std::string& reason) {
    if (m_closed || m_refusing)
        return;
    server_log("refusing client " + m_client_name + " (pid " + std::to_string(m_client_pid) +
               "): " + reason);
    m_refusing = true;
    wire::append_frame(m_output, wire::FrameType::refused, wire::encode_text(reason));
    m_open_data = SIZE_MAX;
    host_flush();
    // A client that does not read its refusal does not keep the connection.
    auto self = shared_from_this();
    m_timer.expires_after(std::chrono::seconds(1));
    m_timer.async_wait([this, self](const std::error_code& error) {
        if (!error)
            close();
    });
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
    m_timer.cancel();
    m_socket.close(ignored);
    m_server.remove(this);
}

void SESSION::fail(const std::string& problem) {
    server_log("dropping client " + m_client_name + " (pid " + std::to_string(m_client_pid) +
               "): " + problem);
    close();
}

void SESSION::read_more() {
    auto self = shared_from_this();
    std::uint8_t* space = m_incoming.space();
    m_socket.async_read_some(
        asio::buffer(space, m_incoming.space_size()), [this, self](const std::error_code& error, std::size_t size) {
            if (m_closed || m_refusing)
                return;
            if (error) {
                close();
                return;
            }
            m_incoming.received(size);
            if (take_frames())
                read_more();
        });
}

bool SESSION::take_frames() {
    // The peer's user, where it could not be told at the connection.
    if (m_identify_later && m_incoming.pending_size() > 0 && !identify())
        return false;
    for (;;) {
        // Replies pile up for a client that asks and does not read: its
        // requests wait, already read or still in the socket, until they
        // have gone out.
        if (queued() > k_max_queued) {
            m_read_paused = true;
            return false;
        }
        wire::FrameView frame;
        std::string problem;
        const auto status = m_incoming.next(frame, problem);
        // Nobody sends large frames, nor has them kept, before proving who
        // they are: a whole header is enough to tell.
        if (!m_authenticated && status != wire::ParseStatus::bad) {
            const std::uint32_t size = status == wire::ParseStatus::complete ? frame.size
                                       : m_incoming.pending_size() >= wire::k_header_size
                                           ? wire::payload_length(m_incoming.pending())
                                           : 0;
            if (size > k_max_unauthenticated_payload) {
                fail("a frame of " + std::to_string(size) + " bytes before the secret");
                return false;
            }
        }
        if (status == wire::ParseStatus::need_more)
            break;
        if (status == wire::ParseStatus::bad) {
            // A web page that reaches this port through a browser gets
            // nothing but a closed connection.
            if (!m_greeted && wire::looks_like_http(m_incoming.pending(), m_incoming.pending_size()))
                problem = "an HTTP request (this port speaks only the JTAG server protocol)";
            fail(problem);
            return false;
        }
        if (!handle(frame) || m_closed || m_refusing)
            return false;
    }
    m_incoming.compact();
    return true;
}

bool SESSION::authenticate(const wire::FrameView& frame) {
    std::string presented;
    if (frame.type != wire::FrameType::auth || !wire::decode_text(frame, presented)) {
        refuse("this server asks for the shared secret first");
        return false;
    }
    if (!wire::secrets_equal(m_server.policy().secret, presented)) {
        refuse("wrong secret");
        return false;
    }
    m_authenticated = true;
    if (!m_server.admit(*this))
        return false;
    await_first_request(m_connected + std::chrono::milliseconds(m_server.policy().handshake_timeout_ms));
    return true;
}

bool SESSION::handle(const wire::FrameView& frame) {
    if (!m_authenticated)
        return authenticate(frame);
    switch (frame.type) {
    case wire::FrameType::auth: {
        // Accepted ahead of the first request, also where no secret is asked for.
        std::string presented;
        if (m_greeted || !wire::decode_text(frame, presented))
            break;
        return true;
    }
    case wire::FrameType::open: {
        wire::OpenRequest request;
        if (m_opened || !decode(frame, request))
            break;
        m_opened = true;
        m_greeted = true;
        m_timer.cancel();
        // Other users see the name in listings and "held by" answers.
        m_client_name = wire::printable_text(request.app_name);
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
        m_greeted = true;
        m_timer.cancel();
        send(wire::FrameType::list_reply, encode(m_server.list()));
        return true;
    case wire::FrameType::control: {
        wire::ControlRequest request;
        if (!decode(frame, request))
            break;
        m_greeted = true;
        m_timer.cancel();
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
        std::uint32_t length = wire::payload_length(m_output.data() + m_open_data);
        const std::size_t count = std::min<std::size_t>(size, wire::k_max_data_payload - length);
        length += static_cast<std::uint32_t>(count);
        wire::set_payload_length(m_output.data() + m_open_data, length);
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
        if (m_refusing && m_output.empty()) {
            close();
            return;
        }
        if (m_uart != nullptr)
            m_uart->pump();  // the queue has room again; the pump ends with a flush
        else
            host_flush();
        if (m_read_paused && queued() <= k_max_queued / 2 && !m_closed) {
            m_read_paused = false;
            if (take_frames())
                read_more();
        }
    });
}
