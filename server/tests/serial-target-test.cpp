// Serial targets against real tty devices: pseudo-terminal pairs made by
// socat, whose one end the server opens and whose other end the test drives.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <set>
#include <sstream>
#include <thread>

#include <fcntl.h>
#include <sys/ioctl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "tests/support/boards.h"
#include "tests/support/jtag-server-process.h"
#include "tests/support/library-client.h"

namespace {

using namespace test_support;
using clock_type = std::chrono::steady_clock;

/// Where socat is; empty when it is not installed.
const std::string& socat_program() {
    static const std::string path = [] {
        int status = -1;
        std::string found = run_command({"/bin/sh", "-c", "command -v socat"}, {}, &status);
        while (!found.empty() && (found.back() == '\n' || found.back() == ' '))
            found.pop_back();
        return status == 0 && !found.empty() && found.front() == '/' ? found : std::string();
    }();
    return path;
}

// Outside CI a machine without socat skips these tests; in CI that fails.
#define REQUIRE_SOCAT()                                                                    \
    do {                                                                                   \
        if (socat_program().empty()) {                                                     \
            const char* ci = std::getenv("CI");                                            \
            if (ci != nullptr && std::string(ci) == "true")                                \
                FAIL() << "socat is missing (Debian package socat)";                       \
            GTEST_SKIP() << "socat is missing (Debian package socat): serial tests skipped"; \
        }                                                                                  \
    } while (false)

/// A pseudo-terminal pair joined by socat: the server opens `target`, the
/// test the `host` end. The target end starts in the cooked mode of a new
/// terminal, so that only the server's settings make it raw.
class pty_pair {
public:
    explicit pty_pair(const temp_dir& dir, bool start_now = true)
        : target(dir.file("target")), host(dir.file("host")) {
        if (start_now)
            start();
    }
    ~pty_pair() { stop(); }

