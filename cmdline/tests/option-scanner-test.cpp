// The option scanner: clusters, arguments attached or separate, long options
// matched in full, permutation of non-options, and its diagnostics.
#include "cmdline/option-scanner.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cmdline/tests/command-line.h"

namespace tolvan {
namespace {

using test::CommandLine;
using Elements = std::vector<std::string>;

// One scan of a command line with the program's own tables.
class Scan {
public:
    explicit Scan(CommandLine line) : m_line(std::move(line)), m_short(build_short_options(longopts)) {
        test::fresh_start();
    }
    int next() {
        m_longindex = -7;  // a value the scanner never stores
        return next_option(m_line.argc(), m_line.argv(), m_short.c_str(), longopts, &m_longindex);
    }
    int longindex() const { return m_longindex; }
    std::string arg() const { return optarg ? optarg : "<none>"; }
    Elements order() const { return m_line.order(); }
    int argc() const { return m_line.argc(); }

private:
    CommandLine m_line;
    std::string m_short;
    int m_longindex = 0;
};

TEST(OptionScanner, ClusterAdvancesOnlyAfterItsLastLetter) {
    Scan scan({"prog", "-vq", "x"});
    EXPECT_EQ(scan.next(), 'v');
    EXPECT_EQ(optind, 1);
    EXPECT_EQ(scan.next(), 'q');
    EXPECT_EQ(optind, 2);
    EXPECT_EQ(scan.next(), -1);
    EXPECT_EQ(optind, 2);
}

TEST(OptionScanner, ShortArgumentAttachedSeparateOrAfterCluster) {
    for (CommandLine line : {CommandLine{"prog", "-c1"}, CommandLine{"prog", "-c", "1"}}) {
        Scan scan(line);
        EXPECT_EQ(scan.next(), 'c');
        EXPECT_EQ(scan.arg(), "1");
        EXPECT_EQ(scan.next(), -1);
        EXPECT_EQ(optind, scan.argc());
    }
    Scan cluster({"prog", "-vc1"});
    EXPECT_EQ(cluster.next(), 'v');
    EXPECT_EQ(cluster.arg(), "<none>");
    EXPECT_EQ(cluster.next(), 'c');
    EXPECT_EQ(cluster.arg(), "1");
    EXPECT_EQ(cluster.next(), -1);
}

TEST(OptionScanner, SeparateArgumentIsTakenWhateverItIs) {
    Scan scan({"prog", "-c", "-v"});
    EXPECT_EQ(scan.next(), 'c');
    EXPECT_EQ(scan.arg(), "-v");
    EXPECT_EQ(scan.next(), -1);

    Scan long_form({"prog", "--cable", "--verbose"});
    EXPECT_EQ(long_form.next(), 'c');
    EXPECT_EQ(long_form.arg(), "--verbose");
    EXPECT_EQ(long_form.next(), -1);
}

TEST(OptionScanner, MissingShortArgumentIsReportedAndLeavesOptindAtEnd) {
    Scan scan({"prog", "-c"});
    testing::internal::CaptureStderr();
    EXPECT_EQ(scan.next(), '?');
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "prog: option requires an argument -- c\n");
    EXPECT_EQ(optind, 2);
    EXPECT_EQ(optopt, 'c');
    EXPECT_EQ(scan.next(), -1);
}

TEST(OptionScanner, LongArgumentWithEqualsOrSeparate) {
    for (CommandLine line : {CommandLine{"prog", "--cable=X"}, CommandLine{"prog", "--cable", "X"}}) {
        Scan scan(line);
        EXPECT_EQ(scan.next(), 'c');
        EXPECT_EQ(scan.arg(), "X");
        EXPECT_EQ(scan.longindex(), 17);
        EXPECT_EQ(optind, scan.argc());
    }
    Scan empty({"prog", "--cable=", "rest"});
    EXPECT_EQ(empty.next(), 'c');
    EXPECT_EQ(empty.arg(), "");
    EXPECT_EQ(empty.next(), -1);
    EXPECT_EQ(optind, 2);  // "rest" was not taken as the argument
}

TEST(OptionScanner, MissingLongArgumentNamesTheOption) {
    Scan scan({"prog", "--cable"});
    testing::internal::CaptureStderr();
    EXPECT_EQ(scan.next(), '?');
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "prog: option requires an argument -- cable\n");
    EXPECT_EQ(scan.longindex(), -7);
    EXPECT_EQ(optind, 2);
}

TEST(OptionScanner, LongOptionsMatchOnlyInFull) {
    Scan scan({"prog", "--verb", "--nosuch=1", "--verbose=yes", "--VERBOSE"});
    testing::internal::CaptureStderr();
    EXPECT_EQ(scan.next(), '?');
    EXPECT_EQ(scan.longindex(), -7);
    EXPECT_EQ(scan.next(), '?');
    EXPECT_EQ(scan.next(), 'v');
    EXPECT_EQ(scan.arg(), "<none>");  // "=yes" is dropped without a word
    EXPECT_EQ(scan.longindex(), 0);
    EXPECT_EQ(scan.next(), '?');
    EXPECT_EQ(scan.next(), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "prog: invalid option -- verb\n"
              "prog: invalid option -- nosuch=1\n"
              "prog: invalid option -- VERBOSE\n");
}

