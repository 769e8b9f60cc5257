// OpenOCD's remote_bitbang requests applied to the simulated board: one
// ASCII byte per request ('0'..'7' set TCK, TMS and TDI; 'R' reads TDO;
// 'r'..'u' set TRST and SRST; 'B'/'b' the LED; 'Q' quit). No I/O here.
#pragma once

#include <cstddef>
#include <string>

#include "hardware/board-sim/board-model.h"

struct BITBANG_RESULT {
    enum END { MORE, QUIT, BAD_BYTE };
    END end = MORE;
    std::size_t consumed = 0;  ///< requests applied (up to and without a bad byte or Q)
    unsigned char bad_byte = 0;
};

/// Applies `size` request bytes to `board`, appending each 'R' reply ('0'
/// or '1') to `replies`. Stops at 'Q' or at the first byte outside the
/// protocol.
BITBANG_RESULT serve_requests(BOARD_MODEL& board, const char* data, std::size_t size, std::string& replies);
