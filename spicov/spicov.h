/* spicov: the coverage runtime a plug-in author links into an instrumented
 * build of a plug-in, so that spicheck's fuzzing campaign sees which edges
 * of the plug-in an input reaches and which comparisons it failed.
 *
 * Build the plug-in's own sources with
 *   GCC (MinGW-w64):  -fsanitize-coverage=trace-pc -fsanitize-coverage=trace-cmp
 *   clang:            -fsanitize-coverage=inline-8bit-counters,trace-cmp
 *                     (--target=x86_64-w64-mingw32 or i686-w64-mingw32 with the
 *                     MinGW-w64 headers; the counters cost no call, the
 *                     cheaper build; trace-pc-guard works too)
 * and add spicov.c, compiled WITHOUT those options (with the same
 * compiler), to the DLL. Nothing else changes: no call to make, no export
 * to add.
 *
 * Inside spicheck's process the runtime finds spicheck's coverage map
 * through an export of the program (spicov_host_region, looked up once in
 * the module of GetModuleHandle(NULL)); in any other host it finds none and
 * every callback returns at once, so the plug-in behaves as its
 * uninstrumented build, a little slower.
 *
 * This header is the agreement between the runtime and the host. */
#ifndef SPICOV_H
#define SPICOV_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define SPICOV_MAGIC 0x766F6353u /* "Scov" */
#define SPICOV_VERSION 2u

/* One comparison whose operands differed: size in bytes (1, 2, 4, 8) and
 * the two operands; for a comparison with a constant, the constant is a. */
struct spicov_cmp {
    uint32_t size;
    uint32_t constant; /* 1: a is a compile-time constant */
    uint64_t a;
    uint64_t b;
};

/* The host's region. edges has edge_size bytes (a power of two); each edge
 * reached adds one to its byte. cmps holds up to cmp_capacity records,
 * cmp_count of them filled: the first comparisons of the execution, and
 * only while cmp_wanted is not 0 (a host of the first version, whose region
 * ends before cmp_wanted, always wants them).
 * prev is the runtime's last location (the host clears it before each
 * execution). attached counts the modules that found the region. */
struct spicov_region {
    uint32_t magic;
    uint32_t version;
    uint8_t* edges;
    uint32_t edge_size;
    uint32_t prev;
    struct spicov_cmp* cmps;
    uint32_t cmp_capacity;
    uint32_t cmp_count;
    volatile uint32_t attached;
    /* Where clang's inline 8-bit counters of each module are: the host
     * adds them to edges after each execution and clears them. */
    uint32_t counter_ranges;
    uint8_t* counter_start[16];
    uint8_t* counter_end[16];
    /* The next free number for trace-pc-guard's guards. */
    uint32_t next_guard;
    /* Version 2: whether the host wants the comparisons of this execution;
     * logging them costs more than the edges, and a host needs them only
     * for the few inputs it keeps. */
    volatile uint32_t cmp_wanted;
};

/* The host's export, by this name: its region. */
typedef struct spicov_region* (*spicov_host_region_proc)(void);
#define SPICOV_HOST_EXPORT "spicov_host_region"

#ifdef __cplusplus
}
#endif

#endif
