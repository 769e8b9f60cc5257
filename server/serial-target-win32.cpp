// The serial target is not available on Windows: board files that ask for
// one load, and starting it fails with a clear message.
#include "server/serial-target.h"
#include "server/target-kinds.h"
#include "server/unavailable-target.h"

std::unique_ptr<TARGET> make_serial_target(const TargetSettings& settings, asio::io_context&) {
    return std::make_unique<UNAVAILABLE_TARGET>(describe_serial(settings), "serial");
}
