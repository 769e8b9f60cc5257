// Escaping of control bytes and broken UTF-8 in texts from clients.
#include "wire/printable.h"

namespace wire {

namespace {

void escape(std::string& out, unsigned char byte) {
    static const char digits[] = "0123456789ABCDEF";
    out += "\\x";
    out += digits[byte >> 4];
    out += digits[byte & 0xF];
}

/// The length of the well-formed UTF-8 sequence of a printable character at
/// `at`, or 0 when there is none (a control, a stray or overlong byte).
std::size_t printable_sequence(const std::string& text, std::size_t at) {
    const auto byte = [&text](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(at);
    if (lead < 0x80)
        return lead >= 0x20 && lead != 0x7F ? 1 : 0;
    std::size_t length = 0;
    unsigned long code = 0;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        code = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        code = lead & 0x0F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        code = lead & 0x07;
    } else {
        return 0;
    }
    if (text.size() - at < length)
        return 0;
    for (std::size_t i = 1; i < length; ++i) {
        if ((byte(at + i) & 0xC0) != 0x80)
            return 0;
        code = (code << 6) | (byte(at + i) & 0x3F);
    }
    const bool overlong = (length == 3 && code < 0x800) || (length == 4 && code < 0x10000);
    const bool surrogate = code >= 0xD800 && code <= 0xDFFF;
    const bool c1_control = code >= 0x80 && code <= 0x9F;
    if (overlong || surrogate || c1_control || code > 0x10FFFF)
        return 0;
    return length;
}

}  // namespace

std::string printable_text(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t at = 0; at < text.size();) {
        const std::size_t length = printable_sequence(text, at);
        if (length == 0) {
            escape(out, static_cast<unsigned char>(text[at]));
            ++at;
            continue;
        }
        out.append(text, at, length);
        at += length;
    }
    return out;
}

}  // namespace wire
