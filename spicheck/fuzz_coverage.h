// The coverage map an instrumented plug-in (one linked with spicov.c)
// writes into while it runs in spicheck's process: the runtime finds it
// through spicheck's export spicov_host_region. Edge counts are read as
// AFL does, in buckets (1, 2, 3, 4-7, 8-15, 16-31, 32-127, 128+), so an
// input is new when it reaches an edge, or an edge's bucket, never seen.
#ifndef SPICHECK_FUZZ_COVERAGE_H
#define SPICHECK_FUZZ_COVERAGE_H

#include <cstddef>
#include <cstdint>
#include <vector>

#include "spicov.h"

namespace coverage {

constexpr uint32_t kEdges = 1u << 16;

// Whether a module of the plug-in found the map (it is instrumented).
bool Instrumented();
// Before an execution: the counts and the comparisons cleared; the
// comparisons are logged only when asked for.
void BeginExecution(bool comparisons);
// After it: the counts of clang's inline counters folded in, then bucketed.
void EndExecution();
// The comparisons the last execution failed (at most a few hundred), when
// it asked for them.
std::vector<spicov_cmp> Comparisons();

// What a campaign has seen: one bit per edge and bucket.
class Seen {
public:
    Seen() : bits_(kEdges, 0) {}
    // Adds the last execution's edges; true when one (or its bucket) is new.
    bool Add();
    // Whether the last execution reached something new, without adding it.
    bool WouldAdd() const;
    // Edges reached at least once.
    size_t Edges() const;

private:
    std::vector<uint8_t> bits_;
};

}  // namespace coverage

#endif
