/* Profile bookkeeping and the gmon.out writer, free of any machine detail so
   that the same code runs on the target and in a host test. */
#ifndef GMON_CORE_H
#define GMON_CORE_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* The line a terminal looks for before the 32-bit length and the file. */
#define GMON_MARKER "**gmon.out data follows**\n"

struct gmon_arc {
    uintptr_t from_pc; /* in the caller (a return address) */
    uintptr_t self_pc; /* in the callee */
    uint32_t count;    /* 0: free slot */
};

/* All storage belongs to the caller, so the runtime needs no allocator and
   its size is chosen per firmware. */
struct gmon_profile {
    uintptr_t low_pc;  /* histogram range [low_pc, high_pc), */
    uintptr_t high_pc; /* high_pc - low_pc == bin_count << bin_shift */
    unsigned bin_shift;
    uint16_t *bins;
    size_t bin_count;
    struct gmon_arc *arcs;
    size_t arc_slots; /* a power of two */
    size_t arcs_used;
    uint32_t rate;            /* samples per second */
    uint32_t samples_outside; /* samples whose pc lay outside the range */
    uint32_t samples_saturated; /* samples lost to a bin already at 0xffff */
    uint32_t arcs_dropped;    /* calls not counted: the arc table was full */
};

/* Covers [low_pc, high_pc) with bins of at least 2 bytes, as few bytes per
   bin as `bin_capacity` allows. `arc_slots` is rounded down to a power of
   two. Returns 0, or -1 when the range is empty or the storage too small. */
int gmon_profile_init(struct gmon_profile *profile, uintptr_t low_pc, uintptr_t high_pc,
                      uint16_t *bins, size_t bin_capacity, struct gmon_arc *arcs,
                      size_t arc_slots, uint32_t rate);

/* Clears every count, keeping the range and the storage. */
void gmon_profile_reset(struct gmon_profile *profile);

/* One histogram sample at `pc`; a full bin stays full, and what it could not
   take is counted in samples_saturated. */
void gmon_profile_sample(struct gmon_profile *profile, uintptr_t pc);

/* One traversal of the call arc from `from_pc` into the function at
   `self_pc`. */
void gmon_profile_arc(struct gmon_profile *profile, uintptr_t from_pc, uintptr_t self_pc);

/* The size in bytes of the file gmon_profile_write produces. */
uint32_t gmon_profile_file_size(const struct gmon_profile *profile);

typedef void gmon_put_fn(const void *bytes, size_t count, void *context);

/* The gmon.out file: header, one histogram record, one record per arc,
   values in this machine's byte order and address size, as gprof reads
   them for an executable of this machine. */
void gmon_profile_write(const struct gmon_profile *profile, gmon_put_fn *put, void *context);

/* The block a terminal carves out of the target's output: the marker
   line, the file's length as a 32-bit little-endian integer, the file. */
void gmon_profile_send(const struct gmon_profile *profile, gmon_put_fn *put, void *context);

#ifdef __cplusplus
}
#endif

#endif
