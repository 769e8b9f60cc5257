// Frame header encoding and the I/O-free frame parser.
#include "wire/frame.h"

namespace wire {

const char* frame_type_name(FrameType type) {
    switch (type) {
    case FrameType::open: return "open";
    case FrameType::open_reply: return "open-reply";
    case FrameType::ready: return "ready";
    case FrameType::data: return "data";
    case FrameType::credit: return "credit";
    case FrameType::ack: return "ack";
    case FrameType::fault: return "fault";
    case FrameType::list: return "list";
    case FrameType::list_reply: return "list-reply";
    case FrameType::control: return "control";
    case FrameType::control_reply: return "control-reply";
    case FrameType::auth: return "auth";
    case FrameType::refused: return "refused";
    }
    return "unknown";
}

static bool is_known_type(std::uint8_t type) {
    return type >= static_cast<std::uint8_t>(FrameType::open) &&
           type <= static_cast<std::uint8_t>(FrameType::refused);
}

ParseStatus parse_frame(const std::uint8_t* data, std::size_t size, FrameView& frame,
                        std::size_t& consumed, std::string& error) {
    consumed = 0;
    // Reject a wrong magic or version as soon as those bytes are there, so a
    // stray peer is turned away without waiting for a full header.
    if (size >= 1 && data[0] != k_magic_0) {
        error = "bad frame magic";
        return ParseStatus::bad;
    }
    if (size >= 2 && data[1] != k_magic_1) {
        error = "bad frame magic";
        return ParseStatus::bad;
    }
    if (size >= 3 && data[2] != k_protocol_version) {
        error = "unsupported protocol version " + std::to_string(data[2]);
        return ParseStatus::bad;
    }
    if (size >= 4 && !is_known_type(data[3])) {
        error = "unknown frame type " + std::to_string(data[3]);
        return ParseStatus::bad;
    }
    if (size < k_header_size)
        return ParseStatus::need_more;
    const std::uint32_t length = payload_length(data);
    const auto type = static_cast<FrameType>(data[3]);
    if (length > k_max_payload) {
        error = "frame payload of " + std::to_string(length) + " bytes exceeds the limit";
        return ParseStatus::bad;
    }
    if (type == FrameType::data && (length == 0 || length > k_max_data_payload)) {
        error = "data frame of " + std::to_string(length) + " bytes";
        return ParseStatus::bad;
    }
    if (size - k_header_size < length)
        return ParseStatus::need_more;
    frame.type = type;
    frame.payload = data + k_header_size;
    frame.size = length;
    consumed = k_header_size + length;
    return ParseStatus::complete;
}

std::uint32_t payload_length(const std::uint8_t* header) {
    return static_cast<std::uint32_t>(header[4]) | static_cast<std::uint32_t>(header[5]) << 8 |
           static_cast<std::uint32_t>(header[6]) << 16 | static_cast<std::uint32_t>(header[7]) << 24;
}

void set_payload_length(std::uint8_t* header, std::uint32_t size) {
    for (int i = 0; i < 4; ++i)
        header[4 + i] = static_cast<std::uint8_t>(size >> (8 * i));
}

void append_header(std::vector<std::uint8_t>& out, FrameType type, std::uint32_t size) {
    const std::uint8_t header[k_header_size] = {k_magic_0, k_magic_1, k_protocol_version,
                                                static_cast<std::uint8_t>(type), 0, 0, 0, 0};
    out.insert(out.end(), header, header + k_header_size);
    set_payload_length(out.data() + out.size() - k_header_size, size);
}

void append_frame(std::vector<std::uint8_t>& out, FrameType type, const std::uint8_t* payload,
                  std::size_t size) {
    append_header(out, type, static_cast<std::uint32_t>(size));
    out.insert(out.end(), payload, payload + size);
}

}  // namespace wire
