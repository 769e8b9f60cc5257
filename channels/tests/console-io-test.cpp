// The console channel with standard input replaced by a pipe or by a
// pseudo-terminal: gathering, hand-over, end of input, raw mode and restore.
#include "channels/console-io.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <pty.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

#include <gtest/gtest.h>

#include "cmdline/settings.h"
#include "tests/support/child-process.h"
#include "tests/support/temp-dir.h"

namespace tolvan {
namespace {

using test_support::same_mode;

using ::testing::internal::CaptureStderr;
using ::testing::internal::CaptureStdout;
using ::testing::internal::GetCapturedStderr;
using ::testing::internal::GetCapturedStdout;

/// Puts a descriptor in place of standard input for one test.
class StdinReplaced {
public:
    explicit StdinReplaced(int fd) : m_saved(dup(0)) { dup2(fd, 0); }
    ~StdinReplaced() {
        dup2(m_saved, 0);
        close(m_saved);
    }

private:
    int m_saved;
};

/// The bytes 0, 1, 2 ... (`count` of them, wrapping at 256).
std::string byte_values(int count) {
    std::string bytes;
    for (int i = 0; i < count; ++i) bytes.push_back(static_cast<char>(i));
    return bytes;
}

/// Reads until `count` bytes arrived or a generous guard time has passed.
std::string read_until(COMM_CONSOLE& channel, size_t count) {
    std::string got;
    auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (got.size() < count && std::chrono::steady_clock::now() < give_up) {
        char buffer[64];
        int n = channel.read(buffer, sizeof buffer);
        if (n < 0) break;
        got.append(buffer, static_cast<size_t>(n));
        if (n == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return got;
}

/// Waits until the reader has gathered `count` bytes, without taking any
/// (a read of at most 0 bytes starts the reader and hands over nothing).
void settle(COMM_CONSOLE& channel, int write_fd, const std::string& bytes) {
    char none[1];
    channel.read(none, 0);
    ASSERT_EQ(write(write_fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
}

/// Bytes written into a pipe and not yet read from it.
size_t in_pipe(int fd) {
    int count = 0;
    ioctl(fd, FIONREAD, &count);
    return static_cast<size_t>(count);
}

/// Threads of this process now.
size_t threads_now() {
    size_t count = 0;
    if (DIR* dir = opendir("/proc/self/task")) {
        while (dirent* entry = readdir(dir))
            if (entry->d_name[0] != '.') ++count;
        closedir(dir);
    }
    return count;
}

/// Input for a reader that is never drained: `all` is offered through a
/// non-blocking pipe as fast as the pipe takes it.
struct Offer {
    std::string all;
    size_t written = 0;
    int fd;

    Offer(int write_fd, size_t count) : fd(write_fd) {
        for (size_t i = 0; i < count; ++i) all.push_back(static_cast<char>(i * 7 + i / 251));
        fcntl(fd, F_SETFL, O_NONBLOCK);
    }
    void top_up() {
        ssize_t n = write(fd, all.data() + written, all.size() - written);
        if (n > 0) written += static_cast<size_t>(n);
    }
    /// What the reader has taken out of the pipe.
    size_t taken() const { return written - in_pipe(fd); }
    /// Tops up until the reader has stopped taking: at the limit, or with
    /// everything taken. What it took.
    size_t until_reader_stops() {
        size_t last = SIZE_MAX;
        int steady = 0;
        auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (steady < 3 && std::chrono::steady_clock::now() < give_up) {
            top_up();
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            const size_t now = taken();
            const bool may_be_stopped = now >= console_input_limit || written == all.size();
            steady = now == last && may_be_stopped ? steady + 1 : 0;
            last = now;
        }
        return last;
    }
};

class ConsoleChannel : public ::testing::Test {
protected:
    void SetUp() override {
        reset_settings();
        ASSERT_EQ(pipe(m_pipe), 0);
    }
    void TearDown() override {
        close(m_pipe[0]);
        if (m_pipe[1] >= 0) close(m_pipe[1]);
    }
    int m_pipe[2] = {-1, -1};
};

TEST_F(ConsoleChannel, PipedInputIsGatheredWithoutTouchingTheMode) {
    settings.dump_flags['i'] = 1;
    StdinReplaced stdin_from(m_pipe[0]);
    CaptureStdout();
    CaptureStderr();
    {
        COMM_CONSOLE channel;
        EXPECT_EQ(active_console, &channel);
        ASSERT_EQ(write(m_pipe[1], "a\0b", 3), 3);
        char buffer[8];
        std::memset(buffer, '#', sizeof buffer);
        std::string got;
        auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        int n = 0;
        while (n == 0 && std::chrono::steady_clock::now() < give_up) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            n = channel.read(buffer, sizeof buffer);
        }
        ASSERT_EQ(n, 3);
        EXPECT_EQ(std::string(buffer, 8), std::string("a\0b#####", 8));
    }
    EXPECT_EQ(GetCapturedStdout(), "");
    EXPECT_EQ(GetCapturedStderr(), "");
}

TEST_F(ConsoleChannel, HandsOverAtMostMaxOldestFirst) {
    StdinReplaced stdin_from(m_pipe[0]);
    COMM_CONSOLE channel;
    const std::string pending = byte_values(100);
    settle(channel, m_pipe[1], pending);

    char buffer[64];
    EXPECT_EQ(channel.read(buffer, 0), 0);
    ASSERT_EQ(channel.read(buffer, 64), 64);
    EXPECT_EQ(std::string(buffer, 64), pending.substr(0, 64));
    ASSERT_EQ(channel.read(buffer, 64), 36);
    EXPECT_EQ(std::string(buffer, 36), pending.substr(64));
    EXPECT_EQ(channel.read(buffer, 64), 0);
}

TEST_F(ConsoleChannel, LongBacklogArrivesIntactAndInOrder) {
    StdinReplaced stdin_from(m_pipe[0]);
    COMM_CONSOLE channel;
    std::string pending;
    for (int i = 0; i < 20000; ++i) pending.push_back(static_cast<char>(i * 7 + i / 256));
    std::thread writer([&] {
        EXPECT_EQ(write(m_pipe[1], pending.data(), pending.size()), static_cast<ssize_t>(pending.size()));
    });
    EXPECT_EQ(read_until(channel, pending.size()), pending);
    writer.join();
}

TEST_F(ConsoleChannel, EndOfInputComesAfterEverythingGatheredAndIsReportedOnEveryRead) {
    StdinReplaced stdin_from(m_pipe[0]);
    COMM_CONSOLE channel;
    // More than one read can take, all gathered before the end is seen: the
    // end must not cost the bytes still waiting.
    const std::string pending = byte_values(200);
    settle(channel, m_pipe[1], pending);
    close(m_pipe[1]);
    m_pipe[1] = -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(200));

    CaptureStderr();
    std::string got;
    char buffer[64];
    auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    int n = 0;
    while ((n = channel.read(buffer, sizeof buffer)) >= 0 && std::chrono::steady_clock::now() < give_up)
        got.append(buffer, static_cast<size_t>(n));
    EXPECT_EQ(n, -1);
    EXPECT_EQ(got, pending);
    EXPECT_EQ(channel.read(buffer, 64), -1);
    EXPECT_EQ(GetCapturedStderr(),
              "tolvan-terminal: error: Gathering input from STDIO\n"
              "tolvan-terminal: error: Gathering input from STDIO\n");
}

TEST_F(ConsoleChannel, ReaderStopsAtTheLimitAndResumesAsTheBufferDrains) {
    StdinReplaced stdin_from(m_pipe[0]);
    COMM_CONSOLE channel;
    Offer input(m_pipe[1], 4 * console_input_limit);
    char buffer[64];
    channel.read(buffer, 0);  // starts the reader
    // Nothing is handed over: the reader gathers the limit and leaves the
    // rest in the pipe.
    EXPECT_EQ(input.until_reader_stops(), console_input_limit);
    EXPECT_LT(input.written, input.all.size());

    // As the relay takes bytes the reader goes on; every byte arrives once,
    // in order, and the end of input only after the last of them.
    CaptureStderr();
    std::string got;
    int n = 0;
    auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (std::chrono::steady_clock::now() < give_up) {
        input.top_up();
        if (input.written == input.all.size() && m_pipe[1] >= 0) {
            close(m_pipe[1]);
            m_pipe[1] = -1;
        }
        n = channel.read(buffer, sizeof buffer);
        if (n < 0) break;
        got.append(buffer, static_cast<size_t>(n));
        if (n == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    EXPECT_EQ(GetCapturedStderr(), "tolvan-terminal: error: Gathering input from STDIO\n");
    EXPECT_EQ(n, -1);
    ASSERT_EQ(got.size(), input.all.size());
    EXPECT_TRUE(got == input.all) << "bytes differ from byte " << std::mismatch(got.begin(), got.end(),
                                                                               input.all.begin()).first - got.begin();
}

TEST_F(ConsoleChannel, TeardownEndsAReaderStoppedAtTheLimit) {
    StdinReplaced stdin_from(m_pipe[0]);
    // A sanitizer's runtime starts a thread of its own with the program's
    // first thread: one made and joined first, only the reader is counted.
    std::thread([] {}).join();
    const size_t threads_before = threads_now();
    Offer input(m_pipe[1], 2 * console_input_limit);
    auto channel = std::make_unique<COMM_CONSOLE>();
    char buffer[64];
    channel->read(buffer, 0);
    ASSERT_EQ(input.until_reader_stops(), console_input_limit);
    channel.reset();
    EXPECT_EQ(threads_now(), threads_before) << "the reader was left running";
    // The next channel goes on where the stopped reader left off.
    COMM_CONSOLE next;
    EXPECT_EQ(read_until(next, 16).substr(0, 16), input.all.substr(console_input_limit, 16));
}

TEST_F(ConsoleChannel, RegularFileAtItsEndKeepsWaitingForMore) {
    test_support::temp_dir folder;
    folder.write("input", "ab");
    int fd = open(folder.file("input").c_str(), O_WRONLY | O_APPEND);
    ASSERT_GE(fd, 0);
    int reader = open(folder.file("input").c_str(), O_RDONLY);
    StdinReplaced stdin_from(reader);
    {
        COMM_CONSOLE channel;
        EXPECT_EQ(read_until(channel, 2), "ab");
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        char buffer[64];
        EXPECT_EQ(channel.read(buffer, 64), 0);  // not the end of input
        ASSERT_EQ(write(fd, "c", 1), 1);
        EXPECT_EQ(read_until(channel, 1), "c");
    }
    close(reader);
    close(fd);
}

TEST_F(ConsoleChannel, TeardownEndsAReaderBlockedOnInput) {
    StdinReplaced stdin_from(m_pipe[0]);
    auto channel = std::make_unique<COMM_CONSOLE>();
    char buffer[64];
    EXPECT_EQ(channel->read(buffer, 64), 0);
    channel.reset();  // must return although no input ever comes
    // A later channel gets a fresh reader.
    COMM_CONSOLE next;
    ASSERT_EQ(write(m_pipe[1], "z", 1), 1);
    EXPECT_EQ(read_until(next, 1), "z");
}

TEST_F(ConsoleChannel, TeardownLeavesAReaderThatCannotBeWokenAndReturns) {
    // Without a descriptor to spare, the pipe that wakes the reader cannot be
    // made: nothing can interrupt its wait for input, so the teardown must
    // give up on it instead of waiting for ever. A fresh process, so that no
    // earlier test has made the pipe already.
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            alarm(20);  // a teardown that waits for ever ends here
            StdinReplaced stdin_from(m_pipe[0]);
            auto* channel = new COMM_CONSOLE();
            // The first read starts the reader, and the pipe is made then.
            int lowest_free = dup(0);
            close(lowest_free);
            rlimit limit{};
            getrlimit(RLIMIT_NOFILE, &limit);
            const rlimit normal = limit;
            limit.rlim_cur = static_cast<rlim_t>(lowest_free) + 1;
            setrlimit(RLIMIT_NOFILE, &limit);
            char buffer[64];
            channel->read(buffer, sizeof buffer);
            setrlimit(RLIMIT_NOFILE, &normal);
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            delete channel;
            _exit(0);
        },
        ::testing::ExitedWithCode(0), "");
}

/// A pseudo-terminal standing in for an interactive console.
class InteractiveConsole : public ::testing::Test {
protected:
    void SetUp() override {
        reset_settings();
        ASSERT_EQ(openpty(&m_master, &m_slave, nullptr, nullptr, nullptr), 0);
        ASSERT_EQ(tcgetattr(m_slave, &m_before), 0);
    }
    void TearDown() override {
        close(m_master);
        close(m_slave);
    }
    termios now() {
        termios t{};
        tcgetattr(m_slave, &t);
        return t;
    }
    int m_master = -1, m_slave = -1;
    termios m_before{};
};

TEST_F(InteractiveConsole, RawWhileTheChannelLivesAndRestoredExactlyAfter) {
    settings.dump_flags['i'] = 1;
    StdinReplaced stdin_from(m_slave);
    CaptureStdout();
    {
        COMM_CONSOLE channel;
        termios raw = now();
        EXPECT_EQ(raw.c_lflag & (ICANON | ECHO | ECHONL | IEXTEN), 0u);
        EXPECT_EQ(raw.c_iflag & (IXON | ICRNL), 0u);
        EXPECT_NE(raw.c_lflag & ISIG, 0u);  // Ctrl-C still interrupts
        EXPECT_EQ(raw.c_cc[VQUIT], _POSIX_VDISABLE);
        EXPECT_EQ(raw.c_cc[VSUSP], _POSIX_VDISABLE);
        EXPECT_EQ(raw.c_cc[VMIN], 1);
        EXPECT_EQ(raw.c_oflag, m_before.c_oflag);  // output processing untouched
    }
    EXPECT_EQ(GetCapturedStdout(), "changing terminal state of stdin to be non-canonical\n");
    EXPECT_TRUE(same_mode(now(), m_before));
    EXPECT_EQ(active_console, nullptr);
}

TEST_F(InteractiveConsole, KeysArriveAsTheirOwnBytes) {
    StdinReplaced stdin_from(m_slave);
    COMM_CONSOLE channel;
    // Enter, Ctrl-Z, Ctrl-\, Ctrl-S, Ctrl-Q, Ctrl-V, Ctrl-O: none is edited or
    // acted on by the terminal.
    const std::string keys = "ab\r\x1a\x1c\x13\x11\x16\x0f";
    char none[1];
    channel.read(none, 0);
    ASSERT_EQ(write(m_master, keys.data(), keys.size()), static_cast<ssize_t>(keys.size()));
    EXPECT_EQ(read_until(channel, keys.size()), keys);
}

TEST_F(InteractiveConsole, ExitWhileTheChannelLivesRestoresTheMode) {
    StdinReplaced stdin_from(m_slave);
    EXPECT_EXIT(
        {
            new COMM_CONSOLE();
            std::exit(0);
        },
        ::testing::ExitedWithCode(0), "");
    EXPECT_TRUE(same_mode(now(), m_before));
}

}  // namespace
}  // namespace tolvan
