// Argument processing and the program entry: applies every option to the
// settings record, checks numeric arguments, gathers the target arguments,
// and then answers --version/--help or runs the terminal.
#include "cmdline/process-args.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "cmdline/fatal.h"
#include "cmdline/option-scanner.h"
#include "cmdline/settings.h"
#include "cmdline/usage.h"

namespace tolvan {

namespace {

// The numbers below are read the way the C library's atoi, strtoul and strtol
// read them, but with fixed-width arithmetic of our own: long is 32 bits on
// the host system and 64 here, and the results must not depend on it.

bool is_c_space(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool is_digit(char c) {
    return c >= '0' && c <= '9';
}

struct DecimalText {
    bool negative = false;
    bool has_digits = false;
    bool trailing = false;       ///< characters follow the number (or no number at all)
    std::uint64_t magnitude = 0;  ///< saturates far above any limit checked here
};

DecimalText read_decimal(const char* text) {
    constexpr std::uint64_t saturation = std::uint64_t{1} << 40;
    DecimalText number;
    const char* p = text;
    while (is_c_space(*p)) ++p;
    if (*p == '+' || *p == '-') number.negative = *p++ == '-';
    while (is_digit(*p)) {
        number.has_digits = true;
        if (number.magnitude < saturation) number.magnitude = number.magnitude * 10 + static_cast<unsigned>(*p - '0');
        ++p;
    }
    // Without digits nothing was converted, so the whole text is left over.
    number.trailing = number.has_digits ? *p != '\0' : *text != '\0';
    return number;
}

std::int64_t signed_value(const DecimalText& number) {
    auto magnitude = static_cast<std::int64_t>(number.magnitude);
    return number.negative ? -magnitude : magnitude;
}

void check_wait(const char* program, const char* text) {
    DecimalText number = read_decimal(text);
    std::int64_t value = number.has_digits ? signed_value(number) : 0;
    if (value <= 0) {
        std::fprintf(stderr, "%s: invalid argument to --wait: `%s' is not a positive number\n", program, text);
        settings.illegal_option = 1;
        return;
    }
    settings.wait_secs = static_cast<std::int32_t>(value > INT32_MAX ? INT32_MAX : value);
}

void check_quit_after(const char* program, const char* text) {
    DecimalText number = read_decimal(text);
    if (number.trailing) {
        std::fprintf(stderr, "%s: invalid argument to --quit-after: `%s' has unrecognized characters\n", program,
                     text);
        settings.illegal_option = 1;
        return;
    }
    // An unsigned 32-bit conversion: an overflow gives the largest value
    // whatever the sign; otherwise a '-' negates modulo 2 to the 32nd.
    std::uint32_t value;
    if (number.magnitude > UINT32_MAX)
        value = UINT32_MAX;
    else
        value = static_cast<std::uint32_t>(number.magnitude);
    if (number.negative && number.magnitude <= UINT32_MAX) value = 0u - value;
    if (value > static_cast<std::uint32_t>(INT32_MAX)) {
        std::fprintf(stderr, "%s: invalid argument to --quit-after: `%s' is out of range [0-2147483647]\n", program,
                     text);
        settings.illegal_option = 1;
        return;
    }
    settings.quit_after_secs = static_cast<std::int32_t>(value);
}

// Device and instance numbers share the check; `name` is the long option.
bool check_unit_number(const char* program, const char* name, const char* text, std::int32_t& value) {
    DecimalText number = read_decimal(text);
    if (number.trailing) {
        std::fprintf(stderr, "%s: invalid argument to --%s: `%s' has unrecognized characters\n", program, name, text);
        settings.illegal_option = 1;
        return false;
    }
    std::int64_t number_value = signed_value(number);
    if (number_value < -1 || number_value > INT32_MAX) {
        std::fprintf(stderr, "%s: invalid argument to --%s: `%s' is out of range [-1-2147483647]\n", program, name,
                     text);
        settings.illegal_option = 1;
        return false;
    }
    value = static_cast<std::int32_t>(number_value);
    return true;
}

}  // namespace

int process_args(int argc, char** argv) {
    const std::string short_options = build_short_options(longopts);
    // Without a first element (possible through exec) messages still need a name.
    const char* program = argc > 0 && argv[0] != nullptr ? argv[0] : PROGRAM_NAME;
    settings.program_path = program;

    for (;;) {
        int longindex = 0;
        int result = next_option(argc, argv, short_options.c_str(), longopts, &longindex);
        if (result == -1 || result == 'A') break;
        switch (result) {
        case 'v': settings.verbose = 1; break;
        case 'q': settings.verbose = 0; break;
        case 't': break;  // the terminal is all there is
        case 'H': break;  // the hardware target is the only one
        case 'V': settings.show_version = 1; break;
        case 'h': settings.show_help = 1; break;
        case opt_flush: settings.flush = 1; break;
        case opt_persistent: settings.persistent = 1; break;
        case opt_no_persistent: settings.persistent = 0; break;
        case opt_no_quit_on_ctrl_d: settings.quit_on_ctrl_d = 0; break;
        case 0:
            if (longindex == gmon_row)
                settings.write_gmon = 1;
            else if (longindex == no_gmon_row)
                settings.write_gmon = 0;
            else
                fatal_abort(diagnostic::unknown_gmon_row);
            break;
        case 'c': settings.jtag_cable = optarg; break;
        case 'u':
            if (settings.dump_options)
                *settings.dump_options += optarg;
            else
                settings.dump_options = optarg;
            break;
        case 'w': check_wait(program, optarg); break;
        case 'o': check_quit_after(program, optarg); break;
        case 'd': check_unit_number(program, "device", optarg, settings.jtag_device); break;
        case 'i': check_unit_number(program, "instance", optarg, settings.jtag_instance); break;
        case '?': settings.illegal_option = 1; break;
        default: fatal_abort(diagnostic::unknown_option_result);
        }
    }

    for (; optind < argc; ++optind) settings.target_args.emplace_back(argv[optind]);
    return settings.illegal_option;
}

int program_main(int argc, char** argv, terminal_driver run_terminal) {
    process_args(argc, argv);
    if (settings.illegal_option) {
        std::printf("%s: exiting because one or more illegal options were detected\n", PROGRAM_NAME);
        std::exit(1);
    }

    set_dump_flags(settings.dump_options);

    if (settings.show_version) {
        std::printf("%s: Version %s\n", PROGRAM_NAME, VERSION_TEXT);
        std::exit(0);
    }
    if (settings.dump_flags[static_cast<unsigned char>('c')]) print_effective_command_line();
    if (settings.show_help) {
        print_usage();
        std::exit(0);
    }

    run_terminal();
    return 0;
}

}  // namespace tolvan
