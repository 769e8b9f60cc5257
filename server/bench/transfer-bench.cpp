// Benchmark: N MB of random bytes from an exec target to the host through
// jtag-server and the access library, read 64 bytes per call as the
// terminal does; checks the bytes and prints the throughput.
#include "jtag_corvex.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>


#include "tests/support/boards.h"
#include "tests/support/jtag-server-process.h"
#include "tests/support/temp-dir.h"

int main(int argc, char** argv) {
    const std::size_t megabytes = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 100;
    const std::size_t size = megabytes * 1000 * 1000;

    // 1. The data, in a file that the target's command prints.
    std::vector<char> data(size);
    std::mt19937_64 random(2024);
    for (std::size_t i = 0; i + 8 <= size; i += 8) {
        const std::uint64_t value = random();
        std::memcpy(data.data() + i, &value, 8);
    }
    test_support::temp_dir work;
    work.write("data", std::string(data.data(), size));

    // 2. A server whose only UART prints the file, then idles.
    test_support::jtag_server server(
        test_support::exec_board("cat " + test_support::shell_quoted(work.file("data")) + "; exec sleep 600"));
    JTAGCORVEX* link = jtagcorvex_open(nullptr, -1, -1, "transfer-bench");
    if (link == nullptr) {
        std::fprintf(stderr, "transfer-bench: open failed\n");
        return 1;
    }

    // 3. Read 64 bytes per call, comparing as we go.
    std::size_t received = 0;
    std::size_t empty_reads = 0;
    std::size_t calls = 0;
    bool same = true;
    char buffer[64];
    const auto start = std::chrono::steady_clock::now();
    while (received < size) {
        const int n = jtagcorvex_read(link, buffer, sizeof buffer);
        ++calls;
        if (n < 0) {
            std::fprintf(stderr, "transfer-bench: connection lost after %zu bytes\n", received);
            return 1;
        }
        if (n == 0) {
            ++empty_reads;
            std::this_thread::yield();
            continue;
        }
        if (received + static_cast<std::size_t>(n) > size || std::memcmp(buffer, data.data() + received, static_cast<std::size_t>(n)) != 0)
            same = false;
        received += static_cast<std::size_t>(n);
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    jtagcorvex_close(link);
    std::printf("transfer-bench: %zu bytes in %.2f s = %.1f MB/s, %zu reads (%zu empty), %s\n", received, seconds,
                static_cast<double>(received) / 1e6 / seconds, calls, empty_reads,
                same ? "byte-exact" : "DATA DIFFERS");
    return same ? 0 : 1;
}
