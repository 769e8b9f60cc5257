// Long transfers end to end, each with its own server: target to console
// with profile blocks interleaved (console and "gmon.out" checked byte for
// byte), and a large piped input that must reach the target intact.
#include <gtest/gtest.h>

#include <fstream>
#include <csignal>
#include <thread>
#include <string>

#include "soak-stream.h"
#include "soak-support.h"

namespace soak {
namespace {

using namespace std::chrono_literals;

/// FNV-1a over a whole stream, for a compact account in failure messages.
struct stream_hash {
    std::uint64_t value = 0xcbf29ce484222325ull;
    std::size_t size = 0;
    void add(const std::string& bytes) {
        for (unsigned char c : bytes) value = (value ^ c) * 0x100000001b3ull;
        size += bytes.size();
    }
};

/// Compares a file with the expected pieces as they are made; the offset of
/// the first difference, or npos when the file holds exactly the stream.
class stream_comparison {
public:
    explicit stream_comparison(const std::string& path) : m_file(path, std::ios::binary) {}
    void expect(const std::string& piece) {
        m_expected.add(piece);
        if (m_first_difference != std::string::npos) return;
        std::string got(piece.size(), '\0');
        m_file.read(got.data(), static_cast<std::streamsize>(got.size()));
        got.resize(static_cast<std::size_t>(m_file.gcount()));
        m_actual.add(got);
        if (got != piece) {
            std::size_t i = 0;
            while (i < got.size() && got[i] == piece[i]) ++i;
            m_first_difference = m_actual.size - got.size() + i;
        }
    }
    /// After the last piece: the file must end here too.
    std::size_t first_difference() {
        if (m_first_difference == std::string::npos && m_file.peek() != EOF) return m_expected.size;
        return m_first_difference;
    }
    std::string account() const {
        return "expected " + std::to_string(m_expected.size) + " bytes (hash " + std::to_string(m_expected.value) +
               "), compared " + std::to_string(m_actual.size);
    }

private:
    std::ifstream m_file;
    stream_hash m_expected, m_actual;
    std::size_t m_first_difference = std::string::npos;
};

TEST(BulkTransfer, HundredMegabytesReachTheConsoleAndProfilesTheFileByteForByte) {
    stream_plan plan;
    plan.seed = 20240611;
    plan.console_bytes = env_size("TT_SOAK_MEGABYTES", 100) << 20;
    plan.block_every = 4 << 20;
    plan.max_profile = 256 << 10;
    jtag_server server(exec_board(
        source_command(plan.seed, plan.console_bytes, plan.block_every, plan.max_profile), "",
        fifo_settings(64 * 1024)));
    temp_dir work;
    auto terminal = terminal_to_file(server, {"-q", "--gmon"}, work.file("console.out"), work.path());

    // The run ends on the Ctrl-D after the stream; the guard only stops a hang.
    auto code = terminal->exit_code(900s);
    ASSERT_TRUE(code.has_value()) << "the transfer did not end";
    EXPECT_EQ(*code, 0) << terminal->output();

    stream_comparison console(work.file("console.out"));
    std::string last_profile = make_stream(plan, [&](const std::string&, const std::string& to_console) {
        console.expect(to_console);
    });
    EXPECT_EQ(console.first_difference(), std::string::npos)
        << "console output differs at byte " << console.first_difference() << "; " << console.account();
    std::string profile = work.read("gmon.out");
    EXPECT_EQ(profile.size(), last_profile.size());
    EXPECT_TRUE(profile == last_profile) << "gmon.out differs from the last profile block";
}

TEST(BulkTransfer, LargePipedInputReachesTheTargetByteForByte) {
    temp_dir work;
    std::string received = work.file("received.bin");
    // The target keeps what it receives and echoes it, which keeps the relay
    // reading (an idle target is polled only every 100 ms).
    jtag_server server(exec_board("exec tee " + shell_quoted(received), "", fifo_settings(4096)));
    auto terminal = terminal_to_file(server, {"-q", "--no-quit-on-ctrl-d"}, work.file("console.out"), work.path());

    std::string input;
    random_bytes random(77);
    random.profile_bytes(input, env_size("TT_SOAK_INPUT_KIB", 1024) << 10);
    std::thread writer([&] {
        terminal->send(input);
        terminal->close_input();  // the end of input must not cost the bytes still queued
    });
    bool arrived = eventually([&] { return work.read("received.bin").size() >= input.size(); }, 600s);
    if (!arrived) terminal->signal(SIGKILL);  // frees a writer stuck on a full pipe
    writer.join();
    EXPECT_TRUE(arrived) << "the target received " << work.read("received.bin").size() << " of " << input.size()
                         << " bytes";
    EXPECT_TRUE(work.read("received.bin") == input) << "the target received other bytes";
    terminal->signal(SIGINT);
    EXPECT_EQ(terminal->exit_code(60s), 0);
}

}  // namespace
}  // namespace soak
