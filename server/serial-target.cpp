// The serial target's board-file keys, checked alike on every host: a device
// path, one of the standard rates and a flow control.
#include <array>
#include <filesystem>

#include "server/serial-target.h"

namespace {

/// The standard rates, those with a termios speed constant (B50 .. B4000000).
constexpr std::array<std::int64_t, 30> k_rates = {
    50,     75,     110,    134,    150,    200,     300,     600,     1200,    1800,
    2400,   4800,   9600,   19200,  38400,  57600,   115200,  230400,  460800,  500000,
    576000, 921600, 1000000, 1152000, 1500000, 2000000, 2500000, 3000000, 3500000, 4000000};

}  // namespace

std::string check_serial_device(const TargetValue& value) {
    const std::string& path = std::get<std::string>(value);
    if (path.empty())
        return {};  // the missing device has its own message
    if (path.front() != '/')
        return "\"" + path + "\" is not an absolute path (like \"/dev/ttyUSB0\")";
    // A device that is not there yet is no error: its cable starts unplugged.
    std::error_code code;
    const std::filesystem::file_status status = std::filesystem::status(path, code);
    if (code || !std::filesystem::exists(status) || std::filesystem::is_character_file(status))
        return {};
    return "\"" + path + "\" is not a character device";
}

std::string check_serial_rate(const TargetValue& value) {
    const std::int64_t rate = std::get<std::int64_t>(value);
    std::string list;
    for (const std::int64_t standard : k_rates) {
        if (standard == rate)
            return {};
        list += (list.empty() ? "" : ", ") + std::to_string(standard);
    }
    return std::to_string(rate) + " is not a standard rate (" + list + ")";
}

std::string check_serial_flow(const TargetValue& value) {
    const std::string& flow = std::get<std::string>(value);
    return flow == "none" || flow == "rts/cts" ? std::string() : "\"" + flow + "\" is not \"none\" or \"rts/cts\"";
}

std::string describe_serial(const TargetSettings& settings) {
    return "serial: " + settings.text("device") + " " + std::to_string(settings.number("baud")) +
           (settings.text("flow") == "rts/cts" ? " rts/cts" : "");
}
