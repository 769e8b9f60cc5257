// The cable check against a library build without the optional entry.
#include <gtest/gtest.h>

#include "channels/jtag-uart.h"
#include "cmdline/settings.h"
#include "fake-jtag-corvex.h"

namespace tolvan {
namespace {

TEST(CableCheck, MissingEntryCountsAsCannotBeVerified) {
    reset_settings();
    fake_jtag::reset();
    ::testing::internal::CaptureStderr();
    ::testing::internal::CaptureStdout();
    { COMM_JTAG_UART channel; }
    ::testing::internal::GetCapturedStdout();
    std::string warning = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(warning.rfind("\ntolvan-terminal: Warning: Unable to verify whether your download cable is\n", 0), 0u)
        << warning;
    EXPECT_EQ(warning.substr(warning.size() - 21), "update your system.\n\n") << warning;
}

}  // namespace
}  // namespace tolvan
