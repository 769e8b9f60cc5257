// The payloads of the protocol's frames: a little-endian field codec and one
// struct per message, with encoders and strict decoders (no I/O).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "wire/frame.h"

namespace wire {

/// Texts in payloads are at most this long (names, messages).
constexpr std::size_t k_max_text = 4096;

/// Appends fields to a payload.
class PayloadWriter {
public:
    void u8(std::uint8_t value) { m_bytes.push_back(value); }
    void u32(std::uint32_t value);
    void i32(std::int32_t value) { u32(static_cast<std::uint32_t>(value)); }
    /// A 16-bit length and the bytes; longer texts are cut at k_max_text.
    void text(const std::string& value);
    const std::vector<std::uint8_t>& bytes() const { return m_bytes; }

private:
    std::vector<std::uint8_t> m_bytes;
};

/// Takes fields from a payload; any read past the end, or an overlong text,
/// marks the reader as failed and yields zero values.
class PayloadReader {
public:
    PayloadReader(const std::uint8_t* data, std::size_t size) : m_data(data), m_size(size) {}
    std::uint8_t u8();
    std::uint32_t u32();
    std::int32_t i32() { return static_cast<std::int32_t>(u32()); }
    std::string text();
    bool ok() const { return m_ok; }
    /// True when every byte was used and nothing failed.
    bool finished() const { return m_ok && m_pos == m_size; }

private:
    const std::uint8_t* m_data;
    std::size_t m_size;
    std::size_t m_pos = 0;
    bool m_ok = true;
};

struct OpenRequest {
    std::string cable;  ///< empty: any cable
    std::int32_t device = -1;
    std::int32_t instance = -1;
    std::uint32_t pid = 0;
    std::string app_name;
};

struct OpenReply {
    std::int32_t code = 0;  ///< 0 on success, else the library's failure code
    std::string text;       ///< more about a failure; may be empty
    // Filled on success:
    std::string cable;
    std::int32_t device = 0;
    std::int32_t instance = 0;
    std::int32_t support = 0;      ///< what jtagcorvex_cable_warning reports
    std::uint32_t rx_credit = 0;   ///< free space in the UART's receive FIFO
    std::uint32_t window = 0;      ///< unacknowledged bytes the server may send
};

enum class FaultReason : std::uint8_t { unplugged = 1, power_off = 2 };

struct UartInfo {
    bool compatible = true;
    std::uint32_t rx_fifo = 0;
    std::uint32_t tx_fifo = 0;
    std::uint32_t rx_fill = 0;
    std::uint32_t tx_fill = 0;
    std::string target;  ///< how the target is described, e.g. "exec: cat"
    bool attached = true;
    bool held = false;
    std::string holder_name;
    std::uint32_t holder_pid = 0;
};

struct DeviceInfo {
    std::vector<UartInfo> uarts;
};

/// What a cable is, as board files describe it, the server keeps it and
/// chainprobe lists it.
struct CableState {
    std::string name;
    bool plugged = true;
    bool has_board = true;
    bool powered = true;
    std::int32_t support = 0;  ///< what jtagcorvex_cable_warning reports
};

struct CableInfo : CableState {
    std::vector<DeviceInfo> devices;
    /// A real chain's adapter ("remote_bitbang at HOST:PORT") and what was
    /// found of each device's TAP; empty for a simulated cable.
    std::string adapter;
    std::vector<std::string> tap_notes;
    /// A real chain's current problem in the server's words, and the last
    /// error lines of the OpenOCD the server runs for it; empty while it is up.
    std::string problem;
    std::vector<std::string> adapter_errors;
};

struct ListReply {
    std::vector<CableInfo> cables;
    /// The server's release ("1.0.0"), after the cables; a server that does
    /// not send it leaves the payload ending with the cables.
    std::optional<std::string> server_version;
    // After the version, when there is one: each cable's adapter and TAP
    // notes (an older server ends with the version; they are then empty),
    // then, when a cable has one, each cable's problem and adapter errors.
};

enum class ControlOp : std::uint8_t {
    unplug = 1,
    plug = 2,
    power_off = 3,
    power_on = 4,
    detach = 5,
    attach = 6,
};

struct ControlRequest {
    ControlOp op = ControlOp::unplug;
    std::string cable;
    std::int32_t device = 0;
    std::int32_t instance = 0;
};

struct ControlReply {
    std::int32_t status = 0;  ///< 0 on success
    std::string message;
};

std::vector<std::uint8_t> encode(const OpenRequest& message);
std::vector<std::uint8_t> encode(const OpenReply& message);
std::vector<std::uint8_t> encode(const ListReply& message);
std::vector<std::uint8_t> encode(const ControlRequest& message);
std::vector<std::uint8_t> encode(const ControlReply& message);
/// For credit and ack frames.
std::vector<std::uint8_t> encode_count(std::uint32_t count);
std::vector<std::uint8_t> encode_fault(FaultReason reason);
/// For auth (the secret) and refused (the reason) frames: one text.
std::vector<std::uint8_t> encode_text(const std::string& text);

/// Each decoder accepts exactly one well-formed payload: no missing fields,
/// no trailing bytes, no out-of-range enumerations.
bool decode(const FrameView& frame, OpenRequest& message);
bool decode(const FrameView& frame, OpenReply& message);
bool decode(const FrameView& frame, ListReply& message);
bool decode(const FrameView& frame, ControlRequest& message);
bool decode(const FrameView& frame, ControlReply& message);
bool decode_count(const FrameView& frame, std::uint32_t& count);
bool decode_fault(const FrameView& frame, FaultReason& reason);
bool decode_text(const FrameView& frame, std::string& text);

}  // namespace wire
