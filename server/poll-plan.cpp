// The plan of a real cable's poll, and how a lost commit is settled.
#include "server/poll-plan.h"

#include <algorithm>

POLL_PLAN plan_poll(const CORE_VIEW* core, const PAUSED_SCAN& paused, bool openocd, bool selected) {
    POLL_PLAN plan;
    plan.commit_first = paused.exists;
    if (core == nullptr)
        return plan;
    // Through OpenOCD somebody else may have shifted the IR since. A core
    // with counts refuses a scan meant for another and names itself in its
    // capture, so the cable selects it again only when that happened; an
    // older core is selected in every command.
    plan.select = !selected || (openocd && core->version < 2);
    if (!core->settled) {
        // A commit's reply was lost: read the counts before anything moves.
        plan.scans.push_back({0, 0, 0, 0, false});
        return plan;
    }
    const bool same = paused.exists && paused.same_core;
    // What a commit of this core already sent moves: its bytes are neither
    // sent again nor given room twice (if it did not take effect, the core
    // refuses this scan, whose counts then are wrong, and nothing is lost).
    const std::size_t accepted_before = (same ? paused.accepted : 0) + core->unsettled_accepted;
    const std::size_t taken_before = (same ? paused.taken : 0) + core->unsettled_taken;
    // A core that was full, or is being filled by the commit just before,
    // gets a moment for its CPU to read before its room is captured again;
    // without it the capture follows that commit by three clocks.
    const bool filling = same && paused.accepted > 0 && core->waiting > paused.accepted;
    if (core->full || filling)
        plan.idle_clocks = 2 * core->slots;
    // The paused scan commits in this same transaction: its bytes are
    // neither sent again nor given room twice.
    const std::size_t committed = std::min(accepted_before, core->waiting);
    std::size_t room = core->room > taken_before ? core->room - taken_before : 0;
    const std::size_t waiting = core->waiting - committed;
    POLL_PLAN::STEP step;
    step.from = committed;
    step.slots = core->quiet ? static_cast<unsigned>(std::min<std::size_t>(
                                   std::max<std::size_t>(waiting, core->seen_available), core->slots))
                             : core->slots;
    step.sends = static_cast<unsigned>(std::min<std::size_t>(waiting, step.slots));
    step.takes = static_cast<unsigned>(std::min<std::size_t>(room, step.slots));
    // A scan that only sends (the core showed nothing to take) loses no
    // target bytes if its reply is lost: it is committed at once, and its
    // core's CPU reads the bytes while the next transaction is prepared.
    plan.commit_last = step.sends > 0 && core->seen_available == 0 && !core->streaming;
    if (plan.commit_last)
        step.takes = 0;
    // Nothing to move either way (an idle core, or a client that takes
    // nothing): a status read, which needs no commit and no pause.
    step.commit = step.sends > 0 || step.takes > 0;
    plan.scans.push_back(step);
    // Through OpenOCD each command costs far more than its bits: while only
    // the core has bytes to give, one command may carry several scans, each
    // committed by the next. A lost reply then loses what the committed ones
    // took, so only cores without counts (version 1) are read that way.
    const bool batch = openocd && core->version < 2 && !plan.commit_last && core->streaming && step.sends == 0;
    while (batch && plan.scans.size() < k_scans_per_batch && room >= std::size_t{step.takes} + core->slots) {
        room -= step.takes;
        step.takes = core->slots;
        step.slots = core->slots;
        plan.scans.push_back(step);
    }
    return plan;
}

COMMIT_OUTCOME settle_commit(const UNSETTLED_COMMIT& commit, std::uint8_t rx_now, std::uint8_t tx_now,
                             unsigned& accepted) {
    const unsigned rx_moved = static_cast<std::uint8_t>(rx_now - commit.rx_before);
    const unsigned tx_moved = static_cast<std::uint8_t>(tx_now - commit.tx_before);
    accepted = 0;
    if (rx_moved == 0 && tx_moved == 0)
        return COMMIT_OUTCOME::no_effect;  // also when it would have moved nothing: the same either way
    if (tx_moved != commit.taken % 256)
        return COMMIT_OUTCOME::unknown;
    if (rx_moved < commit.accepted || rx_moved > commit.accepted_most)
        return COMMIT_OUTCOME::unknown;
    accepted = rx_moved;
    return COMMIT_OUTCOME::took_effect;
}
