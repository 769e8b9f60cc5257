// Message payload tests: round trips and rejection of truncated or padded payloads.
#include "wire/messages.h"

#include <gtest/gtest.h>

using namespace wire;

namespace {

FrameView view(FrameType type, const std::vector<std::uint8_t>& payload) {
    return FrameView{type, payload.data(), static_cast<std::uint32_t>(payload.size())};
}

}  // namespace

TEST(Messages, OpenRequestRoundTrip) {
    OpenRequest request{"SimCable [sim-0]", 2, -1, 4242, "tolvan-terminal"};
    const auto bytes = encode(request);
    OpenRequest decoded;
    ASSERT_TRUE(decode(view(FrameType::open, bytes), decoded));
    EXPECT_EQ(decoded.cable, "SimCable [sim-0]");
    EXPECT_EQ(decoded.device, 2);
    EXPECT_EQ(decoded.instance, -1);
    EXPECT_EQ(decoded.pid, 4242u);
    EXPECT_EQ(decoded.app_name, "tolvan-terminal");
}

TEST(Messages, DecodersRejectEveryTruncationAndTrailingBytes) {
    OpenReply reply;
    reply.cable = "c";
    reply.window = 1024;
    reply.rx_credit = 64;
    const auto bytes = encode(reply);
    OpenReply decoded;
    ASSERT_TRUE(decode(view(FrameType::open_reply, bytes), decoded));
    for (std::size_t size = 0; size < bytes.size(); ++size) {
        std::vector<std::uint8_t> cut(bytes.begin(), bytes.begin() + static_cast<long>(size));
        EXPECT_FALSE(decode(view(FrameType::open_reply, cut), decoded)) << size;
    }
    auto padded = bytes;
    padded.push_back(0);
    EXPECT_FALSE(decode(view(FrameType::open_reply, padded), decoded));
}

TEST(Messages, FailedOpenReplyCarriesOnlyCodeAndText) {
    OpenReply reply;
    reply.code = -6;
    reply.text = "held by tolvan-terminal (pid 12)";
    OpenReply decoded;
    ASSERT_TRUE(decode(view(FrameType::open_reply, encode(reply)), decoded));
    EXPECT_EQ(decoded.code, -6);
    EXPECT_EQ(decoded.text, reply.text);
}

TEST(Messages, DecoderRejectsWrongFrameType) {
    OpenRequest decoded;
    EXPECT_FALSE(decode(view(FrameType::data, encode(OpenRequest{})), decoded));
}

TEST(Messages, TextLengthBeyondPayloadIsRejected) {
    // A control request whose cable text claims 200 bytes but carries 3.
    std::vector<std::uint8_t> bytes = {1, 200, 0, 'a', 'b', 'c', 0, 0, 0, 0, 0, 0, 0, 0};
    ControlRequest decoded;
    EXPECT_FALSE(decode(view(FrameType::control, bytes), decoded));
}

TEST(Messages, ControlOpOutOfRangeIsRejected) {
    ControlRequest request;
    auto bytes = encode(request);
    ControlRequest decoded;
    ASSERT_TRUE(decode(view(FrameType::control, bytes), decoded));
    bytes[0] = 0;
    EXPECT_FALSE(decode(view(FrameType::control, bytes), decoded));
    bytes[0] = 7;
    EXPECT_FALSE(decode(view(FrameType::control, bytes), decoded));
}

