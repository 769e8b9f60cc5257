// Frames of the protocol between the access library, jtag-server and chainprobe:
// a fixed 8-byte header and a bounded payload. Parsing does no I/O.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace wire {

constexpr std::uint8_t k_magic_0 = 'J';
constexpr std::uint8_t k_magic_1 = 'C';
constexpr std::uint8_t k_protocol_version = 1;
constexpr std::size_t k_header_size = 8;
/// No frame carries more; a larger length closes the connection.
constexpr std::uint32_t k_max_payload = 1u << 20;
/// Data frames are cut at this size so that control frames are not held up.
constexpr std::uint32_t k_max_data_payload = 64u * 1024u;

enum class FrameType : std::uint8_t {
    open = 0x01,           ///< client -> server: open a JTAG UART
    open_reply = 0x02,     ///< server -> client: outcome of open
    ready = 0x03,          ///< server -> client: what the UART held at open has been sent
    data = 0x04,           ///< both ways: UART bytes
    credit = 0x05,         ///< server -> client: bytes freed in the UART's receive FIFO
    ack = 0x06,            ///< client -> server: received bytes the client has consumed
    fault = 0x07,          ///< server -> client: cable unplugged or board off
    list = 0x08,           ///< client -> server: describe cables, devices, UARTs
    list_reply = 0x09,     ///< server -> client: the description
    control = 0x0A,        ///< client -> server: plug, unplug, power, detach, attach
    control_reply = 0x0B,  ///< server -> client: outcome of a control request
    auth = 0x0C,           ///< client -> server: the shared secret, before anything else
    refused = 0x0D,        ///< server -> client: why the connection is being closed
};

const char* frame_type_name(FrameType type);

/// A complete frame inside a caller's buffer; `payload` points into that buffer.
struct FrameView {
    FrameType type{};
    const std::uint8_t* payload = nullptr;
    std::uint32_t size = 0;
};

enum class ParseStatus { complete, need_more, bad };

/// Looks for one frame at the start of `data`. On `complete`, `frame` refers
/// into `data` and `consumed` is the frame's whole length; on `bad`, `error`
/// says what is wrong (the connection cannot be resynchronised).
ParseStatus parse_frame(const std::uint8_t* data, std::size_t size, FrameView& frame,
                        std::size_t& consumed, std::string& error);

/// The payload length in a frame's header, and a change of it (a frame that
/// grows as bytes are added to it).
std::uint32_t payload_length(const std::uint8_t* header);
void set_payload_length(std::uint8_t* header, std::uint32_t size);

/// Appends a header for a payload of `size` bytes.
void append_header(std::vector<std::uint8_t>& out, FrameType type, std::uint32_t size);

/// Appends a whole frame.
void append_frame(std::vector<std::uint8_t>& out, FrameType type, const std::uint8_t* payload,
                  std::size_t size);
inline void append_frame(std::vector<std::uint8_t>& out, FrameType type,
                         const std::vector<std::uint8_t>& payload) {
    append_frame(out, type, payload.data(), payload.size());
}

}  // namespace wire
