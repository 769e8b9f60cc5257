// The benchmark's byte stream: a fixed pseudo-random pattern that repeats
// with a prime period, so a lost, doubled or moved byte breaks the comparison.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace bench {

/// Not a multiple of 64 (the relay's chunk) nor of a page, so every offset
/// of the pattern meets every chunk boundary.
constexpr std::size_t pattern_period = 1000003;

/// The pattern, one period followed by a copy of its first 1 MiB, so that any
/// span of up to 1 MiB starting anywhere in the period is contiguous.
/// It holds no 0x04 (the terminal ends on it) and no 0xFF (ten of them
/// at the start of a read mean a lost cable).
inline std::vector<unsigned char> make_pattern() {
    constexpr std::size_t tail = 1 << 20;
    std::vector<unsigned char> bytes(pattern_period + tail);
    std::uint64_t state = 0x9E3779B97F4A7C15ull;
    for (std::size_t i = 0; i < pattern_period; ++i) {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        unsigned char b = static_cast<unsigned char>(state >> 24);
        if (b == 0x04 || b == 0xFF) b = static_cast<unsigned char>(b ^ 0x40);
        bytes[i] = b;
    }
    for (std::size_t i = 0; i < tail; ++i) bytes[pattern_period + i] = bytes[i];
    return bytes;
}

}  // namespace bench
