#include "memory_tools.h"

#include <psapi.h>

HeapCensus TakeHeapCensus() {
    HeapCensus census;
    HANDLE heap = GetProcessHeap();
    if (!HeapLock(heap)) return census;
    PROCESS_HEAP_ENTRY entry = {};
    while (HeapWalk(heap, &entry)) {
        if (entry.wFlags & PROCESS_HEAP_ENTRY_BUSY) {
            ++census.blocks;
            census.bytes += entry.cbData;
        }
    }
    HeapUnlock(heap);
    return census;
}

size_t PrivateBytes() {
    PROCESS_MEMORY_COUNTERS_EX counters = {};
    counters.cb = sizeof counters;
    if (!GetProcessMemoryInfo(GetCurrentProcess(),
                              reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters),
                              sizeof counters))
        return 0;
    return counters.PrivateUsage;
}
