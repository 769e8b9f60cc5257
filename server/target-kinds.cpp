// The table of target kinds and the factory that reads it.
#include "server/target-kinds.h"

#include "server/serial-target.h"

#include "wire/address.h"

// Each kind's factory (and preparation or key checks), in the kind's own files.
std::unique_ptr<TARGET> make_demo_target(const TargetSettings& settings, asio::io_context& io);
std::unique_ptr<TARGET> make_loopback_target(const TargetSettings& settings, asio::io_context& io);
std::unique_ptr<TARGET> make_exec_target(const TargetSettings& settings, asio::io_context& io);
void watch_exec_children(asio::io_context& io);
void end_exec_children();
std::unique_ptr<TARGET> make_tcp_target(const TargetSettings& settings, asio::io_context& io);
std::unique_ptr<TARGET> make_serial_target(const TargetSettings& settings, asio::io_context& io);

namespace {

std::string check_listen_address(const TargetValue& value) {
    wire::ServerAddress address;
    std::string problem;
    return wire::parse_address(std::get<std::string>(value), address, problem) ? std::string() : problem;
}

}  // namespace

const std::vector<TARGET_KIND>& target_kinds() {
    static const std::vector<TARGET_KIND> kinds = {
        {"demo", {}, make_demo_target},
        {"loopback", {}, make_loopback_target},
        {"exec", {{"command", std::string(), "an exec target needs a non-empty 'command'"}}, make_exec_target,
         watch_exec_children, end_exec_children},
        {"tcp", {{"listen", std::string("127.0.0.1:0"), "", check_listen_address}}, make_tcp_target},
        {"serial",
         {{"device", std::string(), "a serial target needs a 'device'", check_serial_device},
          {"baud", std::int64_t{115200}, "", check_serial_rate},
          {"flow", std::string("none"), "", check_serial_flow}},
         make_serial_target},
    };
    return kinds;
}

const TARGET_KIND* find_target_kind(std::string_view name) {
    for (const TARGET_KIND& kind : target_kinds())
        if (name == kind.name)
            return &kind;
    return nullptr;
}

bool TARGET_KIND::takes(std::string_view key) const {
    for (const TARGET_KEY& own : keys)
        if (key == own.name)
            return true;
    return false;
}

std::string target_kind_names(std::string_view taking) {
    std::vector<std::string> names;
    for (const TARGET_KIND& kind : target_kinds())
        if (taking.empty() || kind.takes(taking))
            names.emplace_back(kind.name);
    std::string text;
    for (std::size_t i = 0; i < names.size(); ++i)
        text += (i == 0 ? "" : i + 1 == names.size() ? " or " : ", ") + names[i];
    return text;
}

void prepare_target_kinds(asio::io_context& io) {
    for (const TARGET_KIND& kind : target_kinds())
        if (kind.prepare != nullptr)
            kind.prepare(io);
}

void finish_target_kinds() {
    for (const TARGET_KIND& kind : target_kinds())
        if (kind.finish != nullptr)
            kind.finish();
}

std::unique_ptr<TARGET> make_target(const UartConfig& config, asio::io_context& io, std::string& error) {
    const TARGET_KIND* kind = find_target_kind(config.target);
    if (kind == nullptr) {
        error = "unknown target kind '" + config.target + "'";
        return nullptr;
    }
    return kind->make(config.settings, io);
}
