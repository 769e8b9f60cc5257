// Scans as OpenOCD TCL commands, and the parsers of its replies.
#include "jtag/openocd-tcl.h"

#include <algorithm>
#include <cctype>
#include <charconv>

namespace jtag {

namespace {

bool blank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

std::vector<std::string_view> words(std::string_view text) {
    std::vector<std::string_view> out;
    std::size_t at = 0;
    while (at < text.size()) {
        while (at < text.size() && blank(text[at]))
            ++at;
        const std::size_t start = at;
        while (at < text.size() && !blank(text[at]))
            ++at;
        if (at > start)
            out.push_back(text.substr(start, at - start));
    }
    return out;
}

/// A short, printable quote of what came for a message.
std::string quote(std::string_view text) {
    std::string out;
    for (char c : text.substr(0, 60))
        out.push_back(std::isprint(static_cast<unsigned char>(c)) != 0 ? c : '?');
    return "\"" + out + (text.size() > 60 ? "...\"" : "\"");
}

template <typename T>
bool number(std::string_view text, T& value, int base) {
    if (base == 16 && text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X'))
        text.remove_prefix(2);
    if (text.empty())
        return false;
    const auto [end, problem] = std::from_chars(text.data(), text.data() + text.size(), value, base);
    return problem == std::errc() && end == text.data() + text.size();
}

}  // namespace

bool tcl_script(const std::vector<SCAN>& scans, const std::vector<TAP_SLOT>& taps, std::string& script,
                std::string& error) {
    // Commands up to and including each DR scan form a group whose result
    // is that scan's; several groups are joined with concat.
    std::vector<std::string> groups(1);
    for (const SCAN& scan : scans) {
        if (scan.kind == SCAN::KIND::reset || ((scan.kind == SCAN::KIND::ir || scan.kind == SCAN::KIND::dr) &&
                                               (scan.tap < 0 || static_cast<std::size_t>(scan.tap) >= taps.size()))) {
            error = "OpenOCD scans one declared TAP at a time and resets the chain itself";
            return false;
        }
        std::string& group = groups.back();
        if (!group.empty())
            group += "; ";
        if (scan.kind == SCAN::KIND::idle) {
            group += "runtest " + std::to_string(scan.clocks);
        } else if (scan.kind == SCAN::KIND::commit) {
            group += "pathmove DRPAUSE DREXIT2 DRSHIFT";
            for (unsigned bit = 1; bit < std::max(1u, scan.clocks); ++bit)
                group += " DRSHIFT";
            group += " DREXIT1 DRUPDATE IDLE";
        } else if (scan.kind == SCAN::KIND::ir) {
            group += "irscan " + taps[static_cast<std::size_t>(scan.tap)].name + " 0x" + to_hex(scan.bits);
        } else {
            group += "drscan " + taps[static_cast<std::size_t>(scan.tap)].name + " " +
                     std::to_string(scan.bits.size()) + " 0x" + to_hex(scan.bits) +
                     (scan.pause ? " -endstate DRPAUSE" : "");
            groups.emplace_back();
        }
    }
    if (groups.back().empty())
        groups.pop_back();
    script.clear();
    if (groups.size() == 1) {
        script = groups.front();
        return true;
    }
    script = "concat";
    for (const std::string& group : groups)
        script += " [" + group + "]";
    return true;
}

bool parse_drscan_reply(std::string_view reply, std::size_t count, BITS& bits, std::string& error) {
    CAPTURED captured;
    if (!parse_drscan_replies(reply, {count}, captured, error))
        return false;
    bits = std::move(captured.front());
    return true;
}

bool parse_drscan_replies(std::string_view reply, const std::vector<std::size_t>& counts, CAPTURED& captured,
                          std::string& error) {
    captured.clear();
    const std::vector<std::string_view> found = words(reply);
    if (found.size() != counts.size()) {
        error = "OpenOCD's drscan reply is not " + std::to_string(counts.size()) + " hex word" +
                (counts.size() == 1 ? "" : "s") + ": " + quote(reply);
        return false;
    }
    for (std::size_t i = 0; i < counts.size(); ++i) {
        std::string_view word = found[i];
        if (word.size() > 2 && word[0] == '0' && (word[1] == 'x' || word[1] == 'X'))
            word.remove_prefix(2);
        BITS bits;
        if (word.size() > (counts[i] + 3) / 4 + 1 || !from_hex(word, counts[i], bits)) {
            error = "OpenOCD's drscan reply is not " + std::to_string(counts[i]) + " bits in hex: " + quote(reply);
            captured.clear();
            return false;
        }
        captured.push_back(std::move(bits));
    }
    return true;
}

bool parse_scan_chain(std::string_view reply, std::vector<LISTED_TAP>& taps, std::string& error) {
    taps.clear();
    std::size_t at = 0;
    int line_number = 0;
    while (at < reply.size()) {
        std::size_t end = reply.find('\n', at);
        if (end == std::string_view::npos)
            end = reply.size();
        const std::string_view line = reply.substr(at, end - at);
        at = end + 1;
        ++line_number;
        const std::vector<std::string_view> fields = words(line);
        // The heading and its rule; rows start with their index.
        if (fields.empty() || fields[0] == "TapName" || fields[0].starts_with("--"))
            continue;
        // A TAP declared with several -expected-id values: each further ID
        // on a row of its own, only the Expected column filled (0x%08x).
        std::uint32_t id = 0;
        if (fields.size() == 1 && fields[0].size() == 10 && fields[0].starts_with("0x")) {
            if (taps.empty() || !number(fields[0], id, 16)) {
                error = "OpenOCD's scan_chain line " + std::to_string(line_number) +
                        (taps.empty() ? " is an expected IDCODE of no TAP: " : " does not parse: ") + quote(line);
                return false;
            }
            taps.back().expected.push_back(id);
            continue;
        }
        LISTED_TAP tap;
        unsigned index = 0;
        if (fields.size() != 8 || !number(fields[0], index, 10) || index != taps.size() ||
            (fields[2] != "Y" && fields[2] != "n") || !number(fields[3], tap.idcode, 16) ||
            !number(fields[4], id, 16) || !number(fields[5], tap.ir_length, 10) ||
            !number(fields[6], tap.ir_capture, 16) || tap.ir_length < 2 || tap.ir_length > k_max_ir_length) {
            error = "OpenOCD's scan_chain line " + std::to_string(line_number) + " does not parse: " + quote(line);
            return false;
        }
        for (char c : fields[1]) {
            if (std::isalnum(static_cast<unsigned char>(c)) == 0 && c != '.' && c != '_' && c != '-') {
                error = "OpenOCD's scan_chain names a TAP " + quote(fields[1]);
                return false;
            }
        }
        tap.name = std::string(fields[1]);
        tap.enabled = fields[2] == "Y";
        // OpenOCD prints 0 in the column of a TAP declared without an ID.
        if (id != 0)
            tap.expected.push_back(id);
        taps.push_back(std::move(tap));
        if (taps.size() > k_max_taps) {
            error = "OpenOCD's scan_chain lists more than " + std::to_string(k_max_taps) + " TAPs";
            return false;
        }
    }
    if (taps.empty()) {
        error = "OpenOCD's scan_chain lists no TAP: " + quote(reply);
        return false;
    }
    return true;
}

}  // namespace jtag
