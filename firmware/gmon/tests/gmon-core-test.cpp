// The profiling runtime's bookkeeping and writer, built for the host: counts
// at the addresses of this program's own functions must come out of gprof
// as the flat profile and call graph they stand for.
#include <link.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "gmon-core.h"

// Functions for the profile to point at. Aligned like ordinary functions,
// so that no 2-byte bin at their start is shared with another function.
extern "C" {
__attribute__((noinline, aligned(16))) int profiled_driver(int x) { return x * 3 + 1; }
__attribute__((noinline, aligned(16))) int profiled_alpha(int x) { return x * 5 + 2; }
__attribute__((noinline, aligned(16))) int profiled_beta(int x) { return x * 7 + 3; }
__attribute__((noinline, aligned(16))) int profiled_gamma(int x) { return x * 11 + 4; }
}

namespace {

// The address gprof sees for a function: its address in the file, without
// the load offset of a position-independent executable.
uintptr_t file_address(int (*function)(int)) {
    static uintptr_t bias = [] {
        uintptr_t found = 0;
        dl_iterate_phdr(
            [](dl_phdr_info* info, size_t, void* data) {
                *static_cast<uintptr_t*>(data) = info->dlpi_addr;
                return 1;  // the first object is the program itself
            },
            &found);
        return found;
    }();
    return reinterpret_cast<uintptr_t>(function) - bias;
}

void append(const void* bytes, size_t count, void* context) {
    auto* out = static_cast<std::string*>(context);
    out->append(static_cast<const char*>(bytes), count);
}

std::string self_path() {
    std::array<char, 4096> path{};
    const ssize_t n = readlink("/proc/self/exe", path.data(), path.size() - 1);
    return n > 0 ? std::string(path.data(), static_cast<size_t>(n)) : std::string();
}

std::string run(const std::string& command) {
    std::string output;
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe) return output;
    std::array<char, 4096> chunk;
    size_t n;
    while ((n = fread(chunk.data(), 1, chunk.size(), pipe)) > 0) output.append(chunk.data(), n);
    pclose(pipe);
    return output;
}

// Each line of gprof's output with its runs of blanks made single spaces.
std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> result;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        std::istringstream words(line);
        std::string joined;
        for (std::string word; words >> word;) joined += (joined.empty() ? "" : " ") + word;
        result.push_back(joined);
    }
    return result;
}

// The flat profile's line for `name`: % time, cumulative s, self s, calls,
// self s/call, total s/call, name.
std::string flat_line(const std::string& flat, const std::string& name) {
    for (const auto& line : lines_of(flat))
        if (line.size() > name.size() && line.ends_with(" " + name)) return line;
    return {};
}

bool has_line(const std::string& text, const std::string& wanted) {
    for (const auto& line : lines_of(text))
        if (line == wanted) return true;
    return false;
}

template <typename T>
T read_at(const std::string& bytes, size_t offset) {
    T value{};
    std::memcpy(&value, bytes.data() + offset, sizeof value);
    return value;
}

struct Profile {
    std::vector<uint16_t> bins;
    std::vector<gmon_arc> arcs;
    gmon_profile profile{};

    Profile(uintptr_t low, uintptr_t high, size_t bin_capacity, size_t arc_slots, uint32_t rate = 100)
        : bins(bin_capacity), arcs(arc_slots) {
        EXPECT_EQ(gmon_profile_init(&profile, low, high, bins.data(), bins.size(), arcs.data(), arcs.size(), rate), 0);
    }
    std::string file() const {
        std::string out;
        gmon_profile_write(&profile, append, &out);
        return out;
    }
};

