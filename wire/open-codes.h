// How opening a JTAG UART ends: the codes the server answers an open with and
// the access library reports from jtagcorvex_get_error. The library header's
// JCVX_ERROR is checked against this list when the library is built.
#pragma once

#include <cstdint>

namespace wire {

enum class OpenCode : std::int32_t {
    ok = 0,
    no_server = -1,          ///< the local JTAG server cannot be reached (client side)
    ambiguous_cable = -2,    ///< several cables; the cable setting singles none out
    no_cable = -3,           ///< no cable, or none matches the cable setting
    cable_unplugged = -4,    ///< the selected cable is not plugged into the host
    board_off = -5,          ///< no board on the cable, or the board is off
    uart_in_use = -6,        ///< another client holds the JTAG UART
    ambiguous_uart = -7,     ///< several JTAG UARTs; device and instance choose none
    no_uart = -8,            ///< no JTAG UART matches device and instance
    incompatible_uart = -9,  ///< the JTAG UART is not compatible with this library
    // Reported by the library when the conversation with the server fails:
    protocol_error = -10,    ///< the server sent something the library cannot understand
    server_closed = -11,     ///< the server closed the connection during the open
    no_answer = -12,         ///< the server did not answer the open in time
};

constexpr std::int32_t code_value(OpenCode code) {
    return static_cast<std::int32_t>(code);
}

}  // namespace wire
