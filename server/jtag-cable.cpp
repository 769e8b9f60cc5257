// The real JTAG cable: connect, identify the chain, find the JTAG UARTs,
// then poll the held ones, each scan's bytes counted only once its commit
// is known to have reached the core.
#include "server/jtag-cable.h"
#include "server/log.h"

#include <algorithm>
#include <cstdio>
#include <functional>

#include <asio/post.hpp>

using jtag::BITS;
using jtag::SCAN;

/// What runs behind a UART of a real cable: the core on the chain. It keeps
/// the host's bytes until a scan's commit is confirmed, and the core's bytes
/// until the UART's transmit FIFO takes them.
class CORE_LINK : public TARGET {
public:
    CORE_LINK(JTAG_CABLE& cable, int tap, unsigned ir_length, const jtag::CORE_FACTS& core)
        : tap(tap), ir_length(ir_length), instruction(core.instruction),
          slots(std::min(jtag::k_max_usable_slots, std::max(core.rx_depth, core.tx_depth))), m_cable(cable) {}

    std::string describe() const override {
        char text[64];
        std::snprintf(text, sizeof text, "JTAG UART, instruction 0x%02x", instruction);
        return text;
    }
    bool start(UART& uart, std::string&) override {
        m_uart = &uart;
        return true;
    }
    void stop() override {}
    bool exchange(UART& uart) override {
        bool moved = false;
        if (!arrived.empty()) {
            const std::size_t count = uart.target_write(arrived.data(), arrived.size());
            arrived.erase(arrived.begin(), arrived.begin() + static_cast<std::ptrdiff_t>(count));
            moved = count > 0;
        }
        if (outgoing.size() < slots && !uart.rx().empty()) {
            std::uint8_t bytes[jtag::k_max_slots];
            const std::size_t count = uart.target_read(bytes, slots - outgoing.size());
            outgoing.insert(outgoing.end(), bytes, bytes + count);
            if (count > 0) {
                moved = true;
                m_cable.wake();
            }
        }
        return moved;
    }
    void host_connected(UART&) override { m_cable.wake(); }

    bool held() const { return m_uart != nullptr && m_uart->holder() != nullptr; }
    bool active() const { return held() || !outgoing.empty(); }
    /// Bytes the core may hand over now: room in the UART, and a few
    /// scans' worth waiting here for it, beyond what already waits.
    std::size_t room() const {
        if (m_uart == nullptr || !held())
            return 0;
        const std::size_t room = m_uart->tx().space() + k_scans_per_batch * std::size_t{slots};
        return room > arrived.size() ? room - arrived.size() : 0;
    }
    /// Scans one OpenOCD command may carry while only the core has bytes to give.
    static constexpr unsigned k_scans_per_batch = 4;
    UART* uart() const { return m_uart; }

    const int tap;
    const unsigned ir_length;
    const unsigned instruction;
    const unsigned slots;
    /// The last scan moved nothing: the next one is only as long as what it
    /// must move (a status read when nothing), until the core has bytes again.
    bool quiet = false;
    unsigned seen_available = 0;  ///< bytes the core had beyond those taken, at the last capture
    bool full = false;            ///< the last scan found less room than it had bytes to send
    bool streaming = false;       ///< the last scan took all the bytes it had room for
    std::vector<std::uint8_t> outgoing;  ///< host bytes the core has not yet kept
    std::vector<std::uint8_t> arrived;   ///< core bytes for the transmit FIFO

private:
    JTAG_CABLE& m_cable;
    UART* m_uart = nullptr;
};

namespace {

/// A data register scan that stops in Pause-DR one bit short: the core
/// commits it only when SCAN::commit shifts that bit, never when a lost
/// adapter's successor resets the TAP. Its last slot stays empty, so the
/// bit it leaves out is a zero that carries nothing.
BITS paused_field(const std::uint8_t* send, unsigned sends, unsigned takes, unsigned slots) {
    BITS bits = jtag::uart_field(send, sends, takes, slots + 1);
    bits.pop_back();
    return bits;
}

}  // namespace

