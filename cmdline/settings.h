// The process-wide settings record, the long-option table and the debug-dump
// switches. Filled once by argument processing; read by every other subsystem.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tolvan {

/// Prefix of the program's own messages and the client name given to the
/// JTAG UART library.
inline constexpr const char* PROGRAM_NAME = "tolvan-terminal";

/// Version text printed by --version.
inline constexpr const char* VERSION_TEXT = "(wombat)";

struct Settings {
    int verbose = 1;
    int quit_on_ctrl_d = 1;
    std::int32_t jtag_device = -1;    ///< -1: auto-detect
    std::int32_t jtag_instance = -1;  ///< -1: auto-detect
    std::optional<std::string> jtag_cable;  ///< none: auto-detect
    std::int32_t wait_secs = 0;
    std::int32_t quit_after_secs = 0;  ///< never negative; 0: never
    int flush = 0;
    int persistent = 0;
    int write_gmon = 0;
    int show_version = 0;
    int show_help = 0;
    std::optional<std::string> dump_options;  ///< every -u/--dump text, appended
    int dump_flags[256] = {};                 ///< indexed by byte value
    std::string program_path;
    std::vector<std::string> target_args;
    int illegal_option = 0;
};

extern Settings settings;

/// Puts the record back to its start-up values (tests run many command lines
/// in one process).
void reset_settings();

/// One row of the long-option table, in the manner of POSIX getopt_long.
struct option {
    const char* name;  ///< none ends the table
    int has_arg;       ///< 0 none, 1 required; 2 is treated like 1
    int* flag;         ///< receives val instead of returning it, when set
    int val;
};

/// What the scanner returns for the options that have no short form.
enum long_only_option : int {
    opt_flush = 128,
    opt_persistent = 129,
    opt_no_persistent = 130,
    opt_no_quit_on_ctrl_d = 132,
};

/// The option rows followed by the terminating row. "gmon" and "no-gmon"
/// return 0 and are told apart by their row index.
inline constexpr option longopts[] = {
    {"verbose", 0, nullptr, 'v'},
    {"no-verbose", 0, nullptr, 'q'},
    {"quiet", 0, nullptr, 'q'},
    {"no-ihost", 0, nullptr, 't'},
    {"terminal-only", 0, nullptr, 't'},
    {"flush", 0, nullptr, opt_flush},
    {"wait", 1, nullptr, 'w'},
    {"no-quit-on-ctrl-d", 0, nullptr, opt_no_quit_on_ctrl_d},
    {"quit-after", 1, nullptr, 'o'},
    {"dump", 1, nullptr, 'u'},
    {"gmon", 0, nullptr, 0},
    {"no-gmon", 0, nullptr, 0},
    {"version", 0, nullptr, 'V'},
    {"help", 0, nullptr, 'h'},
    {"hardware", 0, nullptr, 'H'},
    {"persistent", 0, nullptr, opt_persistent},
    {"no-persistent", 0, nullptr, opt_no_persistent},
    {"cable", 1, nullptr, 'c'},
    {"device", 1, nullptr, 'd'},
    {"instance", 1, nullptr, 'i'},
    {"target-args", 0, nullptr, 'A'},
    {nullptr, 0, nullptr, 0},
};

/// The index of the row named `name`; -1 when there is none.
constexpr int longopt_row(std::string_view name) {
    for (int i = 0; longopts[i].name != nullptr; ++i)
        if (name == longopts[i].name) return i;
    return -1;
}

inline constexpr int gmon_row = longopt_row("gmon");
inline constexpr int no_gmon_row = longopt_row("no-gmon");
static_assert(gmon_row >= 0 && no_gmon_row >= 0);

/// The short-option string for the scanner, derived from a long-option table.
std::string build_short_options(const option* table);

/// Switches on the dump flag of every byte of the dump options text.
void set_dump_flags(const std::optional<std::string>& dump_options);

}  // namespace tolvan
