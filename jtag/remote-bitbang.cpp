// Scans as remote_bitbang requests, and their replies back as bits.
#include "jtag/remote-bitbang.h"

#include <algorithm>
#include <cstdio>

namespace jtag {

namespace {

/// One TCK cycle: the falling edge sets TMS and TDI, TDO is sampled before
/// the rising edge, which clocks them in.
void add_clock(BITBANG_BATCH& batch, bool tms, bool tdi, bool read) {
    const char pins = static_cast<char>('0' + (tms ? 2 : 0) + (tdi ? 1 : 0));
    batch.requests.push_back(pins);
    if (read) {
        batch.requests.push_back('R');
        ++batch.replies;
    }
    batch.requests.push_back(static_cast<char>(pins + 4));
}

void move(BITBANG_BATCH& batch, TAP_STATE& state, TAP_STATE to) {
    for (bool tms : tms_path(state, to)) {
        add_clock(batch, tms, false, false);
        state = next_state(state, tms);
    }
}

}  // namespace

BITBANG_BATCH bitbang_requests(const std::vector<SCAN>& scans, const std::vector<TAP_SLOT>& taps, TAP_STATE& state) {
    BITBANG_BATCH batch;
    for (const SCAN& scan : scans) {
        switch (scan.kind) {
        case SCAN::KIND::reset:
            for (int i = 0; i < 5; ++i)
                add_clock(batch, true, false, false);
            state = TAP_STATE::reset;
            move(batch, state, TAP_STATE::idle);
            break;
        case SCAN::KIND::idle:
            move(batch, state, TAP_STATE::idle);
            for (unsigned i = 0; i < scan.clocks; ++i)
                add_clock(batch, false, false, false);
            break;
        case SCAN::KIND::commit:
            move(batch, state, TAP_STATE::pause_dr);
            add_clock(batch, true, false, false);  // Exit2-DR
            add_clock(batch, false, false, false); // Shift-DR
            for (unsigned bit = 1; bit < std::max(1u, scan.clocks); ++bit)
                add_clock(batch, false, false, false);  // a bit, staying in Shift-DR
            for (bool tms : {true, true, false})  // (the last bit) Exit1, Update, Idle
                add_clock(batch, tms, false, false);
            state = TAP_STATE::idle;
            break;
        case SCAN::KIND::ir:
        case SCAN::KIND::dr: {
            const bool ir = scan.kind == SCAN::KIND::ir;
            std::size_t field = 0;
            const BITS bits = chain_bits(taps, scan, field);
            move(batch, state, ir ? TAP_STATE::shift_ir : TAP_STATE::shift_dr);
            batch.reads.push_back({batch.replies, field, scan.bits.size()});
            for (std::size_t i = 0; i < bits.size(); ++i)
                add_clock(batch, i + 1 == bits.size(), bits[i], true);
            if (bits.empty())
                add_clock(batch, true, false, false);
            state = ir ? TAP_STATE::exit1_ir : TAP_STATE::exit1_dr;
            move(batch, state, scan.pause && !ir ? TAP_STATE::pause_dr : TAP_STATE::idle);
            break;
        }
        }
    }
    // The fence: its reply comes after everything above was clocked.
    batch.requests.push_back('R');
    ++batch.replies;
    return batch;
}

bool bitbang_captured(const BITBANG_BATCH& batch, std::string_view replies, CAPTURED& captured, std::string& error) {
    for (std::size_t i = 0; i < replies.size(); ++i) {
        if (replies[i] != '0' && replies[i] != '1') {
            char text[8];
            std::snprintf(text, sizeof text, "0x%02x", static_cast<unsigned char>(replies[i]));
            error = std::string("the remote_bitbang server answered the byte ") + text + ", not '0' or '1'";
            return false;
        }
    }
    if (replies.size() != batch.replies) {
        error = "the remote_bitbang server answered " + std::to_string(replies.size()) + " reads of " +
                std::to_string(batch.replies);
        return false;
    }
    captured.clear();
    for (std::size_t r = 0; r < batch.reads.size(); ++r) {
        const BITBANG_BATCH::READ& read = batch.reads[r];
        // A scan's field lies within its own reads (a TAP beyond the chain has none).
        const std::size_t end = r + 1 < batch.reads.size() ? batch.reads[r + 1].first : batch.replies - 1;
        if (read.first + read.field + read.count > end) {
            error = "scan " + std::to_string(r + 1) + " addresses a TAP beyond the chain";
            captured.clear();
            return false;
        }
        BITS bits(read.count);
        for (std::size_t i = 0; i < read.count; ++i)
            bits[i] = replies[read.first + read.field + i] == '1';
        captured.push_back(std::move(bits));
    }
    return true;
}

}  // namespace jtag