JTAG_CABLE::JTAG_CABLE(CABLE& cable, const CableConfig& config, asio::io_context& io)
    : m_cable(cable), m_config(config), m_io(io),
      m_adapter(jtag::ADAPTER::make(config.adapter == "openocd" ? jtag::ADAPTER_KIND::openocd
                                                                : jtag::ADAPTER_KIND::remote_bitbang,
                                    config.adapter_host, config.adapter_port, io)),
      m_timer(io) {
    m_cable.plugged = false;
    m_cable.adapter = describe();
}

JTAG_CABLE::~JTAG_CABLE() {
    stop();
}

std::string JTAG_CABLE::describe() const {
    return std::string(m_adapter->kind_name()) + " at " + m_adapter->address();
}

void JTAG_CABLE::start() {
    connect();
}

void JTAG_CABLE::stop() {
    m_stopped = true;
    m_timer.cancel();
    m_adapter->close();
}

void JTAG_CABLE::log(const std::string& message) {
    server_log("cable \"" + m_cable.name + "\" (" + describe() + "): " + message);
}

void JTAG_CABLE::connect() {
    if (m_stopped)
        return;
    m_adapter->connect([this](const std::string& error) {
        if (m_stopped)
            return;
        if (!error.empty()) {
            go_down("cannot connect: " + error, false);
            return;
        }
        if (m_adapter->lists_taps())
            identify_openocd();
        else
            identify();
    });
}

namespace {

/// The board file's facts for the TAP at `index`, if it gives any.
const JtagDeviceHint* hint_for(const CableConfig& config, std::size_t index) {
    return index < config.jtag_devices.size() ? &config.jtag_devices[index] : nullptr;
}

}  // namespace

void JTAG_CABLE::identify() {
    // After a reset every TAP holds IDCODE (or BYPASS): ones through the DRs.
    m_adapter->set_taps({});
    m_adapter->run({SCAN::reset(), SCAN::dr(-1, jtag::idcode_probe_bits())},
                   [this](const std::string& error, jtag::CAPTURED captured) {
                       if (m_stopped)
                           return;
                       if (!error.empty()) {
                           go_down(error, false);
                           return;
                       }
                       std::vector<jtag::TAP_FACTS> taps;
                       std::string problem;
                       const jtag::CHAIN_READ read = jtag::read_idcodes(captured.at(0), taps, problem);
                       if (read != jtag::CHAIN_READ::ok) {
                           go_down(problem, read != jtag::CHAIN_READ::broken);
                           return;
                       }
                       for (std::size_t t = 0; t < taps.size(); ++t) {
                           const JtagDeviceHint* hint = hint_for(m_config, t);
                           if (hint != nullptr && hint->ir_length > 0) {
                               taps[t].ir_length = hint->ir_length;
                               taps[t].ir_length_given = true;
                           }
                       }
                       probe_ir_lengths(std::move(taps));
                   });
}

void JTAG_CABLE::probe_ir_lengths(std::vector<jtag::TAP_FACTS> taps) {
    m_adapter->run({SCAN::reset(), SCAN::ir(-1, jtag::ir_probe_bits()), SCAN::reset()},
                   [this, taps](const std::string& error, jtag::CAPTURED captured) mutable {
                       if (m_stopped)
                           return;
                       if (!error.empty()) {
                           go_down(error, false);
                           return;
                       }
                       std::string problem;
                       if (!jtag::read_ir_lengths(captured.at(0), taps, problem)) {
                           // The TAPs are listed with what was found; nothing
                           // behind them can be scanned until the board file
                           // gives their IR lengths. A TAP the problem is
                           // about says so; the others not given point to it.
                           std::vector<std::string> notes;
                           for (const jtag::TAP_FACTS& tap : taps)
                               notes.push_back(!tap.ir_length_problem.empty() ? tap.ir_length_problem
                                               : tap.ir_length_given          ? std::string()
                                                                              : problem);
                           log(problem);
                           go_up(taps, std::vector<std::vector<jtag::CORE_FACTS>>(taps.size()), notes);
                           return;
                       }
                       std::vector<jtag::TAP_SLOT> slots;
                       std::vector<std::string> notes;
                       for (const jtag::TAP_FACTS& tap : taps) {
                           slots.push_back({tap.name, tap.ir_length});
                           notes.push_back(tap.ir_length_guessed ? "IR length guessed from its capture" : "");
                       }
                       m_adapter->set_taps(slots);
                       discover(std::move(taps), 0, {}, std::move(notes));
                   });
}

