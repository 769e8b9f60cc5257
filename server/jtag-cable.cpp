// The real JTAG cable: connect, identify the chain, find the JTAG UARTs,
// then poll the held ones, each scan's bytes counted only once its commit
// is known to have reached the core.
#include "server/jtag-cable.h"
#include "server/log.h"

#include <algorithm>
#include <cstdio>
#include <functional>
#include <optional>

#include <asio/post.hpp>

#include "server/openocd-process.h"

using jtag::BITS;
using jtag::SCAN;

/// What runs behind a UART of a real cable: the core on the chain. It keeps
/// the host's bytes until a scan's commit is confirmed, and the core's bytes
/// until the UART's transmit FIFO takes them.
class CORE_LINK : public TARGET {
public:
    CORE_LINK(JTAG_CABLE& cable, int tap, unsigned ir_length, const jtag::CORE_FACTS& core)
        : tap(tap), ir_length(ir_length), instruction(core.instruction),
          slots(std::min(jtag::k_max_usable_slots, std::max(core.rx_depth, core.tx_depth))),
          version(jtag::speaks_uart_version(core.version) ? core.version : jtag::k_uart_version), m_cable(cable) {}

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
        // Room for a whole scan beyond the bytes of a commit not yet settled.
        if (outgoing.size() < k_outgoing_scans * std::size_t{slots} && !uart.rx().empty()) {
            std::uint8_t bytes[k_outgoing_scans * jtag::k_max_slots];
            const std::size_t count = uart.target_read(bytes, k_outgoing_scans * std::size_t{slots} - outgoing.size());
            outgoing.insert(outgoing.end(), bytes, bytes + count);
            if (count > 0) {
                moved = true;
                m_cable.wake();
            }
        }
        return moved;
    }
    void host_connected(UART&) override {
        silent = false;
        m_cable.wake();
    }

    bool held() const { return m_uart != nullptr && m_uart->holder() != nullptr; }
    /// Worth a scan: held, host bytes to give, or a lost commit to settle.
    bool active() const { return !silent && (held() || !outgoing.empty() || unsettled.has_value()); }
    /// Bytes the core may hand over now: room in the UART, and a few
    /// scans' worth waiting here for it, beyond what already waits.
    std::size_t room() const {
        if (m_uart == nullptr || !held())
            return 0;
        const std::size_t room = m_uart->tx().space() + k_scans_per_batch * std::size_t{slots};
        return room > arrived.size() ? room - arrived.size() : 0;
    }
    UART* uart() const { return m_uart; }
    /// Host bytes kept here, in scans: those of a commit not yet settled, and the next scan's.
    static constexpr std::size_t k_outgoing_scans = 2;
    /// How a core with counts names itself: the low byte of its instruction.
    std::uint8_t core_id() const { return static_cast<std::uint8_t>(instruction & 0xFF); }
    CORE_VIEW view() const {
        CORE_VIEW core;
        core.version = version;
        core.slots = slots;
        core.waiting = outgoing.size();
        core.room = room();
        core.seen_available = seen_available;
        core.quiet = quiet;
        core.full = full;
        core.streaming = streaming;
        core.settled = version < 2 || (counts_known && !(unsettled && !unsettled->exact()));
        core.unsettled = unsettled.has_value();
        if (unsettled && unsettled->exact()) {
            core.unsettled_accepted = unsettled->accepted;
            core.unsettled_taken = unsettled->taken;
        }
        return core;
    }

    const int tap;
    const unsigned ir_length;
    const unsigned instruction;
    const unsigned slots;
    /// Of the data register: from the descriptor, then as the core's captures show it.
    unsigned version;
    /// The last scan moved nothing: the next one is only as long as what it
    /// must move (a status read when nothing), until the core has bytes again.
    bool quiet = false;
    unsigned seen_available = 0;  ///< bytes the core had beyond those taken, at the last capture
    bool full = false;            ///< the last scan found less room than it had bytes to send
    bool streaming = false;       ///< the last scan took all the bytes it had room for
    /// The core did not answer its instruction: its holder was told, and it is
    /// not scanned again until it is opened again.
    bool silent = false;
    /// Bits before the core's header in its captures (an FPGA primitive's TDO path).
    unsigned tdo_delay = 0;
    /// Version 2: the counts the core will show at its next capture.
    bool counts_known = false;
    std::uint8_t rx_count = 0, tx_count = 0;
    /// Version 2: a commit sent and not yet seen in the counts, with the bytes it takes.
    std::optional<UNSETTLED_COMMIT> unsettled;
    std::vector<std::uint8_t> unsettled_taken;
    std::vector<std::uint8_t> outgoing;  ///< host bytes the core has not yet kept
    std::vector<std::uint8_t> arrived;   ///< core bytes for the transmit FIFO