TEST(GmonProfile, GprofReadsTheFlatProfileAndCallGraphOfThisProgram) {
    const uintptr_t driver = file_address(profiled_driver);
    const uintptr_t alpha = file_address(profiled_alpha);
    const uintptr_t beta = file_address(profiled_beta);
    const uintptr_t gamma = file_address(profiled_gamma);
    const uintptr_t low = std::min({driver, alpha, beta, gamma}) & ~uintptr_t{15};
    const uintptr_t high = std::max({driver, alpha, beta, gamma}) + 64;
    Profile p(low, high, (high - low) / 2 + 1, 64);
    ASSERT_EQ(p.profile.bin_shift, 1u);

    for (int i = 0; i < 60; ++i) gmon_profile_sample(&p.profile, alpha);
    for (int i = 0; i < 30; ++i) gmon_profile_sample(&p.profile, beta + 1);
    for (int i = 0; i < 10; ++i) gmon_profile_sample(&p.profile, gamma);
    for (int i = 0; i < 3; ++i) gmon_profile_arc(&p.profile, driver + 4, alpha);
    for (int i = 0; i < 7; ++i) gmon_profile_arc(&p.profile, alpha + 4, beta);
    for (int i = 0; i < 11; ++i) gmon_profile_arc(&p.profile, beta + 4, gamma);
    for (int i = 0; i < 5; ++i) gmon_profile_arc(&p.profile, gamma + 4, gamma);

    char dir_template[] = "/tmp/gmon-core-test-XXXXXX";
    ASSERT_NE(mkdtemp(dir_template), nullptr);
    const std::string dir = dir_template;
    const std::string file = dir + "/gmon.out";
    std::ofstream(file, std::ios::binary) << p.file();
    const std::string gprof = std::string(GPROF_PATH) + " -b ";
    const std::string files = " '" + self_path() + "' " + file + " 2>&1";
    const std::string flat = run(gprof + "-p" + files);
    const std::string graph = run(gprof + "-q" + files);
    std::remove(file.c_str());
    rmdir(dir.c_str());

    // Rate 100: a sample is 0.01 s; per call in ms, beta's and gamma's time
    // counted into alpha's total.
    EXPECT_EQ(flat_line(flat, "profiled_alpha"), "60.00 0.60 0.60 3 200.00 333.33 profiled_alpha") << flat;
    EXPECT_EQ(flat_line(flat, "profiled_beta"), "30.00 0.90 0.30 7 42.86 57.14 profiled_beta") << flat;
    EXPECT_EQ(flat_line(flat, "profiled_gamma"), "10.00 1.00 0.10 11 9.09 9.09 profiled_gamma") << flat;
    EXPECT_EQ(flat_line(flat, "profiled_driver"), "") << "no samples, no calls: " << flat;

    // Each entry: the caller's line, the function's own line, the callee's.
    EXPECT_TRUE(has_line(graph, "0.60 0.40 3/3 profiled_driver [2]")) << graph;
    EXPECT_TRUE(has_line(graph, "[1] 100.0 0.60 0.40 3 profiled_alpha [1]")) << graph;
    EXPECT_TRUE(has_line(graph, "0.30 0.10 7/7 profiled_beta [3]")) << graph;
    EXPECT_TRUE(has_line(graph, "0.10 0.00 11/11 profiled_gamma [4]")) << graph;
    EXPECT_TRUE(has_line(graph, "[4] 10.0 0.10 0.00 11+5 profiled_gamma [4]")) << graph;
}

TEST(GmonProfile, FileHasHeaderHistogramRecordAndOneRecordPerArc) {
    const uintptr_t low = 0x1000;
    Profile p(low, low + 0x40, 32, 8, 50);
    gmon_profile_sample(&p.profile, low);
    gmon_profile_sample(&p.profile, low + 1);  // the same 2-byte bin
    gmon_profile_sample(&p.profile, low + 0x3f);
    gmon_profile_arc(&p.profile, 0x1010, 0x1020);
    gmon_profile_arc(&p.profile, 0x1010, 0x1020);
    gmon_profile_arc(&p.profile, 0x1030, 0x1020);
    const std::string f = p.file();

    const size_t pc = sizeof(uintptr_t);
    const size_t histogram = 20;
    const size_t bins = histogram + 1 + 2 * pc + 4 + 4 + 16;
    const size_t arcs = bins + 2 * 32;
    const size_t arc_size = 1 + 2 * pc + 4;
    ASSERT_EQ(f.size(), arcs + 2 * arc_size);
    EXPECT_EQ(gmon_profile_file_size(&p.profile), f.size());

    EXPECT_EQ(f.substr(0, 4), "gmon");
    EXPECT_EQ(read_at<uint32_t>(f, 4), 1u);
    EXPECT_EQ(f.substr(8, 12), std::string(12, '\0'));
    EXPECT_EQ(f[histogram], 0);
    EXPECT_EQ(read_at<uintptr_t>(f, histogram + 1), low);
    EXPECT_EQ(read_at<uintptr_t>(f, histogram + 1 + pc), low + 0x40);
    EXPECT_EQ(read_at<uint32_t>(f, histogram + 1 + 2 * pc), 32u);
    EXPECT_EQ(read_at<uint32_t>(f, histogram + 1 + 2 * pc + 4), 50u);
    EXPECT_EQ(f.substr(histogram + 1 + 2 * pc + 8, 16), std::string("seconds\0\0\0\0\0\0\0\0s", 16));
    EXPECT_EQ(read_at<uint16_t>(f, bins), 2u);
    EXPECT_EQ(read_at<uint16_t>(f, bins + 2), 0u);
    EXPECT_EQ(read_at<uint16_t>(f, bins + 2 * 31), 1u);

    std::vector<std::array<uintptr_t, 3>> seen;
    for (size_t at = arcs; at < f.size(); at += arc_size) {
        EXPECT_EQ(f[at], 1);
        seen.push_back({read_at<uintptr_t>(f, at + 1), read_at<uintptr_t>(f, at + 1 + pc),
                        read_at<uint32_t>(f, at + 1 + 2 * pc)});
    }
    std::sort(seen.begin(), seen.end());
    EXPECT_EQ(seen, (std::vector<std::array<uintptr_t, 3>>{{0x1010, 0x1020, 2}, {0x1030, 0x1020, 1}}));
}

