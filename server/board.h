// What a board file describes: cables, the board behind each, its chain of
// devices and their JTAG UARTs with their targets.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

enum class TargetKind { demo, loopback, exec, tcp };

struct UartConfig {
    bool compatible = true;
    std::uint32_t rx_fifo = 64;  ///< host -> target
    std::uint32_t tx_fifo = 64;  ///< target -> host
    TargetKind target = TargetKind::demo;
    std::string command;                 ///< exec
    std::string listen = "127.0.0.1:0";  ///< tcp
};

struct DeviceConfig {
    std::vector<UartConfig> uarts;  ///< instances numbered from 0
};

struct CableConfig {
    std::string name;
    bool plugged = true;
    bool has_board = true;
    bool powered = true;
    std::int32_t support = 0;
    std::vector<DeviceConfig> devices;  ///< devices numbered from 1
};

struct BoardConfig {
    std::vector<CableConfig> cables;
};

/// FIFO sizes a board file may ask for.
constexpr std::uint32_t k_min_fifo = 1;
constexpr std::uint32_t k_max_fifo = 64 * 1024;

/// One cable, one device, one UART with the demo target.
BoardConfig demo_board();

/// Parses board-file text; `source` names it in errors ("FILE:LINE: problem").
bool parse_board(std::string_view text, const std::string& source, BoardConfig& board, std::string& error);

bool load_board_file(const std::string& path, BoardConfig& board, std::string& error);