TEST(Messages, ListReplyRoundTripKeepsStructure) {
    ListReply reply;
    CableInfo cable;
    cable.name = "SimCable [sim-1]";
    cable.powered = false;
    cable.support = 2;
    DeviceInfo empty_device;
    DeviceInfo device;
    UartInfo uart;
    uart.target = "exec: cat";
    uart.held = true;
    uart.holder_name = "tolvan-terminal";
    uart.holder_pid = 77;
    uart.tx_fill = 5;
    device.uarts.push_back(uart);
    device.uarts.push_back(UartInfo{});
    cable.devices = {empty_device, device};
    reply.cables = {cable, CableInfo{}};

    ListReply decoded;
    ASSERT_TRUE(decode(view(FrameType::list_reply, encode(reply)), decoded));
    ASSERT_EQ(decoded.cables.size(), 2u);
    const CableInfo& first = decoded.cables[0];
    EXPECT_EQ(first.name, "SimCable [sim-1]");
    EXPECT_FALSE(first.powered);
    EXPECT_EQ(first.support, 2);
    ASSERT_EQ(first.devices.size(), 2u);
    EXPECT_TRUE(first.devices[0].uarts.empty());
    ASSERT_EQ(first.devices[1].uarts.size(), 2u);
    EXPECT_EQ(first.devices[1].uarts[0].holder_name, "tolvan-terminal");
    EXPECT_EQ(first.devices[1].uarts[0].holder_pid, 77u);
    EXPECT_EQ(first.devices[1].uarts[0].tx_fill, 5u);
    EXPECT_FALSE(first.devices[1].uarts[1].held);
}

TEST(Messages, ListReplyServerVersionIsOptionalAndLast) {
    ListReply reply;
    reply.cables.push_back(CableInfo{});
    const std::vector<std::uint8_t> without = encode(reply);
    reply.server_version = "1.0.0";
    const std::vector<std::uint8_t> with = encode(reply);
    // A server that sends no version: the payload ends with the cables.
    ListReply decoded;
    decoded.server_version = "stale";
    ASSERT_TRUE(decode(view(FrameType::list_reply, without), decoded));
    EXPECT_FALSE(decoded.server_version.has_value());
    ASSERT_TRUE(decode(view(FrameType::list_reply, with), decoded));
    EXPECT_EQ(decoded.server_version, "1.0.0");
    EXPECT_EQ(decoded.cables.size(), 1u);
    // Bytes after the cables that are not one whole text are refused.
    std::vector<std::uint8_t> torn = with;
    torn.pop_back();
    EXPECT_FALSE(decode(view(FrameType::list_reply, torn), decoded));
    std::vector<std::uint8_t> extra = with;
    extra.push_back(0);
    EXPECT_FALSE(decode(view(FrameType::list_reply, extra), decoded));
}

TEST(Messages, ListReplyCarriesEachCablesAdapterAndTapNotes) {
    ListReply reply;
    CableInfo real;
    real.name = "SimJTAG [rbb]";
    real.devices.resize(2);
    real.adapter = "remote_bitbang at 127.0.0.1:4444";
    real.tap_notes = {"IDCODE 0x30a51e2b (manufacturer 0x115, part 0x0a51, version 3)", ""};
    reply.cables = {CableInfo{}, real};
    reply.server_version = "1.0.0";
    const std::vector<std::uint8_t> with = encode(reply);
    ListReply decoded;
    ASSERT_TRUE(decode(view(FrameType::list_reply, with), decoded));
    ASSERT_EQ(decoded.cables.size(), 2u);
    EXPECT_EQ(decoded.cables[0].adapter, "");
    EXPECT_TRUE(decoded.cables[0].tap_notes.empty());
    EXPECT_EQ(decoded.cables[1].adapter, real.adapter);
    EXPECT_EQ(decoded.cables[1].tap_notes, real.tap_notes);
    EXPECT_EQ(decoded.cables[1].devices.size(), 2u);

    // An older server ends with its version: no chain facts, still a reply.
    reply.server_version.reset();
    PayloadWriter older;
    for (std::uint8_t byte : encode(reply))
        older.u8(byte);
    older.text("0.9.0");
    ASSERT_TRUE(decode(view(FrameType::list_reply, older.bytes()), decoded));
    EXPECT_EQ(decoded.server_version, "0.9.0");
    EXPECT_EQ(decoded.cables[1].adapter, "");
    EXPECT_TRUE(decoded.cables[1].tap_notes.empty());

    // A facts section cut anywhere, or for another number of cables, is refused.
    const std::size_t facts = encode(reply).size() + 2 + 5;  // after the version "1.0.0"
    ASSERT_LT(facts, with.size());
    for (std::size_t size = facts + 1; size < with.size(); ++size) {
        const std::vector<std::uint8_t> torn(with.begin(), with.begin() + static_cast<std::ptrdiff_t>(size));
        EXPECT_FALSE(decode(view(FrameType::list_reply, torn), decoded)) << size;
    }
    std::vector<std::uint8_t> miscounted = with;
    miscounted[facts] = 3;
    EXPECT_FALSE(decode(view(FrameType::list_reply, miscounted), decoded));
}

