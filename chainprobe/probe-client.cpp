// Sends one request over the library's socket layer and waits for the reply
// frame; formats the chain listing.
#include "chainprobe/probe-client.h"

#include <chrono>
#include <vector>

#include "jtag_corvex/socket.h"
#include "wire/frame-reader.h"
#include "wire/printable.h"
#include "wire/secret.h"

namespace {

constexpr int k_timeout_ms = 10000;

/// Sends one request and waits for its reply, which `reply` shows inside `incoming`.
ProbeResult exchange(const wire::ServerAddress& server, wire::FrameType type,
                     const std::vector<std::uint8_t>& payload, wire::FrameType reply_type,
                     wire::FrameReader& incoming, wire::FrameView& reply) {
    ProbeResult result;
    const jcvx::socket_handle socket = jcvx::connect_to(server.host, server.port, k_timeout_ms, result.error);
    if (socket == jcvx::k_no_socket) {
        result.failure = ProbeFailure::unreachable;
        return result;
    }
    // A server that listens beyond loopback asks for the shared secret first.
    std::string secret;
    if (!wire::secret_from_environment(secret, result.error)) {
        jcvx::close_socket(socket);
        result.failure = ProbeFailure::unreachable;
        return result;
    }
    std::vector<std::uint8_t> frame;
    if (!secret.empty())
        wire::append_frame(frame, wire::FrameType::auth, wire::encode_text(secret));
    wire::append_frame(frame, type, payload);
    if (!jcvx::send_all(socket, frame.data(), frame.size())) {
        jcvx::close_socket(socket);
        result.failure = ProbeFailure::unreachable;
        result.error = "the server closed the connection";
        return result;
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(k_timeout_ms);
    for (;;) {
        const auto status = incoming.next(reply, result.error);
        if (status == wire::ParseStatus::complete && reply.type == reply_type)
            break;
        std::string refusal;
        if (status == wire::ParseStatus::complete && reply.type == wire::FrameType::refused &&
            wire::decode_text(reply, refusal)) {
            result.failure = ProbeFailure::protocol;
            result.error = "the server refused the connection: " + refusal;
            break;
        }
        if (status != wire::ParseStatus::need_more) {
            result.failure = ProbeFailure::protocol;
            if (status == wire::ParseStatus::complete)
                result.error = std::string("unexpected ") + wire::frame_type_name(reply.type) + " frame";
            break;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            result.failure = ProbeFailure::protocol;
            result.error = "the server did not answer";
            break;
        }
        std::uint8_t* space = incoming.space();
        const long got = jcvx::receive_some(socket, space, incoming.space_size(), static_cast<int>(left.count()));
        if (got == jcvx::k_closed) {
            result.failure = ProbeFailure::protocol;
            result.error = "the server closed the connection (is it of another protocol version?)";
            break;
        }
        incoming.received(static_cast<std::size_t>(got));
    }
    jcvx::close_socket(socket);
    return result;
}

std::string support_text(std::int32_t support) {
    if (support == 0)
        return "supported";
    if (support == 1)
        return "support cannot be verified";
    return "unsupported (" + std::to_string(support) + ")";
}

}  // namespace

ProbeResult request_list(const wire::ServerAddress& server, wire::ListReply& reply) {
    wire::FrameReader incoming(64 * 1024);
    wire::FrameView frame;
    ProbeResult result = exchange(server, wire::FrameType::list, {}, wire::FrameType::list_reply, incoming, frame);
    if (result.failure == ProbeFailure::none && !decode(frame, reply)) {
        result.failure = ProbeFailure::protocol;
        result.error = "malformed list reply";
    }
    return result;
}

ProbeResult request_control(const wire::ServerAddress& server, const wire::ControlRequest& request,
                            wire::ControlReply& reply) {
    wire::FrameReader incoming(64 * 1024);
    wire::FrameView frame;
    ProbeResult result =
        exchange(server, wire::FrameType::control, encode(request), wire::FrameType::control_reply, incoming, frame);
    if (result.failure == ProbeFailure::none && !decode(frame, reply)) {
        result.failure = ProbeFailure::protocol;
        result.error = "malformed control reply";
    }
    return result;
}

std::string format_header(const wire::ServerAddress& server, const wire::ListReply& chain) {
    // The reply's frame passed the header check, so the server speaks our
    // protocol version.
    return "JTAG server at " + server.host + ":" + std::to_string(server.port) + " (version " +
           chain.server_version.value_or("unknown") + ", protocol " + std::to_string(wire::k_protocol_version) +
           ")\n";
}

std::string format_chain(const wire::ListReply& chain) {
    if (chain.cables.empty())
        return "No JTAG cables.\n";
    std::string out;
    for (std::size_t c = 0; c < chain.cables.size(); ++c) {
        const wire::CableInfo& cable = chain.cables[c];
        out += std::to_string(c + 1) + ") " + cable.name + "\n";
        out += "   cable " + std::string(cable.plugged ? "plugged in" : "UNPLUGGED") + ", " +
               (cable.has_board ? (cable.powered ? "board on" : "board OFF") : "NO BOARD") + ", " +
               support_text(cable.support) + "\n";
        if (!cable.adapter.empty())
            out += "   adapter " + wire::printable_text(cable.adapter) + "\n";
        if (!cable.problem.empty())
            out += "   problem: " + wire::printable_text(cable.problem) + "\n";
        for (const std::string& line : cable.adapter_errors)
            out += "      OpenOCD said: " + wire::printable_text(line) + "\n";
        if (cable.devices.empty())
            out += "   no devices\n";
        for (std::size_t d = 0; d < cable.devices.size(); ++d) {
            const wire::DeviceInfo& device = cable.devices[d];
            const std::string tap =
                d < cable.tap_notes.size() ? wire::printable_text(cable.tap_notes[d]) + "; " : std::string();
            out += "   device " + std::to_string(d + 1) + ": " + tap +
                   (device.uarts.empty() ? "no JTAG UART" : std::to_string(device.uarts.size()) + " JTAG UART" +
                                                                (device.uarts.size() > 1 ? "s" : "")) +
                   "\n";
            for (std::size_t i = 0; i < device.uarts.size(); ++i) {
                const wire::UartInfo& uart = device.uarts[i];
                out += "      instance " + std::to_string(i) + ": " + uart.target +
                       (uart.attached ? "" : " (detached)") + (uart.compatible ? "" : ", INCOMPATIBLE version") +
                       ", FIFOs host->target " + std::to_string(uart.rx_fill) + "/" + std::to_string(uart.rx_fifo) +
                       " target->host " + std::to_string(uart.tx_fill) + "/" + std::to_string(uart.tx_fifo) + "\n";
                const std::string holder = "held by " + wire::printable_text(uart.holder_name) + " (pid " +
                                           std::to_string(uart.holder_pid) + ")";
                out += "         " + (uart.held ? holder : std::string("free")) + "\n";
            }
        }
    }
    return out;
}
