#include "fuzz_coverage.h"

#include <cstring>

namespace {

constexpr uint32_t kComparisons = 512;

alignas(8) uint8_t g_edges[coverage::kEdges];
spicov_cmp g_comparisons[kComparisons];
spicov_region g_region = {SPICOV_MAGIC, SPICOV_VERSION, g_edges, coverage::kEdges, 0,
                          g_comparisons, kComparisons, 0, 0, 0, {}, {}, 0, 0};

// AFL's buckets, as bits: a count's class, not the count, makes an input new.
uint8_t g_bucket[256];

struct BucketTable {
    BucketTable() {
        for (int n = 0; n < 256; ++n)
            g_bucket[n] = n == 0 ? 0 : n == 1 ? 1 : n == 2 ? 2 : n == 3 ? 4 : n < 8 ? 8
                        : n < 16 ? 16 : n < 32 ? 32 : n < 128 ? 64 : 128;
    }
} g_bucketTable;

}  // namespace

// Found by the runtime of an instrumented plug-in (spicov.c) through
// GetProcAddress on the program's module.
extern "C" __declspec(dllexport) spicov_region* spicov_host_region() { return &g_region; }

namespace coverage {

bool Instrumented() { return g_region.attached != 0; }

void BeginExecution(bool comparisons) {
    memset(g_edges, 0, sizeof g_edges);
    g_region.prev = 0;
    g_region.cmp_count = 0;
    g_region.cmp_wanted = comparisons;
}

void EndExecution() {
    for (uint32_t r = 0; r < g_region.counter_ranges && r < 16; ++r) {
        uint8_t* start = g_region.counter_start[r];
        uint8_t* end = g_region.counter_end[r];
        for (uint8_t* c = start; c < end; ++c) {
            if (!*c) continue;
            uint32_t slot = (static_cast<uint32_t>(c - start) * 0x9E3779B1u + r) & (kEdges - 1);
            unsigned sum = g_edges[slot] + *c;
            g_edges[slot] = static_cast<uint8_t>(sum > 255 ? 255 : sum);
            *c = 0;
        }
    }
    // Most of the map is zero: a word at a time.
    const uint64_t* words = reinterpret_cast<const uint64_t*>(g_edges);
    for (uint32_t w = 0; w < kEdges / 8; ++w) {
        if (!words[w]) continue;
        for (uint32_t i = w * 8; i < w * 8 + 8; ++i) g_edges[i] = g_bucket[g_edges[i]];
    }
}

std::vector<spicov_cmp> Comparisons() {
    uint32_t n = g_region.cmp_count;
    if (n > kComparisons) n = kComparisons;
    return std::vector<spicov_cmp>(g_comparisons, g_comparisons + n);
}

bool Seen::Add() {
    bool added = false;
    const uint64_t* words = reinterpret_cast<const uint64_t*>(g_edges);
    uint64_t* seen = reinterpret_cast<uint64_t*>(bits_.data());
    for (uint32_t w = 0; w < kEdges / 8; ++w) {
        if (!words[w] || (words[w] & ~seen[w]) == 0) continue;
        seen[w] |= words[w];
        added = true;
    }
    return added;
}

bool Seen::WouldAdd() const {
    const uint64_t* words = reinterpret_cast<const uint64_t*>(g_edges);
    const uint64_t* seen = reinterpret_cast<const uint64_t*>(bits_.data());
    for (uint32_t w = 0; w < kEdges / 8; ++w)
        if (words[w] & ~seen[w]) return true;
    return false;
}

size_t Seen::Edges() const {
    size_t n = 0;
    for (uint8_t b : bits_) n += b != 0;
    return n;
}

}  // namespace coverage
