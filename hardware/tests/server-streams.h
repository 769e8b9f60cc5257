// Streams through jtag-server's UARTs as the hardware tests move them: the
// access library writing and reading at once, and every byte value.
#pragma once

#include <chrono>
#include <string>
#include <thread>

#include "jtag_corvex.h"

/// Writes all of `data` while reading what comes back, until `expected`
/// bytes have come or the guard passes.
inline std::string write_and_collect(JTAGCORVEX* link, const std::string& data, std::size_t expected,
                              std::chrono::seconds guard = std::chrono::seconds(150)) {
    std::string got;
    std::size_t sent = 0;
    char buffer[4096];
    const auto give_up = std::chrono::steady_clock::now() + guard;
    while (got.size() < expected && std::chrono::steady_clock::now() < give_up) {
        bool idle = true;
        if (sent < data.size()) {
            const int n = jtagcorvex_write(link, data.data() + sent, static_cast<unsigned>(data.size() - sent));
            if (n < 0)
                break;
            sent += static_cast<std::size_t>(n);
            idle = idle && n == 0;
        }
        const int n = jtagcorvex_read(link, buffer, sizeof buffer);
        if (n < 0)
            break;
        got.append(buffer, static_cast<std::size_t>(n));
        if (idle && n == 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return got;
}

inline std::string every_byte_value(int rounds) {
    std::string bytes;
    for (int round = 0; round < rounds; ++round)
        for (int value = 0; value < 256; ++value)
            bytes.push_back(static_cast<char>(value));
    return bytes;
}
