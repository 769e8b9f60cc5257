// Chooses the target for a UART from its settings.
#include "server/targets.h"

std::unique_ptr<TARGET> make_target(const UartConfig& config, asio::io_context& io, std::string& error) {
    switch (config.target) {
    case TargetKind::demo: return make_demo_target();
    case TargetKind::loopback: return make_loopback_target();
    case TargetKind::exec: return make_exec_target(config.command, io);
    case TargetKind::tcp: return make_tcp_target(config.listen, io);
    }
    error = "unknown target kind";
    return nullptr;
}
