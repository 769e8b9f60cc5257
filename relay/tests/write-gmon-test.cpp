// The profile capture: the marker, the length and the data split across
// chunks at every position, compared with the stream a reader expects, and
// the edge cases of broken matches, empty and impossible lengths.
#include "relay/write-gmon.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "cmdline/settings.h"
#include "tests/support/temp-dir.h"

namespace tolvan {
namespace {

const std::string marker(GMON_MARKER, GMON_MARKER_LENGTH);

std::string length_bytes(std::uint32_t length) {
    std::string bytes;
    for (int i = 0; i < 4; ++i) bytes += static_cast<char>((length >> (8 * i)) & 0xff);
    return bytes;
}

// Each test runs in a directory of its own, where "gmon.out" is written.
class GmonCapture : public testing::Test {
protected:
    void SetUp() override {
        reset_settings();
        reset_gmon_capture();
        settings.write_gmon = 1;
    }
    void TearDown() override {
        reset_gmon_capture();  // closes the file before its folder goes
    }

    /// Feeds the chunks in order; returns what reaches the console.
    std::string feed(const std::vector<std::string>& chunks) {
        std::string console;
        m_results.clear();
        for (const std::string& chunk : chunks) {
            char buffer[64];
            EXPECT_LE(chunk.size(), sizeof buffer);
            chunk.copy(buffer, chunk.size());
            int kept = gmon_capture(buffer, static_cast<int>(chunk.size()));
            m_results.push_back(kept);
            console.append(buffer, static_cast<std::size_t>(kept));
        }
        return console;
    }

    /// The profile file, closed as it is after a completed block.
    static std::optional<std::string> profile_file() {
        std::ifstream file("gmon.out", std::ios::binary);
        if (!file) return std::nullopt;
        return std::string(std::istreambuf_iterator<char>(file), {});
    }

    std::vector<int> m_results;

private:
    test_support::temp_dir m_directory;
    test_support::working_directory m_in_directory{m_directory.path()};
};

TEST_F(GmonCapture, OffLeavesTheStreamAlone) {
    settings.write_gmon = 0;
    const std::string chunk = marker + length_bytes(3) + "ABC";
    EXPECT_EQ(feed({chunk, chunk}), chunk + chunk);
    EXPECT_FALSE(profile_file());
}

TEST_F(GmonCapture, OneChunkHoldingAWholeBlock) {
    EXPECT_EQ(feed({"xy" + marker + length_bytes(3) + "ABC" + "z"}), "xy" + marker + "z");
    EXPECT_EQ(m_results, std::vector<int>{29});
    EXPECT_EQ(profile_file(), "ABC");
}

// Whatever the chunk boundaries, the console sees the stream less the length
// and the profile bytes, and the file holds exactly the profile bytes.
TEST_F(GmonCapture, SplitAnywhereAcrossThreeChunks) {
    const std::string before = "ab\n";
    const std::string profile("P\0\x04\xffQ", 5);
    const std::string after = "tail";
    const std::string stream = before + marker + length_bytes(5) + profile + after;
    for (std::size_t i = 0; i <= stream.size(); ++i) {
        for (std::size_t j = i; j <= stream.size(); ++j) {
            SCOPED_TRACE("split at " + std::to_string(i) + " and " + std::to_string(j));
            std::filesystem::remove("gmon.out");
            ASSERT_EQ(feed({stream.substr(0, i), stream.substr(i, j - i), stream.substr(j)}), before + marker + after);
            ASSERT_EQ(profile_file(), profile);
        }
    }
}

TEST_F(GmonCapture, LongProfileInFullChunks) {
    std::string profile;
    for (int i = 0; i < 200; ++i) profile += static_cast<char>(i * 7);
    const std::string stream = marker + length_bytes(200) + profile + "tail";
    std::vector<std::string> chunks;
    for (std::size_t at = 0; at < stream.size(); at += 64) chunks.push_back(stream.substr(at, 64));
    EXPECT_EQ(feed(chunks), marker + "tail");
    EXPECT_EQ(m_results, (std::vector<int>{26, 0, 0, 4}));
    EXPECT_EQ(profile_file(), profile);
}

TEST_F(GmonCapture, LengthZeroOpensNoFileAndEndsAtOnce) {
    std::ofstream("gmon.out") << "earlier";
    EXPECT_EQ(feed({marker + length_bytes(0) + "after", "more" + marker + length_bytes(1) + "Z!"}),
              marker + "after" + "more" + marker + "!");
    // The second block proves the capture was back to idle; it replaced the file.
    EXPECT_EQ(profile_file(), "Z");
}

TEST_F(GmonCapture, LengthZeroLeavesAnEarlierFileUntouched) {
    std::ofstream("gmon.out") << "earlier";
    EXPECT_EQ(feed({marker + length_bytes(0) + "after"}), marker + "after");
    EXPECT_EQ(profile_file(), "earlier");
}

TEST_F(GmonCapture, BrokenPartialMatchSkipsTheByteWhereItBroke) {
    const std::string second = marker + length_bytes(1) + "Q";
    EXPECT_EQ(feed({"xx**", second}), "xx**" + second);
    EXPECT_FALSE(profile_file());
    // Nothing is stuck: a marker in a later chunk is recognised.
    EXPECT_EQ(feed({marker + length_bytes(1) + "R"}), marker);
    EXPECT_EQ(profile_file(), "R");
}

TEST_F(GmonCapture, MarkerSplitAfterItsFirstFourBytes) {
    EXPECT_EQ(feed({"ab" + marker.substr(0, 4), marker.substr(4) + length_bytes(1) + "Q"}), "ab" + marker);
    EXPECT_EQ(profile_file(), "Q");
}

TEST_F(GmonCapture, LaterBlockTruncatesTheFile) {
    feed({marker + length_bytes(4) + "long", marker + length_bytes(2) + "ab"});
    EXPECT_EQ(profile_file(), "ab");
}

TEST_F(GmonCapture, LengthWithTopBitSetIsDroppedAndTheSearchGoesOn) {
    for (std::uint32_t length : {0x80000000u, 0xffffffffu}) {
        SCOPED_TRACE(length);
        EXPECT_EQ(feed({marker + length_bytes(length).substr(0, 1), length_bytes(length).substr(1) + "text",
                        "xy" + marker + length_bytes(2) + "PQz"}),
                  marker + "text" + "xy" + marker + "z");
        EXPECT_EQ(profile_file(), "PQ");
        std::filesystem::remove("gmon.out");
    }
}

TEST_F(GmonCapture, EmptyChunksChangeNothing) {
    EXPECT_EQ(feed({"", marker, "", length_bytes(2), "", "AB", "c"}), marker + "c");
    EXPECT_EQ(profile_file(), "AB");
}

using GmonCaptureDeathTest = GmonCapture;

TEST_F(GmonCaptureDeathTest, UnwritableProfileFileEndsTheProgram) {
    ASSERT_TRUE(std::filesystem::create_directory("gmon.out"));  // a directory cannot be opened for writing
    std::string chunk = marker + length_bytes(1) + "Q";
    EXPECT_DEATH(
        {
            dup2(2, 1);  // see the message on standard output too
            char buffer[64];
            chunk.copy(buffer, chunk.size());
            gmon_capture(buffer, static_cast<int>(chunk.size()));
        },
        "Error: unable to open gmon.out file for writing\n"
        "tolvan-terminal: relay/write-gmon.cpp:111: abort");
}

}  // namespace
}  // namespace tolvan
