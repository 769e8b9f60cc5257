// The exec target is not available on Windows: board files that ask for one
// load, and starting it fails with a clear message.
#include "server/target-kinds.h"
#include "server/unavailable-target.h"

std::unique_ptr<TARGET> make_exec_target(const TargetSettings& settings, asio::io_context&) {
    return std::make_unique<UNAVAILABLE_TARGET>("exec: " + settings.text("command"), "exec");
}

void watch_exec_children(asio::io_context&) {}

void end_exec_children() {}
