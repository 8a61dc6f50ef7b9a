/* spicov: the coverage runtime of an instrumented plug-in (see spicov.h).
 * Plain C, no C runtime calls beyond what kernel32 gives, so it links into
 * any plug-in. Compile it without the coverage options: its own code must
 * not call itself (GCC 12 and clang keep its functions uninstrumented
 * even when it is compiled with them). */
#include "spicov.h"

#include <windows.h>

#if defined(__has_attribute)
#if __has_attribute(no_sanitize_coverage)
#define SPICOV_PLAIN __attribute__((no_sanitize_coverage))
#endif
#endif
#ifndef SPICOV_PLAIN
#define SPICOV_PLAIN
#endif

#ifdef _MSC_VER
#define SPICOV_EXPORT
#else
#define SPICOV_EXPORT __attribute__((used))
#endif

/* The module this runtime is linked into: edges are numbered by their
 * offset in it, so that they do not depend on where it was loaded. */
extern IMAGE_DOS_HEADER __ImageBase;

/* The region, once looked for: null when there is none. Until then it
 * holds kNotLooked, so that each callback reads one pointer. */
#define kNotLooked ((struct spicov_region*)1)
static struct spicov_region* volatile g_region = kNotLooked;
/* The region's map, copied out of it when found. */
static uint8_t* g_edges;
static uint32_t g_mask;
/* Where the region says whether comparisons are wanted; a first-version
 * region has no such field and always wants them. */
static const uint32_t g_always = 1;
static const volatile uint32_t* g_cmp_wanted = &g_always;

static SPICOV_PLAIN struct spicov_region* FindRegion(void) {
    struct spicov_region* region = 0;
    HMODULE host = GetModuleHandleA(0);
    FARPROC proc = host ? GetProcAddress(host, SPICOV_HOST_EXPORT) : 0;
    if (proc) {
        /* The generic entry point read as the export's type. */
        union {
            FARPROC proc;
            spicov_host_region_proc get;
        } entry;
        entry.proc = proc;
        region = entry.get();
        if (region && (region->magic != SPICOV_MAGIC || region->version < 1 ||
                       region->version > SPICOV_VERSION ||
                       !region->edges || !region->edge_size ||
                       (region->edge_size & (region->edge_size - 1))))
            region = 0;
    }
    if (region) {
        g_edges = region->edges;
        g_mask = region->edge_size - 1;
        if (region->version >= 2) g_cmp_wanted = &region->cmp_wanted;
        InterlockedIncrement((volatile LONG*)&region->attached);
    }
    g_region = region;
    return region;
}

static SPICOV_PLAIN struct spicov_region* Region(void) {
    struct spicov_region* region = g_region;
    return region == kNotLooked ? FindRegion() : region;
}

/* A location's number in the map: one multiplication spreads nearby
 * addresses (the upper bits of the product are the well-mixed ones). */
static SPICOV_PLAIN uint32_t Mix(uint32_t x) { return (x * 0x9E3779B1u) >> 7 ^ x; }

/* An edge from the last location to this one, as AFL counts them. */
static SPICOV_PLAIN void Visit(struct spicov_region* region, uint32_t location) {
    uint32_t here = Mix(location) & g_mask;
    uint8_t* slot = &g_edges[(here ^ region->prev) & g_mask];
    *slot = (uint8_t)(*slot + 1);
    region->prev = here >> 1;
}

static SPICOV_PLAIN void Compared(uint32_t size, uint32_t constant, uint64_t a, uint64_t b) {
    struct spicov_region* region;
    uint32_t n;
    region = Region();
    if (!region || !*g_cmp_wanted || a == b) return;
    /* A full log takes no more: loops compare on every round. */
    if (!region->cmps || (n = region->cmp_count) >= region->cmp_capacity) return;
    region->cmp_count = n + 1;
    region->cmps[n].size = size;
    region->cmps[n].constant = constant;
    region->cmps[n].a = a;
    region->cmps[n].b = b;
}

/* GCC: -fsanitize-coverage=trace-pc */
SPICOV_EXPORT SPICOV_PLAIN void __sanitizer_cov_trace_pc(void) {
    struct spicov_region* region = Region();
    if (!region) return;
    Visit(region, (uint32_t)((uintptr_t)__builtin_return_address(0) - (uintptr_t)&__ImageBase));
}

