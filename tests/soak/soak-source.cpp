// A target for the soak tests: sends the stream of soak-stream.h for a seed
// and a size, then a Ctrl-D, and stays alive until its input ends so that
// nothing of the stream is lost to its exit.
// Usage: soak-source SEED CONSOLE_BYTES BLOCK_EVERY MAX_PROFILE
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "soak-stream.h"

namespace {

bool write_all(const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = ::write(1, bytes.data() + done, bytes.size() - done);
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 5) {
        std::fprintf(stderr, "usage: soak-source SEED CONSOLE_BYTES BLOCK_EVERY MAX_PROFILE\n");
        return 2;
    }
    soak::stream_plan plan;
    plan.seed = std::strtoull(argv[1], nullptr, 10);
    plan.console_bytes = std::strtoull(argv[2], nullptr, 10);
    plan.block_every = std::strtoull(argv[3], nullptr, 10);
    plan.max_profile = std::strtoull(argv[4], nullptr, 10);
    bool ok = true;
    soak::make_stream(plan, [&](const std::string& target, const std::string&) {
        if (ok) ok = write_all(target);
    });
    if (!ok || !write_all("\x04")) return 1;
    char sink[4096];
    while (::read(0, sink, sizeof sink) > 0) {
    }
    return 0;
}
