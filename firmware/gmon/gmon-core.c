/* Profile bookkeeping (histogram bins, call arcs) and the gmon.out writer;
   built for the target and, unchanged, for the host test. */
#include "gmon-core.h"

#include <string.h>

#define GMON_VERSION 1u
#define TAG_HISTOGRAM 0u
#define TAG_ARC 1u
#define HEADER_SIZE (4u + 4u + 12u)
#define HISTOGRAM_HEADER_SIZE (1u + 2u * sizeof(uintptr_t) + 4u + 4u + 15u + 1u)
#define ARC_RECORD_SIZE (1u + 2u * sizeof(uintptr_t) + 4u)

/* The terminal counts the block's length as a signed 32-bit number. */
#define MAX_FILE_SIZE 0x7fffffffu

int gmon_profile_init(struct gmon_profile *profile, uintptr_t low_pc, uintptr_t high_pc,
                      uint16_t *bins, size_t bin_capacity, struct gmon_arc *arcs,
                      size_t arc_slots, uint32_t rate) {
    if (profile == NULL || bins == NULL || bin_capacity == 0 || low_pc >= high_pc)
        return -1;
    if (bin_capacity > 0xffffffffu)
        bin_capacity = 0xffffffffu;
    if (arcs == NULL)
        arc_slots = 0;
    while (arc_slots & (arc_slots - 1))
        arc_slots &= arc_slots - 1;

    /* Counted from span - 1 so that a range up to the top of the address
       space does not overflow. */
    const uintptr_t last = high_pc - low_pc - 1;
    const unsigned widest = sizeof(uintptr_t) * 8 - 1;
    unsigned shift = 1;
    while (shift < widest && (last >> shift) >= bin_capacity)
        ++shift;
    if ((last >> shift) >= bin_capacity)
        return -1;
    const size_t bin_count = (size_t)(last >> shift) + 1;
    const uintptr_t covered_last = ((uintptr_t)bin_count << shift) - 1;
    if (covered_last >= UINTPTR_MAX - low_pc)
        return -1; /* high_pc would wrap past the top of the address space */

    const unsigned long long largest = (unsigned long long)HEADER_SIZE + HISTOGRAM_HEADER_SIZE +
                                       2ull * bin_count +
                                       (unsigned long long)ARC_RECORD_SIZE * arc_slots;
    if (largest > MAX_FILE_SIZE)
        return -1;

    profile->low_pc = low_pc;
    profile->high_pc = low_pc + covered_last + 1;
    profile->bin_shift = shift;
    profile->bins = bins;
    profile->bin_count = bin_count;
    profile->arcs = arcs;
    profile->arc_slots = arc_slots;
    profile->rate = rate;
    gmon_profile_reset(profile);
    return 0;
}

void gmon_profile_reset(struct gmon_profile *profile) {
    memset(profile->bins, 0, profile->bin_count * sizeof profile->bins[0]);
    if (profile->arc_slots)
        memset(profile->arcs, 0, profile->arc_slots * sizeof profile->arcs[0]);
    profile->arcs_used = 0;
    profile->samples_outside = 0;
    profile->samples_saturated = 0;
    profile->arcs_dropped = 0;
}

void gmon_profile_sample(struct gmon_profile *profile, uintptr_t pc) {
    /* Unsigned: a pc below low_pc wraps to a huge offset and is outside too. */
    const uintptr_t bin = (pc - profile->low_pc) >> profile->bin_shift;
    if (bin >= profile->bin_count) {
        if (profile->samples_outside != 0xffffffffu)
            ++profile->samples_outside;
        return;
    }
    if (profile->bins[bin] != 0xffffu)
        ++profile->bins[bin];
    else if (profile->samples_saturated != 0xffffffffu)
        ++profile->samples_saturated;
}

void gmon_profile_arc(struct gmon_profile *profile, uintptr_t from_pc, uintptr_t self_pc) {
    if (profile->arc_slots == 0) {
        if (profile->arcs_dropped != 0xffffffffu)
            ++profile->arcs_dropped;
        return;
    }
    /* Called at every instrumented function entry: one multiply and a short
       probe. Instructions are at least 2-byte aligned, so bit 0 carries
       nothing. */
    const size_t mask = profile->arc_slots - 1;
    size_t slot = (size_t)(((from_pc >> 1) * (uintptr_t)2654435761u) ^ (self_pc >> 1)) & mask;
    /* At most one look at each slot: a table of fewer than four slots may
       fill up completely. */
    size_t probes = 0;
    for (; probes < profile->arc_slots; ++probes) {
        struct gmon_arc *arc = &profile->arcs[slot];
        if (arc->count == 0)
            break;
        if (arc->from_pc == from_pc && arc->self_pc == self_pc) {
            if (arc->count != 0xffffffffu)
                ++arc->count;
            return;
        }
        slot = (slot + 1) & mask;
    }
    /* A new arc. Past three quarters full the probes grow long, and the
       code being profiled would pay for it at every call. */
    if (probes == profile->arc_slots ||
        profile->arcs_used >= profile->arc_slots - profile->arc_slots / 4) {
        if (profile->arcs_dropped != 0xffffffffu)
            ++profile->arcs_dropped;
        return;
    }
    profile->arcs[slot].from_pc = from_pc;
    profile->arcs[slot].self_pc = self_pc;
    profile->arcs[slot].count = 1;
    ++profile->arcs_used;
}

uint32_t gmon_profile_file_size(const struct gmon_profile *profile) {
    return (uint32_t)(HEADER_SIZE + HISTOGRAM_HEADER_SIZE + 2u * profile->bin_count +
                      ARC_RECORD_SIZE * profile->arcs_used);
}

static void put_u8(gmon_put_fn *put, void *context, uint8_t value) {
    put(&value, 1, context);
}

/* gprof takes the byte order of the executable, so values go out as they
   lie in memory. */
static void put_u32(gmon_put_fn *put, void *context, uint32_t value) {
    put(&value, sizeof value, context);
}

static void put_pc(gmon_put_fn *put, void *context, uintptr_t value) {
    put(&value, sizeof value, context);
}

void gmon_profile_write(const struct gmon_profile *profile, gmon_put_fn *put, void *context) {
    static const char spare[12];
    put("gmon", 4, context);
    put_u32(put, context, GMON_VERSION);
    put(spare, sizeof spare, context);

    static const char dimension[15] = "seconds";
    put_u8(put, context, TAG_HISTOGRAM);
    put_pc(put, context, profile->low_pc);
    put_pc(put, context, profile->high_pc);
    put_u32(put, context, (uint32_t)profile->bin_count);
    put_u32(put, context, profile->rate);
    put(dimension, sizeof dimension, context);
    put_u8(put, context, 's');
    put(profile->bins, profile->bin_count * sizeof profile->bins[0], context);

    for (size_t slot = 0; slot < profile->arc_slots; ++slot) {
        const struct gmon_arc *arc = &profile->arcs[slot];
        if (arc->count == 0)
            continue;
        put_u8(put, context, TAG_ARC);
        put_pc(put, context, arc->from_pc);
        put_pc(put, context, arc->self_pc);
        put_u32(put, context, arc->count);
    }
}

void gmon_profile_send(const struct gmon_profile *profile, gmon_put_fn *put, void *context) {
    const uint32_t size = gmon_profile_file_size(profile);
    const uint8_t length[4] = {(uint8_t)size, (uint8_t)(size >> 8), (uint8_t)(size >> 16),
                               (uint8_t)(size >> 24)};
    put(GMON_MARKER, sizeof GMON_MARKER - 1, context);
    put(length, sizeof length, context);
    gmon_profile_write(profile, put, context);
}
