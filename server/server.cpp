// The server's answers to opens and control requests, and the accept loop.
#include "server/server.h"

#include "server/endpoint.h"
#include "server/jtag-cable.h"
#include "server/session.h"
#include "server/target-kinds.h"

SERVER::SERVER(asio::io_context& io) : m_io(io), m_acceptor(io) {}

SERVER::~SERVER() {
    stop();
    m_jtag_cables.clear();
}

bool SERVER::build(const BoardConfig& board, std::string& error) {
    for (const CableConfig& cable_config : board.cables) {
        auto cable = std::make_unique<CABLE>();
        static_cast<wire::CableState&>(*cable) = cable_config;
        cable->unplugged_by_hand = !cable_config.plugged;
        if (!cable_config.adapter.empty()) {
            // A real chain: its devices and UARTs are found by scanning it.
            m_jtag_cables.push_back(std::make_unique<JTAG_CABLE>(*cable, cable_config, m_io, m_cables.size()));
            m_cables.push_back(std::move(cable));
            continue;
        }
        for (const DeviceConfig& device_config : cable_config.devices) {
            DEVICE device;
            for (const UartConfig& uart_config : device_config.uarts) {
                auto uart = std::make_unique<UART>(uart_config.rx_fifo, uart_config.tx_fifo, uart_config.compatible);
                auto target = make_target(uart_config, m_io, error);
                if (!target)
                    return false;
                target->on_presence(
                    [this, where = cable.get()](TARGET::Presence change) { side_presence(*where, change); });
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

bool SERVER::chains_settled() const {
    for (const auto& cable : m_jtag_cables)
        if (!cable->settled())
            return false;
    return true;
}

bool SERVER::start_targets(std::string& error) {
    for (const auto& cable : m_jtag_cables)
        cable->start();
    return for_each_uart(m_cables, [&error](CABLE& cable, int device, int instance, UART& uart) {
        std::string problem;
        if (uart.attach_target(cable.has_board && cable.powered, problem))
            return true;
        error = "cable \"" + cable.name + "\" device " + std::to_string(device) + " instance " +
                std::to_string(instance) + ": " + problem;
        return false;
    });
}

std::string SERVER::listen_address() const {
    std::error_code code;
    const auto endpoint = m_acceptor.local_endpoint(code);
    return code ? std::string() : endpoint_text(endpoint);
}

std::vector<std::string> SERVER::target_addresses() const {
    std::vector<std::string> lines;
    for_each_uart(m_cables, [&lines](CABLE& cable, int device, int instance, UART& uart) {
        const std::string address = uart.target() != nullptr ? uart.target()->listen_address() : std::string();
        if (!address.empty())
            lines.push_back("target " + cable.name + " device " + std::to_string(device) + " instance " +
                            std::to_string(instance) + " on " + address);
    });
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
    for (const auto& cable : m_jtag_cables)
        cable->stop();
    for_each_uart(m_cables, [](CABLE&, int, int, UART& uart) { uart.detach_target(); });
}

void SERVER::accept() {
    m_acceptor.async_accept([this](const std::error_code& error, asio::ip::tcp::socket socket) {
        if (m_stopped)
            return;
        if (!error) {
            auto session = std::make_shared<SESSION>(*this, std::move(socket), ++m_accepted);
            m_sessions.insert(session);
            session->start();
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

bool SERVER::admit(SESSION& session) {
    // Past the bound a client is told why, and nobody else notices.
    std::size_t admitted = 0;
    for (const auto& other : m_sessions)
        admitted += other.get() != &session && other->admitted() ? 1 : 0;
    if (admitted < m_policy.max_clients)
        return true;
    session.refuse("too many clients (" + std::to_string(m_policy.max_clients) + "); try again later");
    return false;
}

void SERVER::wait_for_proof(SESSION& session) {
    std::size_t waiting = 0;
    SESSION* oldest = nullptr;
    for (const auto& other : m_sessions) {
        if (other.get() == &session || !other->waiting_for_proof())
            continue;
        ++waiting;
        if (oldest == nullptr || other->serial() < oldest->serial())
            oldest = other.get();
    }
    // A client with the secret sends it at once: what has waited longest is
    // the likeliest to be one that never will.
    if (waiting >= m_policy.max_unauthenticated && oldest != nullptr)
        oldest->drop("too many connections without the secret (" +
                     std::to_string(m_policy.max_unauthenticated) + "); the oldest makes way");
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
    wire::ListReply reply = describe_chain(m_cables);
    reply.server_version = TT_VERSION;
    return reply;
}

namespace {

wire::ControlReply done(const std::string& message) {
    wire::ControlReply reply;
    reply.message = message;
    return reply;
}

wire::ControlReply failed(const std::string& message) {
    wire::ControlReply reply;
    reply.status = 1;
    reply.message = message;
    return reply;
}

std::string quoted(const CABLE& cable) {
    return "\"" + cable.name + "\"";
}

/// The cable comes out of the host: every holder of one of its UARTs gets
/// the fault. The same whether a hand or a vanished device did it.
void pull_out(CABLE& cable) {
    if (!cable.plugged)
        return;
    cable.plugged = false;
    for_each_uart(cable, [](CABLE&, int, int, UART& uart) { uart.fault_host(wire::FaultReason::unplugged); });
}

/// The cable goes back in, unless a side of it is still gone.
void put_in(CABLE& cable) {
    if (cable.sides_gone == 0 && !cable.unplugged_by_hand)
        cable.plugged = true;
}

wire::ControlReply unplug(CABLE& cable) {
    cable.unplugged_by_hand = true;
    pull_out(cable);
    return done(quoted(cable) + " unplugged");
}

wire::ControlReply plug(CABLE& cable) {
    cable.unplugged_by_hand = false;
    put_in(cable);
    if (cable.plugged)
        return done(quoted(cable) + " plugged in");
    std::string gone;
    for_each_uart(cable, [&gone](CABLE&, int, int, UART& uart) {
        if (uart.target() != nullptr && !uart.target()->present())
            gone += (gone.empty() ? "" : ", ") + uart.target()->describe();
    });
    return failed(quoted(cable) + " stays unplugged while its device is gone (" + gone +
                  "); it is plugged in by itself when the device comes back");
}

wire::ControlReply power(CABLE& cable, bool on) {
    if (!cable.has_board)
        return failed("there is no board on " + quoted(cable));
    if (!on) {
        if (cable.powered) {
            cable.powered = false;
            for_each_uart(cable, [](CABLE&, int, int, UART& uart) {
                uart.fault_host(wire::FaultReason::power_off);
                uart.power_off();
            });
        }
        return done("the board on " + quoted(cable) + " is off");
    }
    cable.powered = true;
    std::string problems;
    for_each_uart(cable, [&problems](CABLE&, int, int, UART& uart) {
        std::string problem;
        if (!uart.power_on(problem))
            problems += (problems.empty() ? "" : "; ") + problem;
    });
    if (!problems.empty())
        return failed("the board on " + quoted(cable) + " is on, but: " + problems);
    return done("the board on " + quoted(cable) + " is on");
}

/// Detaches (`attach` false) or attaches the target of one UART.
wire::ControlReply attach_target(CABLE& cable, int device_number, int instance, bool attach) {
    const std::string name = quoted(cable);
    if (device_number < 1 || static_cast<std::size_t>(device_number) > cable.devices.size())
        return failed("there is no device " + std::to_string(device_number) + " on " + name);
    DEVICE& device = cable.devices[static_cast<std::size_t>(device_number) - 1];
    if (instance < 0 || static_cast<std::size_t>(instance) >= device.uarts.size())
        return failed("there is no JTAG UART instance " + std::to_string(instance) + " on device " +
                      std::to_string(device_number) + " of " + name);
    UART& uart = *device.uarts[static_cast<std::size_t>(instance)];
    const std::string where = name + " device " + std::to_string(device_number) + " instance " +
                              std::to_string(instance);
    if (!attach) {
        uart.detach_target();
        return done("the target of " + where + " is detached");
    }
    std::string problem;
    if (!uart.attach_target(cable.has_board && cable.powered, problem))
        return failed("cannot attach the target of " + where + ": " + problem);
    return done("the target of " + where + " is attached");
}

}  // namespace

void SERVER::side_presence(CABLE& cable, TARGET::Presence change) {
    if (change == TARGET::Presence::gone) {
        ++cable.sides_gone;
        pull_out(cable);
        return;
    }
    if (cable.sides_gone > 0)
        --cable.sides_gone;
    // The device coming back is the cable put in again, as by a hand: it
    // ends an unplug by hand too. A target that stopped only takes back
    // its own reason.
    if (change == TARGET::Presence::back)
        cable.unplugged_by_hand = false;
    put_in(cable);
}

wire::ControlReply SERVER::control(const wire::ControlRequest& request) {
    const CableMatch match = match_cable(m_cables, request.cable);
    if (match.code != wire::OpenCode::ok)
        return failed(match.text);
    CABLE& cable = *match.cable;
    if (!cable.adapter.empty())
        return failed(quoted(cable) + " is a real JTAG chain (" + cable.adapter +
                      "): unplug, power, detach and attach are for simulated cables; pull the adapter or "
                      "switch the board itself");
    switch (request.op) {
    case wire::ControlOp::unplug: return unplug(cable);
    case wire::ControlOp::plug: return plug(cable);
    case wire::ControlOp::power_off: return power(cable, false);
    case wire::ControlOp::power_on: return power(cable, true);
    case wire::ControlOp::detach: return attach_target(cable, request.device, request.instance, false);
    case wire::ControlOp::attach: return attach_target(cable, request.device, request.instance, true);
    }
    return failed("unknown control request");
}