void JTAG_CABLE::identify_openocd() {
    m_adapter->list_taps([this](const std::string& error, std::vector<jtag::LISTED_TAP> listed) {
        if (m_stopped)
            return;
        if (!error.empty()) {
            m_adapter->close();
            go_down(error, false);
            return;
        }
        std::vector<jtag::TAP_FACTS> taps;
        std::vector<jtag::TAP_SLOT> slots;
        std::vector<SCAN> bypass;
        for (const jtag::LISTED_TAP& tap : listed) {
            jtag::TAP_FACTS facts;
            facts.name = tap.name;
            if (tap.idcode != 0)
                facts.idcode = tap.idcode;
            facts.ir_length = tap.ir_length;
            taps.push_back(facts);
            slots.push_back({tap.name, tap.ir_length});
            bypass.push_back(SCAN::ir(static_cast<int>(slots.size()) - 1, BITS(tap.ir_length, true)));
        }
        m_adapter->set_taps(slots);
        // Every TAP gets an IR scan before the first DR scan: OpenOCD needs it.
        m_adapter->run(bypass, [this, taps](const std::string& failure, jtag::CAPTURED) {
            if (m_stopped)
                return;
            if (!failure.empty()) {
                go_down(failure, false);
                return;
            }
            discover(taps, 0, {}, {});
        });
    });
}

