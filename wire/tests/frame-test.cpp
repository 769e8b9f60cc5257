// Frame parser tests: byte strings in, frames or verdicts out.
#include "wire/frame.h"
#include "wire/frame-reader.h"

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

namespace {

/// Every frame the reader hands out, as type and payload, until it needs more.
std::vector<std::pair<FrameType, std::string>> take_frames(FrameReader& reader) {
    std::vector<std::pair<FrameType, std::string>> frames;
    FrameView frame;
    std::string error;
    while (reader.next(frame, error) == ParseStatus::complete)
        frames.emplace_back(frame.type, std::string(reinterpret_cast<const char*>(frame.payload), frame.size));
    reader.compact();
    return frames;
}

}  // namespace

TEST(FrameReader, FramesSplitAnywhereComeOutWholeAndInOrder) {
    std::vector<std::uint8_t> stream;
    const std::string big(3000, 'b');  // larger than the reader's block
    append_frame(stream, FrameType::data, reinterpret_cast<const std::uint8_t*>("abc"), 3);
    append_frame(stream, FrameType::list, nullptr, 0);
    append_frame(stream, FrameType::data, reinterpret_cast<const std::uint8_t*>(big.data()), big.size());
    append_frame(stream, FrameType::ack, reinterpret_cast<const std::uint8_t*>("\x01\0\0\0"), 4);
    for (std::size_t piece : {std::size_t{1}, std::size_t{7}, std::size_t{1000}, stream.size()}) {
        SCOPED_TRACE(piece);
        FrameReader reader(256);
        std::vector<std::pair<FrameType, std::string>> frames;
        for (std::size_t at = 0; at < stream.size(); at += piece) {
            reader.append(stream.data() + at, std::min(piece, stream.size() - at));
            for (auto& frame : take_frames(reader)) frames.push_back(frame);
        }
        ASSERT_EQ(frames.size(), 4u);
        EXPECT_EQ(frames[0], std::make_pair(FrameType::data, std::string("abc")));
        EXPECT_EQ(frames[1], std::make_pair(FrameType::list, std::string()));
        EXPECT_EQ(frames[2], std::make_pair(FrameType::data, big));
        EXPECT_EQ(frames[3].first, FrameType::ack);
        EXPECT_EQ(reader.pending_size(), 0u);
        EXPECT_EQ(reader.space_size(), 256u);  // back to its block once the large frame is gone
    }
}

TEST(FrameReader, BrokenStreamStopsAtTheBadFrame) {
    FrameReader reader(64);
    std::vector<std::uint8_t> stream;
    append_frame(stream, FrameType::list, nullptr, 0);
    const std::string garbage = "GET / HTTP/1.1\r\n";
    stream.insert(stream.end(), garbage.begin(), garbage.end());
    reader.append(stream.data(), stream.size());
    FrameView frame;
    std::string error;
    ASSERT_EQ(reader.next(frame, error), ParseStatus::complete);
    EXPECT_EQ(reader.next(frame, error), ParseStatus::bad);
    EXPECT_EQ(error, "bad frame magic");
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(reader.pending()), reader.pending_size()), garbage);
}

TEST(FrameHeader, LengthCanBeChangedInPlace) {
    std::vector<std::uint8_t> bytes = header(static_cast<std::uint8_t>(FrameType::data), 1);
    set_payload_length(bytes.data(), 0x01020304u);
    EXPECT_EQ(payload_length(bytes.data()), 0x01020304u);
    EXPECT_EQ(bytes[4], 0x04);  // least significant first
    EXPECT_EQ(bytes[7], 0x01);
}
