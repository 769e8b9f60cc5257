// Board-file texts for the tests' servers, and the shell words that their
// exec targets are made of.
#pragma once

#include <string>

namespace test_support {

/// A TOML basic string holding `text`.
std::string toml_string(const std::string& text);

// The tables of a board file, to be put together in file order. Settings are
// TOML lines ("key = value\n").
std::string cable_table(const std::string& name, const std::string& settings = "");
inline const std::string DEVICE_TABLE = "[[cable.device]]\n";
std::string uart_table(const std::string& settings = "");

/// UART settings for the targets that need more than their name.
inline const std::string LOOPBACK_TARGET = "target = \"loopback\"\n";
std::string exec_target(const std::string& command);

/// One cable "SimCable [sim-0]" (or `cable_name`), one device, one UART.
std::string one_uart_board(const std::string& uart_settings, const std::string& cable_settings = "",
                           const std::string& cable_name = "SimCable [sim-0]");

/// The same with a loopback target.
std::string loopback_board(const std::string& cable_settings = "");

/// The same with an exec target that runs `command`.
std::string exec_board(const std::string& command, const std::string& cable_settings = "",
                       const std::string& uart_settings = "");

/// FIFOs of `bytes` each way, as UART settings.
std::string fifo_settings(unsigned bytes);

/// The bytes as octal escapes for a target's shell `printf` format.
std::string printf_escapes(const std::string& bytes);

/// Quotes a text for /bin/sh.
std::string shell_quoted(const std::string& text);

}  // namespace test_support
