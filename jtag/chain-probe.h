// What a host learns of an unknown chain and of our TAPs from the bits it
// captured: the IDCODEs and IR lengths of the TAPs, the discovery
// descriptor of a TAP of ours, and the JTAG UART's data register. No I/O;
// nothing captured is trusted (a broken cable reads anything).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "jtag/bits.h"
#include "jtag/scan.h"

namespace jtag {

/// A TAP as a host found it.
struct TAP_FACTS {
    std::string name;                    ///< the adapter's name for it, if it has one
    std::optional<std::uint32_t> idcode; ///< none: the TAP came up in BYPASS
    unsigned ir_length = 0;
    bool ir_length_given = false;        ///< from the board file, not probed
    bool ir_length_guessed = false;      ///< read from the IR captures (the only split they allow)
    /// What is wrong with this TAP's IR length when the captures do not
    /// settle it, or contradict the one given; empty otherwise.
    std::string ir_length_problem;
    /// Declared to OpenOCD but disabled: left out of the chain, never scanned.
    bool disabled = false;
};

/// "IDCODE 0x17e01f57 (manufacturer 0x7ab, part 0x7e01, version 1)".
std::string describe_idcode(std::uint32_t idcode);

// --- The chain: after a reset, ones through every DR, then the IRs. ---

/// Bits for the DR probe: ones, enough for k_max_taps IDCODEs and the end mark.
BITS idcode_probe_bits();
enum class CHAIN_READ { ok, all_ones, all_zeros, broken };
/// The TAPs from what the DR probe captured: a 1 starts a 32-bit IDCODE, a
/// 0 is a TAP in BYPASS, 32 ones end the chain (broken when they come
/// before any TAP).
CHAIN_READ read_idcodes(const BITS& captured, std::vector<TAP_FACTS>& taps, std::string& error);

/// Bits for the IR probe: zeros through every IR, then ones.
BITS ir_probe_bits();
/// Each TAP's IR length from what the IR probe captured (every capture
/// ends in binary 01, nearest TDO first, but may hold more 01 before it).
/// Lengths already set with `ir_length_given` are kept; the others are
/// guessed, and marked so, when the captures allow only one split. Else
/// false: `error` says why, each TAP it concerns gets `ir_length_problem`
/// (one that may have several lengths, a given length that cannot be
/// right), and the lengths not given are 0.
bool read_ir_lengths(const BITS& captured, std::vector<TAP_FACTS>& taps, std::string& error);

// --- A TAP of ours: the DISCOVER instruction's descriptor. ---

constexpr unsigned k_ir_length = 6;       ///< of our TAP
constexpr unsigned k_ir_discover = 0x02;
constexpr std::uint32_t k_descriptor_magic = 0x55A71C3D;
constexpr unsigned k_descriptor_version = 1;
constexpr unsigned k_uart_version = 3;  ///< the data register version this host prefers
/// More UARTs than this behind one TAP is a descriptor not to believe.
constexpr unsigned k_max_uarts = 32;

struct CORE_FACTS {
    unsigned instruction = 0;
    unsigned rx_depth = 64;   ///< host to CPU
    unsigned tx_depth = 64;   ///< CPU to host
    unsigned version = k_uart_version;
};

/// Why `instruction` cannot select a JTAG UART on a TAP whose IR has
/// `ir_length` bits (it is wider, or all ones, which is BYPASS); empty when it can.
std::string user_instruction_problem(unsigned instruction, unsigned ir_length);

struct DESCRIPTOR {
    unsigned version = 0;
    unsigned count = 0;
    unsigned ir_length = 0;
    std::vector<CORE_FACTS> uarts;
};

enum class DESCRIPTOR_READ { absent, ok, unknown_version, impossible };
/// The first 64 bits: the magic, the version and the count.
DESCRIPTOR_READ read_descriptor_head(const BITS& captured, unsigned tap_ir_length, DESCRIPTOR& descriptor,
                                     std::string& error);
/// The whole descriptor (64 + 32 * count bits): each UART's facts.
bool read_descriptor(const BITS& captured, unsigned tap_ir_length, DESCRIPTOR& descriptor, std::string& error);

// --- A JTAG UART's data register (versions 1 to 3). ---

/// Version 2 shows the counts of bytes committed each way and commits only
/// a scan that names them; version 1 (older cores) has neither. Version 3
/// frames the host's field with a zero before its start bit and one bit of
/// padding after it, so that a primitive that hands the core TDI a clock
/// late (its register's stale bit first) still delivers every bit.
constexpr unsigned k_uart_oldest_version = 1;
inline bool speaks_uart_version(unsigned version) {
    return version >= k_uart_oldest_version && version <= k_uart_version;
}
inline unsigned uart_header_bits(unsigned version) {
    return version >= 2 ? 56 : 32;
}
/// Zeros after the last slot (the padding), and before the start bit.
inline unsigned uart_pad_bits(unsigned version) {
    return version >= 3 ? 1 : 0;
}
inline unsigned uart_lead_bits(unsigned version) {
    return version >= 3 ? 1 : 0;
}
/// The bits a scan that commits leaves out when it waits in Pause-DR, and
/// SCAN::commit then shifts: the padding and one bit of an empty slot, so
/// that not even a core that sees TDI as it is has its whole field before.
inline unsigned uart_commit_bits(unsigned version) {
    return 1 + uart_pad_bits(version);
}
/// The bits of TDO delay the host looks past for the core's header: a
/// primitive that samples TDO itself behind a wrapper that holds it from
/// the falling edge adds one.
constexpr unsigned k_max_tdo_delay = 2;

constexpr unsigned k_max_slots = 255;
/// A host that pauses its scans short of their length (uart_commit_bits) keeps the last slot empty.
constexpr unsigned k_max_usable_slots = k_max_slots - 1;

/// One scan as the host shifts it in.
struct UART_REQUEST {
    unsigned version = k_uart_version;
    const std::uint8_t* send = nullptr;  ///< `sends` bytes for the receive FIFO
    unsigned sends = 0, takes = 0, slots = 0;
    bool commit = true;  ///< false: a status read
    /// Version 2: the counts the host expects the core to show, and the
    /// core it means (the low byte of the core's instruction).
    std::uint8_t rx_count = 0, tx_count = 0;
    std::uint8_t core = 0;
};

/// The host's field: the lead, the start bit, its header, `slots` byte
/// slots holding `send` and zeros, and the padding.
BITS uart_field(const UART_REQUEST& request);
inline std::size_t uart_field_length(unsigned version, unsigned slots) {
    return uart_lead_bits(version) + 1 + uart_header_bits(version) + 8 * std::size_t{slots} + uart_pad_bits(version);
}

struct UART_STATUS {
    unsigned available = 0, room = 0, version = 0;
    /// Version 2: bytes committed each way before this scan (modulo 256),
    /// and the core that answered (the low byte of its instruction).
    std::uint8_t rx_count = 0, tx_count = 0;
    std::uint8_t core = 0;
    /// The scan commits once it reaches Update-DR at its full length: the
    /// core speaks the request's version and, in version 2, it is the core
    /// and its counts are the ones the request named.
    bool commits = false;
    std::vector<std::uint8_t> taken_bytes;  ///< the bytes the scan takes when it commits
    unsigned accepted = 0;                  ///< of the host's bytes, how many the core keeps
    unsigned tdo_delay = 0;                 ///< bits before the header (the path's TDO delay)
};

/// What a scan of `uart_field(request)` captured (the bits of a scan paused
/// short may be missing at its end): the core's header is found up to
/// k_max_tdo_delay bits late, by its mark. False with `error` when no core
/// answered (the chain reads all ones or zeros, or another register). A
/// core of another version answers, but nothing is taken or kept.
bool read_uart_field(const BITS& captured, const UART_REQUEST& request, UART_STATUS& status, std::string& error);
/// Every bit the same: no register of any TAP answered (the board is off or the cable broken).
bool reads_stuck(const BITS& captured);

}  // namespace jtag