TEST(OptionScanner, InvalidShortOptionReportedAndClusterContinues) {
    Scan scan({"prog", "-x", "-xv"});
    testing::internal::CaptureStderr();
    EXPECT_EQ(scan.next(), '?');
    EXPECT_EQ(optopt, 'x');
    EXPECT_EQ(optind, 2);
    EXPECT_EQ(scan.next(), '?');
    EXPECT_EQ(optind, 2);
    EXPECT_EQ(scan.next(), 'v');
    EXPECT_EQ(optind, 3);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "prog: invalid option -- x\nprog: invalid option -- x\n");
}

TEST(OptionScanner, ColonAndDashNameNoOption) {
    Scan scan({"prog", "-:", "-v-", "-c:"});
    testing::internal::CaptureStderr();
    EXPECT_EQ(scan.next(), '?');
    EXPECT_EQ(optopt, ':');
    EXPECT_EQ(scan.next(), 'v');
    EXPECT_EQ(scan.next(), '?');
    EXPECT_EQ(optopt, '-');
    EXPECT_EQ(scan.next(), 'c');
    EXPECT_EQ(scan.arg(), ":");  // as an argument a colon is just text
    EXPECT_EQ(scan.next(), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "prog: invalid option -- :\nprog: invalid option -- -\n");
}

TEST(OptionScanner, LoneDashStaysWithTheNonOptions) {
    Scan scan({"prog", "-", "-v", "x"});
    EXPECT_EQ(scan.next(), 'v');
    EXPECT_EQ(scan.next(), -1);
    EXPECT_EQ(optind, 2);
    EXPECT_EQ(scan.order(), (Elements{"prog", "-v", "-", "x"}));
}

TEST(OptionScanner, PermutesNonOptionsBehindOptions) {
    Scan scan({"prog", "a", "-v", "b"});
    EXPECT_EQ(scan.next(), 'v');
    EXPECT_EQ(scan.order(), (Elements{"prog", "-v", "a", "b"}));
    EXPECT_EQ(scan.next(), -1);
    EXPECT_EQ(optind, 2);

    Scan many({"prog", "a", "b", "-v", "c", "--quiet", "d"});
    EXPECT_EQ(many.next(), 'v');
    EXPECT_EQ(many.next(), 'q');
    EXPECT_EQ(many.next(), -1);
    EXPECT_EQ(optind, 3);
    EXPECT_EQ(many.order(), (Elements{"prog", "-v", "--quiet", "a", "b", "c", "d"}));
}

TEST(OptionScanner, MovedOptionTakesTheFirstNonOptionItPassedAsArgument) {
    Scan scan({"prog", "a", "-c", "X"});
    EXPECT_EQ(scan.next(), 'c');
    EXPECT_EQ(scan.arg(), "a");
    EXPECT_EQ(scan.next(), -1);
    EXPECT_EQ(optind, 3);
    EXPECT_EQ(scan.order(), (Elements{"prog", "-c", "a", "X"}));
}

TEST(OptionScanner, EndMarkerStopsScanningAndKeepsWhatFollows) {
    Scan scan({"prog", "a", "--", "-v"});
    EXPECT_EQ(scan.next(), -1);
    EXPECT_EQ(optind, 2);
    EXPECT_EQ(scan.order(), (Elements{"prog", "--", "a", "-v"}));
    // Called again after -1 it would only look at what is left; the caller stops.
}

TEST(OptionScanner, RowsWithValueZeroAreToldApartByIndex) {
    Scan scan({"prog", "--gmon", "--no-gmon"});
    EXPECT_EQ(scan.next(), 0);
    EXPECT_EQ(scan.longindex(), 10);
    EXPECT_EQ(scan.next(), 0);
    EXPECT_EQ(scan.longindex(), 11);
}

TEST(OptionScanner, ShortOptionsLeaveLongindexAlone) {
    Scan scan({"prog", "-v"});
    EXPECT_EQ(scan.next(), 'v');
    EXPECT_EQ(scan.longindex(), -7);
}

TEST(OptionScanner, RowWithFlagStoresValueAndReturnsZero) {
    int chosen = 0;
    const option table[] = {{"colour", 0, &chosen, 'k'}, {"shade", 1, nullptr, 's'}, {nullptr, 0, nullptr, 0}};
    CommandLine line{"prog", "--colour", "--shade", "dark"};
    test::fresh_start();
    int index = -1;
    EXPECT_EQ(next_option(line.argc(), line.argv(), "-s:", table, &index), 0);
    EXPECT_EQ(chosen, 'k');
    EXPECT_EQ(index, 0);
    EXPECT_EQ(next_option(line.argc(), line.argv(), "-s:", table, nullptr), 's');
    EXPECT_STREQ(optarg, "dark");
}

TEST(OptionScanner, SilentWhenOpterrIsZero) {
    Scan scan({"prog", "-x", "--nosuch", "-c"});
    opterr = 0;
    testing::internal::CaptureStderr();
    EXPECT_EQ(scan.next(), '?');
    EXPECT_EQ(scan.next(), '?');
    EXPECT_EQ(scan.next(), '?');
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

}  // namespace
}  // namespace tolvan