void JTAG_CABLE::discover(std::vector<jtag::TAP_FACTS> taps, std::size_t next,
                          std::vector<std::vector<jtag::CORE_FACTS>> cores, std::vector<std::string> notes) {
    if (next == taps.size()) {
        go_up(taps, cores, notes);
        return;
    }
    cores.resize(next + 1);
    notes.resize(std::max(notes.size(), next + 1));
    const jtag::TAP_FACTS& tap = taps[next];
    const JtagDeviceHint* hint = hint_for(m_config, next);
    if (hint != nullptr && hint->idcode && tap.idcode != hint->idcode) {
        char text[96];
        std::snprintf(text, sizeof text, "expected IDCODE 0x%08x, found %s", *hint->idcode,
                      tap.idcode ? ("0x" + jtag::to_hex(jtag::to_bits(*tap.idcode, 32))).c_str() : "none (BYPASS)");
        notes[next] += (notes[next].empty() ? "" : "; ") + std::string(text);
        log("device " + std::to_string(next + 1) + ": " + text);
    }
    if (hint != nullptr && !hint->user_instructions.empty()) {
        // Another maker's FPGA: no descriptor; the board file names the
        // instructions. One that this TAP's IR cannot take would select
        // another register, and its UART's scans would fail the cable for
        // every holder: then none of the device's UARTs is made (dropping
        // only that one would renumber the instances after it).
        std::string refused;
        for (std::size_t i = 0; i < hint->user_instructions.size(); ++i) {
            const std::string problem = jtag::user_instruction_problem(hint->user_instructions[i], tap.ir_length);
            if (!problem.empty())
                refused += (refused.empty() ? "" : "; ") +
                           (i < hint->user_instruction_places.size() ? hint->user_instruction_places[i] + ": "
                                                                     : std::string()) +
                           "'user_instructions': " + problem;
        }
        if (!refused.empty()) {
            refused += " (the IR length found on this TAP): no JTAG UART is made for this device";
            notes[next] += (notes[next].empty() ? "" : "; ") + refused;
            log("device " + std::to_string(next + 1) + ": " + refused);
        }
        for (unsigned instruction : refused.empty() ? hint->user_instructions : std::vector<unsigned>{}) {
            jtag::CORE_FACTS core;
            core.instruction = instruction;
            core.rx_depth = hint->rx_fifo;
            core.tx_depth = hint->tx_fifo;
            cores[next].push_back(core);
        }
        discover(std::move(taps), next + 1, std::move(cores), std::move(notes));
        return;
    }
    if (tap.ir_length != jtag::k_ir_length) {
        discover(std::move(taps), next + 1, std::move(cores), std::move(notes));
        return;
    }
    const int index = static_cast<int>(next);
    const BITS discover_ir = jtag::to_bits(jtag::k_ir_discover, tap.ir_length);
    auto on_head = [this, taps, next, cores, notes, index, discover_ir](const std::string& error,
                                                                         jtag::CAPTURED captured) mutable {
        if (m_stopped)
            return;
        if (!error.empty()) {
            go_down(error, false);
            return;
        }
        if (captured.empty()) {
            go_down("a scan came back empty", false);
            return;
        }
        jtag::DESCRIPTOR descriptor;
        std::string problem;
        const unsigned ir_length = taps[next].ir_length;
        switch (jtag::read_descriptor_head(captured.back(), ir_length, descriptor, problem)) {
        case jtag::DESCRIPTOR_READ::absent:
            break;
        case jtag::DESCRIPTOR_READ::impossible:
            m_adapter->close();
            go_down("device " + std::to_string(next + 1) + ": " + problem, false);
            return;
        case jtag::DESCRIPTOR_READ::unknown_version: {
            jtag::CORE_FACTS unknown;
            unknown.version = 0;  // nothing is known of it: an incompatible UART
            cores[next].push_back(unknown);
            notes[next] += (notes[next].empty() ? "" : "; ") + problem;
            break;
        }
        case jtag::DESCRIPTOR_READ::ok:
            if (descriptor.count == 0)
                break;
            m_adapter->run(
                {SCAN::ir(index, discover_ir), SCAN::dr(index, BITS(64 + 32 * std::size_t{descriptor.count}))},
                [this, taps, next, cores, notes, ir_length](const std::string& failure,
                                                            jtag::CAPTURED whole) mutable {
                    if (m_stopped)
                        return;
                    jtag::DESCRIPTOR full;
                    std::string trouble = failure;
                    if (trouble.empty() && whole.empty())
                        trouble = "a scan came back empty";
                    if (trouble.empty() && !jtag::read_descriptor(whole.back(), ir_length, full, trouble)) {
                        m_adapter->close();
                        trouble = "device " + std::to_string(next + 1) + ": " + trouble;
                    }
                    if (!trouble.empty()) {
                        go_down(trouble, false);
                        return;
                    }
                    cores[next] = full.uarts;
                    discover(std::move(taps), next + 1, std::move(cores), std::move(notes));
                });
            return;
        }
        discover(std::move(taps), next + 1, std::move(cores), std::move(notes));
    };
    m_adapter->run({SCAN::ir(index, discover_ir), SCAN::dr(index, BITS(64))}, on_head);
}

