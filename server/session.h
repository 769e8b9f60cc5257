// One client connection of jtag-server: frames in, frames out, and, after
// an open, the holder of one UART with a window of unacknowledged bytes.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <asio/ip/tcp.hpp>
#include <asio/steady_timer.hpp>

#include "server/uart.h"
#include "wire/frame-reader.h"
#include "wire/messages.h"

class SERVER;

/// Target bytes a session keeps in its own buffers for a socket that is not
/// taking them: beyond this they wait in the target's FIFO and stream, so a
/// slow client costs little memory however large its window.
constexpr std::size_t k_target_queue = 32 * 1024;

/// Target bytes a client may have unacknowledged: large enough to stream at
/// full speed while the client serves small reads from memory.
constexpr std::uint32_t k_window = 512 * 1024;

/// Reply bytes a session may have queued before it stops reading requests:
/// a client that asks and never reads holds no more than this.
constexpr std::size_t k_max_queued = 2 * 1024 * 1024;

/// The largest payload a connection may announce before it has presented the
/// secret: an auth frame with the longest text.
constexpr std::uint32_t k_max_unauthenticated_payload = 2 + wire::k_max_text;

class SESSION : public UART_HOST, public std::enable_shared_from_this<SESSION> {
public:
    /// `serial`: the connection's number, in the order they came.
    SESSION(SERVER& server, asio::ip::tcp::socket socket, std::uint64_t serial);

    /// Decides who may use the connection (the peer's user, or the secret
    /// first), then reads requests.
    void start();
    /// Ends the connection; the UART is free at once.
    void close();
    /// Tells the client why it is turned away, then ends the connection.
    void refuse(const std::string& reason);
    /// Ends the connection at once, saying why in the log only.
    void drop(const std::string& problem) { fail(problem); }

    std::uint64_t serial() const { return m_serial; }
    /// Let in, and holding one of the places of ACCESS_POLICY::max_clients.
    bool admitted() const { return m_authenticated && !m_refusing && !m_closed; }
    /// Not yet let in: waiting for its secret, or for the system to tell its user.
    bool waiting_for_proof() const { return !m_authenticated && !m_refusing && !m_closed; }

    const std::string& client_name() const override { return m_client_name; }
    std::uint32_t client_pid() const override { return m_client_pid; }
    std::size_t host_room() const override {
        const std::size_t in_queue = queued();
        return std::min<std::size_t>(k_window - m_in_flight, in_queue < k_target_queue ? k_target_queue - in_queue : 0);
    }
    void host_deliver(const std::uint8_t* data, std::size_t size) override;
    void host_ready() override;
    void host_credit(std::uint32_t count) override;
    void host_flush() override;
    void host_fault(wire::FaultReason reason) override;

private:
    void read_more();
    /// Handles the frames that have arrived, until too many replies wait for
    /// the client; false when reading must not go on (paused or closing).
    bool take_frames();
    /// Lets in a peer of the server's own user or root, or refuses one of
    /// another user; a peer the system cannot place yet is looked at again
    /// with its first bytes. False when the connection is being refused.
    bool identify();
    /// Arms the deadline of a connection that has not made its first request.
    void await_first_request(std::chrono::steady_clock::time_point deadline);
    /// False when the connection must close.
    bool handle(const wire::FrameView& frame);
    void send(wire::FrameType type, const std::vector<std::uint8_t>& payload);
    void fail(const std::string& problem);
    /// Before the secret was accepted: only an auth frame with the right one.
    bool authenticate(const wire::FrameView& frame);
    std::size_t queued() const { return m_output.size() + m_writing.size(); }

    SERVER& m_server;
    asio::ip::tcp::socket m_socket;
    std::uint64_t m_serial;
    wire::FrameReader m_incoming;
    std::vector<std::uint8_t> m_output;   ///< frames waiting for the socket
    std::vector<std::uint8_t> m_writing;  ///< frames being written
    bool m_write_busy = false;
    /// Offset in m_output of a data frame that more bytes may extend.
    std::size_t m_open_data = SIZE_MAX;
    bool m_opened = false;
    UART* m_uart = nullptr;
    std::string m_client_name = "unknown";
    std::uint32_t m_client_pid = 0;
    std::uint32_t m_in_flight = 0;
    bool m_closed = false;
    bool m_authenticated = false;
    bool m_identify_later = false; ///< the peer's user is asked for again with its first bytes
    bool m_greeted = false;       ///< a first request was answered
    bool m_refusing = false;      ///< closes once the refusal is written
    bool m_read_paused = false;   ///< too much queued for a client that does not read
    std::chrono::steady_clock::time_point m_connected;
    asio::steady_timer m_timer;   ///< the secret's, the handshake's, then the refusal's deadline
};