    void start() {
        launch how{.argv = {socat_program(), "-d", "-d", "pty,link=" + target, "pty,raw,echo=0,link=" + host},
                   .terminal = false,
                   .stderr_apart = true};
        m_socat = std::make_unique<child_process>(how);
        ASSERT_TRUE(eventually([this] { return std::filesystem::exists(target) && std::filesystem::exists(host); },
                               10s))
            << m_socat->errors();
        m_fd = ::open(host.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        ASSERT_GE(m_fd, 0);
        termios mode{};
        ASSERT_EQ(::tcgetattr(m_fd, &mode), 0);
        ::cfmakeraw(&mode);
        ASSERT_EQ(::tcsetattr(m_fd, TCSANOW, &mode), 0);
    }

    /// Stops socat: the server's end hangs up and both links go.
    void stop() {
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = -1;
        if (!m_socat)
            return;
        m_socat->signal(SIGTERM);
        m_socat->wait(10s);
        m_socat.reset();
    }

    /// Writes all of `bytes` at the host end within the guard.
    bool send(const std::string& bytes, std::chrono::seconds guard = 30s) const {
        std::string copy = bytes;
        return move_bytes(copy, bytes.size(), POLLOUT, guard) == bytes.size();
    }

    /// Reads `size` bytes at the host end, or what came within the guard.
    std::string receive(std::size_t size, std::chrono::seconds guard = 30s) const {
        std::string got(size, '\0');
        got.resize(move_bytes(got, size, POLLIN, guard));
        return got;
    }

    const std::string target;
    const std::string host;

private:
    std::size_t move_bytes(std::string& bytes, std::size_t size, short way, std::chrono::seconds guard) const {
        std::size_t done = 0;
        for (const auto deadline = clock_type::now() + guard; done < size && clock_type::now() < deadline;) {
            pollfd ready{m_fd, way, 0};
            ::poll(&ready, 1, 100);
            const std::size_t ask = std::min<std::size_t>(size - done, 65536);
            const ssize_t n = way == POLLIN ? ::read(m_fd, bytes.data() + done, ask)
                                            : ::write(m_fd, bytes.data() + done, ask);
            done += n > 0 ? static_cast<std::size_t>(n) : 0;
        }
        return done;
    }

    std::unique_ptr<child_process> m_socat;
    int m_fd = -1;
};

std::string serial_board(const std::string& device, const std::string& settings = "") {
    const std::string uart = "target = \"serial\"\ndevice = " + toml_string(device) + "\n" + settings;
    return one_uart_board(uart + fifo_settings(65536), "", "SerialCable [tty-0]");
}

std::string random_bytes(std::size_t size, unsigned seed) {
    std::mt19937 generator(seed);
    std::string bytes(size, '\0');
    for (std::size_t i = 0; i < size; ++i)
        bytes[i] = static_cast<char>(i < 256 ? i : generator() & 0xFF);  // every value, then noise
    return bytes;
}

/// The words of `stty -a` for a device.
std::set<std::string> stty_words(const std::string& device) {
    std::istringstream text(run_command({"/bin/sh", "-c", "exec stty -F " + shell_quoted(device) + " -a"}));
    std::set<std::string> words;
    for (std::string word; text >> word;)
        words.insert(word);
    return words;
}

/// Both ways through the link and the pair.
bool flows(JTAGCORVEX* link, const pty_pair& pair, const std::string& tag) {
    const std::string up = "to-host-" + tag;
    const std::string down = "to-target-" + tag;
    return pair.send(up) && read_exactly(link, up.size(), 64, 10s) == up &&
           jtagcorvex_write(link, down.data(), static_cast<unsigned>(down.size())) == static_cast<int>(down.size()) &&
           pair.receive(down.size(), 10s) == down;
}

/// Opens the only UART, trying until the guard expires.
JTAGCORVEX* open_soon(std::chrono::seconds guard = 10s) {
    JTAGCORVEX* link = nullptr;
    eventually([&link] { return (link = open_uart().link) != nullptr; }, guard);
    return link;
}

/// The only UART opens (soon), bytes flow both ways, and it is closed again.
testing::AssertionResult opens_and_flows(jtag_server& server, const pty_pair& pair, const std::string& tag) {
    JTAGCORVEX* link = open_soon();
    if (link == nullptr)
        return testing::AssertionFailure() << "the UART does not open: " << server.log();
    const bool flowed = flows(link, pair, tag);
    jtagcorvex_close(link);
    return flowed ? testing::AssertionSuccess() : testing::AssertionFailure() << "no flow both ways (" << tag << ")";
}

/// The holder's reads return 0xFF bytes, a full read of the size asked.
bool floats(JTAGCORVEX* link) {
    return eventually(
        [link] {
            char buffer[16];
            const int n = jtagcorvex_read(link, buffer, sizeof buffer);
            return n == 16 && std::string(buffer, 16) == std::string(16, '\xFF');
        },
        10s);
}

/// A terminal pair (its device there at once unless `start_now` is false)
/// and a server whose one UART is a serial target on it.
struct serial_on_pair {
    explicit serial_on_pair(bool start_now = true, const std::string& settings = "")
        : pair(dir, start_now), server(serial_board(pair.target, settings)) {}
    temp_dir dir;
    pty_pair pair;
    jtag_server server;
};

std::string listing(const jtag_server& server) {
    std::string out;
    server.chainprobe({}, &out);
    return out;
}

TEST(SerialTarget, AMegabyteEachWayArrivesByteForByte) {
    REQUIRE_SOCAT();
    serial_on_pair setup;
    auto& [dir, pair, server] = setup;
    JTAGCORVEX* link = open_soon();
    ASSERT_NE(link, nullptr);
    constexpr std::size_t size = 1 << 20;

    const std::string up = random_bytes(size, 1);
    const auto up_start = clock_type::now();
    std::thread sender([&] { EXPECT_TRUE(pair.send(up)); });
    const std::string got = read_exactly(link, size, 65536, 60s);
    sender.join();
    const std::chrono::duration<double> up_took = clock_type::now() - up_start;
    EXPECT_EQ(got.size(), size);
    EXPECT_TRUE(got == up) << "the target-to-host stream differs";

    const std::string down = random_bytes(size, 2);
    std::string received;
    const auto down_start = clock_type::now();
    std::thread receiver([&] { received = pair.receive(size, 60s); });
    std::size_t written = 0;
    while (written < size && clock_type::now() < down_start + 60s) {
        const unsigned ask = static_cast<unsigned>(std::min<std::size_t>(65536, size - written));
        const int n = jtagcorvex_write(link, down.data() + written, ask);
        if (n < 0)
            break;
        written += static_cast<std::size_t>(n);
        if (n == 0)
            std::this_thread::sleep_for(200us);
    }
    receiver.join();
    const std::chrono::duration<double> down_took = clock_type::now() - down_start;
    EXPECT_EQ(received.size(), size);
    EXPECT_TRUE(received == down) << "the host-to-target stream differs";
    std::printf("[ figures  ] 1 MB target->host %.1f MB/s, host->target %.1f MB/s\n", 1.048576 / up_took.count(),
                1.048576 / down_took.count());
    jtagcorvex_close(link);
}

TEST(SerialTarget, TheDeviceIsRawEightNOneAtTheRateAskedFor) {
    REQUIRE_SOCAT();
    for (const auto& [settings, speed, crtscts] :
         {std::tuple{std::string(), "115200", "-crtscts"},
          std::tuple{std::string("baud = 230400\nflow = \"rts/cts\"\n"), "230400", "crtscts"}}) {
        SCOPED_TRACE(settings);
        temp_dir dir;
        pty_pair pair(dir);
        EXPECT_EQ(stty_words(pair.target).count("-icanon"), 0u) << "a new terminal starts cooked";
        jtag_server server(serial_board(pair.target, settings));
        const std::set<std::string> words = stty_words(pair.target);
        for (const char* word : {"-icanon", "-echo", "-opost", "cs8", "-parenb", "-cstopb", "-isig", "-icrnl",
                                 "-ixon", crtscts})
            EXPECT_EQ(words.count(word), 1u) << word;
        EXPECT_EQ(words.count(speed), 1u) << speed;
        std::string out;
        EXPECT_EQ(server.chainprobe({}, &out), 0);
        EXPECT_NE(out.find(std::string("serial: ") + pair.target + " " + speed), std::string::npos) << out;
    }
}

TEST(SerialTarget, AVanishedDeviceIsAnUnpluggedCableUntilItComesBack) {
    REQUIRE_SOCAT();
    serial_on_pair setup(true, "baud = 57600\n");
    auto& [dir, pair, server] = setup;
    JTAGCORVEX* link = open_soon();
    ASSERT_NE(link, nullptr);
    ASSERT_TRUE(flows(link, pair, "1"));

    pair.stop();
    EXPECT_TRUE(floats(link));
    EXPECT_EQ(jtagcorvex_write(link, "x", 1), 0);
    EXPECT_TRUE(eventually([] { return open_uart().code == JCVX_CABLE_UNPLUGGED; }, 10s));
    EXPECT_NE(listing(server).find("cable UNPLUGGED"), std::string::npos) << listing(server);
    jtagcorvex_close(link);

    pair.start();
    link = open_soon();
    ASSERT_NE(link, nullptr) << server.log();
    EXPECT_NE(listing(server).find("cable plugged in"), std::string::npos);
    EXPECT_TRUE(flows(link, pair, "2"));
    // Reopened with the same settings.
    EXPECT_EQ(stty_words(pair.target).count("57600"), 1u);
    EXPECT_EQ(stty_words(pair.target).count("-icanon"), 1u);
    jtagcorvex_close(link);
}

TEST(SerialTarget, PlugAndUnplugByHandMeetTheDevicesComingsAndGoings) {
    REQUIRE_SOCAT();
    // Not there at start: the server starts with the cable unplugged.
    serial_on_pair setup(false);
    auto& [dir, pair, server] = setup;
    EXPECT_EQ(open_uart().code, JCVX_CABLE_UNPLUGGED);
    std::string out;
    EXPECT_EQ(server.chainprobe({"plug", "tty-0"}, &out), 1);
    EXPECT_NE(out.find("stays unplugged while its device is gone"), std::string::npos) << out;
    pair.start();
    JTAGCORVEX* link = open_soon();
    ASSERT_NE(link, nullptr) << server.log();
    ASSERT_TRUE(flows(link, pair, "a"));

    // By hand, as any cable; the watcher does not undo it.
    EXPECT_EQ(server.chainprobe({"unplug", "tty-0"}), 0);
    EXPECT_TRUE(floats(link));
    jtagcorvex_close(link);
    std::this_thread::sleep_for(700ms);
    EXPECT_EQ(open_uart().code, JCVX_CABLE_UNPLUGGED);
    EXPECT_EQ(server.chainprobe({"plug", "tty-0"}), 0);
    EXPECT_TRUE(opens_and_flows(server, pair, "b"));

    // Unplugged by hand, then the device goes and comes back: that return
    // plugs the cable in, as putting the adapter back in would.
    EXPECT_EQ(server.chainprobe({"unplug", "tty-0"}), 0);
    pair.stop();
    std::this_thread::sleep_for(500ms);
    pair.start();
    EXPECT_TRUE(opens_and_flows(server, pair, "c"));
}

TEST(SerialTarget, PersistentTerminalRidesOutTheDeviceGoingAndComingBack) {
    REQUIRE_SOCAT();
    serial_on_pair setup;
    auto& [dir, pair, server] = setup;
    auto terminal = relaying_terminal(server, {"--persistent"});
    ASSERT_TRUE(pair.send("hello-1\n"));
    ASSERT_TRUE(terminal->expect("hello-1\n")) << escaped(terminal->output());
    terminal->send("typed-1");
    EXPECT_EQ(pair.receive(7, 10s), "typed-1");

    pair.stop();
    ASSERT_TRUE(terminal->expect("\nJTAG connection interrupted!\n")) << escaped(terminal->output());
    std::this_thread::sleep_for(1s);  // a few failed reconnections meanwhile
    pair.start();
    ASSERT_TRUE(terminal->expect("\nConnected!\n")) << escaped(terminal->output()) << server.log();
    ASSERT_TRUE(pair.send("hello-2\n"));
    EXPECT_TRUE(terminal->expect("hello-2\n")) << escaped(terminal->output());
    terminal->send("typed-2");
    EXPECT_EQ(pair.receive(7, 10s), "typed-2");
    terminal->send("\x03");
    EXPECT_EQ(terminal->exit_code(), 0);
}

TEST(SerialTarget, ADetachedTargetNoLongerKeepsItsCableUnplugged) {
    REQUIRE_SOCAT();
    serial_on_pair setup;
    auto& [dir, pair, server] = setup;
    ASSERT_TRUE(opens_and_flows(server, pair, "before"));
    pair.stop();
    ASSERT_TRUE(eventually([] { return open_uart().code == JCVX_CABLE_UNPLUGGED; }, 10s));

    // Detached, the target no longer watches its device, so it cannot hold
    // the cable out until the device comes back.
    ASSERT_EQ(server.chainprobe({"detach", "tty-0", "1", "0"}), 0);
    pair.start();
    std::string out;
    EXPECT_EQ(server.chainprobe({"plug", "tty-0"}, &out), 0) << out;
    JTAGCORVEX* link = open_soon();
    ASSERT_NE(link, nullptr) << listing(server);
    ASSERT_EQ(server.chainprobe({"attach", "tty-0", "1", "0"}), 0);
    EXPECT_TRUE(flows(link, pair, "after"));
    jtagcorvex_close(link);

    // Detached while gone, attached while still gone: gone again, once.
    pair.stop();
    ASSERT_TRUE(eventually([] { return open_uart().code == JCVX_CABLE_UNPLUGGED; }, 10s));
    ASSERT_EQ(server.chainprobe({"detach", "tty-0", "1", "0"}), 0);
    ASSERT_EQ(server.chainprobe({"attach", "tty-0", "1", "0"}), 0);
    EXPECT_EQ(open_uart().code, JCVX_CABLE_UNPLUGGED);
    pair.start();
    EXPECT_TRUE(opens_and_flows(server, pair, "back"));
}

TEST(SerialTarget, AMissingDeviceIsToldOnceAndAgainWhenItAppears) {
    REQUIRE_SOCAT();
    serial_on_pair setup(false);
    auto& [dir, pair, server] = setup;
    const std::string missing = pair.target + " is not there";
    ASSERT_TRUE(eventually([&] { return server.log().find(missing) != std::string::npos; }, 10s)) << server.log();
    std::this_thread::sleep_for(1s);  // the path is tried again a few times meanwhile
    EXPECT_EQ(occurrences(server.log(), missing), 1u) << server.log();
    pair.start();
    EXPECT_TRUE(eventually([&] { return server.log().find(pair.target + " is there") != std::string::npos; }, 10s))
        << server.log();
    EXPECT_EQ(occurrences(server.log(), missing), 1u) << server.log();
}

TEST(SerialTarget, WhatWaitsInTheDeviceIsDiscardedWhenItCloses) {
    // Closing a real UART waits until its unsent output has drained, which
    // with CTS low takes up to 30 s inside the server's event loop; the
    // server drops what waits in the device, both ways, before it closes.
    // A pseudo-terminal's end has no output queue of its own, so the test
    // looks at the input half: bytes the server has not read yet, because
    // nobody takes them from a full transmit FIFO.
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(master, 0);
    ASSERT_EQ(::grantpt(master), 0);
    ASSERT_EQ(::unlockpt(master), 0);
    const std::string device = ::ptsname(master);
    // The test keeps the device open too, so that its queue outlives the
    // server's descriptor.
    const int kept = ::open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(kept, 0);
    jtag_server server(one_uart_board("target = \"serial\"\ndevice = " + toml_string(device) + "\n" +
                                          fifo_settings(64),
                                      "", "SerialCable [tty-0]"));
    const auto waiting = [kept] {
        int count = -1;
        return ::ioctl(kept, FIONREAD, &count) == 0 ? count : -1;
    };
    const auto fill = [&] {
        const std::string bytes(4096, 'u');
        return eventually(
            [&] {
                (void)::write(master, bytes.data(), bytes.size());
                return waiting() >= 1000;
            },
            10s);
    };
    ASSERT_TRUE(fill()) << waiting();
    ASSERT_EQ(server.chainprobe({"detach", "tty-0", "1", "0"}), 0);
    EXPECT_EQ(waiting(), 0);
    ASSERT_EQ(server.chainprobe({"attach", "tty-0", "1", "0"}), 0);
    ASSERT_TRUE(fill()) << waiting();
    ASSERT_EQ(server.chainprobe({"power", "tty-0", "off"}), 0);
    EXPECT_EQ(waiting(), 0);
    ::close(kept);
    ::close(master);
}

}  // namespace
