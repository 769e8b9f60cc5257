// Argument processing and the program entry: every numeric check at its
// boundaries, repeated options, target arguments, and how the entry ends
// (status and output) for refused, version, help and normal runs.
#include "cmdline/process-args.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "cmdline/tests/command-line.h"

namespace tolvan {
namespace {

using test::CommandLine;
using Texts = std::vector<std::string>;

struct Processed {
    int result;
    std::string err;
};

Processed process(CommandLine line) {
    test::fresh_start();
    testing::internal::CaptureStderr();
    int result = process_args(line.argc(), line.argv());
    return {result, testing::internal::GetCapturedStderr()};
}

enum class Verdict { accepted, unrecognized, out_of_range };

struct NumberCase {
    const char* text;
    Verdict verdict;
    std::int32_t value;  // when accepted
};

std::string message(const char* option, Verdict verdict, const char* text) {
    std::string quoted = std::string("`") + text + "'";
    if (verdict == Verdict::unrecognized)
        return std::string("prog: invalid argument to --") + option + ": " + quoted + " has unrecognized characters\n";
    const char* range = std::string(option) == "quit-after" ? "[0-2147483647]" : "[-1-2147483647]";
    return std::string("prog: invalid argument to --") + option + ": " + quoted + " is out of range " + range + "\n";
}

TEST(ArgumentChecks, DeviceAndInstanceNumbers) {
    const NumberCase cases[] = {
        {"-1", Verdict::accepted, -1},
        {"0", Verdict::accepted, 0},
        {"", Verdict::accepted, 0},
        {" 7", Verdict::accepted, 7},
        {"+7", Verdict::accepted, 7},
        {"2147483647", Verdict::accepted, 2147483647},
        {"-2", Verdict::out_of_range, 0},
        {"2147483648", Verdict::out_of_range, 0},
        {"4294967296", Verdict::out_of_range, 0},
        {"4294967295", Verdict::out_of_range, 0},
        {"-4294967295", Verdict::out_of_range, 0},
        {"-2147483648", Verdict::out_of_range, 0},
        {"123456789012345678901234567890", Verdict::out_of_range, 0},
        {"5x", Verdict::unrecognized, 0},
        {"0x10", Verdict::unrecognized, 0},
        {"7 ", Verdict::unrecognized, 0},
        {" ", Verdict::unrecognized, 0},
        {"-", Verdict::unrecognized, 0},
        {"abc", Verdict::unrecognized, 0},
        {"99999999999x", Verdict::unrecognized, 0},  // characters are checked before the range
    };
    for (const NumberCase& c : cases) {
        SCOPED_TRACE(std::string("text '") + c.text + "'");
        // A rejected argument leaves the earlier value in force.
        Processed device = process({"prog", "-d", "3", "-d", c.text});
        EXPECT_EQ(settings.jtag_device, c.verdict == Verdict::accepted ? c.value : 3);
        Processed instance = process({"prog", "--instance=3", "--instance", c.text});
        EXPECT_EQ(settings.jtag_instance, c.verdict == Verdict::accepted ? c.value : 3);
        if (c.verdict == Verdict::accepted) {
            EXPECT_EQ(device.result, 0);
            EXPECT_EQ(device.err, "");
            EXPECT_EQ(instance.result, 0);
            EXPECT_EQ(instance.err, "");
        } else {
            EXPECT_EQ(device.result, 1);
            EXPECT_EQ(device.err, message("device", c.verdict, c.text));
            EXPECT_EQ(instance.result, 1);
            EXPECT_EQ(instance.err, message("instance", c.verdict, c.text));
        }
    }
}

TEST(ArgumentChecks, TimeLimitIsReadAsUnsigned32Bit) {
    const NumberCase cases[] = {
        {"", Verdict::accepted, 0},
        {"10", Verdict::accepted, 10},
        {" 7", Verdict::accepted, 7},
        {"2147483647", Verdict::accepted, 2147483647},
        {"-4294967295", Verdict::accepted, 1},  // '-' negates modulo 2 to the 32nd
        {"-0", Verdict::accepted, 0},
        {"2147483648", Verdict::out_of_range, 0},
        {"4294967295", Verdict::out_of_range, 0},
        {"4294967296", Verdict::out_of_range, 0},
        {"-1", Verdict::out_of_range, 0},
        {"-4294967296", Verdict::out_of_range, 0},  // an overflow gives the largest value, sign or not
        {"123456789012345678901234567890", Verdict::out_of_range, 0},
        {"10s", Verdict::unrecognized, 0},
        {"0x10", Verdict::unrecognized, 0},
        {"+", Verdict::unrecognized, 0},
        {"\t", Verdict::unrecognized, 0},
    };
    for (const NumberCase& c : cases) {
        SCOPED_TRACE(std::string("text '") + c.text + "'");
        Processed run = process({"prog", "-o", "5", "--quit-after", c.text});
        EXPECT_EQ(settings.quit_after_secs, c.verdict == Verdict::accepted ? c.value : 5);
        EXPECT_EQ(run.result, c.verdict == Verdict::accepted ? 0 : 1);
        EXPECT_EQ(run.err, c.verdict == Verdict::accepted ? "" : message("quit-after", c.verdict, c.text));
    }
}

TEST(ArgumentChecks, WaitIsReadLikeAtoiAndMustBePositive) {
    const NumberCase cases[] = {
        {"5", Verdict::accepted, 5},
        {"5s", Verdict::accepted, 5},
        {" \t+7", Verdict::accepted, 7},
        {"2147483647", Verdict::accepted, 2147483647},
        {"2147483648", Verdict::accepted, 2147483647},  // larger waits are clamped
        {"4294967296", Verdict::accepted, 2147483647},
        {"123456789012345678901234567890", Verdict::accepted, 2147483647},
        {"0", Verdict::unrecognized, 0},
        {"-3", Verdict::unrecognized, 0},
        {"-4294967295", Verdict::unrecognized, 0},
        {"x", Verdict::unrecognized, 0},
        {"", Verdict::unrecognized, 0},
    };
    for (const NumberCase& c : cases) {
        SCOPED_TRACE(std::string("text '") + c.text + "'");
        Processed run = process({"prog", "-w", "9", "--wait", c.text});
        EXPECT_EQ(settings.wait_secs, c.verdict == Verdict::accepted ? c.value : 9);
        EXPECT_EQ(run.result, c.verdict == Verdict::accepted ? 0 : 1);
        EXPECT_EQ(run.err, c.verdict == Verdict::accepted
                               ? std::string()
                               : std::string("prog: invalid argument to --wait: `") + c.text +
                                     "' is not a positive number\n");
    }
}

TEST(ProcessArgs, ReportsEveryErrorInOnePass) {
    Processed run = process({"prog", "-x", "-d", "abc", "--write-pid", "-o", "-1", "--signal-pid", "-w", "0", "-c"});
    EXPECT_EQ(run.result, 1);
    EXPECT_EQ(settings.illegal_option, 1);
    EXPECT_EQ(run.err,
              "prog: invalid option -- x\n"
              "prog: invalid argument to --device: `abc' has unrecognized characters\n"
              "prog: invalid option -- write-pid\n"
              "prog: invalid argument to --quit-after: `-1' is out of range [0-2147483647]\n"
              "prog: invalid option -- signal-pid\n"
              "prog: invalid argument to --wait: `0' is not a positive number\n"
              "prog: option requires an argument -- c\n");
}

TEST(ProcessArgs, LastOptionWinsButDumpTextsCollect) {
    ASSERT_EQ(process({"prog", "-c", "A", "-c", "B", "-u", "c", "--dump", "t", "--persistent", "--no-persistent",
                       "--no-gmon", "--gmon", "-q", "--verbose", "--no-verbose"})
                  .result,
              0);
    EXPECT_EQ(settings.jtag_cable, "B");
    EXPECT_EQ(settings.dump_options, "ct");
    EXPECT_EQ(settings.persistent, 0);
    EXPECT_EQ(settings.write_gmon, 1);
    EXPECT_EQ(settings.verbose, 0);

    ASSERT_EQ(process({"prog", "--gmon", "--no-gmon", "--persistent", "-c", ""}).result, 0);
    EXPECT_EQ(settings.write_gmon, 0);
    EXPECT_EQ(settings.persistent, 1);
    EXPECT_EQ(settings.jtag_cable, "");
}

TEST(ProcessArgs, SwitchesAndAcceptedAliases) {
    ASSERT_EQ(process({"prog", "--flush", "--no-quit-on-ctrl-d", "-t", "--no-ihost", "--terminal-only", "-H",
                       "--hardware", "-V", "--help"})
                  .result,
              0);
    EXPECT_EQ(settings.flush, 1);
    EXPECT_EQ(settings.quit_on_ctrl_d, 0);
    EXPECT_EQ(settings.show_version, 1);
    EXPECT_EQ(settings.show_help, 1);
    EXPECT_EQ(settings.verbose, 1);
}

TEST(ProcessArgs, TargetArgumentsGatherNonOptionsAndEverythingAfterTheEnd) {
    process({"prog", "a", "-A", "-v", "b"});
    EXPECT_EQ(settings.target_args, (Texts{"a", "-v", "b"}));
    EXPECT_EQ(settings.verbose, 1);

    process({"prog", "-Av", "x"});  // 'A' ends the options inside a cluster
    EXPECT_EQ(settings.target_args, (Texts{"-Av", "x"}));
    EXPECT_EQ(settings.verbose, 1);

    process({"prog", "--target-args=z", "y"});
    EXPECT_EQ(settings.target_args, (Texts{"y"}));

    process({"prog", "one", "-q", "two", "--", "-v", "--", "three"});
    EXPECT_EQ(settings.target_args, (Texts{"one", "two", "-v", "--", "three"}));
    EXPECT_EQ(settings.verbose, 0);

    process({"prog", "a", "-c", "X"});
    EXPECT_EQ(settings.jtag_cable, "a");
    EXPECT_EQ(settings.target_args, (Texts{"X"}));

    Processed dash = process({"prog", "-", "-v"});
    EXPECT_EQ(dash.result, 0);
    EXPECT_EQ(settings.target_args, (Texts{"-"}));

    process({"prog", "-v"});
    EXPECT_TRUE(settings.target_args.empty());
    EXPECT_EQ(settings.program_path, "prog");
}

TEST(ProgramEntry, RefusesARunWithAnyBadOption) {
    test::ProgramRun run = test::run_program({"prog", "-x", "-d", "abc"});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err,
              "prog: invalid option -- x\n"
              "prog: invalid argument to --device: `abc' has unrecognized characters\n");
    EXPECT_EQ(run.out, "tolvan-terminal: exiting because one or more illegal options were detected\n");
}

TEST(ProgramEntry, StrayColonDashAndListedButUnknownOptionsAreRefusedNotAborted) {
    for (CommandLine line : {CommandLine{"prog", "-:"}, CommandLine{"prog", "-v-"}, CommandLine{"prog", "--write-pid"},
                             CommandLine{"prog", "-h", "--signal-pid=3"}}) {
        test::ProgramRun run = test::run_program(line);
        EXPECT_EQ(run.signal, 0);
        EXPECT_EQ(run.status, 1);
        EXPECT_EQ(run.out, "tolvan-terminal: exiting because one or more illegal options were detected\n");
    }
}

TEST(ProgramEntryDeathTest, RefusalExitsWithStatusOne) {
    CommandLine line{"prog", "--nosuch"};
    test::fresh_start();
    EXPECT_EXIT(
        {
            dup2(2, 1);  // both streams in one place
            program_main(line.argc(), line.argv(), test::fake_terminal);
        },
        testing::ExitedWithCode(1),
        "^prog: invalid option -- nosuch\ntolvan-terminal: exiting because one or more illegal options were detected\n$");
}

TEST(ProgramEntry, VersionAnswersAloneWhateverElseIsGiven) {
    test::ProgramRun run = test::run_program({"prog", "-V", "-h", "-u", "c"});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, "tolvan-terminal: Version (wombat)\n");
    EXPECT_EQ(run.err, "");
}

