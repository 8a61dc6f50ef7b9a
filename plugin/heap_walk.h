// Whether every heap of the process is intact: a walk of each heap that
// GetProcessHeaps names, with HeapValidate. A plug-in that writes past a
// block it allocated leaves a heap that fails it; the walk costs about a
// millisecond, so processes that run plug-ins call it after their calls.
#ifndef SPIPROBE_PLUGIN_HEAP_WALK_H
#define SPIPROBE_PLUGIN_HEAP_WALK_H

#include <windows.h>

inline bool EveryHeapIntact() {
    HANDLE heaps[256];
    DWORD count = GetProcessHeaps(256, heaps);
    if (count > 256) count = 256;
    for (DWORD n = 0; n < count; ++n)
        if (!HeapValidate(heaps[n], 0, nullptr)) return false;
    return true;
}

#endif
