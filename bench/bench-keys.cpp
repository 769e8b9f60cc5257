// Keystroke latency: starts the terminal on a pseudo-terminal, is itself the
// peer of a tcp target, and times each byte from the write into the
// pseudo-terminal to its arrival at the target; optionally streams target
// output meanwhile. The terminal's output goes into a pipe that is read as a
// console would read it. Prints "samples=N median_ms=M p99_ms=P max_ms=X".
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include "bench-data.h"
#include "tests/support/loopback.h"

namespace {

using clock_type = std::chrono::steady_clock;

using test_support::connect_loopback;

/// Waits up to `timeout_ms` for the byte `want` on the socket; other bytes
/// (late arrivals of earlier probes) are skipped.
bool wait_for_byte(int fd, char want, int timeout_ms) {
    const auto deadline = clock_type::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock_type::now()).count();
        if (left <= 0) return false;
        pollfd entry{fd, POLLIN, 0};
        if (::poll(&entry, 1, static_cast<int>(left)) <= 0) continue;
        char got[64];
        const ssize_t n = ::recv(fd, got, sizeof got, 0);
        if (n <= 0) return false;
        if (std::memchr(got, want, static_cast<std::size_t>(n)) != nullptr) return true;
    }
}

double percentile(std::vector<double> values, double fraction) {
    std::sort(values.begin(), values.end());
    const std::size_t index = std::min(values.size() - 1, static_cast<std::size_t>(fraction * static_cast<double>(values.size())));
    return values[index];
}

}  // namespace

int main(int argc, char** argv) {
    std::string terminal;
    int port = 0;
    int samples = 100;
    bool stream = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--terminal" && i + 1 < argc) terminal = argv[++i];
        else if (arg == "--port" && i + 1 < argc) port = std::atoi(argv[++i]);
        else if (arg == "--samples" && i + 1 < argc) samples = std::atoi(argv[++i]);
        else if (arg == "--stream") stream = true;
    }
    if (terminal.empty() || port <= 0 || samples <= 0) {
        std::fprintf(stderr, "usage: bench-keys --terminal PATH --port TCP_TARGET_PORT [--samples N] [--stream]\n");
        return 2;
    }

    const int peer = connect_loopback(port);
    if (peer < 0) {
        std::fprintf(stderr, "bench-keys: cannot connect to the tcp target on port %d\n", port);
        return 1;
    }

    const int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0) {
        std::fprintf(stderr, "bench-keys: no pseudo-terminal\n");
        return 1;
    }
    const std::string slave_name = ::ptsname(master);

    int output[2];
    if (::pipe2(output, O_CLOEXEC) != 0) return 1;
    const pid_t child = ::fork();
    if (child == 0) {
        ::setsid();
        const int slave = ::open(slave_name.c_str(), O_RDWR);
        if (slave < 0) ::_exit(127);
        ::dup2(slave, 0);
        ::dup2(output[1], 1);
        ::execl(terminal.c_str(), terminal.c_str(), "-q", static_cast<char*>(nullptr));
        ::_exit(127);
    }

    ::close(output[1]);
    std::thread drain([fd = output[0]] {
        std::vector<char> buffer(64 * 1024);
        while (::read(fd, buffer.data(), buffer.size()) > 0) {
        }
    });

    std::atomic<bool> streaming{stream};
    std::thread streamer;
    if (stream) {
        streamer = std::thread([&] {
            const auto pattern = bench::make_pattern();
            std::size_t offset = 0;
            while (streaming.load()) {
                const ssize_t n = ::send(peer, pattern.data() + offset, 16384, MSG_NOSIGNAL);
                if (n <= 0) break;
                offset = (offset + static_cast<std::size_t>(n)) % bench::pattern_period;
            }
        });
    }

    // Warm-up: the first probe that arrives shows the relay is running.
    bool connected = false;
    for (int attempt = 0; attempt < 50 && !connected; ++attempt) {
        const char probe = 'w';
        if (::write(master, &probe, 1) != 1) break;
        connected = wait_for_byte(peer, probe, 200);
    }

    std::vector<double> latencies;
    std::mt19937 random(7);
    int lost = 0;
    for (int i = 0; connected && i < samples; ++i) {
        // A pause of 1..121 ms, longer than the relay's 100 ms wait, so that
        // probes fall at every phase of it rather than just after a pass.
        std::this_thread::sleep_for(std::chrono::microseconds(1000 + random() % 120000));
        const char key = static_cast<char>('a' + i % 26);
        const auto start = clock_type::now();
        if (::write(master, &key, 1) != 1) break;
        if (!wait_for_byte(peer, key, 2000)) {
            ++lost;
            continue;
        }
        latencies.push_back(std::chrono::duration<double, std::milli>(clock_type::now() - start).count());
    }

    streaming = false;
    ::shutdown(peer, SHUT_RDWR);
    if (streamer.joinable()) streamer.join();
    ::kill(child, SIGINT);
    int status = 0;
    ::waitpid(child, &status, 0);
    drain.join();
    ::close(output[0]);
    ::close(peer);
    ::close(master);

    if (!connected || latencies.empty()) {
        std::fprintf(stderr, "bench-keys: the terminal never relayed a keystroke\n");
        return 1;
    }
    std::printf("samples=%zu lost=%d median_ms=%.3f p99_ms=%.3f max_ms=%.3f\n", latencies.size(), lost,
                percentile(latencies, 0.5), percentile(latencies, 0.99),
                *std::max_element(latencies.begin(), latencies.end()));
    return lost == 0 ? 0 : 1;
}
