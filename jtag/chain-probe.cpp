// Reading a chain, a descriptor and a data register out of captured bits.
#include "jtag/chain-probe.h"

#include <algorithm>
#include <cstdio>

namespace jtag {

namespace {

std::string hex(std::uint64_t value, int digits) {
    char text[24];
    std::snprintf(text, sizeof text, "0x%0*llx", digits, static_cast<unsigned long long>(value));
    return text;
}

}  // namespace

std::string describe_idcode(std::uint32_t idcode) {
    return "IDCODE " + hex(idcode, 8) + " (manufacturer " + hex((idcode >> 1) & 0x7FF, 3) + ", part " +
           hex((idcode >> 12) & 0xFFFF, 4) + ", version " + std::to_string(idcode >> 28) + ")";
}

BITS idcode_probe_bits() {
    return BITS(32 * (k_max_taps + 1), true);
}

CHAIN_READ read_idcodes(const BITS& captured, std::vector<TAP_FACTS>& taps, std::string& error) {
    taps.clear();
    if (std::all_of(captured.begin(), captured.end(), [](bool bit) { return bit; })) {
        error = "the chain reads all ones";
        return CHAIN_READ::all_ones;
    }
    if (std::none_of(captured.begin(), captured.end(), [](bool bit) { return bit; })) {
        error = "the chain reads all zeros";
        return CHAIN_READ::all_zeros;
    }
    std::size_t at = 0;
    while (at < captured.size()) {
        if (!captured[at]) {
            taps.push_back({});  // a TAP without IDCODE, in BYPASS
            ++at;
        } else {
            if (at + 32 > captured.size())
                break;
            const auto word = static_cast<std::uint32_t>(from_bits(captured, at, 32));
            if (word == 0xFFFFFFFF) {
                if (!taps.empty())
                    return CHAIN_READ::ok;
                // The end mark before any TAP: nothing on the chain answered.
                error = "no TAP answered: the chain reads the end mark first";
                return CHAIN_READ::broken;
            }
            TAP_FACTS tap;
            tap.idcode = word;
            taps.push_back(tap);
            at += 32;
        }
        if (taps.size() > k_max_taps)
            break;
    }
    error = "the chain is longer than " + std::to_string(k_max_taps) + " TAPs or does not pass bits through";
    taps.clear();
    return CHAIN_READ::broken;
}

BITS ir_probe_bits() {
    BITS bits(k_max_taps * k_max_ir_length, false);
    bits.resize(2 * bits.size(), true);
    return bits;
}

namespace {

/// The IR lengths each TAP may have: those of every split of the chain's
/// `total` captured bits into TAPs whose captures each start (nearest TDO)
/// with 1, 0, the given lengths kept (except the TAP `free`, if any).
std::vector<std::vector<unsigned>> possible_ir_lengths(const BITS& captured, std::size_t total,
                                                       const std::vector<TAP_FACTS>& taps, std::size_t free) {
    const std::size_t count = taps.size();
    auto starts = [&](std::size_t at) { return at + 2 <= total && captured[at] && !captured[at + 1]; };
    auto allowed = [&](std::size_t t, unsigned length) {
        return t == free || !taps[t].ir_length_given ? length >= 2 && length <= k_max_ir_length
                                                     : length == taps[t].ir_length;
    };
    // Where TAP t may start, coming from TDO, and from where the TAPs t.. may still fill the rest.
    std::vector<std::vector<bool>> reached(count + 1, std::vector<bool>(total + 1));
    std::vector<std::vector<bool>> finishes(count + 1, std::vector<bool>(total + 1));
    reached[0][0] = true;
    for (std::size_t t = 0; t < count; ++t)
        for (std::size_t at = 0; at < total; ++at)
            if (reached[t][at] && starts(at))
                for (unsigned length = 2; length <= k_max_ir_length && at + length <= total; ++length)
                    if (allowed(t, length))
                        reached[t + 1][at + length] = true;
    finishes[count][total] = true;
    for (std::size_t t = count; t-- > 0;)
        for (std::size_t at = 0; at < total; ++at)
            if (starts(at))
                for (unsigned length = 2; length <= k_max_ir_length && at + length <= total; ++length)
                    if (allowed(t, length) && finishes[t + 1][at + length])
                        finishes[t][at] = true;
    std::vector<std::vector<unsigned>> lengths(count);
    for (std::size_t t = 0; t < count; ++t)
        for (std::size_t at = 0; at < total; ++at)
            if (reached[t][at] && finishes[t][at] && starts(at))
                for (unsigned length = 2; length <= k_max_ir_length && at + length <= total; ++length)
                    if (allowed(t, length) && finishes[t + 1][at + length] &&
                        std::find(lengths[t].begin(), lengths[t].end(), length) == lengths[t].end())
                        lengths[t].push_back(length);
    for (auto& each : lengths)
        std::sort(each.begin(), each.end());
    return lengths;
}

/// "2, 4 or 7".
std::string alternatives(const std::vector<unsigned>& lengths) {
    std::string text;
    for (std::size_t i = 0; i < lengths.size(); ++i)
        text += (i == 0 ? "" : i + 1 == lengths.size() ? " or " : ", ") + std::to_string(lengths[i]);
    return text;
}

std::string device(std::size_t t) {
    return "device " + std::to_string(t + 1);
}

}  // namespace

bool read_ir_lengths(const BITS& captured, std::vector<TAP_FACTS>& taps, std::string& error) {
    for (TAP_FACTS& tap : taps) {
        tap.ir_length_guessed = false;
        tap.ir_length_problem.clear();
    }
    // Our zeros come out after the chain's captured bits, then our ones:
    // the first one at or after the zeros' length ends the chain's IR.
    const std::size_t zeros = k_max_taps * k_max_ir_length;
    std::size_t total = 0;
    while (zeros + total < captured.size() && !captured[zeros + total])
        ++total;
    auto unknown = [&taps] {
        for (TAP_FACTS& tap : taps)
            if (!tap.ir_length_given)
                tap.ir_length = 0;
        return false;
    };
    if (zeros + total >= captured.size() || total == 0) {
        error = "the chain's IR does not pass bits through";
        return unknown();
    }
    if (taps.empty()) {
        error = "the chain's IR has " + std::to_string(total) + " bits but no TAP was found";
        return false;
    }
    const std::size_t none = taps.size();
    const auto lengths = possible_ir_lengths(captured, total, taps, none);
    if (!lengths[0].empty()) {
        // Some split exists: settled where each TAP has one length only.
        std::string open;
        for (std::size_t t = 0; t < taps.size(); ++t) {
            if (lengths[t].size() == 1)
                continue;
            taps[t].ir_length_problem = "the IR captures allow an IR length of " + alternatives(lengths[t]) +
                                        " bits; give this device's ir_length in the board file";
            open += (open.empty() ? "" : ", ") + device(t) + " (" + alternatives(lengths[t]) + " bits)";
        }
        if (!open.empty()) {
            error = "the chain's IR captures of " + std::to_string(total) +
                    " bits can be split into TAPs in more than one way: " + open +
                    "; give their ir_length in the board file";
            return unknown();
        }
        for (std::size_t t = 0; t < taps.size(); ++t) {
            taps[t].ir_length_guessed = !taps[t].ir_length_given;
            taps[t].ir_length = lengths[t].front();
        }
        return true;
    }
    // No split at all. A given length that, alone set free, lets the
    // captures be split is the one to blame.
    std::vector<std::size_t> suspects;
    for (std::size_t t = 0; t < taps.size(); ++t)
        if (taps[t].ir_length_given && !possible_ir_lengths(captured, total, taps, t)[0].empty())
            suspects.push_back(t);
    if (suspects.size() == 1) {
        const std::size_t t = suspects[0];
        const auto freed = possible_ir_lengths(captured, total, taps, t);
        taps[t].ir_length_problem = "the given ir_length of " + std::to_string(taps[t].ir_length) +
                                    " bits does not fit the chain's IR captures, which allow " +
                                    alternatives(freed[t]) + "; correct it in the board file";
        error = device(t) + ": " + taps[t].ir_length_problem;
        return unknown();
    }
    if (!suspects.empty()) {
        std::string named;
        for (std::size_t i = 0; i < suspects.size(); ++i) {
            named += (i == 0 ? "" : i + 1 == suspects.size() ? " or " : ", ") + device(suspects[i]);
            taps[suspects[i]].ir_length_problem = "this given ir_length or another does not fit the IR captures";
        }
        error = "the given ir_length of " + named + " does not fit the chain's IR captures; check them in the board file";
        return unknown();
    }
    if (!(total >= 2 && captured[0] && !captured[1])) {
        error = "the IR capture of device 1 does not end in binary 01; give its ir_length in the board file";
        taps[0].ir_length_problem = "its IR capture does not end in binary 01";
        return unknown();
    }
    error = "the chain's IR of " + std::to_string(total) + " bits cannot be split into " +
            std::to_string(taps.size()) + " TAPs whose captures each end in binary 01 (with the lengths given); " +
            "give each TAP's ir_length in the board file";
    return unknown();
}

std::string user_instruction_problem(unsigned instruction, unsigned ir_length) {
    const std::uint64_t values = std::uint64_t{1} << std::min(ir_length, 32u);
    if (instruction >= values)
        return hex(instruction, 2) + " does not fit an IR of " + std::to_string(ir_length) + " bits";
    if (instruction == values - 1)
        return hex(instruction, 2) + " is BYPASS (all ones) in an IR of " + std::to_string(ir_length) + " bits";
    return {};
}

DESCRIPTOR_READ read_descriptor_head(const BITS& captured, unsigned tap_ir_length, DESCRIPTOR& descriptor,
                                     std::string& error) {
    descriptor = {};
    if (captured.size() < 64 || from_bits(captured, 0, 32) != k_descriptor_magic)
        return DESCRIPTOR_READ::absent;
    const auto word = static_cast<std::uint32_t>(from_bits(captured, 32, 32));
    descriptor.version = word & 0xFF;
    descriptor.count = (word >> 8) & 0xFF;
    descriptor.ir_length = (word >> 16) & 0xFF;
    if (descriptor.version != k_descriptor_version) {
        error = "descriptor version " + std::to_string(descriptor.version) + " (this server knows version " +
                std::to_string(k_descriptor_version) + ")";
        return DESCRIPTOR_READ::unknown_version;
    }
    if (descriptor.count > k_max_uarts || descriptor.ir_length != tap_ir_length) {
        error = "the descriptor claims " + std::to_string(descriptor.count) + " JTAG UARTs and an IR of " +
                std::to_string(descriptor.ir_length) + " bits (the TAP's IR has " + std::to_string(tap_ir_length) +
                ")";
        return DESCRIPTOR_READ::impossible;
    }
    return DESCRIPTOR_READ::ok;
}

bool read_descriptor(const BITS& captured, unsigned tap_ir_length, DESCRIPTOR& descriptor, std::string& error) {
    if (read_descriptor_head(captured, tap_ir_length, descriptor, error) != DESCRIPTOR_READ::ok) {
        if (error.empty())
            error = "the descriptor changed while it was read";
        return false;
    }
    if (captured.size() < 64 + 32 * std::size_t{descriptor.count}) {
        error = "the descriptor is cut short";
        return false;
    }
    std::vector<unsigned> instructions;
    for (unsigned n = 0; n < descriptor.count; ++n) {
        const auto word = static_cast<std::uint32_t>(from_bits(captured, 64 + 32 * std::size_t{n}, 32));
        CORE_FACTS core;
        core.instruction = word & 0xFF;
        const unsigned rx_log2 = (word >> 8) & 0xF;
        const unsigned tx_log2 = (word >> 12) & 0xF;
        core.version = (word >> 16) & 0xFF;
        const bool fits = tap_ir_length >= 32 || core.instruction < (1u << tap_ir_length);
        if (!fits || rx_log2 > 16 || tx_log2 > 16 || core.instruction == k_ir_discover ||
            std::find(instructions.begin(), instructions.end(), core.instruction) != instructions.end()) {
            error = "the descriptor's JTAG UART " + std::to_string(n) + " is impossible (instruction " +
                    hex(core.instruction, 2) + ")";
            return false;
        }
        instructions.push_back(core.instruction);
        core.rx_depth = 1u << rx_log2;
        core.tx_depth = 1u << tx_log2;
        descriptor.uarts.push_back(core);
    }
    return true;
}

BITS uart_field(const UART_REQUEST& request) {
    BITS bits(uart_lead_bits(request.version), false);
    bits.push_back(true);
    const unsigned mark = !request.commit ? 0 : 0xA4 + std::min(request.version, 3u);
    append(bits, request.sends | request.takes << 8 | request.slots << 16 | mark << 24, 32);
    if (request.version >= 2)
        append(bits, request.rx_count | unsigned{request.tx_count} << 8 | unsigned{request.core} << 16, 24);
    for (unsigned slot = 0; slot < request.slots; ++slot)
        append(bits, slot < request.sends ? request.send[slot] : 0, 8);
    append(bits, 0, uart_pad_bits(request.version));
    return bits;
}

bool read_uart_field(const BITS& captured, const UART_REQUEST& request, UART_STATUS& status, std::string& error) {
    status = {};
    // The header's last byte is the mark 0x5A: no shift of it by one or two
    // bits reads 0x5A again, so it tells where the header starts.
    std::size_t at = 0;
    while (at <= k_max_tdo_delay && !(captured.size() >= at + 32 && from_bits(captured, at + 24, 8) == 0x5A))
        ++at;
    if (at > k_max_tdo_delay) {
        error = "no JTAG UART answered the scan";
        return false;
    }
    status.tdo_delay = static_cast<unsigned>(at);
    status.available = static_cast<unsigned>(from_bits(captured, at, 8));
    status.room = static_cast<unsigned>(from_bits(captured, at + 8, 8));
    status.version = static_cast<unsigned>(from_bits(captured, at + 16, 8));
    if (status.version != request.version)
        return true;  // it read the host's header another way: nothing moves
    const std::size_t first_slot = at + uart_header_bits(status.version);
    if (captured.size() < first_slot + 8 * std::size_t{request.slots}) {
        error = "the JTAG UART's reply is cut short";
        return false;
    }
    if (status.version >= 2) {
        status.rx_count = static_cast<std::uint8_t>(from_bits(captured, at + 32, 8));
        status.tx_count = static_cast<std::uint8_t>(from_bits(captured, at + 40, 8));
        status.core = static_cast<std::uint8_t>(from_bits(captured, at + 48, 8));
    }
    status.commits = request.commit && (status.version < 2 || (status.rx_count == request.rx_count &&
                                                               status.tx_count == request.tx_count &&
                                                               status.core == request.core));
    if (!status.commits)
        return true;
    const unsigned taken = std::min({request.takes, request.slots, status.available});
    for (unsigned slot = 0; slot < taken; ++slot)
        status.taken_bytes.push_back(
            static_cast<std::uint8_t>(from_bits(captured, first_slot + 8 * std::size_t{slot}, 8)));
    status.accepted = std::min({request.sends, request.slots, status.room});
    return true;
}

bool reads_stuck(const BITS& captured) {
    return std::all_of(captured.begin(), captured.end(), [&](bool bit) { return bit == captured.front(); });
}

}  // namespace jtag
