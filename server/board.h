// What a board file describes: cables, the board behind each, its chain of
// devices and their JTAG UARTs with their targets.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "wire/messages.h"

/// The value of a board-file key of a target kind's own.
using TargetValue = std::variant<std::string, std::int64_t, bool>;

/// A target's own settings, by key: those its kind declares, each given or
/// at its default (server/target-kinds.h).
class TargetSettings {
public:
    void set(const std::string& key, TargetValue value) { m_values[key] = std::move(value); }
    /// The value of a text, number or flag key; empty, 0 or false when absent.
    std::string text(const std::string& key) const { return get<std::string>(key); }
    std::int64_t number(const std::string& key) const { return get<std::int64_t>(key); }
    bool flag(const std::string& key) const { return get<bool>(key); }

private:
    template <typename T>
    T get(const std::string& key) const {
        const auto found = m_values.find(key);
        const T* value = found != m_values.end() ? std::get_if<T>(&found->second) : nullptr;
        return value != nullptr ? *value : T{};
    }

    std::map<std::string, TargetValue> m_values;
};

struct UartConfig {
    bool compatible = true;
    std::uint32_t rx_fifo = 64;  ///< host -> target
    std::uint32_t tx_fifo = 64;  ///< target -> host
    std::string target = "demo";  ///< the name of its target's kind
    TargetSettings settings;      ///< the kind's own keys
};

struct DeviceConfig {
    std::vector<UartConfig> uarts;  ///< instances numbered from 0
};

/// What a board file may add for a TAP of a real chain that cannot be probed.
struct JtagDeviceHint {
    unsigned ir_length = 0;                   ///< 0: probed
    std::optional<std::uint32_t> idcode;      ///< expected; a warning when another is found
    std::vector<unsigned> user_instructions;  ///< JTAG UARTs behind another maker's TAP
    /// "FILE:LINE" of each of them, for a message when the chain's IR cannot hold it.
    std::vector<std::string> user_instruction_places;
    std::uint32_t rx_fifo = 64;               ///< their FIFO depths
    std::uint32_t tx_fifo = 64;
};

/// An OpenOCD that the server starts and watches for a cable, instead of
/// one running at an address (the board-file keys openocd_*).
struct OpenOcdSettings {
    std::string executable = "openocd";     ///< found on PATH unless a path
    std::vector<std::string> config_files;  ///< each passed as -f, in order
    std::vector<std::string> commands;      ///< each passed as -c, before init
    std::uint16_t telnet_port = 0;          ///< 0: disabled
    std::uint16_t gdb_port = 0;             ///< 0: disabled
};

struct CableConfig : wire::CableState {
    std::vector<DeviceConfig> devices;  ///< devices numbered from 1
    /// A real chain: "remote_bitbang" or "openocd" and where it listens;
    /// empty for a simulated cable.
    std::string adapter;
    std::string adapter_host;
    std::uint16_t adapter_port = 0;
    /// adapter "openocd" without an address: the OpenOCD the server runs.
    std::optional<OpenOcdSettings> openocd;
    std::vector<JtagDeviceHint> jtag_devices;  ///< in chain order, from device 1
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
