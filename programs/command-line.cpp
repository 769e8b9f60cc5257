// The command-line steps the programs' mains share.
#include "programs/command-line.h"

#include <cstdio>

#include "wire/frame.h"

namespace programs {

int error_exit(const char* program, const std::string& message) {
    std::fprintf(stderr, "%s: error: %s\n", program, message.c_str());
    return 1;
}

std::optional<int> parse_command_line(CLI::App& app, int argc, char** argv, const char* program,
                                      bool with_version) {
    bool show_version = false;
    if (with_version)
        app.add_flag("--version", show_version, "print the version and the protocol version, and exit");
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp&) {
        std::printf("%s", app.help().c_str());
        return 0;
    } catch (const CLI::ParseError& error) {
        return error_exit(program, std::string(error.what()) + " (see --help)");
    }
    if (show_version) {
        std::printf("%s %s (protocol %u)\n", program, TT_VERSION, static_cast<unsigned>(wire::k_protocol_version));
        return 0;
    }
    return std::nullopt;
}

}  // namespace programs
