// The example firmware on an emulated RISC-V processor behind jtag-server
// (boards/riscv-qemu.toml), driven through the real terminal in a
// pseudo-terminal: its banner and echo, the end on `bye`, a profile carved
// out of its output that the cross toolchain's gprof reads, and restarts
// through power and attach with --persistent. The same firmware behind a JTAG
// UART of jtag-board-sim's simulated chain, reached over remote_bitbang, as
// tools/demo-jtag runs it.
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <stdexcept>
#include <sstream>
#include <string>
#include <vector>

#include <sys/types.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "tests/support/expected-texts.h"
#include "tests/support/jtag-server-process.h"
#include "tests/support/temp-dir.h"

namespace firmware {
namespace {

using namespace test_support;

const std::string BANNER = "Tolvan RISC-V firmware ready. Type 'help' for commands.\n";
const std::string CABLE = "SimCable [riscv-0]";

bool in_ci() {
    const char* ci = std::getenv("CI");
    return ci != nullptr && std::string(ci) == "true";
}

/// What is missing of the firmware, QEMU and the cross gprof; empty when all are there.
std::string missing_firmware_tools() {
    for (const std::string needed : {TT_FIRMWARE_ELF, TT_QEMU, TT_RISCV_GPROF}) {
        if (needed.empty() || !std::filesystem::exists(needed))
            return "missing: " + (needed.empty() ? std::string("a cross tool") : needed) +
                   " (tools/run-tests firmware builds the firmware; Debian: qemu-system-misc "
                   "binutils-riscv64-unknown-elf)";
    }
    return {};
}

std::string read_file(const std::string& path) {
    std::ifstream file(path);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

/// The firmware's server, or a skip (a failure in CI) when the firmware, QEMU
/// or the cross gprof is not there.
class Firmware : public testing::Test {
protected:
    void SetUp() override {
        if (const std::string why = missing_firmware_tools(); !why.empty()) {
            if (in_ci()) FAIL() << why;
            GTEST_SKIP() << why;
        }
        setenv("TOLVAN_FIRMWARE_ELF", TT_FIRMWARE_ELF, 1);  // the board's command reads it
        server = std::make_unique<jtag_server>(read_file(TT_SOURCE_DIR "/boards/riscv-qemu.toml"));
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

/// The call graph's count of calls of `function` from `caller`: its primary
/// line ("[n] %time self children called name [n]") and, right above it, the
/// caller's line ("self children called/total caller [m]"). -1 when missing.
long call_graph_calls(const std::string& graph, const std::string& caller, const std::string& function) {
    std::istringstream lines(graph);
    std::vector<std::string> previous;
    for (std::string line; std::getline(lines, line);) {
        std::istringstream fields(line);
        std::vector<std::string> words;
        for (std::string word; fields >> word;) words.push_back(word);
        if (words.size() == 7 && words[0].front() == '[' && words[5] == function) {
            if (previous.size() != 5 || previous[3] != caller) return -1;
            const std::string calls = words[4];
            return previous[2] == calls + "/" + calls ? std::stol(calls) : -1;
        }
        previous = words;
    }
    return -1;
}

/// Types `work 200` and `gmon` at a firmware under a terminal run with
/// --gmon in `here`, leaves with Ctrl-C, and checks the profile: the marker
/// line and the firmware's next line on the console (no byte of the profile
/// among them), a gmon.out of the size announced, which the cross gprof reads
/// with 200 calls each of heavy_step and light_step from run_work, and
/// heavy_step's share of the two between 65 and 92 %.
void work_and_check_the_profile(child_process& terminal, const temp_dir& here) {
    ASSERT_TRUE(terminal.expect(BANNER, 30s)) << escaped(terminal.output());
    terminal.send("work 200\r");
    ASSERT_TRUE(terminal.expect("work: 200 heavy and 200 light steps in ", 60s)) << escaped(terminal.output());
    terminal.send("gmon\r");
    ASSERT_TRUE(terminal.expect(" bytes\n", 30s)) << escaped(terminal.output());
    terminal.send("\x03");
    EXPECT_EQ(terminal.exit_code(), 0);

    // (No std::regex: it trips a false uninitialised warning in sanitizer builds.)
    const std::string out = terminal.output();
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

    const std::string graph =
        run_command({TT_RISCV_GPROF, "-b", "-q", TT_FIRMWARE_ELF, here.file("gmon.out")}, {}, &status);
    ASSERT_EQ(status, 0) << graph;
    EXPECT_EQ(call_graph_calls(graph, "run_work", "heavy_step"), 200) << graph;
    EXPECT_EQ(call_graph_calls(graph, "run_work", "light_step"), 200) << graph;
}

TEST_F(Firmware, WorkThenGmonGivesAProfileThatGprofReads) {
    temp_dir here;
    launch how;
    how.cwd = here.path();
    auto terminal = server->terminal({"-q", "--gmon"}, how);
    work_and_check_the_profile(*terminal, here);
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


/// The QEMU command line of boards/riscv-qemu.toml's exec target, as
/// tools/demo-jtag takes it: the board's command with its \" unescaped.
std::string riscv_qemu_command() {
    std::istringstream lines(read_file(TT_SOURCE_DIR "/boards/riscv-qemu.toml"));
    const std::string key = "command = \"";
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind(key, 0) != 0 || line.back() != '"') continue;
        std::string command;
        for (std::size_t i = key.size(); i + 1 < line.size(); ++i) {
            if (line[i] == '\\' && i + 2 < line.size()) ++i;
            command += line[i];
        }
        return command;
    }
    return {};
}

/// jtag-board-sim on a free loopback port with the firmware under QEMU behind
/// UART 0 and a loopback UART 1, as tools/demo-jtag starts it. QEMU writes its
/// process id into the board's folder, so that the test can tell whether
/// stopping the board stopped QEMU, and stop a leftover itself.
class jtag_board {
public:
    jtag_board() {
        setenv("TOLVAN_FIRMWARE_ELF", TT_FIRMWARE_ELF, 1);  // the command line reads it
        const std::string command = riscv_qemu_command() + " -pidfile \"" + m_dir.file("qemu.pid") + "\"";
        launch how;
        how.argv = {TT_BOARD_SIM, "--listen", "127.0.0.1:0", "--uart", "exec:" + command, "--uart", "loopback"};
        how.terminal = false;
        how.stderr_apart = true;
        m_process = std::make_unique<child_process>(how);
        const std::string prefix = "jtag-board-sim: remote_bitbang on ";
        if (!m_process->expect("\n", 20s) || m_process->output().rfind(prefix, 0) != 0)
            throw std::runtime_error("jtag-board-sim did not start: " + m_process->output() + m_process->errors());
        const std::string line = m_process->output();
        m_address = line.substr(prefix.size(), line.find('\n') - prefix.size());
    }
    ~jtag_board() {
        if (m_process) stop();
        if (const pid_t qemu = running_qemu(); qemu > 0) ::kill(qemu, SIGKILL);
    }
    jtag_board(const jtag_board&) = delete;
    jtag_board& operator=(const jtag_board&) = delete;

    const std::string& address() const { return m_address; }

    /// Stops the board with SIGTERM, as tools/demo-jtag does; its exit code
    /// (nullopt on time-out).
    std::optional<int> stop() {
        m_qemu = qemu_pid();
        m_process->signal(SIGTERM);
        const std::optional<int> code = m_process->exit_code(20s);
        m_process.reset();
        return code;
    }

    /// QEMU's process id while it still runs (a zombie no longer does); 0 otherwise.
    pid_t running_qemu() const {
        if (m_qemu <= 0) return 0;
        const std::string stat = read_file("/proc/" + std::to_string(m_qemu) + "/stat");
        const std::size_t name_end = stat.rfind(") ");
        if (stat.find("(qemu") == std::string::npos || name_end == std::string::npos ||
            stat.substr(name_end + 2, 1) == "Z")
            return 0;
        return m_qemu;
    }

private:
    pid_t qemu_pid() const {
        pid_t pid = 0;
        eventually([&] {
            const std::string text = m_dir.read("qemu.pid");
            pid = text.empty() ? 0 : static_cast<pid_t>(std::stol(text));
            return pid > 0;
        }, 10s);
        return pid;
    }

    temp_dir m_dir;
    std::unique_ptr<child_process> m_process;
    std::string m_address;
    pid_t m_qemu = 0;
};

/// tools/demo-jtag's session: the firmware under QEMU behind UART 0 of
/// jtag-board-sim's chain (device 2, our TAP behind another maker's chip),
/// jtag-server reaching the board over remote_bitbang, the terminal with
/// --gmon: the profile gprof reads is the same as from the exec target.
/// Stopping the board stops QEMU.
TEST(FirmwareOverJtag, WorkThenGmonThroughJtagBoardSimOverRemoteBitbang) {
    std::string why = missing_firmware_tools();
    if (why.empty() && std::string(TT_BOARD_SIM).empty())
        why = "jtag-board-sim is not built: it needs Verilator (Debian: verilator) and -DTT_BUILD_HARDWARE=ON";
    if (!why.empty()) {
        if (in_ci()) FAIL() << why;
        GTEST_SKIP() << why;
    }
    jtag_board board;
    jtag_server server("[[cable]]\nname = \"SimJTAG [jtag-sim]\"\nadapter = \"remote_bitbang\"\naddress = \"" +
                       board.address() + "\"\n");
    std::string listing;
    ASSERT_EQ(server.chainprobe({}, &listing), 0) << listing;
    EXPECT_NE(listing.find("adapter remote_bitbang at " + board.address() + "\n"), std::string::npos) << listing;
    EXPECT_NE(listing.find("IR length 6; IR length guessed from its capture; 2 JTAG UARTs\n"), std::string::npos)
        << listing;

    temp_dir here;
    launch how;
    how.cwd = here.path();
    auto terminal = server.terminal({"-q", "-d", "2", "-i", "0", "--gmon"}, how);
    work_and_check_the_profile(*terminal, here);

    EXPECT_EQ(board.stop(), 0);
    EXPECT_EQ(board.running_qemu(), 0) << "QEMU outlived jtag-board-sim";
}

}  // namespace
}  // namespace firmware