TEST(Messages, ListReplyCarriesEachCablesProblemAndAdapterErrorsOnlyWhenThereAreAny) {
    ListReply reply;
    CableInfo down;
    down.name = "SimJTAG [own]";
    down.adapter = "openocd, started by the server";
    down.problem = "OpenOCD exited with status 1";
    down.adapter_errors = {"Error: unable to open ftdi device", "Error: no device found"};
    CableInfo told_only;
    told_only.name = "no facts but a problem";
    told_only.problem = "cannot connect: Connection refused";
    reply.cables = {CableInfo{}, down, told_only};
    reply.server_version = "1.0.0";
    const std::vector<std::uint8_t> with = encode(reply);
    ListReply decoded;
    ASSERT_TRUE(decode(view(FrameType::list_reply, with), decoded));
    ASSERT_EQ(decoded.cables.size(), 3u);
    EXPECT_EQ(decoded.cables[0].problem, "");
    EXPECT_EQ(decoded.cables[1].problem, down.problem);
    EXPECT_EQ(decoded.cables[1].adapter_errors, down.adapter_errors);
    EXPECT_EQ(decoded.cables[2].problem, told_only.problem);
    EXPECT_EQ(encode(decoded), with);

    // Without problems the reply ends after the chain facts, as before.
    reply.cables[1].problem.clear();
    reply.cables[1].adapter_errors.clear();
    reply.cables[2].problem.clear();
    const std::vector<std::uint8_t> without = encode(reply);
    ASSERT_TRUE(decode(view(FrameType::list_reply, without), decoded));
    EXPECT_TRUE(decoded.cables[1].adapter_errors.empty());
    // A problems section with nothing in it, cut anywhere, or for another
    // number of cables is refused.
    PayloadWriter empty;
    for (std::uint8_t byte : without)
        empty.u8(byte);
    empty.u32(3);
    for (int c = 0; c < 3; ++c) {
        empty.text("");
        empty.u32(0);
    }
    EXPECT_FALSE(decode(view(FrameType::list_reply, empty.bytes()), decoded));
    for (std::size_t size = without.size() + 1; size < with.size(); ++size) {
        const std::vector<std::uint8_t> torn(with.begin(), with.begin() + static_cast<std::ptrdiff_t>(size));
        EXPECT_FALSE(decode(view(FrameType::list_reply, torn), decoded)) << size;
    }
    std::vector<std::uint8_t> miscounted = with;
    miscounted[without.size()] = 2;
    EXPECT_FALSE(decode(view(FrameType::list_reply, miscounted), decoded));
}

TEST(Messages, ListReplyWithHostileCountIsRejected) {
    std::vector<std::uint8_t> bytes = {0xFF, 0xFF, 0xFF, 0x7F};
    ListReply decoded;
    EXPECT_FALSE(decode(view(FrameType::list_reply, bytes), decoded));
}

TEST(Messages, BooleanFieldsMustBeZeroOrOne) {
    ListReply reply;
    reply.cables.push_back(CableInfo{});
    auto bytes = encode(reply);
    bytes[4 + 2] = 2;  // the plugged flag after the count and the empty name
    ListReply decoded;
    EXPECT_FALSE(decode(view(FrameType::list_reply, bytes), decoded));
}

TEST(Messages, FaultReasonMustBeKnown) {
    FaultReason reason{};
    EXPECT_TRUE(decode_fault(view(FrameType::fault, encode_fault(FaultReason::power_off)), reason));
    EXPECT_EQ(reason, FaultReason::power_off);
    EXPECT_FALSE(decode_fault(view(FrameType::fault, {9}), reason));
}

TEST(Messages, CountRoundTripUsesAllBits) {
    std::uint32_t count = 0;
    ASSERT_TRUE(decode_count(view(FrameType::ack, encode_count(0xA1B2C3D4u)), count));
    EXPECT_EQ(count, 0xA1B2C3D4u);
}
