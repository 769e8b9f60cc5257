// The built-in demo target: a power-on line at start (what a terminal's
// --flush discards), a greeting on each connection, echo, and a few commands
// (help, count N, gmon, bye) for trying the terminal out.
#include <cstring>

#include "server/target-kinds.h"

namespace {

const char* const power_on_text = "Tolvan demo board powered on.\n";
const char* const greeting = "Tolvan demo target ready. Type 'help' for commands.\n";
const char* const help_text =
    "Commands:\n"
    "  help      this list\n"
    "  count N   print N numbered lines\n"
    "  gmon      send a small profile block (captured by --gmon)\n"
    "  bye       say goodbye and send Ctrl-D\n";

constexpr unsigned long k_max_count = 10000000;
/// More output is generated only when less than this is waiting.
constexpr std::size_t k_low_water = 4096;

class DEMO_TARGET : public TARGET {
public:
    std::string describe() const override { return "demo"; }

    bool start(UART&, std::string&) override {
        m_output.clear();
        m_output_pos = 0;
        m_line.clear();
        m_count_next = m_count_end = 0;
        m_output += power_on_text;
        return true;
    }

    void stop() override {
        m_output.clear();
        m_output_pos = 0;
        m_count_next = m_count_end = 0;
    }

    void host_connected(UART&) override { m_output += greeting; }

    bool exchange(UART& uart) override {
        bool moved = false;
        // Input is taken only while little output waits, so that a flood of
        // commands is slowed down by the host's reading like any target.
        std::uint8_t byte = 0;
        while (pending() < k_low_water && uart.target_read(&byte, 1) == 1) {
            take(static_cast<char>(byte));
            moved = true;
        }
        while (m_count_next < m_count_end && pending() < k_low_water) {
            m_output += "line " + std::to_string(m_count_next) + "\n";
            ++m_count_next;
        }
        if (pending() > 0) {
            const std::size_t count = uart.target_write(
                reinterpret_cast<const std::uint8_t*>(m_output.data()) + m_output_pos, pending());
            m_output_pos += count;
            moved = moved || count > 0;
            if (m_output_pos == m_output.size()) {
                m_output.clear();
                m_output_pos = 0;
            }
        }
        return moved;
    }

private:
    std::size_t pending() const { return m_output.size() - m_output_pos; }

    void take(char c) {
        if (c == '\r' || c == '\n') {
            const bool pair = c == '\n' && m_last_was_cr;
            m_last_was_cr = c == '\r';
            if (pair)
                return;
            m_output += "\n";
            run(m_line);
            m_line.clear();
            return;
        }
        m_last_was_cr = false;
        if (c == '\b' || c == 0x7F) {
            if (!m_line.empty()) {
                m_line.pop_back();
                m_output += "\b \b";
            }
            return;
        }
        if (m_line.size() < 256) {
            m_line += c;
            m_output += c;
        }
    }

    void run(const std::string& line) {
        const std::size_t start = line.find_first_not_of(' ');
        if (start == std::string::npos)
            return;
        const std::string command = line.substr(start, line.find(' ', start) - start);
        std::string argument;
        const std::size_t space = line.find(' ', start);
        if (space != std::string::npos) {
            const std::size_t from = line.find_first_not_of(' ', space);
            if (from != std::string::npos)
                argument = line.substr(from, line.find_last_not_of(' ') + 1 - from);
        }
        if (command == "help") {
            m_output += help_text;
        } else if (command == "count") {
            if (argument.empty() || argument.size() > 8 ||
                argument.find_first_not_of("0123456789") != std::string::npos ||
                std::stoul(argument) > k_max_count) {
                m_output += "count: give a number from 0 to " + std::to_string(k_max_count) + "\n";
                return;
            }
            m_count_next = 1;
            m_count_end = std::stoul(argument) + 1;
        } else if (command == "gmon") {
            send_profile();
        } else if (command == "bye") {
            m_output += "Bye.\n";
            m_output += '\x04';
        } else {
            m_output += "unknown command '" + command + "'; type 'help'\n";
        }
    }

    /// A profile block: the marker line, a 32-bit little-endian length, and a
    /// profile file with its header and one histogram record.
    void send_profile() {
        std::string profile;
        auto put32 = [&profile](std::uint32_t value) {
            for (int shift = 0; shift < 32; shift += 8)
                profile += static_cast<char>(value >> shift);
        };
        profile += "gmon";
        put32(1);                        // version
        profile.append(12, '\0');        // spare
        profile += '\0';                 // histogram record tag
        put32(0x1000);                   // low pc
        put32(0x1010);                   // high pc
        put32(8);                        // histogram bins
        put32(1000);                     // sampling rate
        std::string dimension = "seconds";
        dimension.resize(15, '\0');
        profile += dimension;
        profile += 's';
        for (std::uint16_t bin = 1; bin <= 8; ++bin) {
            profile += static_cast<char>(bin * 3);
            profile += '\0';
        }
        m_output += "**gmon.out data follows**\n";
        const auto length = static_cast<std::uint32_t>(profile.size());
        for (int shift = 0; shift < 32; shift += 8)
            m_output += static_cast<char>(length >> shift);
        m_output += profile;
    }

    std::string m_output;
    std::size_t m_output_pos = 0;
    std::string m_line;
    bool m_last_was_cr = false;
    unsigned long m_count_next = 0;
    unsigned long m_count_end = 0;
};

}  // namespace

std::unique_ptr<TARGET> make_demo_target(const TargetSettings&, asio::io_context&) {
    return std::make_unique<DEMO_TARGET>();
}