private:
    JTAG_CABLE& m_cable;
    UART* m_uart = nullptr;
};

namespace {

/// A data register scan that stops in Pause-DR short of its whole length:
/// the core commits it only when SCAN::commit shifts the bits left out,
/// never when a lost adapter's successor resets the TAP. Its last slot
/// stays empty, so the bits it leaves out are zeros that carry nothing.
BITS paused_field(jtag::UART_REQUEST request) {
    request.slots += 1;
    BITS bits = jtag::uart_field(request);
    bits.resize(bits.size() - jtag::uart_commit_bits(request.version));
    return bits;
}

}  // namespace

JTAG_CABLE::JTAG_CABLE(CABLE& cable, const CableConfig& config, asio::io_context& io, std::size_t index)
    : m_cable(cable), m_config(config), m_io(io),
      m_adapter(jtag::ADAPTER::make(config.adapter == "openocd" ? jtag::ADAPTER_KIND::openocd
                                                                : jtag::ADAPTER_KIND::remote_bitbang,
                                    config.adapter_host, config.adapter_port, io)),
      m_timer(io) {
    m_cable.plugged = false;
    if (config.openocd) {
        m_openocd = std::make_unique<OPENOCD_SUPERVISOR>(*config.openocd, openocd_log_path(index), io,
                                                         [this](const std::string& message) { log(message); });
        // It ended or could not start: the cable is down until the next one accepts.
        m_openocd->on_ended = [this](const std::string& problem) {
            if (!m_stopped)
                go_down(problem, false);
        };
        m_openocd->on_errors = [this] {
            if (!m_up)
                tell_problem(m_last_problem);
        };
    }
    m_cable.adapter = describe();
}

JTAG_CABLE::~JTAG_CABLE() {
    stop();
}

std::string JTAG_CABLE::describe() const {
    if (m_openocd && m_openocd->pid() > 0)
        return std::string(m_adapter->kind_name()) + " at 127.0.0.1:" + std::to_string(m_openocd->tcl_port()) +
               ", started by the server as pid " + std::to_string(m_openocd->pid());
    if (m_openocd)
        return std::string(m_adapter->kind_name()) + ", started by the server";
    return std::string(m_adapter->kind_name()) + " at " + m_adapter->address();
}

void JTAG_CABLE::start() {
    if (m_openocd)
        m_openocd->start();
    connect();
}

void JTAG_CABLE::stop() {
    m_stopped = true;
    m_timer.cancel();
    m_adapter->close();
    if (m_openocd)
        m_openocd->stop();
}

void JTAG_CABLE::tell_problem(const std::string& problem) {
    m_cable.adapter = describe();
    m_cable.problem = problem;
    m_cable.adapter_errors = m_openocd ? m_openocd->errors() : std::vector<std::string>();
}

void JTAG_CABLE::log(const std::string& message) {
    server_log("cable \"" + m_cable.name + "\" (" + describe() + "): " + message);
}

