// Fuzz target: the board-file loader on arbitrary text. Every text is either
// loaded or refused with a message; a loaded board keeps the limits that the
// server relies on.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz/fuzz-check.h"
#include "server/board.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view text(reinterpret_cast<const char*>(data), size);
    BoardConfig board;
    std::string error;
    if (!parse_board(text, "fuzz.toml", board, error)) {
        FUZZ_CHECK(!error.empty());
        return 0;
    }
    for (const CableConfig& cable : board.cables) {
        for (const DeviceConfig& device : cable.devices) {
            for (const UartConfig& uart : device.uarts) {
                FUZZ_CHECK(uart.rx_fifo >= k_min_fifo && uart.rx_fifo <= k_max_fifo);
                FUZZ_CHECK(uart.tx_fifo >= k_min_fifo && uart.tx_fifo <= k_max_fifo);
            }
        }
    }
    return 0;
}
