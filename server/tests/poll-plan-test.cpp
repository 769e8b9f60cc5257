// The plan of a real cable's poll (what each scan carries) and how a commit
// whose reply was lost is settled from a core's counts.
#include "server/poll-plan.h"

#include <gtest/gtest.h>

namespace {

CORE_VIEW streaming_core(unsigned version) {
    CORE_VIEW core;
    core.version = version;
    core.room = 1000;
    core.seen_available = 64;
    core.streaming = true;
    return core;
}

TEST(PollPlan, ScansCarryWhatTheCoreAndTheHostHave) {
    struct CASE {
        const char* what;
        CORE_VIEW core;
        PAUSED_SCAN paused;
        bool openocd, selected;
        // expected
        bool select;
        unsigned idle, scans, sends, takes, slots;
        std::size_t from;
        bool commit_last;
    };
    CORE_VIEW quiet;
    quiet.quiet = true;
    quiet.room = 500;
    CORE_VIEW older_quiet = quiet;
    older_quiet.version = 1;
    CORE_VIEW sending;
    sending.waiting = 100;
    sending.room = 500;
    CORE_VIEW full = sending;
    full.full = true;
    full.seen_available = 3;
    CORE_VIEW no_room = streaming_core(2);
    no_room.room = 10;
    CORE_VIEW settling = streaming_core(2);
    settling.waiting = 100;
    settling.seen_available = 5;
    settling.streaming = false;
    settling.unsettled = true;
    settling.unsettled_accepted = 30;
    settling.unsettled_taken = 8;
    settling.room = 20;
    const PAUSED_SCAN none{};
    const PAUSED_SCAN same{true, true, 40, 20};
    const PAUSED_SCAN other{true, false, 40, 20};
    const CASE cases[] = {
        {"a quiet core gets a status-sized scan", quiet, none, false, true, false, 0, 1, 0, 0, 0, 0, false},
        {"through OpenOCD a core with counts keeps its instruction", quiet, none, true, true, false, 0, 1, 0, 0, 0, 0,
         false},
        {"through OpenOCD an older core is selected every time", older_quiet, none, true, true, true, 0, 1, 0, 0, 0,
         0, false},
        {"a send-only scan is committed at once", sending, none, false, false, true, 0, 1, 64, 0, 64, 0, true},
        {"the paused scan's bytes are not sent again", sending, same, false, true, false, 128, 1, 60, 0, 64, 40,
         true},
        {"another core's paused scan leaves these bytes alone", sending, other, false, true, false, 0, 1, 64, 0, 64,
         0, true},
        {"a full core gets idle clocks", full, none, false, true, false, 128, 1, 64, 64, 64, 0, false},
        {"an unsettled commit's bytes and room are planned as moved", settling, none, false, true, false, 0, 1, 64, 12,
         64, 30, false},
        {"takes stop at the host's room", no_room, none, false, true, false, 0, 1, 0, 10, 64, 0, false},
        {"the paused scan's taken bytes use room", no_room, PAUSED_SCAN{true, true, 0, 8}, false, true, false, 0, 1,
         0, 2, 64, 0, false},
        {"an older core streams several scans per OpenOCD command", streaming_core(1), none, true, true, true, 0,
         k_scans_per_batch, 0, 64, 64, 0, false},
        {"a core with counts is never batched", streaming_core(2), none, true, true, false, 0, 1, 0, 64, 64, 0,
         false},
        {"over remote_bitbang nothing is batched", streaming_core(1), none, false, true, false, 0, 1, 0, 64, 64, 0,
         false},
    };
    for (const CASE& c : cases) {
        const POLL_PLAN plan = plan_poll(&c.core, c.paused, c.openocd, c.selected);
        EXPECT_EQ(plan.commit_first, c.paused.exists) << c.what;
        EXPECT_EQ(plan.select, c.select) << c.what;
        EXPECT_EQ(plan.idle_clocks, c.idle) << c.what;
        ASSERT_EQ(plan.scans.size(), c.scans) << c.what;
        EXPECT_EQ(plan.scans[0].sends, c.sends) << c.what;
        EXPECT_EQ(plan.scans[0].takes, c.takes) << c.what;
        EXPECT_EQ(plan.scans[0].slots, c.slots) << c.what;
        EXPECT_EQ(plan.scans[0].from, c.from) << c.what;
        EXPECT_EQ(plan.scans[0].commit, c.sends + c.takes > 0) << c.what << ": a scan that moves nothing is a status read";
        EXPECT_EQ(plan.commit_last, c.commit_last) << c.what;
    }
}

TEST(PollPlan, LostRepliesAreSettledBeforeAnythingMoves) {
    CORE_VIEW core = streaming_core(2);
    core.waiting = 30;
    core.settled = false;
    const POLL_PLAN plan = plan_poll(&core, PAUSED_SCAN{}, true, false);
    ASSERT_EQ(plan.scans.size(), 1u);
    EXPECT_FALSE(plan.scans[0].commit) << "a status read";
    EXPECT_EQ(plan.scans[0].sends + plan.scans[0].takes + plan.scans[0].slots, 0u);
    EXPECT_FALSE(plan.commit_last);
    // Right after a paused scan of the same core, a send-only scan is
    // committed at once too: it names the counts after the paused one's.
    CORE_VIEW sending;
    sending.waiting = 100;
    const POLL_PLAN after_paused = plan_poll(&sending, PAUSED_SCAN{true, true, 10, 0}, false, true);
    EXPECT_TRUE(after_paused.commit_last);
    EXPECT_EQ(after_paused.scans[0].from, 10u);
    // Nothing to serve: only the paused scan's commit.
    const POLL_PLAN idle = plan_poll(nullptr, PAUSED_SCAN{true, false, 0, 0}, true, false);
    EXPECT_TRUE(idle.commit_first);
    EXPECT_TRUE(idle.scans.empty());
}

TEST(SettleCommit, TheCountsTellWhetherTheCommitLanded) {
    struct CASE {
        const char* what;
        UNSETTLED_COMMIT commit;
        std::uint8_t rx_now, tx_now;
        COMMIT_OUTCOME outcome;
        unsigned accepted;
    };
    const CASE cases[] = {
        {"landed", {10, 20, 5, 5, 7}, 15, 27, COMMIT_OUTCOME::took_effect, 5},
        {"did not land", {10, 20, 5, 5, 7}, 10, 20, COMMIT_OUTCOME::no_effect, 0},
        {"landed across the wrap", {250, 253, 10, 10, 6}, 4, 3, COMMIT_OUTCOME::took_effect, 10},
        {"would have moved nothing", {10, 20, 0, 0, 0}, 10, 20, COMMIT_OUTCOME::no_effect, 0},
        {"moved by someone else", {10, 20, 5, 5, 7}, 16, 27, COMMIT_OUTCOME::unknown, 0},
        {"half of it", {10, 20, 5, 5, 7}, 15, 20, COMMIT_OUTCOME::unknown, 0},
        {"a send-only scan whose capture was lost", {10, 20, 0, 64, 0}, 50, 20, COMMIT_OUTCOME::took_effect, 40},
        {"more than it sent", {10, 20, 0, 64, 0}, 80, 20, COMMIT_OUTCOME::unknown, 0},
        {"a send-only scan cannot take", {10, 20, 0, 64, 0}, 50, 21, COMMIT_OUTCOME::unknown, 0},
        {"a commit and the send-only one after it: both landed", {10, 20, 5, 69, 7}, 45, 27,
         COMMIT_OUTCOME::took_effect, 35},
        {"a commit and the send-only one after it: the first alone", {10, 20, 5, 69, 7}, 15, 27,
         COMMIT_OUTCOME::took_effect, 5},
        {"a later commit cannot land without the one before", {10, 20, 5, 69, 7}, 13, 20, COMMIT_OUTCOME::unknown,
         0},
    };
    for (const CASE& c : cases) {
        unsigned accepted = 99;
        EXPECT_EQ(settle_commit(c.commit, c.rx_now, c.tx_now, accepted), c.outcome) << c.what;
        EXPECT_EQ(accepted, c.accepted) << c.what;
    }
}

}  // namespace
