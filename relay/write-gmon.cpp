// Carves a profile block out of the target stream: the marker line stays for
// the console, the 4-byte length and the profile bytes go to "gmon.out".
// The state carries over between chunks, so any part may be split anywhere.
#include "relay/write-gmon.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "cmdline/fatal.h"
#include "cmdline/settings.h"

namespace tolvan {

namespace {

int marker_matched = 0;          // leading marker bytes matched; 26: marker seen
int length_bytes_held = 0;       // bytes of the length received so far
std::uint32_t length_bits = 0;   // the length as it arrives, least significant byte first
std::int32_t remaining = 0;      // profile bytes still to be written
std::FILE* profile_file = nullptr;

void back_to_idle() {
    marker_matched = 0;
    length_bytes_held = 0;
    length_bits = 0;
    remaining = 0;
    if (profile_file) {
        std::fclose(profile_file);
        profile_file = nullptr;
    }
}

// Drops `k` bytes at `pos` by moving the `tail` bytes after them down.
void remove_span(char* buffer, int pos, int k, int tail) {
    std::memmove(buffer + pos, buffer + pos + k, static_cast<std::size_t>(tail));
}

}  // namespace

void reset_gmon_capture() {
    back_to_idle();
}

int gmon_capture(char* buffer, int count) {
    if (!settings.write_gmon) return count;

    int pos = 0;
    int avail = count;
    int result = count;

    // A broken partial match skips the byte where it broke without trying it
    // as the start of a new marker. A new match can begin only at the
    // marker's first byte: the search jumps from one to the next.
    while (marker_matched < GMON_MARKER_LENGTH && avail > 0) {
        if (marker_matched == 0) {
            const void* first = std::memchr(buffer + pos, GMON_MARKER[0], static_cast<std::size_t>(avail));
            if (first == nullptr) return result;
            const int skipped = static_cast<int>(static_cast<const char*>(first) - (buffer + pos));
            pos += skipped;
            avail -= skipped;
        }
        int k = std::min(GMON_MARKER_LENGTH - marker_matched, avail);
        if (std::memcmp(buffer + pos, GMON_MARKER + marker_matched, static_cast<std::size_t>(k)) == 0) {
            marker_matched += k;
            pos += k;
            avail -= k;
            break;
        }
        marker_matched = 0;
        ++pos;
        --avail;
    }
    if (marker_matched < GMON_MARKER_LENGTH) return result;

    if (length_bytes_held < 4 && avail > 0) {
        int k = std::min(4 - length_bytes_held, avail);
        for (int i = 0; i < k; ++i)
            length_bits |= std::uint32_t{static_cast<unsigned char>(buffer[pos + i])} << (8 * (length_bytes_held + i));
        remove_span(buffer, pos, k, avail - k);
        result -= k;
        avail -= k;
        length_bytes_held += k;
        if (length_bytes_held == 4) {
            // A length with its top bit set cannot be counted down: drop the
            // block rather than swallow the rest of the stream.
            if (length_bits > static_cast<std::uint32_t>(INT32_MAX)) {
                back_to_idle();
                return result;
            }
            remaining = static_cast<std::int32_t>(length_bits);
        }
    }
    if (length_bytes_held < 4) return result;

    if (remaining > 0 && avail > 0) {
        if (!profile_file) {
            profile_file = std::fopen("gmon.out", "wb");
            if (!profile_file) {
                std::printf("Error: unable to open gmon.out file for writing\n");
                fatal_abort(diagnostic::gmon_file_not_opened);
            }
        }
        int k = std::min(remaining, avail);
        // Write errors are not fatal: the console output goes on regardless.
        // Flushed at once, so a run that is killed leaves what it received.
        (void)std::fwrite(buffer + pos, 1, static_cast<std::size_t>(k), profile_file);
        (void)std::fflush(profile_file);
        remove_span(buffer, pos, k, avail - k);
        result -= k;
        avail -= k;
        remaining -= k;
    }
    if (remaining != 0) return result;

    // Bytes after the block stay for the console; the next chunk is searched.
    back_to_idle();
    return result;
}

}  // namespace tolvan