void JTAG_CABLE::go_up(const std::vector<jtag::TAP_FACTS>& taps,
                       const std::vector<std::vector<jtag::CORE_FACTS>>& cores, const std::vector<std::string>& notes) {
    // The same chain as before keeps its UARTs (and the bytes they hold).
    std::uint64_t layout = 1469598103934665603ull;
    auto mix = [&layout](std::uint64_t value) { layout = (layout ^ value) * 1099511628211ull; };
    std::size_t uart_count = 0;
    for (std::size_t t = 0; t < taps.size(); ++t) {
        mix(taps[t].idcode.value_or(0));
        mix(taps[t].ir_length);
        for (const jtag::CORE_FACTS& core : cores[t]) {
            mix(core.instruction | core.rx_depth << 8 | std::uint64_t{core.tx_depth} << 24 |
                std::uint64_t{core.version} << 48);
            ++uart_count;
        }
        mix(0xFFFF);
    }
    if (layout != m_layout || m_cable.devices.size() != taps.size()) {
        m_layout = layout;
        m_links.clear();
        m_cable.devices.clear();
        for (std::size_t t = 0; t < taps.size(); ++t) {
            DEVICE device;
            for (const jtag::CORE_FACTS& core : cores[t]) {
                auto uart = std::make_unique<UART>(core.rx_depth, core.tx_depth, core.version == jtag::k_uart_version);
                auto link = std::make_unique<CORE_LINK>(*this, static_cast<int>(t), taps[t].ir_length, core);
                m_links.push_back(link.get());
                uart->set_target(std::move(link));
                std::string ignored;
                uart->attach_target(true, ignored);
                device.uarts.push_back(std::move(uart));
            }
            m_cable.devices.push_back(std::move(device));
        }
        m_next = 0;
    }
    m_cable.tap_notes.clear();
    for (std::size_t t = 0; t < taps.size(); ++t) {
        std::string text = taps[t].idcode ? jtag::describe_idcode(*taps[t].idcode) : "no IDCODE (BYPASS)";
        text += taps[t].ir_length == 0 ? std::string(", IR length unknown")
                                       : ", IR length " + std::to_string(taps[t].ir_length) +
                                             (taps[t].ir_length_given ? " (given)" : "");
        if (!taps[t].name.empty())
            text += ", " + taps[t].name;
        if (!notes[t].empty())
            text += "; " + notes[t];
        m_cable.tap_notes.push_back(text);
    }
    m_cable.plugged = true;
    m_cable.has_board = true;
    m_cable.powered = true;
    m_up = true;
    m_busy = false;
    m_in_pause = false;
    m_pending_link = nullptr;
    m_ir_tap = -1;
    m_pause = std::chrono::microseconds(0);
    m_settled = true;
    const std::string state = "up";
    if (m_last_problem != state) {
        log(std::to_string(taps.size()) + " TAP" + (taps.size() == 1 ? "" : "s") + ", " + std::to_string(uart_count) +
            " JTAG UART" + (uart_count == 1 ? "" : "s"));
        m_last_problem = state;
    }
    poll();
}

void JTAG_CABLE::go_down(const std::string& problem, bool board_off) {
    m_adapter->close();
    m_up = false;
    m_busy = false;
    m_waiting = false;
    m_in_pause = false;
    m_pending_link = nullptr;
    m_pending_taken.clear();
    m_ir_tap = -1;
    const wire::FaultReason reason = board_off ? wire::FaultReason::power_off : wire::FaultReason::unplugged;
    m_cable.plugged = board_off;
    m_cable.has_board = true;
    m_cable.powered = !board_off;
    for_each_uart(m_cable, [reason](CABLE&, int, int, UART& uart) { uart.fault_host(reason); });
    const std::string said = (board_off ? "board off: " : "") + problem;
    if (said != m_last_problem) {
        log(said + "; trying again every " + std::to_string(k_retry.count()) + " ms");
        m_last_problem = said;
    }
    m_settled = true;
    if (m_stopped)
        return;
    m_timer.expires_after(k_retry);
    m_timer.async_wait([this](const std::error_code& error) {
        if (!error && !m_stopped && !m_up)
            connect();
    });
}

void JTAG_CABLE::wake() {
    if (m_busy)
        m_woken = true;
    if (!m_up || m_busy || m_stopped)
        return;
    m_pause = std::chrono::microseconds(0);
    if (m_waiting) {
        m_waiting = false;
        m_timer.cancel();
    }
    asio::post(m_io, [this] { poll(); });
}

