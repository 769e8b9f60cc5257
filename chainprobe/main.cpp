// chainprobe: lists the JTAG server's cables, devices and JTAG UARTs with
// who holds them, and plugs, powers, detaches and attaches for tests and demos.
#include <cstdio>
#include <string>

#include <CLI/CLI.hpp>

#include "chainprobe/probe-client.h"
#include "wire/address.h"
#include "wire/frame.h"

namespace {

int fail(const std::string& message) {
    std::fprintf(stderr, "chainprobe: error: %s\n", message.c_str());
    return 1;
}

int report_failure(const ProbeResult& result, const wire::ServerAddress& server) {
    const std::string where = server.host + ":" + std::to_string(server.port);
    if (result.failure == ProbeFailure::unreachable) {
        std::fprintf(stderr,
                     "chainprobe: error: cannot reach the local JTAG server at %s (%s).\n"
                     "chainprobe: Start it with `jtag-server` (demo board) or `jtag-server --board FILE`,\n"
                     "chainprobe: or point %s (or --server) at HOST:PORT where it listens.\n",
                     where.c_str(), result.error.c_str(), wire::k_server_variable);
        return 1;
    }
    return fail("the JTAG server at " + where + ": " + result.error);
}

}  // namespace

int main(int argc, char** argv) {
    // 1. Options and subcommands.
    CLI::App app{"chainprobe: show and change the local JTAG server's cables, boards and JTAG UARTs"};
    app.require_subcommand(0, 1);
    std::string server_text;
    app.add_option("--server", server_text, "HOST:PORT of jtag-server (default: JTAG_CORVEX_SERVER, else 127.0.0.1:47113)");

    wire::ControlRequest request;
    std::string power_state;
    auto add_cable = [&request](CLI::App* command) {
        command->add_option("CABLE", request.cable, "cable name, or a part of exactly one name")->required();
    };
    CLI::App* unplug = app.add_subcommand("unplug", "unplug a cable (its client reads 0xFF)");
    add_cable(unplug);
    CLI::App* plug = app.add_subcommand("plug", "plug a cable in again");
    add_cable(plug);
    CLI::App* power = app.add_subcommand("power", "switch the board on a cable off or on");
    add_cable(power);
    power->add_option("STATE", power_state, "off or on")->required()->check(CLI::IsMember({"off", "on"}));
    CLI::App* detach = app.add_subcommand("detach", "detach the target of a JTAG UART");
    CLI::App* attach = app.add_subcommand("attach", "attach (restart) the target of a JTAG UART");
    for (CLI::App* command : {detach, attach}) {
        add_cable(command);
        command->add_option("DEVICE", request.device, "device number, from 1")->required();
        command->add_option("INSTANCE", request.instance, "instance number, from 0")->required();
    }
    bool show_version = false;
    app.add_flag("--version", show_version, "print the version and the protocol version, and exit");
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp&) {
        std::printf("%s", app.help().c_str());
        return 0;
    } catch (const CLI::ParseError& error) {
        return fail(std::string(error.what()) + " (see --help)");
    }
    if (show_version) {
        std::printf("chainprobe %s (protocol %u)\n", TT_VERSION, static_cast<unsigned>(wire::k_protocol_version));
        return 0;
    }

    // 2. Where the server is.
    wire::ServerAddress server;
    std::string error;
    if (!server_text.empty() ? !wire::parse_address(server_text, server, error)
                             : !wire::server_address_from_environment(server, error))
        return fail(error);

    // 3. A listing, or one control request.
    if (app.get_subcommands().empty()) {
        wire::ListReply chain;
        const ProbeResult result = request_list(server, chain);
        if (result.failure != ProbeFailure::none)
            return report_failure(result, server);
        std::printf("%s%s", format_header(server, chain).c_str(), format_chain(chain).c_str());
        return 0;
    }
    const CLI::App* command = app.get_subcommands().front();
    if (command == unplug)
        request.op = wire::ControlOp::unplug;
    else if (command == plug)
        request.op = wire::ControlOp::plug;
    else if (command == power)
        request.op = power_state == "off" ? wire::ControlOp::power_off : wire::ControlOp::power_on;
    else if (command == detach)
        request.op = wire::ControlOp::detach;
    else
        request.op = wire::ControlOp::attach;
    wire::ControlReply reply;
    const ProbeResult result = request_control(server, request, reply);
    if (result.failure != ProbeFailure::none)
        return report_failure(result, server);
    if (reply.status != 0)
        return fail(reply.message);
    std::printf("chainprobe: %s\n", reply.message.c_str());
    return 0;
}
