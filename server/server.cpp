// The server's answers to opens and control requests, and the accept loop.
#include "server/server.h"

#include "server/endpoint.h"
#include "server/session.h"
#include "server/targets.h"

SERVER::SERVER(asio::io_context& io) : m_io(io), m_acceptor(io) {}

SERVER::~SERVER() {
    stop();
}

bool SERVER::build(const BoardConfig& board, std::string& error) {
    for (const CableConfig& cable_config : board.cables) {
        auto cable = std::make_unique<CABLE>();
        cable->name = cable_config.name;
        cable->plugged = cable_config.plugged;
        cable->has_board = cable_config.has_board;
        cable->powered = cable_config.powered;
        cable->support = cable_config.support;
        for (const DeviceConfig& device_config : cable_config.devices) {
            DEVICE device;
            for (const UartConfig& uart_config : device_config.uarts) {
                auto uart = std::make_unique<UART>(uart_config.rx_fifo, uart_config.tx_fifo, uart_config.compatible);
                auto target = make_target(uart_config, m_io, error);
                if (!target)
                    return false;
                uart->set_target(std::move(target));
                device.uarts.push_back(std::move(uart));
            }
            cable->devices.push_back(std::move(device));
        }
        m_cables.push_back(std::move(cable));
    }
    return true;
}

bool SERVER::listen(const asio::ip::tcp::endpoint& endpoint, std::string& error) {
    if (std::error_code code = listen_on(m_acceptor, endpoint)) {
        error = "cannot listen on " + endpoint_text(endpoint) + ": " + code.message();
        return false;
    }
    accept();
    return true;
}

bool SERVER::start_targets(std::string& error) {
    for (const auto& cable : m_cables) {
        for (std::size_t d = 0; d < cable->devices.size(); ++d) {
            for (std::size_t i = 0; i < cable->devices[d].uarts.size(); ++i) {
                std::string problem;
                if (!cable->devices[d].uarts[i]->attach_target(cable->has_board && cable->powered, problem)) {
                    error = "cable \"" + cable->name + "\" device " + std::to_string(d + 1) + " instance " +
                            std::to_string(i) + ": " + problem;
                    return false;
                }
            }
        }
    }
    return true;
}

std::string SERVER::listen_address() const {
    std::error_code code;
    const auto endpoint = m_acceptor.local_endpoint(code);
    return code ? std::string() : endpoint_text(endpoint);
}

std::vector<std::string> SERVER::target_addresses() const {
    std::vector<std::string> lines;
    for (const auto& cable : m_cables)
        for (std::size_t d = 0; d < cable->devices.size(); ++d)
            for (std::size_t i = 0; i < cable->devices[d].uarts.size(); ++i) {
                const TARGET* target = cable->devices[d].uarts[i]->target();
                const std::string address = target != nullptr ? target->listen_address() : std::string();
                if (!address.empty())
                    lines.push_back("target " + cable->name + " device " + std::to_string(d + 1) + " instance " +
                                    std::to_string(i) + " on " + address);
            }
    return lines;
}

void SERVER::stop() {
    if (m_stopped)
        return;
    m_stopped = true;
    std::error_code ignored;
    m_acceptor.close(ignored);
    auto sessions = m_sessions;
    for (const auto& session : sessions)
        session->close();
    for (const auto& cable : m_cables)
        for (DEVICE& device : cable->devices)
            for (auto& uart : device.uarts)
                uart->detach_target();
}

void SERVER::accept() {
    m_acceptor.async_accept([this](const std::error_code& error, asio::ip::tcp::socket socket) {
        if (m_stopped)
            return;
        if (!error) {
            // Past the bound a client is told why, and nobody else notices.
            const bool room = m_sessions.size() < m_policy.max_clients;
            auto session = std::make_shared<SESSION>(*this, std::move(socket));
            m_sessions.insert(session);
            session->start();
            if (!room)
                session->refuse("too many clients (" + std::to_string(m_policy.max_clients) + "); try again later");
        }
        accept();
    });
}

