// Parsing of HOST:PORT addresses and the JTAG_CORVEX_SERVER variable.
#include "wire/address.h"

#include <cstdlib>

namespace wire {

bool parse_address(const std::string& text, ServerAddress& address, std::string& error) {
    const std::size_t colon = text.rfind(':');
    if (colon == std::string::npos || colon == 0) {
        error = "\"" + text + "\" is not of the form HOST:PORT";
        return false;
    }
    std::string host = text.substr(0, colon);
    const std::string port = text.substr(colon + 1);
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']')
        host = host.substr(1, host.size() - 2);
    if (host.empty() || port.empty() || port.size() > 5 ||
        port.find_first_not_of("0123456789") != std::string::npos) {
        error = "\"" + text + "\" is not of the form HOST:PORT";
        return false;
    }
    const unsigned long value = std::strtoul(port.c_str(), nullptr, 10);
    if (value > 65535) {
        error = "port " + port + " is out of range";
        return false;
    }
    address.host = host;
    address.port = static_cast<std::uint16_t>(value);
    return true;
}

bool server_address_from_environment(ServerAddress& address, std::string& error) {
    address = ServerAddress{};
    const char* value = std::getenv(k_server_variable);
    if (value == nullptr || *value == '\0')
        return true;
    if (!parse_address(value, address, error)) {
        error = std::string(k_server_variable) + ": " + error;
        return false;
    }
    return true;
}

}  // namespace wire
