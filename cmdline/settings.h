// The process-wide settings record, the long-option table and the debug-dump
// switches. Filled once by argument processing; read by every other subsystem.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
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

/// The 21 option rows followed by the terminating row.
extern const option longopts[22];

/// The short-option string for the scanner, derived from a long-option table.
std::string build_short_options(const option* table);

/// Switches on the dump flag of every byte of the dump options text.
void set_dump_flags(const std::optional<std::string>& dump_options);

}  // namespace tolvan