void JTAG_CABLE::connect() {
    if (m_stopped)
        return;
    if (m_openocd) {
        // The server's own OpenOCD: once it accepts, on the port of this start.
        if (!m_openocd->ready()) {
            m_openocd->when_ready([this] { connect(); });
            return;
        }
        if (m_adapter->address() != "127.0.0.1:" + std::to_string(m_openocd->tcl_port())) {
            m_adapter->close();
            m_adapter = jtag::ADAPTER::make(jtag::ADAPTER_KIND::openocd, "127.0.0.1", m_openocd->tcl_port(), m_io);
        }
        m_cable.adapter = describe();
    }
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

/// An IR length the board file gives that OpenOCD's declaration contradicts
/// (OpenOCD shifts its own, so its length is the one used); empty if none.
std::string ir_length_mismatch(const jtag::LISTED_TAP& tap, const JtagDeviceHint* hint) {
    if (hint == nullptr || hint->ir_length == 0 || hint->ir_length == tap.ir_length)
        return {};
    return "the board file gives IR length " + std::to_string(hint->ir_length) + ", OpenOCD declares " +
           std::to_string(tap.ir_length) + " (OpenOCD's is used)";
}

/// What OpenOCD's listing tells of a TAP that chainprobe shows with it.
std::string listed_note(const jtag::LISTED_TAP& tap, const std::string& mismatch) {
    std::string note = mismatch;
    if (tap.enabled)
        return note;
    note += (note.empty() ? "" : "; ") + std::string("disabled in OpenOCD: out of the chain, not scanned");
    for (std::size_t i = 0; i < tap.expected.size(); ++i)
        note += (i == 0 ? " (declared IDCODE " : " or ") + ("0x" + jtag::to_hex(jtag::to_bits(tap.expected[i], 32)));
    return note + (tap.expected.empty() ? "" : ")");
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
        std::vector<std::string> notes;
        for (const jtag::LISTED_TAP& tap : listed) {
            jtag::TAP_FACTS facts;
            facts.name = tap.name;
            // A disabled TAP's IDCODE was never read: OpenOCD lists zero.
            if (tap.idcode != 0 && tap.enabled)
                facts.idcode = tap.idcode;
            facts.ir_length = tap.ir_length;
            facts.disabled = !tap.enabled;
            taps.push_back(facts);
            slots.push_back({tap.name, tap.ir_length});
            // Every enabled TAP gets an IR scan before the first DR scan:
            // OpenOCD needs it. A disabled one is out of the chain, and a scan
            // naming it makes OpenOCD abort.
            if (tap.enabled)
                bypass.push_back(SCAN::ir(static_cast<int>(slots.size()) - 1, BITS(tap.ir_length, true)));
            const std::string mismatch = ir_length_mismatch(tap, hint_for(m_config, taps.size() - 1));
            if (!mismatch.empty())
                log("device " + std::to_string(taps.size()) + ": " + mismatch);
            notes.push_back(listed_note(tap, mismatch));
        }
        m_adapter->set_taps(slots);
        auto scanned = [this, taps, notes](const std::string& failure, jtag::CAPTURED) {
            if (m_stopped)
                return;
            if (!failure.empty()) {
                go_down(failure, false);
                return;
            }
            discover(taps, 0, {}, notes);
        };
        if (bypass.empty())
            asio::post(m_io, [scanned] { scanned({}, {}); });
        else
            m_adapter->run(bypass, scanned);
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
    if (taps[next].disabled) {  // listed, never scanned
        discover(std::move(taps), next + 1, std::move(cores), std::move(notes));
        return;
    }
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
                auto uart = std::make_unique<UART>(core.rx_depth, core.tx_depth, jtag::speaks_uart_version(core.version));
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
    tell_problem("");
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
    drop_pending();
    m_ir_tap = -1;
    // Whatever the lost transaction did, each core's counts are read again before its next commit.
    for (CORE_LINK* link : m_links)
        link->counts_known = false;
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
    tell_problem(said);
    // OpenOCD 0.12 does not get over a lost adapter: a new one is started.
    if (m_openocd && !board_off && !m_stopped)
        m_openocd->restart_if_lost(problem);
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
    const bool openocd = m_adapter->kind() == jtag::ADAPTER_KIND::openocd;
    // Nobody to serve: now and then a status read of a core (or a BYPASS
    // bit) tells whether the chain is still there. An idle transaction would
    // not: OpenOCD answers those without its adapter.
    const bool liveness = link == nullptr && !m_in_pause;
    if (liveness)
        for (CORE_LINK* each : m_links)
            if (link == nullptr && !each->silent && each->uart()->compatible())
                link = each;
    PAUSED_SCAN paused;
    paused.exists = m_in_pause;
    paused.same_core = m_in_pause && link != nullptr && link == m_pending_link;
    paused.accepted = m_pending_accepted;
    paused.taken = m_pending_taken.size();
    CORE_VIEW view = link != nullptr ? link->view() : CORE_VIEW{};
    if (liveness)
        view.settled = false;  // a status read, and nothing else
    const bool selected = link != nullptr && m_ir_tap == link->tap && m_ir_value == link->instruction;
    const POLL_PLAN plan = plan_poll(link != nullptr ? &view : nullptr, paused, openocd, selected);

    std::vector<SCAN> scans;
    if (plan.commit_first)
        scans.push_back(SCAN::commit(jtag::uart_commit_bits(m_pending_link != nullptr ? m_pending_link->version : 1)));
    std::vector<jtag::UART_REQUEST> requests;
    if (link != nullptr) {
        if (plan.select)
            scans.push_back(SCAN::ir(link->tap, jtag::to_bits(link->instruction, link->ir_length)));
        if (plan.idle_clocks > 0)
            scans.push_back(SCAN::idle(plan.idle_clocks));
        // The counts each scan names: the core's once the commits sent
        // before it (the paused scan's, an unsettled one) have taken effect.
        std::uint8_t rx = link->rx_count, tx = link->tx_count;
        if (plan.commit_first && link == m_pending_link) {
            rx = static_cast<std::uint8_t>(m_pending_rx + m_pending_accepted);
            tx = static_cast<std::uint8_t>(m_pending_tx + m_pending_taken.size());
        }
        if (link->unsettled && link->unsettled->exact()) {
            rx = static_cast<std::uint8_t>(link->unsettled->rx_before + link->unsettled->accepted);
            tx = static_cast<std::uint8_t>(link->unsettled->tx_before + link->unsettled->taken);
        }
        for (std::size_t i = 0; i < plan.scans.size(); ++i) {
            const POLL_PLAN::STEP& step = plan.scans[i];
            if (i > 0)
                scans.push_back(SCAN::commit(jtag::uart_commit_bits(link->version)));
            jtag::UART_REQUEST request;
            request.version = link->version;
            request.send = link->outgoing.data() + step.from;
            request.sends = step.sends;
            request.takes = step.takes;
            request.slots = step.slots;
            request.commit = step.commit;
            request.rx_count = rx;
            request.tx_count = tx;
            request.core = link->core_id();
            // A status read commits nothing: it need not wait in Pause-DR.
            scans.push_back(request.commit ? SCAN::dr(link->tap, paused_field(request), true)
                                           : SCAN::dr(link->tap, jtag::uart_field(request)));
            request.send = nullptr;
            requests.push_back(request);
        }
        if (plan.commit_last)
            scans.push_back(SCAN::commit(jtag::uart_commit_bits(link->version)));
    } else if (liveness) {
        const std::vector<jtag::TAP_SLOT>& taps = m_adapter->taps();
        if (openocd && !taps.empty() && taps.back().ir_length > 0) {
            const int last = static_cast<int>(taps.size()) - 1;
            scans.push_back(SCAN::ir(last, BITS(taps.back().ir_length, true)));
            scans.push_back(SCAN::dr(last, BITS(1)));
            m_ir_tap = -1;
        } else {
            scans.push_back(SCAN::idle());
        }
    }
    m_busy = true;
    m_woken = false;
    m_adapter->run(scans, [this, link, plan, requests, liveness](const std::string& error, jtag::CAPTURED captured) {
        m_busy = false;
        if (m_stopped || !m_up)
            return;
        if (!error.empty()) {
            keep_unsettled(link, plan, requests);
            go_down(error, false);
            return;
        }
        bool moved = false;
        if (!take_reply(link, plan, requests, captured, moved))
            return;
        if (moved || m_woken) {
            m_woken = false;
            m_pause = std::chrono::microseconds(0);
            asio::post(m_io, [this] { poll(); });
            return;
        }
        if (liveness) {
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

bool JTAG_CABLE::take_reply(CORE_LINK* link, const POLL_PLAN& plan, const std::vector<jtag::UART_REQUEST>& requests,
                            const jtag::CAPTURED& captured, bool& moved) {
    if (captured.size() < requests.size()) {
        keep_unsettled(link, plan, requests);
        go_down("a scan came back empty", false);
        return false;
    }
    m_in_pause = false;
    if (link != nullptr && plan.select) {
        m_ir_tap = link->tap;
        m_ir_value = link->instruction;
    }
    const std::size_t first = captured.size() - requests.size();
    std::vector<jtag::UART_STATUS> statuses(requests.size());
    std::size_t read = 0;
    std::string problem;
    for (; read < requests.size(); ++read)
        if (!jtag::read_uart_field(captured[first + read], requests[read], statuses[read], problem))
            break;
    if (plan.commit_first) {
        // A commit of an older core is known to have landed by this reply;
        // one of a core with counts waits for that core's next capture,
        // which may be in this very reply.
        moved = m_pending_accepted > 0 || !m_pending_taken.empty();
        if (m_pending_link != nullptr && m_pending_link->version >= 2)
            unsettle_pending();
        else
            confirm();
    }
    if (link == nullptr)
        return true;
    if (read < requests.size()) {
        if (jtag::reads_stuck(captured[first + read])) {
            go_down("no JTAG UART answered: the chain reads all " +
                        std::string(captured[first + read].empty() || captured[first + read][0] ? "ones" : "zeros"),
                    true);
            return false;
        }
        if (!plan.select) {
            // Perhaps another client of the adapter changed the instruction:
            // select it and look again before blaming the core.
            m_ir_tap = -1;
            moved = true;
            return true;
        }
        silence(*link, problem);
        return true;
    }
    for (std::size_t i = 0; i < requests.size(); ++i) {
        jtag::UART_STATUS& status = statuses[i];
        if (status.version != link->version) {
            if (!jtag::speaks_uart_version(status.version)) {
                silence(*link, "its data register is version " + std::to_string(status.version) +
                                   ", which this server does not speak");
                return true;
            }
            log("JTAG UART instruction 0x" + jtag::to_hex(jtag::to_bits(link->instruction, 8)) +
                ": data register version " + std::to_string(status.version));
            link->version = status.version;
            link->counts_known = false;
            moved = true;  // scan again at once, in its version
            return true;
        }
        if (link->version >= 2 && status.core != link->core_id()) {
            // Another core answered (another client changed the instruction):
            // it refused the scan; select this one again.
            m_ir_tap = -1;
            moved = true;
            return true;
        }
        if (status.tdo_delay != link->tdo_delay) {
            // What an FPGA primitive's TDO path does is seen only here: said once.
            log("JTAG UART instruction 0x" + jtag::to_hex(jtag::to_bits(link->instruction, 8)) +
                ": its header comes " + std::to_string(status.tdo_delay) + " bit" +
                (status.tdo_delay == 1 ? "" : "s") + " late on TDO");
            link->tdo_delay = status.tdo_delay;
        }
        if (link->version >= 2) {
            if (link->unsettled)
                settle(*link, status);
            link->rx_count = static_cast<std::uint8_t>(status.rx_count + status.accepted);
            link->tx_count = static_cast<std::uint8_t>(status.tx_count + status.taken_bytes.size());
            link->counts_known = true;
        }
        const bool this_moved = status.accepted > 0 || !status.taken_bytes.empty();
        const auto taken = static_cast<unsigned>(status.taken_bytes.size());
        link->seen_available = status.available > taken ? status.available - taken : 0;
        link->quiet = !this_moved && link->seen_available == 0;
        link->full = status.accepted < requests[i].sends;
        link->streaming = requests[i].takes > 0 && taken == requests[i].takes;
        // Bytes seen but not taken (a short scan, or no room) are
        // fetched at once rather than after the idle pause.
        moved = moved || this_moved || (link->seen_available > 0 && link->room() > 0);
        m_pending_link = link;
        m_pending_taken = std::move(status.taken_bytes);
        m_pending_accepted = status.accepted;
        m_pending_rx = status.rx_count;
        m_pending_tx = status.tx_count;
        // Every scan but the last was committed by the one after it.
        if (i + 1 < requests.size() || plan.commit_last) {
            if (link->version >= 2)
                unsettle_pending();
            else
                confirm();
        }
    }
    m_in_pause = !plan.commit_last && requests.back().commit;
    if (!m_in_pause)
        drop_pending();
    return true;
}

void JTAG_CABLE::settle(CORE_LINK& link, const jtag::UART_STATUS& status) {
    const UNSETTLED_COMMIT commit = *link.unsettled;
    link.unsettled.reset();
    unsigned accepted = 0;
    switch (settle_commit(commit, status.rx_count, status.tx_count, accepted)) {
    case COMMIT_OUTCOME::took_effect:
        accepted = std::min<unsigned>(accepted, static_cast<unsigned>(link.outgoing.size()));
        link.outgoing.erase(link.outgoing.begin(), link.outgoing.begin() + accepted);
        link.arrived.insert(link.arrived.end(), link.unsettled_taken.begin(), link.unsettled_taken.end());
        if (link.uart() != nullptr)
            link.uart()->pump();
        break;
    case COMMIT_OUTCOME::no_effect:
        break;
    case COMMIT_OUTCOME::unknown:
        log("JTAG UART instruction 0x" + jtag::to_hex(jtag::to_bits(link.instruction, 8)) +
            ": after the lost reply its counts moved by more than the last commit; bytes may be lost or doubled");
        break;
    }
    link.unsettled_taken.clear();
}

void JTAG_CABLE::keep_unsettled(CORE_LINK* link, const POLL_PLAN& plan,
                                const std::vector<jtag::UART_REQUEST>& requests) {
    // The paused scan's commit was sent: it reached its core or it did not.
    if (plan.commit_first && m_pending_link != nullptr && m_pending_link->version >= 2)
        unsettle_pending();
    // A send-only scan committed in the same transaction: how many of its
    // bytes the core kept shows in its counts.
    if (plan.commit_last && link != nullptr && link->version >= 2 && !requests.empty()) {
        const jtag::UART_REQUEST& request = requests.back();
        if (link->unsettled)
            link->unsettled->accepted_most += request.sends;  // after those before it, if they landed
        else
            link->unsettled = UNSETTLED_COMMIT{request.rx_count, request.tx_count, 0, request.sends, 0};
    }
}

void JTAG_CABLE::unsettle_pending() {
    CORE_LINK* link = m_pending_link;
    if (link != nullptr && !link->unsettled) {
        link->unsettled = UNSETTLED_COMMIT{m_pending_rx, m_pending_tx, m_pending_accepted, m_pending_accepted,
                                           m_pending_taken.size()};
        link->unsettled_taken = std::move(m_pending_taken);
    }
    drop_pending();
}

void JTAG_CABLE::silence(CORE_LINK& link, const std::string& problem) {
    link.silent = true;
    m_in_pause = false;
    m_ir_tap = -1;
    const int device = link.tap + 1;
    log("device " + std::to_string(device) + ", JTAG UART instruction 0x" +
        jtag::to_hex(jtag::to_bits(link.instruction, 8)) + ": " + problem + "; its holder is told");
    if (link.uart() != nullptr)
        link.uart()->fault_host(wire::FaultReason::unplugged);
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

void JTAG_CABLE::drop_pending() {
    m_pending_link = nullptr;
    m_pending_taken.clear();
    m_pending_accepted = 0;
}
