// The example firmware on an emulated RISC-V processor behind jtag-server
// (boards/riscv-qemu.toml), driven through the real terminal in a
// pseudo-terminal: its banner and echo, the end on `bye`, a profile carved
// out of its output that the cross toolchain's gprof reads, and restarts
// through power and attach with --persistent.
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/expected-texts.h"
#include "tests/support/jtag-server-process.h"
#include "tests/support/temp-dir.h"

namespace firmware {
namespace {

using namespace test_support;

const std::string BANNER = "Tolvan RISC-V firmware ready. Type 'help' for commands.\n";
const std::string CABLE = "SimCable [riscv-0]";

/// The firmware's server, or a skip (a failure in CI) when the firmware, QEMU
/// or the cross gprof is not there.
class Firmware : public testing::Test {
protected:
    void SetUp() override {
        for (const std::string needed : {TT_FIRMWARE_ELF, TT_QEMU, TT_RISCV_GPROF}) {
            if (needed.empty() || !std::filesystem::exists(needed)) {
                const std::string why = "missing: " + (needed.empty() ? std::string("a cross tool") : needed) +
                                        " (tools/run-tests firmware builds the firmware; Debian: qemu-system-misc "
                                        "binutils-riscv64-unknown-elf)";
                const char* ci = std::getenv("CI");
                if (ci != nullptr && std::string(ci) == "true") FAIL() << why;
                GTEST_SKIP() << why;
            }
        }
        setenv("TOLVAN_FIRMWARE_ELF", TT_FIRMWARE_ELF, 1);  // the board's command reads it
        std::ifstream board(TT_SOURCE_DIR "/boards/riscv-qemu.toml");
        std::ostringstream text;
        text << board.rdbuf();
        server = std::make_unique<jtag_server>(text.str());
    }

