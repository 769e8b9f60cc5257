// Where the local JTAG server listens: the default address and the
// JTAG_CORVEX_SERVER override, shared by the library, the server and chainprobe.
#pragma once

#include <cstdint>
#include <string>

namespace wire {

constexpr std::uint16_t k_default_port = 47113;
constexpr const char* k_default_host = "127.0.0.1";
constexpr const char* k_server_variable = "JTAG_CORVEX_SERVER";

struct ServerAddress {
    std::string host = k_default_host;
    std::uint16_t port = k_default_port;
};

/// Parses "HOST:PORT" (port 0..65535; "[v6]:PORT" for IPv6 literals).
/// False with `error` filled when the text is not such an address.
bool parse_address(const std::string& text, ServerAddress& address, std::string& error);

/// The default address, or JTAG_CORVEX_SERVER when it is set and not empty.
/// False with `error` filled when the variable holds no valid address.
bool server_address_from_environment(ServerAddress& address, std::string& error);

}  // namespace wire