/* -fsanitize-coverage=trace-cmp (GCC and clang) */
SPICOV_EXPORT SPICOV_PLAIN void __sanitizer_cov_trace_cmp1(uint8_t a, uint8_t b) {
    Compared(1, 0, a, b);
}
SPICOV_EXPORT SPICOV_PLAIN void __sanitizer_cov_trace_cmp2(uint16_t a, uint16_t b) {
    Compared(2, 0, a, b);
}
SPICOV_EXPORT SPICOV_PLAIN void __sanitizer_cov_trace_cmp4(uint32_t a, uint32_t b) {
    Compared(4, 0, a, b);
}
SPICOV_EXPORT SPICOV_PLAIN void __sanitizer_cov_trace_cmp8(uint64_t a, uint64_t b) {
    Compared(8, 0, a, b);
}
SPICOV_EXPORT SPICOV_PLAIN void __sanitizer_cov_trace_const_cmp1(uint8_t a, uint8_t b) {
    Compared(1, 1, a, b);
}
SPICOV_EXPORT SPICOV_PLAIN void __sanitizer_cov_trace_const_cmp2(uint16_t a, uint16_t b) {
    Compared(2, 1, a, b);
}
SPICOV_EXPORT SPICOV_PLAIN void __sanitizer_cov_trace_const_cmp4(uint32_t a, uint32_t b) {
    Compared(4, 1, a, b);
}
SPICOV_EXPORT SPICOV_PLAIN void __sanitizer_cov_trace_const_cmp8(uint64_t a, uint64_t b) {
    Compared(8, 1, a, b);
}
/* cases[0]: the number of cases, cases[1]: the width in bits, then the
 * values. Each case the value is not is a comparison it failed. */
SPICOV_EXPORT SPICOV_PLAIN void __sanitizer_cov_trace_switch(uint64_t value, void* table) {
    const uint64_t* cases = (const uint64_t*)table;
    uint64_t i, count = cases[0];
    uint32_t size = (uint32_t)(cases[1] / 8);
    if (count > 64) count = 64;
    for (i = 0; i < count; ++i) Compared(size ? size : 8, 1, cases[2 + i], value);
}
/* Floating-point comparisons say nothing an input's bytes could be
 * replaced with. */
SPICOV_EXPORT SPICOV_PLAIN void __sanitizer_cov_trace_cmpf(float a, float b) {
    (void)a;
    (void)b;
}
SPICOV_EXPORT SPICOV_PLAIN void __sanitizer_cov_trace_cmpd(double a, double b) {
    (void)a;
    (void)b;
}
/* clang's trace-cmp also traces divisions and array indexes when asked. */
SPICOV_EXPORT SPICOV_PLAIN void __sanitizer_cov_trace_div4(uint32_t value) { (void)value; }
SPICOV_EXPORT SPICOV_PLAIN void __sanitizer_cov_trace_div8(uint64_t value) { (void)value; }
SPICOV_EXPORT SPICOV_PLAIN void __sanitizer_cov_trace_gep(uintptr_t index) { (void)index; }

/* clang, MSVC: -fsanitize-coverage=trace-pc-guard. Each guard gets a
 * number from the host's region, or 0 (never counted) without one. */
SPICOV_EXPORT SPICOV_PLAIN void __sanitizer_cov_trace_pc_guard_init(uint32_t* start,
                                                                    uint32_t* stop) {
    struct spicov_region* region = Region();
    uint32_t* guard;
    if (start == stop || *start) return;
    for (guard = start; guard < stop; ++guard)
        *guard = region ? 1 + region->next_guard++ : 0;
}
SPICOV_EXPORT SPICOV_PLAIN void __sanitizer_cov_trace_pc_guard(uint32_t* guard) {
    struct spicov_region* region;
    if (!*guard) return;
    region = Region();
    if (region) Visit(region, *guard);
}

/* clang, MSVC: -fsanitize-coverage=inline-8bit-counters. The compiler
 * counts in the module's own array; the host reads and clears it after
 * each execution. */
SPICOV_EXPORT SPICOV_PLAIN void __sanitizer_cov_8bit_counters_init(char* start, char* end) {
    struct spicov_region* region = Region();
    uint32_t n;
    if (!region || start == end) return;
    n = region->counter_ranges;
    if (n >= sizeof region->counter_start / sizeof region->counter_start[0]) return;
    region->counter_start[n] = (uint8_t*)start;
    region->counter_end[n] = (uint8_t*)end;
    region->counter_ranges = n + 1;
}
/* clang for MinGW-w64 puts the counters, the pc-table and the guards in
 * COFF sections that the linker sorts by what follows the '$' (".SCOV$CM"
 * between ".SCOV$CA" and ".SCOV$CZ"), and asks for the symbols below as
 * their bounds, which a sanitizer runtime would give and GNU ld does not.
 * The bounds add a zero counter (never counted) and a zero guard. */
#if defined(__clang__) && defined(__MINGW32__)
#define SPICOV_BOUND(where, type, name) __attribute__((section(where), used)) type name = 0
SPICOV_BOUND(".SCOV$CA", uint8_t, __start___sancov_cntrs);
SPICOV_BOUND(".SCOV$CZ", uint8_t, __stop___sancov_cntrs);
SPICOV_BOUND(".SCOV$GA", uint32_t, __start___sancov_guards);
SPICOV_BOUND(".SCOV$GZ", uint32_t, __stop___sancov_guards);
SPICOV_BOUND(".SCOVP$A", uintptr_t, __start___sancov_pcs);
SPICOV_BOUND(".SCOVP$Z", uintptr_t, __stop___sancov_pcs);
#endif

/* -fsanitize-coverage=pc-table, which clang may ask for beside the counters. */
SPICOV_EXPORT SPICOV_PLAIN void __sanitizer_cov_pcs_init(const uintptr_t* start,
                                                         const uintptr_t* end) {
    (void)start;
    (void)end;
}
