// Bit strings as JTAG shifts them: element 0 is the first bit shifted (into
// TDI, or out of TDO), which is bit 0 of the register's value.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace jtag {

using BITS = std::vector<bool>;

BITS to_bits(std::uint64_t value, unsigned count);
/// `count` bits from `first`, bit `first` becoming bit 0; bits beyond the
/// end read as 0.
std::uint64_t from_bits(const BITS& value, std::size_t first, unsigned count);
void append(BITS& to, const BITS& more);
void append(BITS& to, std::uint64_t value, unsigned count);
/// The value as hex digits, most significant first (what OpenOCD's drscan takes after 0x).
std::string to_hex(const BITS& value);
/// Hex digits (most significant first) into `count` bits; false when a
/// character is not a hex digit or a set bit lies beyond `count`.
bool from_hex(std::string_view digits, std::size_t count, BITS& value);

}  // namespace jtag
