// Writes BYTES bytes of the benchmark pattern to standard output, optionally
// followed by a Ctrl-D (0x04) that ends the terminal; --forever never stops,
// --hold stays alive afterwards (a relay that ends with its source would
// drop what is still buffered).
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <unistd.h>

#include "bench-data.h"

int main(int argc, char** argv) {
    unsigned long long total = 0;
    bool forever = false;
    bool ctrl_d = false;
    bool hold = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--forever")
            forever = true;
        else if (arg == "--ctrl-d")
            ctrl_d = true;
        else if (arg == "--hold")
            hold = true;
        else
            total = std::strtoull(argv[i], nullptr, 10);
    }
    if (!forever && total == 0) {
        std::fprintf(stderr, "usage: bench-source BYTES [--ctrl-d] [--hold] | --forever\n");
        return 2;
    }
    const auto pattern = bench::make_pattern();
    constexpr std::size_t block = 64 * 1024;
    unsigned long long sent = 0;
    while (forever || sent < total) {
        std::size_t want = block;
        if (!forever && total - sent < want) want = static_cast<std::size_t>(total - sent);
        const unsigned char* from = pattern.data() + sent % bench::pattern_period;
        const ssize_t n = ::write(1, from, want);
        if (n < 0) {
            if (errno == EINTR) continue;
            return 1;  // the reader has gone
        }
        sent += static_cast<unsigned long long>(n);
    }
    if (ctrl_d) {
        const char end = 0x04;
        while (::write(1, &end, 1) < 0 && errno == EINTR) {
        }
    }
    while (hold) ::pause();
    return 0;
}
