// Board-file texts built from TOML lines.
#include "tests/support/boards.h"

#include <cstdio>

namespace test_support {

std::string toml_string(const std::string& text) {
    std::string out = "\"";
    for (char c : text) {
        if (c == '\\' || c == '"') out.push_back('\\');
        out.push_back(c);
    }
    return out + "\"";
}

std::string cable_table(const std::string& name, const std::string& settings) {
    return "[[cable]]\nname = " + toml_string(name) + "\n" + settings;
}

std::string uart_table(const std::string& settings) {
    return "[[cable.device.uart]]\n" + settings;
}

std::string exec_target(const std::string& command) {
    return "target = \"exec\"\ncommand = " + toml_string(command) + "\n";
}

std::string one_uart_board(const std::string& uart_settings, const std::string& cable_settings,
                           const std::string& cable_name) {
    return cable_table(cable_name, cable_settings) + DEVICE_TABLE + uart_table(uart_settings);
}

std::string loopback_board(const std::string& cable_settings) {
    return one_uart_board(LOOPBACK_TARGET, cable_settings);
}

std::string exec_board(const std::string& command, const std::string& cable_settings,
                       const std::string& uart_settings) {
    return one_uart_board(exec_target(command) + uart_settings, cable_settings);
}

std::string fifo_settings(unsigned bytes) {
    return "rx_fifo = " + std::to_string(bytes) + "\ntx_fifo = " + std::to_string(bytes) + "\n";
}

std::string printf_escapes(const std::string& bytes) {
    std::string out;
    char octal[8];
    for (unsigned char c : bytes) {
        std::snprintf(octal, sizeof octal, "\\%03o", c);
        out += octal;
    }
    return out;
}

std::string shell_quoted(const std::string& text) {
    std::string out = "'";
    for (char c : text) {
        if (c == '\'')
            out += "'\\''";
        else
            out.push_back(c);
    }
    return out + "'";
}

}  // namespace test_support
