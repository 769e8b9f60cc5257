// Bit strings and their hex form.
#include "jtag/bits.h"

namespace jtag {

BITS to_bits(std::uint64_t value, unsigned count) {
    BITS out(count);
    for (unsigned i = 0; i < count; ++i)
        out[i] = i < 64 && ((value >> i) & 1) != 0;
    return out;
}

std::uint64_t from_bits(const BITS& value, std::size_t first, unsigned count) {
    std::uint64_t out = 0;
    for (unsigned i = 0; i < count && i < 64; ++i)
        if (first + i < value.size() && value[first + i])
            out |= std::uint64_t{1} << i;
    return out;
}

void append(BITS& to, const BITS& more) {
    to.insert(to.end(), more.begin(), more.end());
}

void append(BITS& to, std::uint64_t value, unsigned count) {
    for (unsigned i = 0; i < count; ++i)
        to.push_back(i < 64 && ((value >> i) & 1) != 0);
}

std::string to_hex(const BITS& value) {
    static const char digits[] = "0123456789abcdef";
    const std::size_t count = (value.size() + 3) / 4;
    std::string out;
    out.reserve(count == 0 ? 1 : count);
    for (std::size_t d = count; d-- > 0;)
        out.push_back(digits[from_bits(value, d * 4, 4)]);
    return out.empty() ? "0" : out;
}

bool from_hex(std::string_view digits, std::size_t count, BITS& value) {
    value.assign(count, false);
    std::size_t bit = 0;
    for (std::size_t i = digits.size(); i-- > 0; bit += 4) {
        const char c = digits[i];
        unsigned nibble = 0;
        if (c >= '0' && c <= '9')
            nibble = static_cast<unsigned>(c - '0');
        else if (c >= 'a' && c <= 'f')
            nibble = static_cast<unsigned>(c - 'a' + 10);
        else if (c >= 'A' && c <= 'F')
            nibble = static_cast<unsigned>(c - 'A' + 10);
        else
            return false;
        for (unsigned b = 0; b < 4; ++b) {
            if (((nibble >> b) & 1) == 0)
                continue;
            if (bit + b >= count)
                return false;
            value[bit + b] = true;
        }
    }
    return true;
}

}  // namespace jtag
