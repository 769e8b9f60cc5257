// What the mains of jtag-server, chainprobe and jtag-board-sim share: the
// error line they stop with, and their command line parsed with CLI11
// (--help, --version and bad options handled the same way by each).
#pragma once

#include <optional>
#include <string>

#include <CLI/CLI.hpp>

namespace programs {

/// "PROGRAM: error: MESSAGE" on standard error; returns the exit status 1.
int error_exit(const char* program, const std::string& message);

/// Parses the command line into `app`'s options. Nothing when the program
/// goes on; else its exit status: 0 after --help, or after --version when
/// `with_version` adds that flag ("PROGRAM VERSION (protocol N)"), and 1
/// after a bad option, reported as error_exit does ("... (see --help)").
std::optional<int> parse_command_line(CLI::App& app, int argc, char** argv, const char* program,
                                      bool with_version);

}  // namespace programs
