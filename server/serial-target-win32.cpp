// The serial target is not available on Windows: board files that ask for
// one load, and starting it fails with a clear message.
#include "server/target-kinds.h"
#include "server/unavailable-target.h"

std::unique_ptr<TARGET> make_serial_target(const TargetSettings& settings, asio::io_context&) {
    const std::string description = "serial: " + settings.text("device") + " " +
                                    std::to_string(settings.number("baud")) +
                                    (settings.text("flow") == "rts/cts" ? " rts/cts" : "");
    return std::make_unique<UNAVAILABLE_TARGET>(description, "serial");
}
