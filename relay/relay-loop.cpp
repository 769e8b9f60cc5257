// The relay loop: host input to the target, target output through the profile
// capture and the Ctrl-D check to the console, each side with one 64-byte
// chunk in flight, until one of the end conditions is met.
#include "relay/relay-loop.h"

#include <cstdio>
#include <cstring>

#include "cmdline/settings.h"
#include "platform/timer.h"
#include "relay/terminal.h"
#include "relay/write-gmon.h"

namespace tolvan {

namespace {

constexpr int chunk_size = 64;

// A channel whose writes keep failing would otherwise turn the loop into a
// busy spin (for example with standard output closed).
constexpr std::uint64_t failed_write_pause_us = 10000;

// Counts what a write really took: a failure takes nothing, and a channel
// cannot take more than it was offered.
int bytes_taken(int n, int offered) {
    if (n < 0) return 0;
    return n > offered ? offered : n;
}

}  // namespace

const char* exit_reason_words(ExitReason reason) {
    switch (reason) {
    case user_timeout: return "user timeout\n";
    case remote_ctrl_d: return "^D on remote\n";
    case target_io_error: return "I/O error communicating with target\n";
    case host_ctrl_c: return "^C on host\n";
    }
    return "";
}

ExitReason run_relay() {
    if (stop_requested.load()) return host_ctrl_c;

    const bool dump_counts = settings.dump_flags[static_cast<unsigned char>('t')] != 0;

    char host_buffer[chunk_size];
    int host_count = 0;
    int host_sent = 0;
    char target_buffer[chunk_size];
    int target_count = 0;
    int target_written = 0;
    bool ctrl_d_seen = false;

    for (;;) {
        bool write_failed = false;

        if (host_count > host_sent) {
            int offered = host_count - host_sent;
            int n = jtag_channel->write(host_buffer + host_sent, static_cast<unsigned>(offered));
            write_failed |= n < 0;
            host_sent += bytes_taken(n, offered);
            if (dump_counts) std::printf("wrote %d characters to remote\n", n);
        }

        if (target_count > target_written) {
            int offered = target_count - target_written;
            int n = console_channel->write(target_buffer + target_written, static_cast<unsigned>(offered));
            write_failed |= n < 0;
            target_written += bytes_taken(n, offered);
            if (dump_counts) std::printf("wrote %d characters to console\n", n);
        }

        if (host_sent == host_count) {
            int r = console_channel->read(host_buffer, chunk_size);
            host_sent = 0;
            host_count = r < 0 ? 0 : (r > chunk_size ? chunk_size : r);
            if (dump_counts && host_count != 0) std::printf("read %d characters from console\n", host_count);
        }

        if (target_written == target_count) {
            if (ctrl_d_seen) return remote_ctrl_d;
            int r = jtag_channel->read(target_buffer, chunk_size);
            target_written = 0;
            if (r < 0) {
                if (!settings.persistent) return target_io_error;
                if (settings.verbose)
                    std::printf("%s: I/O error communicating with client - trying again", PROGRAM_NAME);
                r = 0;
            }
            if (r > chunk_size) r = chunk_size;
            target_count = gmon_capture(target_buffer, r);
            if (target_count > 0 && settings.quit_on_ctrl_d) {
                const void* ctrl_d = std::memchr(target_buffer, 0x04, static_cast<std::size_t>(target_count));
                if (ctrl_d) {
                    target_count = static_cast<int>(static_cast<const char*>(ctrl_d) - target_buffer);
                    ctrl_d_seen = true;
                }
            }
            if (dump_counts && target_count != 0) std::printf("read %d characters from remote\n", target_count);
        }

        if (write_failed) platform::sleep_microseconds(failed_write_pause_us);

        if (settings.quit_after_secs > 0 &&
            platform::wall_clock_seconds() - start_time >= settings.quit_after_secs)
            return user_timeout;

        if (stop_requested.load()) return host_ctrl_c;
    }
}

}  // namespace tolvan
