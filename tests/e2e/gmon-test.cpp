// A real profile carried through the target's output: the terminal carves it
// into gmon.out byte for byte, and the profiler reads it like the original.
#include <fstream>

#include <gtest/gtest.h>

#include "tests/support/boards.h"
#include "tests/support/expected-texts.h"
#include "tests/support/jtag-server-process.h"
#include "tests/support/temp-dir.h"

namespace e2e {
namespace {

using namespace test_support;

TEST(ProfileCapture, RealProfileArrivesIntactAndReadsLikeTheOriginal) {
    temp_dir profiled;
    int status = -1;
    launch how{.argv = {TT_GMON_SAMPLE_PATH}, .cwd = profiled.path(), .terminal = false};
    {
        child_process sample(how);
        sample.close_input();
        status = sample.exit_code(120s).value_or(-1);
    }
    ASSERT_EQ(status, 0);
    std::string profile = profiled.read("gmon.out");
    ASSERT_GT(profile.size(), 100u);

    std::string length;
    for (int i = 0; i < 4; ++i) length.push_back(static_cast<char>(profile.size() >> (8 * i)));
    jtag_server server(exec_board("printf 'booting\\n**gmon.out data follows**\\n'; printf '" +
                                 printf_escapes(length) + "'; cat " + profiled.file("gmon.out") +
                                 "; printf 'after the profile\\n'; exec cat > /dev/null"));
    temp_dir carved;
    launch in_carved;
    in_carved.cwd = carved.path();
    auto terminal = server.terminal({"-q", "--gmon"}, in_carved);
    ASSERT_TRUE(terminal->expect("after the profile\n", 30s)) << escaped(terminal->output());
    terminal->send("\x03");
    EXPECT_EQ(terminal->exit_code(), 0);
    EXPECT_EQ(terminal->output(), "booting\n**gmon.out data follows**\nafter the profile\n");
    ASSERT_EQ(carved.read("gmon.out"), profile);

    std::string original = run_command({"/usr/bin/gprof", "-b", "-p", TT_GMON_SAMPLE_PATH, profiled.file("gmon.out")});
    std::string from_target = run_command({"/usr/bin/gprof", "-b", "-p", TT_GMON_SAMPLE_PATH, carved.file("gmon.out")});
    EXPECT_NE(original.find("mix"), std::string::npos) << original;
    EXPECT_EQ(from_target, original);
}

}  // namespace
}  // namespace e2e
