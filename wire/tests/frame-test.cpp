// Frame parser tests: byte strings in, frames or verdicts out.
#include "wire/frame.h"

#include <gtest/gtest.h>

using namespace wire;

namespace {

std::vector<std::uint8_t> header(std::uint8_t type, std::uint32_t length) {
    std::vector<std::uint8_t> bytes;
    append_header(bytes, static_cast<FrameType>(type), length);
    return bytes;
}

ParseStatus parse(const std::vector<std::uint8_t>& bytes, FrameView& frame, std::size_t& consumed,
                  std::string& error) {
    return parse_frame(bytes.data(), bytes.size(), frame, consumed, error);
}

}  // namespace

TEST(FrameParser, ReturnsCompleteFrameAndLeavesFollowingBytes) {
    std::vector<std::uint8_t> bytes;
    const std::uint8_t payload[] = {'a', 'b', 'c'};
    append_frame(bytes, FrameType::data, payload, 3);
    bytes.push_back('J');  // start of the next frame
    FrameView frame;
    std::size_t consumed = 0;
    std::string error;
    ASSERT_EQ(parse(bytes, frame, consumed, error), ParseStatus::complete);
    EXPECT_EQ(frame.type, FrameType::data);
    EXPECT_EQ(frame.size, 3u);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(frame.payload), frame.size), "abc");
    EXPECT_EQ(consumed, k_header_size + 3);
}

TEST(FrameParser, NeedsMoreUntilTheLastPayloadByteArrives) {
    std::vector<std::uint8_t> bytes;
    const std::uint8_t payload[] = {1, 2, 3, 4};
    append_frame(bytes, FrameType::ack, payload, 4);
    FrameView frame;
    std::size_t consumed = 99;
    std::string error;
    for (std::size_t size = 0; size < bytes.size(); ++size) {
        EXPECT_EQ(parse_frame(bytes.data(), size, frame, consumed, error), ParseStatus::need_more)
            << "with " << size << " bytes";
        EXPECT_EQ(consumed, 0u);
    }
    EXPECT_EQ(parse(bytes, frame, consumed, error), ParseStatus::complete);
}

TEST(FrameParser, EmptyPayloadIsAFrame) {
    const auto bytes = header(static_cast<std::uint8_t>(FrameType::list), 0);
    FrameView frame;
    std::size_t consumed = 0;
    std::string error;
    ASSERT_EQ(parse(bytes, frame, consumed, error), ParseStatus::complete);
    EXPECT_EQ(frame.type, FrameType::list);
    EXPECT_EQ(consumed, k_header_size);
}

TEST(FrameParser, RejectsBadMagicFromTheFirstByte) {
    const std::vector<std::uint8_t> http = {'G', 'E', 'T', ' '};
    FrameView frame;
    std::size_t consumed = 0;
    std::string error;
    EXPECT_EQ(parse_frame(http.data(), 1, frame, consumed, error), ParseStatus::bad);
    EXPECT_NE(error.find("magic"), std::string::npos);
    const std::vector<std::uint8_t> half = {'J', 'X'};
    EXPECT_EQ(parse(half, frame, consumed, error), ParseStatus::bad);
}

TEST(FrameParser, RejectsOtherProtocolVersion) {
    auto bytes = header(static_cast<std::uint8_t>(FrameType::list), 0);
    bytes[2] = k_protocol_version + 1;
    FrameView frame;
    std::size_t consumed = 0;
    std::string error;
    EXPECT_EQ(parse(bytes, frame, consumed, error), ParseStatus::bad);
    EXPECT_NE(error.find("version"), std::string::npos);
}

TEST(FrameParser, RejectsUnknownTypes) {
    FrameView frame;
    std::size_t consumed = 0;
    std::string error;
    for (std::uint8_t type : {0x00, 0x0E, 0xFF}) {
        const auto bytes = header(type, 0);
        EXPECT_EQ(parse(bytes, frame, consumed, error), ParseStatus::bad) << int(type);
    }
}

TEST(FrameParser, RejectsOversizedLengthBeforeThePayloadArrives) {
    const auto bytes = header(static_cast<std::uint8_t>(FrameType::list_reply), k_max_payload + 1);
    FrameView frame;
    std::size_t consumed = 0;
    std::string error;
    EXPECT_EQ(parse(bytes, frame, consumed, error), ParseStatus::bad);
    const auto huge = header(static_cast<std::uint8_t>(FrameType::open), 0xFFFFFFFFu);
    EXPECT_EQ(parse(huge, frame, consumed, error), ParseStatus::bad);
}

TEST(FrameParser, AcceptsLargestPayloadHeader) {
    const auto bytes = header(static_cast<std::uint8_t>(FrameType::list_reply), k_max_payload);
    FrameView frame;
    std::size_t consumed = 0;
    std::string error;
    EXPECT_EQ(parse(bytes, frame, consumed, error), ParseStatus::need_more);
}

TEST(FrameParser, RejectsEmptyAndOversizedDataFrames) {
    FrameView frame;
    std::size_t consumed = 0;
    std::string error;
    const auto empty = header(static_cast<std::uint8_t>(FrameType::data), 0);
    EXPECT_EQ(parse(empty, frame, consumed, error), ParseStatus::bad);
    const auto big = header(static_cast<std::uint8_t>(FrameType::data), k_max_data_payload + 1);
    EXPECT_EQ(parse(big, frame, consumed, error), ParseStatus::bad);
}

TEST(FrameParser, ParsesBackToBackFrames) {
    std::vector<std::uint8_t> bytes;
    const std::uint8_t one[] = {1};
    const std::uint8_t two[] = {2, 2};
    append_frame(bytes, FrameType::data, one, 1);
    append_frame(bytes, FrameType::data, two, 2);
    FrameView frame;
    std::size_t consumed = 0;
    std::string error;
    ASSERT_EQ(parse(bytes, frame, consumed, error), ParseStatus::complete);
    EXPECT_EQ(frame.size, 1u);
    ASSERT_EQ(parse_frame(bytes.data() + consumed, bytes.size() - consumed, frame, consumed, error),
              ParseStatus::complete);
    EXPECT_EQ(frame.size, 2u);
    EXPECT_EQ(frame.payload[1], 2);
}