    std::unique_ptr<jtag_server> server;
};

TEST_F(Firmware, BannerEchoAndCommandsThenByeEndsTheRun) {
    auto terminal = relaying_terminal(*server, {});
    ASSERT_TRUE(terminal->expect(BANNER, 30s)) << escaped(terminal->output());
    terminal->send("hello firmware");
    ASSERT_TRUE(terminal->expect(BANNER + "hello firmware", 10s)) << escaped(terminal->output());
    terminal->send("\r");
    ASSERT_TRUE(terminal->expect("unknown command 'hello'; type 'help'\n")) << escaped(terminal->output());
    // Line editing, and one line end for CR LF.
    terminal->send("helq\x7fp\rcount 2\r\n");
    ASSERT_TRUE(terminal->expect("helq\b \bp\nCommands:\n")) << escaped(terminal->output());
    ASSERT_TRUE(terminal->expect("count 2\nline 1\nline 2\n")) << escaped(terminal->output());
    // An overlong line and binary bytes are refused, and the firmware goes on.
    terminal->send(std::string(300, 'x') + "\r\x01\x1b\xfe\x7f\rcount 1\r");
    ASSERT_TRUE(terminal->expect("line too long: at most 127 bytes\n")) << escaped(terminal->output());
    ASSERT_TRUE(terminal->expect("count 1\nline 1\n")) << escaped(terminal->output());
    terminal->send("bye\r");
    EXPECT_EQ(terminal->exit_code(30s), 0);
    const std::string out = terminal->output();
    EXPECT_EQ(out.substr(out.size() - (5 + exit_line("^D on remote").size())), "Bye.\n" + exit_line("^D on remote"))
        << escaped(out);
}

/// The flat profile's line of a function: % time and calls.
struct flat_line {
    double share = -1;
    long calls = -1;
};

flat_line flat_profile_line(const std::string& profile, const std::string& function) {
    std::istringstream lines(profile);
    for (std::string line; std::getline(lines, line);) {
        std::istringstream fields(line);
        std::vector<std::string> words;
        for (std::string word; fields >> word;) words.push_back(word);
        // % time, cumulative seconds, self seconds, calls, self/call, total/call, name
        if (words.size() == 7 && words[6] == function) return {std::stod(words[0]), std::stol(words[3])};
    }
    return {};
}

TEST_F(Firmware, WorkThenGmonGivesAProfileThatGprofReads) {
    temp_dir here;
    launch how;
    how.cwd = here.path();
    auto terminal = server->terminal({"-q", "--gmon"}, how);
    ASSERT_TRUE(terminal->expect(BANNER, 30s)) << escaped(terminal->output());
    terminal->send("work 200\r");
    ASSERT_TRUE(terminal->expect("work: 200 heavy and 200 light steps in ", 60s)) << escaped(terminal->output());
    terminal->send("gmon\r");
    ASSERT_TRUE(terminal->expect(" bytes\n", 30s)) << escaped(terminal->output());
    terminal->send("\x03");
    EXPECT_EQ(terminal->exit_code(), 0);

    // The marker line, and right after it the firmware's next line: not one
    // byte of the profile reached the console.
    // (No std::regex: it trips a false uninitialised warning in sanitizer builds.)
    const std::string out = terminal->output();
    const std::string report = "**gmon.out data follows**\ngmon: sent a profile of ";
    const std::size_t at = out.find(report);
    ASSERT_NE(at, std::string::npos) << escaped(out);
    const std::size_t digits = at + report.size();
    const std::size_t end = out.find(" bytes\n", digits);
    ASSERT_NE(end, std::string::npos) << escaped(out);
    const std::string size = out.substr(digits, end - digits);
    ASSERT_FALSE(size.empty()) << escaped(out);
    ASSERT_EQ(size.find_first_not_of("0123456789"), std::string::npos) << escaped(out);
    ASSERT_EQ(here.read("gmon.out").size(), std::stoul(size));

    int status = -1;
    const std::string profile =
        run_command({TT_RISCV_GPROF, "-b", "-p", TT_FIRMWARE_ELF, here.file("gmon.out")}, {}, &status);
    ASSERT_EQ(status, 0) << profile;
    const flat_line heavy = flat_profile_line(profile, "heavy_step");
    const flat_line light = flat_profile_line(profile, "light_step");
    EXPECT_EQ(heavy.calls, 200) << profile;
    EXPECT_EQ(light.calls, 200) << profile;
    const double share = 100 * heavy.share / (heavy.share + light.share);
    EXPECT_GE(share, 65) << profile;
    EXPECT_LE(share, 92) << profile;
}

TEST_F(Firmware, PowerCycleAndReattachRestartTheFirmwareUnderAPersistentTerminal) {
    auto terminal = relaying_terminal(*server, {"--persistent"});
    ASSERT_TRUE(terminal->expect(BANNER, 30s)) << escaped(terminal->output());
    ASSERT_EQ(server->chainprobe({"power", CABLE, "off"}), 0);
    ASSERT_TRUE(terminal->expect("\nJTAG connection interrupted!\n")) << escaped(terminal->output());
    ASSERT_EQ(server->chainprobe({"power", CABLE, "on"}), 0);
    ASSERT_TRUE(terminal->expect("\nConnected!\n" + BANNER, 30s)) << escaped(terminal->output());
    // Detached and attached again, the firmware starts afresh; the terminal
    // stays connected throughout.
    ASSERT_EQ(server->chainprobe({"detach", CABLE, "1", "0"}), 0);
    ASSERT_EQ(server->chainprobe({"attach", CABLE, "1", "0"}), 0);
    ASSERT_TRUE(eventually([&] { return occurrences(terminal->output(), BANNER) >= 3; })) << escaped(terminal->output());
    terminal->send("count 1\r");
    ASSERT_TRUE(terminal->expect("count 1\nline 1\n")) << escaped(terminal->output());
    terminal->send("\x03");
    EXPECT_EQ(terminal->exit_code(), 0);
    EXPECT_EQ(terminal->output().find("exiting due to I/O error"), std::string::npos);
}

}  // namespace
}  // namespace firmware
