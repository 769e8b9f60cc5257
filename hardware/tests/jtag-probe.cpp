// The tests' JTAG host (see jtag-probe.h).
#include "hardware/tests/jtag-probe.h"

#include <algorithm>

#include "hardware/board-sim/remote-bitbang.h"

bits to_bits(std::uint64_t value, unsigned count) {
    bits out(count);
    for (unsigned i = 0; i < count; ++i)
        out[i] = (value >> i) & 1;
    return out;
}

std::uint64_t from_bits(const bits& value, unsigned first, unsigned count) {
    std::uint64_t out = 0;
    for (unsigned i = 0; i < count; ++i)
        out |= static_cast<std::uint64_t>(value.at(first + i)) << i;
    return out;
}

void JTAG_HOST::add_clock(std::string& requests, bool tms, bool tdi, bool read) {
    const char pins = static_cast<char>('0' + tms * 2 + tdi);
    requests.push_back(pins);
    if (read)
        requests.push_back('R');
    requests.push_back(static_cast<char>(pins + 4));
}

bool JTAG_HOST::clock(bool tms, bool tdi) {
    std::string requests;
    add_clock(requests, tms, tdi, true);
    return transact(requests, 1) == "1";
}

void JTAG_HOST::reset() {
    std::string requests;
    for (int i = 0; i < 5; ++i)
        add_clock(requests, true, false, false);
    add_clock(requests, false, false, false);
    transact(requests, 0);
}

std::uint64_t JTAG_HOST::instruction(unsigned code, unsigned other_code) {
    std::string requests;
    for (bool tms : {true, true, false, false})  // Select-DR, Select-IR, Capture-IR, Shift-IR
        add_clock(requests, tms, false, false);
    const unsigned length = BOARD_MODEL::k_other_ir_length + BOARD_MODEL::k_fpga_ir_length;
    const std::uint64_t value = (other_code & 0x1F) | static_cast<std::uint64_t>(code) << BOARD_MODEL::k_other_ir_length;
    for (unsigned i = 0; i < length; ++i)
        add_clock(requests, i + 1 == length, (value >> i) & 1, true);
    add_clock(requests, true, false, false);   // Update-IR
    add_clock(requests, false, false, false);  // Run-Test/Idle
    const std::string replies = transact(requests, length);
    std::uint64_t captured = 0;
    for (unsigned i = 0; i < length; ++i)
        captured |= static_cast<std::uint64_t>(replies.at(i) == '1') << i;
    return captured;
}

void JTAG_HOST::enter_shift_dr() {
    std::string requests;
    for (bool tms : {true, false, false})  // Select-DR, Capture-DR, Shift-DR
        add_clock(requests, tms, false, false);
    transact(requests, 0);
}

bits JTAG_HOST::chain_dr(const bits& in) {
    std::string requests;
    for (bool tms : {true, false, false})
        add_clock(requests, tms, false, false);
    for (std::size_t i = 0; i < in.size(); ++i)
        add_clock(requests, i + 1 == in.size(), in[i], true);
    add_clock(requests, true, false, false);   // Update-DR
    add_clock(requests, false, false, false);  // Run-Test/Idle
    const std::string replies = transact(requests, in.size());
    bits out(in.size());
    for (std::size_t i = 0; i < in.size(); ++i)
        out[i] = replies.at(i) == '1';
    return out;
}

bits JTAG_HOST::fpga_dr(const bits& in) {
    bits chain{false};
    chain.insert(chain.end(), in.begin(), in.end());
    bits out = chain_dr(chain);
    return bits(out.begin() + 1, out.end());
}

std::string JTAG_PROBE::transact(const std::string& requests, std::size_t replies) {
    std::string out;
    out.reserve(replies);
    serve_requests(m_board, requests.data(), requests.size(), out);
    return out;
}

bits uart_scan_bits(const UART_SCAN& scan) {
    const std::uint64_t header = scan.send.size() | scan.takes << 8 | scan.length << 16 |
                                 std::uint64_t{scan.commit ? 0xA7u : 0u} << 24 | std::uint64_t{scan.rx_count} << 32 |
                                 std::uint64_t{scan.tx_count} << 40 | std::uint64_t{scan.core} << 48;
    bits in{false, true};  // the lead and the start bit
    const bits head = to_bits(header, k_uart_header_bits);
    in.insert(in.end(), head.begin(), head.end());
    for (unsigned slot = 0; slot < scan.length; ++slot) {
        const std::uint8_t byte = slot < scan.send.size() ? scan.send[slot] : 0;
        const bits b = to_bits(byte, 8);
        in.insert(in.end(), b.begin(), b.end());
    }
    if (scan.pad)
        in.push_back(false);
    return in;
}

UART_REPLY uart_reply(const UART_SCAN& scan, const bits& out) {
    UART_REPLY reply;
    reply.available = static_cast<unsigned>(from_bits(out, 0, 8));
    reply.room = static_cast<unsigned>(from_bits(out, 8, 8));
    reply.version = static_cast<unsigned>(from_bits(out, 16, 8));
    reply.mark = static_cast<unsigned>(from_bits(out, 24, 8));
    reply.rx_count = static_cast<std::uint8_t>(from_bits(out, 32, 8));
    reply.tx_count = static_cast<std::uint8_t>(from_bits(out, 40, 8));
    reply.core = static_cast<std::uint8_t>(from_bits(out, 48, 8));
    const std::size_t end = k_uart_header_bits + 8 * std::size_t{scan.length};
    for (std::size_t at = k_uart_header_bits; at + 8 <= out.size() && at < end; at += 8)
        reply.slots.push_back(static_cast<std::uint8_t>(from_bits(out, static_cast<unsigned>(at), 8)));
    if (scan.commit && reply.rx_count == scan.rx_count && reply.tx_count == scan.tx_count && reply.core == scan.core) {
        reply.taken = std::min({scan.takes, scan.length, reply.available});
        reply.accepted = std::min({static_cast<unsigned>(scan.send.size()), scan.length, reply.room});
    }
    return reply;
}

void UART_HOST::select() { m_probe.instruction(IR_USER0 + m_uart); }

UART_REPLY UART_HOST::exchange(unsigned length) {
    UART_SCAN scan;
    scan.length = length;
    scan.takes = length;
    const std::size_t count = std::min<std::size_t>(outgoing.size(), length);
    scan.send.assign(outgoing.begin(), outgoing.begin() + static_cast<std::ptrdiff_t>(count));
    scan.rx_count = rx_count;
    scan.tx_count = tx_count;
    scan.core = static_cast<std::uint8_t>(IR_USER0 + m_uart);
    const UART_REPLY reply = uart_reply(scan, m_probe.fpga_dr(uart_scan_bits(scan)));
    // Counts that moved without this host (a commit it lost) are taken as they are.
    rx_count = static_cast<std::uint8_t>(reply.rx_count + reply.accepted);
    tx_count = static_cast<std::uint8_t>(reply.tx_count + reply.taken);
    received.insert(received.end(), reply.slots.begin(), reply.slots.begin() + reply.taken);
    outgoing.erase(outgoing.begin(), outgoing.begin() + reply.accepted);
    return reply;
}
