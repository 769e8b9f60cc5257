// The settings record, the short-option string built from an option table and
// the debug-dump switches.
#include "cmdline/settings.h"

#include <gtest/gtest.h>

#include "cmdline/tests/command-line.h"

namespace tolvan {
namespace {

TEST(Settings, ResetRestoresStartUpValues) {
    settings.verbose = 0;
    settings.jtag_device = 4;
    settings.jtag_cable = "X";
    settings.dump_flags['t'] = 1;
    settings.target_args = {"a"};
    reset_settings();
    EXPECT_EQ(settings.verbose, 1);
    EXPECT_EQ(settings.quit_on_ctrl_d, 1);
    EXPECT_EQ(settings.jtag_device, -1);
    EXPECT_EQ(settings.jtag_instance, -1);
    EXPECT_FALSE(settings.jtag_cable.has_value());
    EXPECT_EQ(settings.wait_secs, 0);
    EXPECT_EQ(settings.quit_after_secs, 0);
    EXPECT_EQ(settings.persistent, 0);
    EXPECT_EQ(settings.write_gmon, 0);
    EXPECT_FALSE(settings.dump_options.has_value());
    for (int flag : settings.dump_flags) EXPECT_EQ(flag, 0);
    EXPECT_TRUE(settings.target_args.empty());
}

TEST(ShortOptions, BuiltFromTheProgramsTable) {
    EXPECT_EQ(build_short_options(longopts), "-vqqttw:o:u:VhHc:d:i:A");
}

TEST(ShortOptions, SkipsRowsWithoutShortFormAndMarksOptionalArguments) {
    const option table[] = {
        {"alpha", 0, nullptr, 'a'}, {"zero", 0, nullptr, 0},    {"long", 1, nullptr, 200},
        {"beta", 2, nullptr, 'b'},  {"gamma", 1, nullptr, 'g'}, {nullptr, 0, nullptr, 0},
    };
    EXPECT_EQ(build_short_options(table), "-ab::g:");
}

TEST(ShortOptionsDeathTest, RejectsRowsThatAreNotLetters) {
    const option digit[] = {{"one", 0, nullptr, '1'}, {nullptr, 0, nullptr, 0}};
    EXPECT_DEATH(build_short_options(digit),
                 test::assertion_report("cmdline/process-args.cpp", 1089,
                                        "\\(isalpha \\(longopts\\[i\\]\\.val\\) \\|\\| "
                                        "longopts\\[i\\]\\.val == 0\\) && !longopts\\[i\\]\\.flag"));
    int target = 0;
    const option flagged[] = {{"one", 0, &target, 'o'}, {nullptr, 0, nullptr, 0}};
    EXPECT_DEATH(build_short_options(flagged), test::assertion_report("cmdline/process-args.cpp", 1089, ".*"));
    const option negative[] = {{"neg", 0, nullptr, -5}, {nullptr, 0, nullptr, 0}};
    EXPECT_DEATH(build_short_options(negative), test::assertion_report("cmdline/process-args.cpp", 1089, ".*"));
}

TEST(ShortOptionsDeathTest, RejectsTablesWithoutAnyShortForm) {
    const option empty[] = {{nullptr, 0, nullptr, 0}};
    EXPECT_DEATH(build_short_options(empty), test::assertion_report("cmdline/process-args.cpp", 1112, "string_length >= 1"));
    const option long_only[] = {{"zero", 0, nullptr, 0}, {"high", 0, nullptr, 128}, {nullptr, 0, nullptr, 0}};
    EXPECT_DEATH(build_short_options(long_only), "string_length >= 1");
}

TEST(DumpFlags, EveryDumpTextIsCollectedAndEachByteSwitchesItsFlag) {
    test::CommandLine line{"prog", "--dump=ct", "--dump=i", "-u", "\xff"};
    test::fresh_start();
    ASSERT_EQ(process_args(line.argc(), line.argv()), 0);
    EXPECT_EQ(settings.dump_options, "cti\xff");
    set_dump_flags(settings.dump_options);
    for (int byte = 0; byte < 256; ++byte) {
        bool expected = byte == 'c' || byte == 't' || byte == 'i' || byte == 0xff;
        EXPECT_EQ(settings.dump_flags[byte], expected ? 1 : 0) << "byte " << byte;
    }
}

}  // namespace
}  // namespace tolvan
