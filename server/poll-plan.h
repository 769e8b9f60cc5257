// What one poll of a real cable shifts (which scans carry which bytes), and
// how a commit whose reply was lost is settled from the counts a core shows.
// Pure functions: JTAG_CABLE turns the plan into scans and feeds the replies
// back; the tests check the choices without an adapter.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

/// What the cable knows of the core it is about to poll.
struct CORE_VIEW {
    unsigned version = 2;          ///< of its data register
    unsigned slots = 64;           ///< the longest scan's byte slots
    std::size_t waiting = 0;       ///< host bytes the core has not kept yet (those of a paused scan too)
    std::size_t room = 0;          ///< core bytes the cable can take now
    unsigned seen_available = 0;   ///< bytes the core had beyond those taken, at the last capture
    bool quiet = false;            ///< the last scan moved nothing and saw nothing
    bool full = false;             ///< the last scan found less room than it had bytes to send
    bool streaming = false;        ///< the last scan took all the bytes it had room for
    bool settled = true;           ///< its counts are known (false until a status read has shown them)
    /// Version 2: a commit sent but not yet seen to take effect (its core's
    /// next capture tells), with what it moves; planned as if it did.
    bool unsettled = false;
    std::size_t unsettled_accepted = 0, unsettled_taken = 0;
};

/// The scan left in Pause-DR by the poll before, which this one commits first.
struct PAUSED_SCAN {
    bool exists = false;
    bool same_core = false;        ///< of the core about to be polled
    unsigned accepted = 0;         ///< host bytes it gives the core
    std::size_t taken = 0;         ///< core bytes it takes
};

struct POLL_PLAN {
    struct STEP {
        unsigned sends = 0, takes = 0, slots = 0;
        std::size_t from = 0;      ///< the first host byte sent, as an offset into those waiting
        bool commit = true;        ///< false: a status read, which has no commit mark
    };
    bool commit_first = false;     ///< the paused scan's commit
    bool select = false;           ///< an IR scan selects the core's instruction
    unsigned idle_clocks = 0;      ///< before the capture: time for the core's CPU to read
    std::vector<STEP> scans;       ///< each committed by the next; the last stays in Pause-DR
    bool commit_last = false;      ///< the last scan only sends: commit it in the same transaction
};

/// Scans one OpenOCD command may carry while only the core has bytes to give.
constexpr unsigned k_scans_per_batch = 4;

/// The plan for `core` (none: nothing to serve), after `paused`. `selected`:
/// the core's instruction is the one the cable last shifted into its TAP
/// (and, as far as the cable knows, nobody changed since).
POLL_PLAN plan_poll(const CORE_VIEW* core, const PAUSED_SCAN& paused, bool openocd, bool selected);

/// Commits of a core with counts (version 2) not yet seen to take effect:
/// the counts before them and what they would move. The core's next capture
/// settles them, also after a reply that never came back. Each commit names
/// the counts after the one before, so a later one lands only if the earlier
/// did: a send-only scan whose capture was lost adds a range of host bytes.
struct UNSETTLED_COMMIT {
    std::uint8_t rx_before = 0, tx_before = 0;
    unsigned accepted = 0;         ///< host bytes they give, at least
    unsigned accepted_most = 0;    ///< and at most (the same when known)
    std::size_t taken = 0;         ///< core bytes they take
    bool exact() const { return accepted == accepted_most; }
};

enum class COMMIT_OUTCOME { took_effect, no_effect, unknown };
/// From the counts a later capture shows: did the commit happen? `accepted`
/// gets the host bytes the core kept when it did.
COMMIT_OUTCOME settle_commit(const UNSETTLED_COMMIT& commit, std::uint8_t rx_now, std::uint8_t tx_now,
                             unsigned& accepted);
