// The target streams of the soak tests, made alike by the target program that
// sends them and by the test that checks what arrives: console stretches of
// random bytes with profile blocks between them.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>

#include "relay/write-gmon.h"

namespace soak {

/// A small, fast generator; the same seed gives the same bytes everywhere.
class random_bytes {
public:
    explicit random_bytes(std::uint64_t seed) : m_state(seed * 0x9E3779B97F4A7C15ull + 1) {}
    std::uint64_t next() {
        m_state ^= m_state << 13;
        m_state ^= m_state >> 7;
        m_state ^= m_state << 17;
        return m_state;
    }
    std::size_t below(std::size_t bound) { return static_cast<std::size_t>(next() % bound); }

    /// Appends `count` bytes of which none is 0x04 (ends a run) or '*' (so a
    /// profile marker begins only where one was put), and no ten 0xFF in a
    /// row (a floating data line, read as an unplugged cable).
    void console_bytes(std::string& out, std::size_t count) { append(out, count, true); }
    /// Profile bytes may be anything but ten 0xFF in a row.
    void profile_bytes(std::string& out, std::size_t count) { append(out, count, false); }

private:
    void append(std::string& out, std::size_t count, bool console) {
        for (std::size_t i = 0; i < count;) {
            std::uint64_t word = next();
            for (int k = 0; k < 8 && i < count; ++k, word >>= 8) {
                auto byte = static_cast<unsigned char>(word);
                if (console && (byte == 0x04 || byte == '*')) continue;
                if (byte == 0xFF && ++m_ff_run >= 10) continue;
                if (byte != 0xFF) m_ff_run = 0;
                out.push_back(static_cast<char>(byte));
                ++i;
            }
        }
        m_ff_run = 0;
    }

    std::uint64_t m_state;
    int m_ff_run = 0;
};

/// How a stream is made: `console_bytes` random console bytes in all, with a
/// profile block (marker line, 4-byte length, up to `max_profile` bytes)
/// after every `block_every` of them.
struct stream_plan {
    std::uint64_t seed = 1;
    std::size_t console_bytes = 1 << 20;
    std::size_t block_every = 256 << 10;
    std::size_t max_profile = 64 << 10;
};

/// Produces the stream piece by piece: `on_piece(target_bytes, console_bytes)`
/// gets what the target sends and what of it reaches the console. Returns
/// the last profile block, which is what "gmon.out" holds at the end.
template <typename OnPiece>
std::string make_stream(const stream_plan& plan, OnPiece on_piece) {
    random_bytes random(plan.seed);
    std::string last_profile;
    std::size_t sent = 0;
    std::string target, console;
    while (sent < plan.console_bytes) {
        target.clear();
        std::size_t stretch = std::min(plan.block_every, plan.console_bytes - sent);
        random.console_bytes(target, stretch);
        sent += stretch;
        console = target;
        if (sent < plan.console_bytes) {
            // A block after a stretch of at least 64 bytes: the capture
            // searches for a marker only from the next target read on.
            std::string profile;
            random.profile_bytes(profile, 1 + random.below(plan.max_profile));
            target.append(tolvan::GMON_MARKER, tolvan::GMON_MARKER_LENGTH);
            console.append(tolvan::GMON_MARKER, tolvan::GMON_MARKER_LENGTH);
            for (int i = 0; i < 4; ++i) target.push_back(static_cast<char>((profile.size() >> (8 * i)) & 0xFF));
            target += profile;
            last_profile = profile;
        }
        on_piece(target, console);
    }
    return last_profile;
}

}  // namespace soak