TEST(GmonProfile, SendFramesTheFileWithTheMarkerAndALittleEndianLength) {
    Profile p(0x2000, 0x2000 + 0x1000, 0x800, 4);
    std::string sent;
    gmon_profile_send(&p.profile, append, &sent);
    const std::string marker = "**gmon.out data follows**\n";
    ASSERT_EQ(sent.substr(0, marker.size()), marker);
    const auto* length = reinterpret_cast<const unsigned char*>(sent.data() + marker.size());
    const uint32_t size = length[0] | length[1] << 8 | length[2] << 16 | uint32_t{length[3]} << 24;
    EXPECT_EQ(size, 20 + 1 + 2 * sizeof(uintptr_t) + 24 + 2 * 0x800);
    EXPECT_EQ(sent.substr(marker.size() + 4), p.file());
}

TEST(GmonProfile, BinsAreAsFineAsTheStorageAllows) {
    gmon_profile profile{};
    std::vector<uint16_t> bins(100);
    ASSERT_EQ(gmon_profile_init(&profile, 0x1000, 0x1000 + 200, bins.data(), bins.size(), nullptr, 0, 1), 0);
    EXPECT_EQ(profile.bin_shift, 1u);
    EXPECT_EQ(profile.bin_count, 100u);
    EXPECT_EQ(profile.high_pc, 0x1000u + 200);

    // 1000 bytes in at most 100 bins: 16-byte bins, the last one partly past the range.
    ASSERT_EQ(gmon_profile_init(&profile, 0x1000, 0x1000 + 1000, bins.data(), bins.size(), nullptr, 0, 1), 0);
    EXPECT_EQ(profile.bin_shift, 4u);
    EXPECT_EQ(profile.bin_count, 63u);
    EXPECT_EQ(profile.high_pc, 0x1000u + 63 * 16);
    gmon_profile_sample(&profile, 0x1000 + 999);
    EXPECT_EQ(bins[62], 1u);

    EXPECT_EQ(gmon_profile_init(&profile, 0x1000, 0x1000, bins.data(), bins.size(), nullptr, 0, 1), -1);
    EXPECT_EQ(gmon_profile_init(&profile, 0x2000, 0x1000, bins.data(), bins.size(), nullptr, 0, 1), -1);
    EXPECT_EQ(gmon_profile_init(&profile, 0x1000, 0x2000, nullptr, 100, nullptr, 0, 1), -1);
    EXPECT_EQ(gmon_profile_init(&profile, 0x1000, 0x2000, bins.data(), 0, nullptr, 0, 1), -1);
    // A range up to the top of the address space would need a high pc past it.
    EXPECT_EQ(gmon_profile_init(&profile, UINTPTR_MAX - 100, UINTPTR_MAX, bins.data(), 10, nullptr, 0, 1), -1);
}

