// Stopping within a limit: the asking loop that the console teardown uses for
// its reader, with scripted stops in place of a thread.
#include "platform/bounded-stop.h"

#include <gtest/gtest.h>

namespace platform {
namespace {

using namespace std::chrono_literals;

TEST(BoundedStop, AsksAgainUntilTheStopTakes) {
    int asks = 0;
    bool stopped = ask_until_ended([&] { ++asks; }, [&](std::chrono::milliseconds) { return asks == 3; }, 10s, 1ms);
    EXPECT_TRUE(stopped);
    EXPECT_EQ(asks, 3);
}

TEST(BoundedStop, GivesUpOnAStopThatNeverTakes) {
    // A handle whose reads cannot be cancelled: every ask is in vain.
    int asks = 0;
    auto started = std::chrono::steady_clock::now();
    bool stopped = ask_until_ended([&] { ++asks; }, [](std::chrono::milliseconds) { return false; }, 50ms, 1ms);
    EXPECT_FALSE(stopped);
    EXPECT_GE(std::chrono::steady_clock::now() - started, 50ms);
    EXPECT_GT(asks, 1);
}

}  // namespace
}  // namespace platform
