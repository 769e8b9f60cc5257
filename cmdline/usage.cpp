// The usage text for --help and the effective command line for the 'c' dump
// switch, printed through the C runtime so they interleave with other output.
#include "cmdline/usage.h"

#include <cstdio>

#include "cmdline/fatal.h"
#include "cmdline/settings.h"

namespace tolvan {

namespace {

// Every description starts in column 30.
void option_line(const char* short_form, const char* long_form, const char* description) {
    std::printf("  %-4s%-23s%s\n", short_form, long_form, description);
}

bool brackets_on() {
    return settings.dump_flags[static_cast<unsigned char>('h')] != 0;
}

constexpr const char* bracket_indent = "                               ";  // 31 blanks

void bracket_line(const char* text) {
    if (brackets_on()) std::printf("%s%s\n", bracket_indent, text);
}

}  // namespace

void print_usage() {
    const bool brackets = brackets_on();
    std::printf("Usage: %s [TERMINAL OPTIONS] [CONNECTION OPTIONS] [TARGET OPTIONS]\n", PROGRAM_NAME);
    std::printf("Connect to a board running or a simulation of a Tolvan Processor.\n");
    bracket_line("(with current settings in brackets)");
    std::printf("\n");

    std::printf("Terminal Options:\n");
    option_line("-V, ", "--version", "display version number");
    option_line("-h, ", "--help", "show this message and exit");
    option_line("-v, ", "--verbose", "show extra information during run (default)");
    option_line("-q, ", "--quiet", "show minimal information");
    bracket_line(settings.verbose ? "(verbose output on)" : "(verbose output off)");
    option_line("", "--write-pid", "write process ID to filename specified");
    option_line("-w, ", "--wait", "wait for a signal before starting");
    option_line("", "--flush", "empty buffers before displaying output");
    option_line("", "--signal-pid", "send signal to process ID when ready");
    option_line("-o, ", "--quit-after=SECS", "quit after SECS second(s) (default is never)");
    check_invariant(settings.quit_after_secs >= 0, diagnostic::quit_after_not_negative);
    if (brackets) {
        if (settings.quit_after_secs > 0)
            std::printf("%s(quit after %ld second(s))\n", bracket_indent, static_cast<long>(settings.quit_after_secs));
        else
            bracket_line("(never quit on timeout)");
    }
    option_line("", "--no-quit-on-ctrl-d", "don't quit if Ctrl-D received from target");
    option_line("-u, ", "--dump=OPTS", "dump extra debug information for OPTS");
    if (brackets && settings.dump_options)
        std::printf("%s(dump options %s)\n", bracket_indent, settings.dump_options->c_str());
    option_line("", "--gmon", "write gmon.out file if seen from target");
    option_line("", "--no-gmon", "do not write gmon.out");
    bracket_line(settings.write_gmon ? "(write gmon.out)" : "(do not write gmon.out)");
    std::printf("\n");

    std::printf("Connection Options:\n");
    option_line("-H, ", "--hardware", "connect to a hardware target (default)");
    bracket_line("(connect to a hardware target)");
    option_line("", "--persistent", "try to reconnect after an I/O error");
    option_line("", "--no-persistent", "opposite of persistent");
    std::printf("\n");

    std::printf("Connect to Hardware Options:\n");
    option_line("-c, ", "--cable=CABLE", "use CABLE JTAG cable (default auto-detect)");
    if (brackets) {
        if (settings.jtag_cable)
            std::printf("%s(cable: `%s')\n", bracket_indent, settings.jtag_cable->c_str());
        else
            bracket_line("(auto-detect cable)");
    }
    option_line("-d, ", "--device=DEVICE", "connect to DEVICE device (default auto-detect)");
    if (brackets) {
        if (settings.jtag_device > 0)
            std::printf("%s(device: %d)\n", bracket_indent, static_cast<int>(settings.jtag_device));
        else
            bracket_line("(auto-detect device)");
    }
    option_line("-i, ", "--instance=INSTANCE", "connect to INSTANCE instance (default auto-detect)");
    if (brackets) {
        if (settings.jtag_instance >= 0)
            std::printf("%s(instance: %d)\n", bracket_indent, static_cast<int>(settings.jtag_instance));
        else
            bracket_line("(auto-detect instance)");
    }
    std::printf("\n");
    std::printf("\n");
}

void print_effective_command_line() {
    check_invariant(!settings.illegal_option, diagnostic::no_illegal_option);
    std::printf("Effective command line to %s: \n", PROGRAM_NAME);
    std::printf("  %s", settings.program_path.c_str());
    if (settings.show_help) std::printf(" --help");
    if (settings.show_version) std::printf(" --version");
    std::printf(settings.verbose ? " --verbose" : " --quiet");
    if (settings.write_gmon) std::printf(" --gmon");
    if (settings.quit_after_secs > 0) std::printf(" --quit-after %ld", static_cast<long>(settings.quit_after_secs));
    std::printf(" --hardware");
    if (settings.jtag_cable) std::printf(" --cable='%s'", settings.jtag_cable->c_str());
    if (settings.jtag_device > 0) std::printf(" --device=%d", static_cast<int>(settings.jtag_device));
    if (settings.jtag_instance >= 0) std::printf(" --instance=%d", static_cast<int>(settings.jtag_instance));
    if (!settings.target_args.empty()) {
        std::printf(" --");
        for (const std::string& arg : settings.target_args) std::printf(" '%s'", arg.c_str());
    }
    std::printf("\n\n");
}

}  // namespace tolvan
