// The connection behind a JTAGCORVEX handle: frames from the server are
// received in large blocks and target bytes are served from memory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "jtag_corvex/socket.h"
#include "wire/frame-reader.h"
#include "wire/messages.h"
#include "wire/open-codes.h"

struct JTAGCORVEX {
    ~JTAGCORVEX();

    /// Connects and asks the server for a UART. On failure returns the code
    /// and fills `error`; the link is then unusable.
    /// A non-empty `secret` is presented before the open.
    wire::OpenCode open(const std::string& host, std::uint16_t port, const wire::OpenRequest& request,
             const std::string& secret, std::string& error);

    int read(char* buffer, unsigned int size);
    int write(const char* data, unsigned int size);
    int wait_open();

    std::string m_cable;
    int m_device = 0;
    int m_instance = 0;
    int m_support = 1;

private:
    /// One receive (waiting up to `timeout_ms`), then every complete frame
    /// is handled.
    void receive(int timeout_ms);
    void handle(const wire::FrameView& frame);
    void lose();
    bool send_frame(wire::FrameType type, const std::uint8_t* payload, std::size_t size);

    jcvx::socket_handle m_socket = jcvx::k_no_socket;
    wire::FrameReader m_incoming{256 * 1024};  ///< frames from the server, received in large blocks
    std::vector<std::uint8_t> m_data;      ///< target bytes not yet read
    std::size_t m_data_pos = 0;
    std::uint32_t m_credit = 0;            ///< bytes the UART's receive FIFO can take
    std::uint32_t m_window = 0;
    std::uint32_t m_unacked = 0;           ///< bytes consumed but not yet acknowledged
    bool m_ready = false;
    bool m_faulted = false;
    bool m_lost = false;
    std::string m_protocol_error;
    std::string m_refusal;                 ///< why the server turned us away
    std::optional<wire::OpenReply> m_open_reply;
    std::vector<std::uint8_t> m_frame;     ///< scratch for outgoing frames
};
