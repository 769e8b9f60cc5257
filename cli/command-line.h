// The command line of the server-side programs (jtag-server, chainprobe,
// jtag-board-sim), read with CLI11 alike in each: --help prints the usage,
// a mistake is one error line that points at --help.
#pragma once

#include <cstdio>
#include <string>

#include <CLI/CLI.hpp>

/// Parses `argv` into `app`: true to go on, else false with the program's
/// exit `status`: 0 once --help printed the usage, or what `fail(message)`
/// returns for a mistake.
template <typename FAIL>
bool parse_command_line(CLI::App& app, int argc, char** argv, int& status, FAIL&& fail) {
    try {
        app.parse(argc, argv);
        return true;
    } catch (const CLI::CallForHelp&) {
        std::printf("%s", app.help().c_str());
        status = 0;
    } catch (const CLI::ParseError& error) {
        status = fail(std::string(error.what()) + " (see --help)");
    }
    return false;
}
