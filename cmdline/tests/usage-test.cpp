// The usage text, with and without the current settings in brackets, and the
// effective command line, for settings taken from real command lines.
#include "cmdline/usage.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "cmdline/tests/command-line.h"

namespace tolvan {
namespace {

using Lines = std::vector<std::string>;

const char* const usage_with_brackets =
    "Usage: tolvan-terminal [TERMINAL OPTIONS] [CONNECTION OPTIONS] [TARGET OPTIONS]\n"
    "Connect to a board running or a simulation of a Tolvan Processor.\n"
    "                               (with current settings in brackets)\n"
    "\n"
    "Terminal Options:\n"
    "  -V, --version              display version number\n"
    "  -h, --help                 show this message and exit\n"
    "  -v, --verbose              show extra information during run (default)\n"
    "  -q, --quiet                show minimal information\n"
    "                               (verbose output on)\n"
    "      --write-pid            write process ID to filename specified\n"
    "  -w, --wait                 wait for a signal before starting\n"
    "      --flush                empty buffers before displaying output\n"
    "      --signal-pid           send signal to process ID when ready\n"
    "  -o, --quit-after=SECS      quit after SECS second(s) (default is never)\n"
    "                               (never quit on timeout)\n"
    "      --no-quit-on-ctrl-d    don't quit if Ctrl-D received from target\n"
    "  -u, --dump=OPTS            dump extra debug information for OPTS\n"
    "                               (dump options h)\n"
    "      --gmon                 write gmon.out file if seen from target\n"
    "      --no-gmon              do not write gmon.out\n"
    "                               (do not write gmon.out)\n"
    "\n"
    "Connection Options:\n"
    "  -H, --hardware             connect to a hardware target (default)\n"
    "                               (connect to a hardware target)\n"
    "      --persistent           try to reconnect after an I/O error\n"
    "      --no-persistent        opposite of persistent\n"
    "\n"
    "Connect to Hardware Options:\n"
    "  -c, --cable=CABLE          use CABLE JTAG cable (default auto-detect)\n"
    "                               (auto-detect cable)\n"
    "  -d, --device=DEVICE        connect to DEVICE device (default auto-detect)\n"
    "                               (auto-detect device)\n"
    "  -i, --instance=INSTANCE    connect to INSTANCE instance (default auto-detect)\n"
    "                               (auto-detect instance)\n"
    "\n"
    "\n";

const std::string bracket_indent(31, ' ');

Lines split_lines(const std::string& text) {
    Lines lines;
    std::istringstream stream(text);
    for (std::string line; std::getline(stream, line);) lines.push_back(line);
    return lines;
}

bool is_bracket_line(const std::string& line) {
    return line.compare(0, bracket_indent.size(), bracket_indent) == 0;
}

Lines bracket_lines(const std::string& text) {
    Lines brackets;
    for (const std::string& line : split_lines(text))
        if (is_bracket_line(line)) brackets.push_back(line.substr(bracket_indent.size()));
    return brackets;
}

// Settings from a command line, as the program entry has them when it prints.
void apply(test::CommandLine line) {
    test::fresh_start();
    ASSERT_EQ(process_args(line.argc(), line.argv()), 0);
    set_dump_flags(settings.dump_options);
}

std::string usage_for(test::CommandLine line) {
    apply(std::move(line));
    testing::internal::CaptureStdout();
    print_usage();
    return testing::internal::GetCapturedStdout();
}

std::string effective_line_for(test::CommandLine line) {
    apply(std::move(line));
    testing::internal::CaptureStdout();
    print_effective_command_line();
    return testing::internal::GetCapturedStdout();
}

TEST(Usage, WithoutBracketsPrintsTheUnconditionalLinesOnly) {
    std::string expected;
    int count = 0;
    for (const std::string& line : split_lines(usage_with_brackets)) {
        if (is_bracket_line(line)) continue;
        expected += line + "\n";
        ++count;
    }
    ASSERT_EQ(count, 29);
    EXPECT_EQ(usage_for({"prog", "-h"}), expected);
}

TEST(Usage, WithBracketsShowsStartUpSettings) {
    EXPECT_EQ(usage_for({"prog", "-h", "-u", "h"}), usage_with_brackets);
}

TEST(Usage, BracketsShowValuesFromTheSameCommandLine) {
    EXPECT_EQ(bracket_lines(usage_for({"prog", "-h", "-u", "h", "-q", "-o", "10", "--gmon", "-c", "X", "-d", "1",
                                       "-i", "0", "--dump=zz"})),
              (Lines{"(with current settings in brackets)", "(verbose output off)", "(quit after 10 second(s))",
                     "(dump options hzz)", "(write gmon.out)", "(connect to a hardware target)", "(cable: `X')",
                     "(device: 1)", "(instance: 0)"}));
}

TEST(Usage, DeviceZeroAndMinusOneBothMeanAutoDetect) {
    for (const char* device : {"0", "-1"}) {
        Lines brackets = bracket_lines(usage_for({"prog", "-h", "-u", "h", "-d", device, "-i", "-1"}));
        ASSERT_EQ(brackets.size(), 9u);
        EXPECT_EQ(brackets[7], "(auto-detect device)") << device;
        EXPECT_EQ(brackets[8], "(auto-detect instance)") << device;
    }
}

TEST(UsageDeathTest, NegativeTimeLimitIsAnInternalFault) {
    reset_settings();
    settings.quit_after_secs = -1;
    EXPECT_DEATH(print_usage(), test::assertion_report("cmdline/process-args.cpp", 45, "quit_after_secs >= 0"));
}

TEST(EffectiveCommandLine, StartUpSettings) {
    EXPECT_EQ(effective_line_for({"prog", "-u", "c"}),
              "Effective command line to tolvan-terminal: \n"
              "  prog --verbose --hardware\n"
              "\n");
}

TEST(EffectiveCommandLine, RestatesTheMainSettingsInFixedOrder) {
    EXPECT_EQ(effective_line_for({"prog", "-u", "c", "-q", "-c", "X", "-d", "2", "-i", "0", "-o", "10", "--gmon",
                                  "--", "a", "b"}),
              "Effective command line to tolvan-terminal: \n"
              "  prog --quiet --gmon --quit-after 10 --hardware --cable='X' --device=2 --instance=0 -- 'a' 'b'\n"
              "\n");
}

TEST(EffectiveCommandLine, HelpVersionAndQuotedTargetArguments) {
    EXPECT_EQ(effective_line_for({"/bin/prog", "-V", "-h", "-d", "0", "--persistent", "-w", "3", "x y", "-A",
                                  "it's", ""}),
              "Effective command line to tolvan-terminal: \n"
              "  /bin/prog --help --version --verbose --hardware -- 'x y' 'it's' ''\n"
              "\n");
}

TEST(EffectiveCommandLineDeathTest, RefusedCommandLineIsAnInternalFault) {
    reset_settings();
    settings.illegal_option = 1;
    EXPECT_DEATH(print_effective_command_line(),
                 test::assertion_report("cmdline/process-args.cpp", 216, "!illegal_option"));
}

}  // namespace
}  // namespace tolvan
