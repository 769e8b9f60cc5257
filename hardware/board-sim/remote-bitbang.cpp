// remote_bitbang requests applied to the simulated board (see remote-bitbang.h).
#include "hardware/board-sim/remote-bitbang.h"

BITBANG_RESULT serve_requests(BOARD_MODEL& board, const char* data, std::size_t size, std::string& replies) {
    BITBANG_RESULT result;
    for (std::size_t i = 0; i < size; ++i) {
        const char request = data[i];
        if (request >= '0' && request <= '7') {
            const int pins = request - '0';
            board.drive(pins & 4, pins & 2, pins & 1);
        } else if (request == 'R') {
            replies.push_back(board.tdo() ? '1' : '0');
        } else if (request >= 'r' && request <= 'u') {
            const int lines = request - 'r';
            board.set_resets(lines & 2, lines & 1);
        } else if (request == 'B' || request == 'b') {
            // The board's LED: nothing to show.
        } else if (request == 'Q') {
            result.end = BITBANG_RESULT::QUIT;
            result.consumed = i + 1;
            return result;
        } else {
            result.end = BITBANG_RESULT::BAD_BYTE;
            result.bad_byte = static_cast<unsigned char>(request);
            result.consumed = i;
            return result;
        }
    }
    result.consumed = size;
    return result;
}