void JTAG_CABLE::poll_after(std::chrono::microseconds pause) {
    m_waiting = true;
    m_timer.expires_after(pause);
    m_timer.async_wait([this](const std::error_code& error) {
        if (error || !m_waiting || m_stopped)
            return;
        m_waiting = false;
        poll();
    });
}

void JTAG_CABLE::poll() {
    if (!m_up || m_busy || m_stopped)
        return;
    if (m_waiting) {
        m_waiting = false;
        m_timer.cancel();
    }
    CORE_LINK* link = nullptr;
    for (std::size_t i = 0; i < m_links.size() && link == nullptr; ++i) {
        const std::size_t at = (m_next + i) % m_links.size();
        if (m_links[at]->active() && m_links[at]->uart()->compatible()) {
            link = m_links[at];
            m_next = at + 1;
        }
    }
    std::vector<SCAN> scans;
    const bool committing = m_in_pause;
    if (committing)
        scans.push_back(SCAN::commit());
    struct PLAN {
        unsigned sends = 0, takes = 0, slots = 0;
    };
    bool send_only = false;
    std::vector<PLAN> plans;
    const bool select = link != nullptr && (m_ir_tap != link->tap || m_ir_value != link->instruction);
    if (link != nullptr) {
        if (select)
            scans.push_back(SCAN::ir(link->tap, jtag::to_bits(link->instruction, link->ir_length)));
        // A core that was full, or is being filled by the commit just above,
        // gets a moment for its CPU to read before its room is captured again;
        // without it the capture follows that commit by three clocks.
        const bool filling = committing && link == m_pending_link && m_pending_accepted > 0 &&
                             link->outgoing.size() > m_pending_accepted;
        if (link->full || filling)
            scans.push_back(SCAN::idle(2 * link->slots));
        // The scan in Pause-DR commits in this same transaction: its bytes
        // are neither sent again nor given room twice.
        const bool same = committing && link == m_pending_link;
        const std::size_t committed = same ? std::min<std::size_t>(m_pending_accepted, link->outgoing.size()) : 0;
        std::size_t room = link->room();
        room = room > (same ? m_pending_taken.size() : 0) ? room - (same ? m_pending_taken.size() : 0) : 0;
        const std::size_t waiting = link->outgoing.size() - committed;
        PLAN plan;
        plan.slots = link->quiet ? static_cast<unsigned>(std::min<std::size_t>(
                                       std::max<std::size_t>(waiting, link->seen_available), link->slots))
                                 : link->slots;
        plan.sends = static_cast<unsigned>(std::min<std::size_t>(waiting, plan.slots));
        plan.takes = static_cast<unsigned>(std::min<std::size_t>(room, plan.slots));
        // A scan that only sends (the core showed nothing to take) loses no
        // target bytes if its reply is lost: it is committed at once, and its
        // core's CPU reads the bytes while the next transaction is prepared.
        send_only = plan.sends > 0 && link->seen_available == 0 && !link->streaming;
        if (send_only)
            plan.takes = 0;
        scans.push_back(
            SCAN::dr(link->tap, paused_field(link->outgoing.data() + committed, plan.sends, plan.takes, plan.slots),
                     true));
        plans.push_back(plan);
        if (send_only)
            scans.push_back(SCAN::commit());
        // Through OpenOCD each command costs far more than its bits: while
        // only the core has bytes to give, one command carries several scans,
        // each committed before the next.
        while (!send_only && m_adapter->kind() == jtag::ADAPTER_KIND::openocd && link->streaming && plan.sends == 0 &&
               plans.size() < CORE_LINK::k_scans_per_batch && room >= std::size_t{plan.takes} + link->slots) {
            room -= plan.takes;
            plan.takes = link->slots;
            scans.push_back(SCAN::commit());
            scans.push_back(SCAN::dr(link->tap, paused_field(nullptr, 0, plan.takes, plan.slots), true));
            plans.push_back(plan);
        }
    } else if (!committing) {
        // Nobody to serve: a cheap transaction now and then tells whether the adapter is still there.
        scans.push_back(SCAN::idle());
    }
    m_busy = true;
    m_woken = false;
    m_adapter->run(scans, [this, link, plans, committing, select, send_only](const std::string& error,
                                                                            jtag::CAPTURED captured) {
        m_busy = false;
        if (m_stopped || !m_up)
            return;
        if (!error.empty()) {
            go_down(error, false);
            return;
        }
        m_in_pause = false;
        const bool confirmed_moves = committing && (m_pending_accepted > 0 || !m_pending_taken.empty());
        if (committing)
            confirm();
        bool moved = confirmed_moves;
        if (link != nullptr) {
            if (select) {
                m_ir_tap = link->tap;
                m_ir_value = link->instruction;
            }
            if (captured.size() < plans.size()) {
                go_down("a scan came back empty", false);
                return;
            }
            // Every scan but the last was committed by the one after it.
            const std::size_t first = captured.size() - plans.size();
            for (std::size_t i = 0; i < plans.size(); ++i) {
                jtag::UART_STATUS status;
                std::string problem;
                if (!jtag::read_uart_field(captured[first + i], plans[i].sends, plans[i].takes, plans[i].slots + 1,
                                           status, problem)) {
                    go_down(problem, false);
                    return;
                }
                const bool this_moved = status.accepted > 0 || !status.taken_bytes.empty();
                const auto taken = static_cast<unsigned>(status.taken_bytes.size());
                link->seen_available = status.available > taken ? status.available - taken : 0;
                link->quiet = !this_moved && link->seen_available == 0;
                link->full = status.accepted < plans[i].sends;
                link->streaming = plans[i].takes > 0 && taken == plans[i].takes;
                // Bytes seen but not taken (a short scan, or no room) are
                // fetched at once rather than after the idle pause.
                moved = moved || this_moved || (link->seen_available > 0 && link->room() > 0);
                m_pending_link = link;
                m_pending_taken = std::move(status.taken_bytes);
                m_pending_accepted = status.accepted;
                if (i + 1 < plans.size() || send_only)
                    confirm();
            }
            m_in_pause = !send_only;
        }
        if (moved || m_woken) {
            m_woken = false;
            m_pause = std::chrono::microseconds(0);
            asio::post(m_io, [this] { poll(); });
            return;
        }
        if (link == nullptr && !m_in_pause) {
            poll_after(std::chrono::milliseconds(200));
            return;
        }
        // Host bytes that found the core full wait for its CPU to read: that
        // takes microseconds, so the pause stays short while any wait.
        bool host_waiting = false;
        for (const CORE_LINK* each : m_links)
            host_waiting = host_waiting || !each->outgoing.empty();
        const auto longest = host_waiting ? k_max_busy_pause : k_max_idle_pause;
        m_pause = std::min(longest, std::max(std::chrono::microseconds(250), m_pause * 2));
        poll_after(m_pause);
    });
}

void JTAG_CABLE::confirm() {
    CORE_LINK* link = m_pending_link;
    m_pending_link = nullptr;
    if (link == nullptr)
        return;
    const unsigned accepted = std::min<unsigned>(m_pending_accepted, static_cast<unsigned>(link->outgoing.size()));
    link->outgoing.erase(link->outgoing.begin(), link->outgoing.begin() + accepted);
    link->arrived.insert(link->arrived.end(), m_pending_taken.begin(), m_pending_taken.end());
    const bool moved = accepted > 0 || !m_pending_taken.empty();
    m_pending_taken.clear();
    m_pending_accepted = 0;
    if (moved && link->uart() != nullptr)
        link->uart()->pump();
}
