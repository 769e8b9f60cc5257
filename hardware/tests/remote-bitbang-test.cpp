// The remote_bitbang requests against the board model, as byte strings.
#include <gtest/gtest.h>

#include "hardware/board-sim/remote-bitbang.h"

TEST(RemoteBitbang, ReadsTdoOnlyOnRAndStopsAtQuitOrAForeignByte) {
    BOARD_MODEL board(1, 1.0);
    std::string replies;
    // Five clocks with TMS high, Run-Test/Idle, then Shift-IR: TDO shows the
    // captured IR's bit 0 (1) after the falling edge.
    const std::string to_shift_ir = "2626262626" "04" "26" "26" "04" "04" "0";
    BITBANG_RESULT result = serve_requests(board, to_shift_ir.data(), to_shift_ir.size(), replies);
    EXPECT_EQ(result.end, BITBANG_RESULT::MORE);
    EXPECT_EQ(result.consumed, to_shift_ir.size());
    EXPECT_EQ(replies, "");
    EXPECT_EQ(board.tap_state(), 11u) << "Shift-IR";

    const std::string read = "RBb4R0Rtr";
    result = serve_requests(board, read.data(), read.size(), replies);
    EXPECT_EQ(result.end, BITBANG_RESULT::MORE);
    // Bit 0 of the other device's captured 00001; after the rising edge TDO
    // keeps it until the falling edge brings bit 1.
    EXPECT_EQ(replies, "110");

    replies.clear();
    const std::string stop = "R\nR";
    result = serve_requests(board, stop.data(), stop.size(), replies);
    EXPECT_EQ(result.end, BITBANG_RESULT::BAD_BYTE);
    EXPECT_EQ(result.bad_byte, '\n');
    EXPECT_EQ(result.consumed, 1u);
    EXPECT_EQ(replies, "0");

    replies.clear();
    const std::string quit = "RQR";
    result = serve_requests(board, quit.data(), quit.size(), replies);
    EXPECT_EQ(result.end, BITBANG_RESULT::QUIT);
    EXPECT_EQ(result.consumed, 2u);
    EXPECT_EQ(replies, "0");
}

TEST(RemoteBitbang, TrstRequestResetsTheTap) {
    BOARD_MODEL board(1, 1.0);
    std::string replies;
    const std::string requests = "2626262626" "04" "26" "04" "04" "t";  // Shift-DR, then TRST
    serve_requests(board, requests.data(), requests.size(), replies);
    EXPECT_EQ(board.tap_state(), 0u);
    const std::string release = "r04";
    serve_requests(board, release.data(), release.size(), replies);
    EXPECT_EQ(board.tap_state(), 1u) << "Run-Test/Idle after TRST is released";
}