void SERVER::remove(SESSION* session) {
    for (auto it = m_sessions.begin(); it != m_sessions.end(); ++it) {
        if (it->get() == session) {
            m_sessions.erase(it);
            return;
        }
    }
}

wire::OpenReply SERVER::open(const wire::OpenRequest& request, UART*& uart) {
    const Selection selection = select_uart(m_cables, request.cable, request.device, request.instance);
    wire::OpenReply reply;
    reply.code = wire::code_value(selection.code);
    reply.text = selection.text;
    uart = nullptr;
    if (selection.code != wire::OpenCode::ok)
        return reply;
    uart = selection.uart;
    reply.cable = selection.cable->name;
    reply.device = selection.device;
    reply.instance = selection.instance;
    reply.support = selection.cable->support;
    reply.rx_credit = static_cast<std::uint32_t>(uart->host_credit());
    reply.window = k_window;
    return reply;
}

wire::ListReply SERVER::list() const {
    return describe_chain(m_cables);
}

wire::ControlReply SERVER::control(const wire::ControlRequest& request) {
    wire::ControlReply reply;
    auto failed = [&reply](const std::string& message) {
        reply.status = 1;
        reply.message = message;
        return reply;
    };
    const CableMatch match = match_cable(m_cables, request.cable);
    if (match.code != wire::OpenCode::ok)
        return failed(match.text);
    CABLE& cable = *match.cable;
    const std::string name = "\"" + cable.name + "\"";
    auto for_each_uart = [&cable](auto action) {
        for (DEVICE& device : cable.devices)
            for (auto& uart : device.uarts)
                action(*uart);
    };
    switch (request.op) {
    case wire::ControlOp::unplug:
        if (cable.plugged) {
            cable.plugged = false;
            for_each_uart([](UART& uart) { uart.fault_host(wire::FaultReason::unplugged); });
        }
        reply.message = name + " unplugged";
        return reply;
    case wire::ControlOp::plug:
        cable.plugged = true;
        reply.message = name + " plugged in";
        return reply;
    case wire::ControlOp::power_off:
    case wire::ControlOp::power_on: {
        if (!cable.has_board)
            return failed("there is no board on " + name);
        if (request.op == wire::ControlOp::power_off) {
            if (cable.powered) {
                cable.powered = false;
                for_each_uart([](UART& uart) {
                    uart.fault_host(wire::FaultReason::power_off);
                    uart.power_off();
                });
            }
            reply.message = "the board on " + name + " is off";
            return reply;
        }
        cable.powered = true;
        std::string problems;
        for_each_uart([&problems](UART& uart) {
            std::string problem;
            if (!uart.power_on(problem))
                problems += (problems.empty() ? "" : "; ") + problem;
        });
        if (!problems.empty())
            return failed("the board on " + name + " is on, but: " + problems);
        reply.message = "the board on " + name + " is on";
        return reply;
    }
    case wire::ControlOp::detach:
    case wire::ControlOp::attach: {
        if (request.device < 1 || static_cast<std::size_t>(request.device) > cable.devices.size())
            return failed("there is no device " + std::to_string(request.device) + " on " + name);
        DEVICE& device = cable.devices[static_cast<std::size_t>(request.device) - 1];
        if (request.instance < 0 || static_cast<std::size_t>(request.instance) >= device.uarts.size())
            return failed("there is no JTAG UART instance " + std::to_string(request.instance) + " on device " +
                          std::to_string(request.device) + " of " + name);
        UART& uart = *device.uarts[static_cast<std::size_t>(request.instance)];
        const std::string where = name + " device " + std::to_string(request.device) + " instance " +
                                  std::to_string(request.instance);
        if (request.op == wire::ControlOp::detach) {
            uart.detach_target();
            reply.message = "the target of " + where + " is detached";
            return reply;
        }
        std::string problem;
        if (!uart.attach_target(cable.has_board && cable.powered, problem))
            return failed("cannot attach the target of " + where + ": " + problem);
        reply.message = "the target of " + where + " is attached";
        return reply;
    }
    }
    return failed("unknown control request");
}