TEST(GmonProfile, SamplesOutsideTheRangeAreCountedApartAndFullBinsStayFull) {
    Profile p(0x1000, 0x1100, 0x80, 0);
    gmon_profile_sample(&p.profile, 0xfff);
    gmon_profile_sample(&p.profile, 0x1100);
    gmon_profile_sample(&p.profile, 0);
    EXPECT_EQ(p.profile.samples_outside, 3u);
    for (int i = 0; i < 70000; ++i) gmon_profile_sample(&p.profile, 0x1010);
    EXPECT_EQ(p.bins[8], 0xffffu);
    EXPECT_EQ(std::count(p.bins.begin(), p.bins.end(), 0), 0x7f);
    // What a full bin could not take is lost, and counted as such.
    EXPECT_EQ(p.profile.samples_saturated, 70000u - 0xffffu);
    EXPECT_EQ(p.profile.samples_outside, 3u);
}

TEST(GmonProfile, AFullArcTableStillCountsTheArcsItHas) {
    Profile p(0x1000, 0x2000, 0x800, 10);  // 8 slots, at most 6 arcs
    EXPECT_EQ(p.profile.arc_slots, 8u);
    for (uintptr_t from = 0; from < 8; ++from) gmon_profile_arc(&p.profile, 0x1000 + 2 * from, 0x1800);
    EXPECT_EQ(p.profile.arcs_used, 6u);
    EXPECT_EQ(p.profile.arcs_dropped, 2u);
    gmon_profile_arc(&p.profile, 0x1000, 0x1800);
    gmon_profile_arc(&p.profile, 0x100a, 0x1800);
    gmon_profile_arc(&p.profile, 0x100c, 0x1800);
    uint32_t total = 0;
    for (const auto& arc : p.arcs) total += arc.count;
    EXPECT_EQ(total, 8u);
    EXPECT_EQ(p.profile.arcs_dropped, 3u);
    EXPECT_EQ(gmon_profile_file_size(&p.profile), p.file().size());
}

TEST(GmonProfile, TablesOfFewerThanFourSlotsFillUpWithoutHanging) {
    // Three quarters of a table this small is the whole table: a new arc
    // must not probe it for a free slot for ever. In a child with an alarm,
    // so that a hang fails the test instead of stalling the run.
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    ASSERT_EXIT(
        {
            alarm(10);
            for (size_t slots : {1u, 2u, 3u}) {
                Profile p(0x1000, 0x2000, 0x800, slots);
                for (uintptr_t from = 0; from < 4; ++from) gmon_profile_arc(&p.profile, 0x1000 + 2 * from, 0x1800);
            }
            _exit(0);
        },
        ::testing::ExitedWithCode(0), "");
    for (size_t slots : {1u, 2u, 3u}) {
        Profile p(0x1000, 0x2000, 0x800, slots);
        const size_t kept = p.profile.arc_slots;  // 1, 2, 2
        for (uintptr_t from = 0; from < 4; ++from) gmon_profile_arc(&p.profile, 0x1000 + 2 * from, 0x1800);
        gmon_profile_arc(&p.profile, 0x1000, 0x1800);  // a known arc is still counted
        EXPECT_EQ(p.profile.arcs_used, kept) << slots << " slots";
        EXPECT_EQ(p.profile.arcs_dropped, 4u - kept) << slots << " slots";
        uint32_t total = 0;
        for (const auto& arc : p.arcs) total += arc.count;
        EXPECT_EQ(total, kept + 1) << slots << " slots";
        EXPECT_EQ(gmon_profile_file_size(&p.profile), p.file().size());
    }
}

TEST(GmonProfile, ResetForgetsTheCountsButKeepsTheRange) {
    Profile p(0x1000, 0x2000, 0x800, 8);
    gmon_profile_sample(&p.profile, 0x1002);
    gmon_profile_sample(&p.profile, 0x3000);
    p.bins[2] = 0xffff;
    gmon_profile_sample(&p.profile, 0x1004);
    gmon_profile_arc(&p.profile, 0x1000, 0x1800);
    gmon_profile_reset(&p.profile);
    EXPECT_EQ(p.bins[1], 0u);
    EXPECT_EQ(p.profile.samples_outside, 0u);
    EXPECT_EQ(p.profile.samples_saturated, 0u);
    EXPECT_EQ(p.profile.arcs_used, 0u);
    EXPECT_EQ(p.file().size(), 20 + 1 + 2 * sizeof(uintptr_t) + 24 + 2 * 0x800);
    gmon_profile_arc(&p.profile, 0x1000, 0x1800);
    EXPECT_EQ(p.profile.arcs_used, 1u);
    EXPECT_EQ(p.profile.low_pc, 0x1000u);
}

}  // namespace
