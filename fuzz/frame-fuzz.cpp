// Fuzz target: the protocol's frame parser and message decoders on arbitrary
// byte streams, as a server or library receives them. Never a crash; every
// complete frame stays inside the bytes given and within the size limits, and
// every payload a decoder accepts encodes back to the very same bytes; a
// client's name, escaped for others to see, holds no terminal command.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz/fuzz-check.h"
#include "wire/frame.h"
#include "wire/messages.h"
#include "wire/printable.h"

namespace {

template <typename Message>
void check_round_trip(const wire::FrameView& frame) {
    Message message;
    if (!wire::decode(frame, message)) return;
    std::vector<std::uint8_t> again = wire::encode(message);
    FUZZ_CHECK(again == std::vector<std::uint8_t>(frame.payload, frame.payload + frame.size));
}

/// A client's name as others see it: no byte a terminal takes as a command,
/// and escaping it again changes nothing.
void check_printable_name(const wire::FrameView& frame) {
    wire::OpenRequest request;
    if (!wire::decode(frame, request)) return;
    const std::string shown = wire::printable_text(request.app_name);
    for (const char c : shown) {
        const auto byte = static_cast<unsigned char>(c);
        FUZZ_CHECK(byte >= 0x20 && byte != 0x7F);
    }
    FUZZ_CHECK(wire::printable_text(shown) == shown);
}

void check_payload(const wire::FrameView& frame) {
    switch (frame.type) {
    case wire::FrameType::open:
        check_round_trip<wire::OpenRequest>(frame);
        check_printable_name(frame);
        break;
    case wire::FrameType::open_reply: check_round_trip<wire::OpenReply>(frame); break;
    case wire::FrameType::list_reply: check_round_trip<wire::ListReply>(frame); break;
    case wire::FrameType::control: check_round_trip<wire::ControlRequest>(frame); break;
    case wire::FrameType::control_reply: check_round_trip<wire::ControlReply>(frame); break;
    case wire::FrameType::credit:
    case wire::FrameType::ack: {
        std::uint32_t count = 0;
        if (wire::decode_count(frame, count)) FUZZ_CHECK(wire::encode_count(count).size() == frame.size);
        break;
    }
    case wire::FrameType::fault: {
        wire::FaultReason reason{};
        if (wire::decode_fault(frame, reason)) FUZZ_CHECK(wire::encode_fault(reason).size() == frame.size);
        break;
    }
    default: break;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::size_t pos = 0;
    for (;;) {
        wire::FrameView frame;
        std::size_t consumed = 0;
        std::string error;
        const wire::ParseStatus status = wire::parse_frame(data + pos, size - pos, frame, consumed, error);
        if (status == wire::ParseStatus::bad) {
            FUZZ_CHECK(!error.empty());
            break;
        }
        if (status == wire::ParseStatus::need_more) {
            FUZZ_CHECK(consumed == 0);
            break;
        }
        FUZZ_CHECK(consumed == wire::k_header_size + frame.size);
        FUZZ_CHECK(consumed <= size - pos);
        FUZZ_CHECK(frame.payload == data + pos + wire::k_header_size);
        FUZZ_CHECK(frame.size <= wire::k_max_payload);
        if (frame.type == wire::FrameType::data) FUZZ_CHECK(frame.size >= 1 && frame.size <= wire::k_max_data_payload);
        check_payload(frame);
        pos += consumed;
    }
    return 0;
}
