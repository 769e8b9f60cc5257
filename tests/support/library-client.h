// The access library as the tests use it: an open with its outcome, reads
// that wait (within a guard) for what must come, and an echo through a
// loopback target. For test programs that link jtag_corvex.
#pragma once

#include <algorithm>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "jtag_corvex.h"

namespace test_support {

/// How an open ended: the link on success, else the code and text the
/// library reports.
struct open_result {
    JTAGCORVEX* link = nullptr;
    int code = 0;
    std::string text;
    bool text_given = false;  ///< the library gave a text (it always must)
};

inline open_result open_uart(const char* cable = nullptr, int device = -1, int instance = -1,
                             const char* client = "library-test") {
    open_result result;
    result.link = jtagcorvex_open(cable, device, instance, client);
    if (result.link == nullptr) {
        const char* text = nullptr;
        result.code = jtagcorvex_get_error(&text);
        result.text_given = text != nullptr;
        result.text = text != nullptr ? text : "";
    }
    return result;
}

/// Reads until `size` bytes have arrived, the link fails, or the guard expires.
inline std::string read_exactly(JTAGCORVEX* link, std::size_t size, unsigned chunk = 64,
                                std::chrono::seconds guard = std::chrono::seconds(30)) {
    std::string got;
    const auto deadline = std::chrono::steady_clock::now() + guard;
    std::vector<char> buffer(chunk);
    while (got.size() < size && std::chrono::steady_clock::now() < deadline) {
        const unsigned ask = static_cast<unsigned>(std::min<std::size_t>(chunk, size - got.size()));
        const int n = jtagcorvex_read(link, buffer.data(), ask);
        if (n < 0)
            break;
        if (n == 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        got.append(buffer.data(), static_cast<std::size_t>(n));
    }
    return got;
}

/// Writes `text` to a UART whose target echoes, and reads it back.
inline bool echoes(JTAGCORVEX* link, const std::string& text) {
    const int size = static_cast<int>(text.size());
    return jtagcorvex_write(link, text.data(), static_cast<unsigned>(size)) == size &&
           read_exactly(link, text.size()) == text;
}

}  // namespace test_support