TEST(ProgramEntry, HelpPrintsEffectiveCommandLineThenUsageAndDoesNotRun) {
    test::ProgramRun run = test::run_program({"prog", "-h", "-u", "c"});
    EXPECT_EQ(run.status, 0);
    const std::string effective = "Effective command line to tolvan-terminal: \n  prog --help --verbose --hardware\n\n";
    ASSERT_EQ(run.out.compare(0, effective.size(), effective), 0) << run.out;
    EXPECT_EQ(run.out.compare(effective.size(), 22, "Usage: tolvan-terminal"), 0) << run.out;
    EXPECT_EQ(run.out.find("[terminal runs]"), std::string::npos);

    test::ProgramRun plain = test::run_program({"prog", "--help"});
    EXPECT_EQ(plain.status, 0);
    EXPECT_EQ(plain.out.compare(0, 22, "Usage: tolvan-terminal"), 0) << plain.out;
}

TEST(ProgramEntry, RunsTheTerminalAndReturnsZero) {
    test::ProgramRun run = test::run_program({"prog", "-u", "c", "target"});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out,
              "Effective command line to tolvan-terminal: \n"
              "  prog --verbose --hardware -- 'target'\n"
              "\n"
              "[terminal runs]\n");

    CommandLine line{"prog", "-q", "-u", "z"};
    test::fresh_start();
    int before = test::fake_terminal_runs;
    testing::internal::CaptureStdout();
    EXPECT_EQ(program_main(line.argc(), line.argv(), test::fake_terminal), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "[terminal runs]\n");  // 'z' has no reader
    EXPECT_EQ(test::fake_terminal_runs, before + 1);
    EXPECT_EQ(settings.dump_flags[static_cast<unsigned char>('z')], 1);
}

TEST(ProgramEntry, EmptyCommandLineStillRuns) {
    CommandLine line{};
    test::fresh_start();
    testing::internal::CaptureStdout();
    EXPECT_EQ(program_main(line.argc(), line.argv(), test::fake_terminal), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "[terminal runs]\n");
    EXPECT_EQ(settings.program_path, "tolvan-terminal");
}

}  // namespace
}  // namespace tolvan
