// Cable matching, UART selection with the library's failure codes, and the
// chain description for chainprobe.
#include "server/chain.h"

CableMatch match_cable(const CABLES& cables, const std::string& text) {
    CableMatch match;
    if (cables.empty()) {
        match.code = wire::OpenCode::no_cable;
        match.text = "there are no cables";
        return match;
    }
    if (text.empty()) {
        if (cables.size() == 1) {
            match.cable = cables.front().get();
            return match;
        }
        match.code = wire::OpenCode::ambiguous_cable;
        match.text = "there are " + std::to_string(cables.size()) + " cables; name one";
        return match;
    }
    std::vector<CABLE*> partial;
    for (const auto& cable : cables) {
        if (cable->name == text) {
            match.cable = cable.get();
            return match;
        }
        if (cable->name.find(text) != std::string::npos)
            partial.push_back(cable.get());
    }
    if (partial.size() == 1) {
        match.cable = partial.front();
        return match;
    }
    if (partial.empty()) {
        match.code = wire::OpenCode::no_cable;
        match.text = "no cable matches \"" + text + "\"";
        return match;
    }
    match.code = wire::OpenCode::ambiguous_cable;
    match.text = "\"" + text + "\" matches several cables:";
    for (std::size_t i = 0; i < partial.size(); ++i)
        match.text += (i == 0 ? " \"" : ", \"") + partial[i]->name + "\"";
    return match;
}

Selection select_uart(const CABLES& cables, const std::string& cable_text, int device, int instance) {
    Selection selection;
    const CableMatch match = match_cable(cables, cable_text);
    if (match.code != wire::OpenCode::ok) {
        selection.code = match.code;
        selection.text = match.text;
        return selection;
    }
    CABLE& cable = *match.cable;
    selection.cable = &cable;
    if (!cable.plugged) {
        selection.code = wire::OpenCode::cable_unplugged;
        selection.text = "\"" + cable.name + "\" is unplugged";
        return selection;
    }
    if (!cable.has_board || !cable.powered) {
        selection.code = wire::OpenCode::board_off;
        selection.text = cable.has_board ? "the board on \"" + cable.name + "\" is off"
                                         : "there is no board on \"" + cable.name + "\"";
        return selection;
    }
    int found = 0;
    for_each_uart(cable, [&](CABLE&, int device_number, int instance_number, UART& uart) {
        if ((device > 0 && device != device_number) || (instance >= 0 && instance != instance_number))
            return;
        if (++found == 1) {
            selection.uart = &uart;
            selection.device = device_number;
            selection.instance = instance_number;
        }
    });
    if (found == 0) {
        selection.code = wire::OpenCode::no_uart;
        selection.text = "no JTAG UART matches device " + std::to_string(device) + ", instance " +
                         std::to_string(instance) + " on \"" + cable.name + "\"";
        selection.uart = nullptr;
        return selection;
    }
    if (found > 1) {
        selection.code = wire::OpenCode::ambiguous_uart;
        selection.text = std::to_string(found) + " JTAG UARTs match; choose a device and an instance";
        selection.uart = nullptr;
        return selection;
    }
    if (!selection.uart->compatible()) {
        selection.code = wire::OpenCode::incompatible_uart;
        selection.text = "the JTAG UART is of an incompatible version";
        return selection;
    }
    if (const UART_HOST* holder = selection.uart->holder()) {
        selection.code = wire::OpenCode::uart_in_use;
        selection.text = "held by " + holder->client_name() + " (pid " + std::to_string(holder->client_pid()) + ")";
        return selection;
    }
    return selection;
}

namespace {

wire::UartInfo describe_uart(const UART& uart) {
    wire::UartInfo info;
    info.compatible = uart.compatible();
    info.rx_fifo = static_cast<std::uint32_t>(uart.rx().capacity());
    info.tx_fifo = static_cast<std::uint32_t>(uart.tx().capacity());
    info.rx_fill = static_cast<std::uint32_t>(uart.rx().size());
    info.tx_fill = static_cast<std::uint32_t>(uart.tx().size());
    info.target = uart.target() != nullptr ? uart.target()->describe() : "none";
    info.attached = uart.target_attached();
    if (const UART_HOST* holder = uart.holder()) {
        info.held = true;
        info.holder_name = holder->client_name();
        info.holder_pid = holder->client_pid();
    }
    return info;
}

}  // namespace

wire::ListReply describe_chain(const CABLES& cables) {
    wire::ListReply reply;
    for (const auto& cable : cables) {
        wire::CableInfo info;
        static_cast<wire::CableState&>(info) = *cable;
        info.adapter = cable->adapter;
        info.tap_notes = cable->tap_notes;
        // A problem is told while the chain is down; it stays for the next time.
        if (!(cable->plugged && cable->has_board && cable->powered)) {
            info.problem = cable->problem;
            info.adapter_errors = cable->adapter_errors;
        }
        info.devices.resize(cable->devices.size());
        for_each_uart(*cable, [&info](CABLE&, int device, int, UART& uart) {
            info.devices[static_cast<std::size_t>(device) - 1].uarts.push_back(describe_uart(uart));
        });
        reply.cables.push_back(std::move(info));
    }
    return reply;
}
