// A client of the access library for bench/jtag-throughput: opens a JTAG
// UART through jtag-server and either
//   read BYTES      reads the benchmark pattern and checks every byte:
//                   "bytes=N errors=E first_error=O seconds=S" (first byte to last);
//   write BYTES     writes the pattern as fast as the UART takes it:
//                   "bytes=N start_ns=T end_ns=T" (steady clock, first write / last taken);
//   hold SECONDS    holds the UART and sends nothing; prints "held" once it holds it;
//   echo SAMPLES    writes one byte at a time to a UART that sends it back and
//                   times each until it is read back, MIN_MS..MAX_MS apart at
//                   random: "samples=N median_ms=M p90_ms=P max_ms=X".
// Options: --device D --instance I (default any), --gap MIN_MS MAX_MS (echo).
// The library never blocks: an empty read or a full write waits a short
// pause (--pause-us, default 200) before the next try.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "bench-data.h"
#include "bench-options.h"
#include "jtag_corvex.h"

namespace {

using clock_type = std::chrono::steady_clock;

long long now_ns() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(clock_type::now().time_since_epoch()).count();
}

double percentile(std::vector<double> values, double fraction) {
    std::sort(values.begin(), values.end());
    const std::size_t index =
        std::min(values.size() - 1, static_cast<std::size_t>(fraction * static_cast<double>(values.size())));
    return values[index];
}

int usage() {
    std::fprintf(stderr, "usage: bench-jtag read|write BYTES | hold SECONDS | echo SAMPLES [--gap MIN_MS MAX_MS]\n"
                         "                 [--device D] [--instance I] [--pause-us US] [--guard SECONDS]\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3)
        return usage();
    const std::string mode = argv[1];
    const unsigned long long count = std::strtoull(argv[2], nullptr, 10);
    int device = -1;
    int instance = -1;
    int gap_min = 20;
    int gap_max = 60;
    long pause_us = 200;
    int guard_s = 300;
    const BENCH_OPTION gap{"--gap", 2, [&](char** words) {
                               gap_min = std::atoi(words[0]);
                               gap_max = std::atoi(words[1]);
                           }};
    if (!read_options(argc, argv, 3,
                      {number_option("--device", device), number_option("--instance", instance), gap,
                       number_option("--pause-us", pause_us), number_option("--guard", guard_s)}))
        return usage();
    if (count == 0 || gap_min < 0 || gap_max < gap_min)
        return usage();

    JTAGCORVEX* link = jtagcorvex_open(nullptr, device, instance, "bench-jtag");
    if (link == nullptr) {
        const char* text = nullptr;
        const int code = jtagcorvex_get_error(&text);
        std::fprintf(stderr, "bench-jtag: cannot open the UART: %d %s\n", code, text != nullptr ? text : "");
        return 1;
    }
    jtagcorvex_wait_open(link);
    const auto pause = std::chrono::microseconds(pause_us);
    const auto deadline = clock_type::now() + std::chrono::seconds(guard_s);
    const auto pattern = bench::make_pattern();
    int status = 0;

    if (mode == "read") {
        std::vector<char> buffer(64 * 1024);
        unsigned long long received = 0;
        unsigned long long errors = 0;
        long long first_error = -1;
        long long first = 0;
        long long last = 0;
        while (received < count && clock_type::now() < deadline) {
            const unsigned ask = static_cast<unsigned>(std::min<unsigned long long>(buffer.size(), count - received));
            const int n = jtagcorvex_read(link, buffer.data(), ask);
            if (n < 0)
                break;
            if (n == 0) {
                std::this_thread::sleep_for(pause);
                continue;
            }
            last = now_ns();
            if (received == 0)
                first = last;
            const unsigned char* want = pattern.data() + received % bench::pattern_period;
            for (int k = 0; k < n; ++k) {
                if (static_cast<unsigned char>(buffer[static_cast<std::size_t>(k)]) != want[k]) {
                    if (first_error < 0)
                        first_error = static_cast<long long>(received) + k;
                    ++errors;
                }
            }
            received += static_cast<unsigned long long>(n);
        }
        std::printf("bytes=%llu errors=%llu first_error=%lld seconds=%.6f\n", received, errors, first_error,
                    static_cast<double>(last - first) / 1e9);
        status = received == count && errors == 0 ? 0 : 1;
    } else if (mode == "write") {
        unsigned long long sent = 0;
        long long start = 0;
        while (sent < count && clock_type::now() < deadline) {
            const unsigned size = static_cast<unsigned>(std::min<unsigned long long>(64 * 1024, count - sent));
            const char* from = reinterpret_cast<const char*>(pattern.data() + sent % bench::pattern_period);
            if (start == 0)
                start = now_ns();
            const int n = jtagcorvex_write(link, from, size);
            if (n < 0)
                break;
            if (n == 0) {
                std::this_thread::sleep_for(pause);
                continue;
            }
            sent += static_cast<unsigned long long>(n);
        }
        std::printf("bytes=%llu start_ns=%lld end_ns=%lld\n", sent, start, now_ns());
        std::fflush(stdout);
        // Held until the caller has seen the sink's count: closing early could drop
        // what the server still holds for the UART.
        char ignored[16];
        while (std::fgets(ignored, sizeof ignored, stdin) != nullptr) {
        }
        status = sent == count ? 0 : 1;
    } else if (mode == "hold") {
        std::printf("held\n");
        std::fflush(stdout);
        std::this_thread::sleep_for(std::chrono::seconds(count));
    } else if (mode == "echo") {
        std::mt19937 random(12345);
        std::uniform_int_distribution<int> gap(gap_min, gap_max);
        std::vector<double> times;
        char stale[256];
        for (unsigned long long i = 0; i < count && clock_type::now() < deadline; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(gap(random)));
            while (jtagcorvex_read(link, stale, sizeof stale) > 0) {
            }
            const char byte = static_cast<char>('a' + i % 26);
            const auto start = clock_type::now();
            if (jtagcorvex_write(link, &byte, 1) != 1) {
                status = 1;
                break;
            }
            bool back = false;
            while (!back && clock_type::now() < deadline) {
                char got = 0;
                const int n = jtagcorvex_read(link, &got, 1);
                if (n < 0)
                    break;
                if (n == 1) {
                    back = got == byte;
                    continue;
                }
                std::this_thread::sleep_for(std::chrono::microseconds(std::min(pause_us, 50L)));
            }
            if (!back) {
                status = 1;
                break;
            }
            times.push_back(std::chrono::duration<double, std::milli>(clock_type::now() - start).count());
        }
        if (times.empty()) {
            std::printf("samples=0\n");
            status = 1;
        } else {
            std::printf("samples=%zu median_ms=%.3f p90_ms=%.3f max_ms=%.3f\n", times.size(), percentile(times, 0.5),
                        percentile(times, 0.9), *std::max_element(times.begin(), times.end()));
        }
    } else {
        jtagcorvex_close(link);
        return usage();
    }
    jtagcorvex_close(link);
    return status;
}
