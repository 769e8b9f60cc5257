// Reads standard input, checks every byte against the benchmark pattern and
// reports the count and the time from the first byte to the last expected
// one: "bytes=N errors=E first_error=OFFSET seconds=S last_ns=T" (T: the
// steady clock at the last byte, for a writer in another process to compare).
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <unistd.h>

#include "bench-data.h"

int main(int argc, char** argv) {
    unsigned long long expected = 0;
    const char* report_path = nullptr;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--report" && i + 1 < argc)
            report_path = argv[++i];
        else
            expected = std::strtoull(argv[i], nullptr, 10);
    }
    if (expected == 0) {
        std::fprintf(stderr, "usage: bench-sink BYTES [--report FILE]\n");
        return 2;
    }
    const auto pattern = bench::make_pattern();
    std::vector<unsigned char> buffer(256 * 1024);
    unsigned long long received = 0;
    unsigned long long errors = 0;
    long long first_error = -1;
    using clock = std::chrono::steady_clock;
    clock::time_point first{};
    clock::time_point last{};
    while (received < expected) {
        const ssize_t n = ::read(0, buffer.data(), buffer.size());
        if (n <= 0) break;
        const auto now = clock::now();
        if (received == 0) first = now;
        last = now;
        std::size_t count = static_cast<std::size_t>(n);
        if (received + count > expected) count = static_cast<std::size_t>(expected - received);
        // Compare in spans of at most 1 MiB, which the pattern holds contiguously.
        std::size_t done = 0;
        while (done < count) {
            const std::size_t span = std::min<std::size_t>(count - done, 1 << 20);
            const unsigned char* want = pattern.data() + (received + done) % bench::pattern_period;
            if (std::memcmp(buffer.data() + done, want, span) != 0) {
                for (std::size_t k = 0; k < span; ++k) {
                    if (buffer[done + k] != want[k]) {
                        if (first_error < 0) first_error = static_cast<long long>(received + done + k);
                        ++errors;
                    }
                }
            }
            done += span;
        }
        received += count;
    }
    const double seconds = std::chrono::duration<double>(last - first).count();
    const long long last_ns = std::chrono::duration_cast<std::chrono::nanoseconds>(last.time_since_epoch()).count();
    char line[240];
    std::snprintf(line, sizeof line, "bytes=%llu errors=%llu first_error=%lld seconds=%.6f last_ns=%lld\n", received,
                  errors, first_error, seconds, last_ns);
    if (report_path != nullptr) {
        // Written whole under a temporary name, so a reader never sees half a line.
        const std::string temporary = std::string(report_path) + ".part";
        if (FILE* file = std::fopen(temporary.c_str(), "w")) {
            std::fputs(line, file);
            std::fclose(file);
            std::rename(temporary.c_str(), report_path);
        }
    } else {
        std::fputs(line, stdout);
    }
    return received == expected && errors == 0 ? 0 : 1;
}
