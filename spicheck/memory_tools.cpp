#include "memory_tools.h"

#include <psapi.h>

EdgeBuffer::EdgeBuffer(size_t size, void* at) : size_(size) {
    SYSTEM_INFO system;
    GetSystemInfo(&system);
    size_t page = system.dwPageSize;
    size_t dataPages = (size + page - 1) / page;
    reserved_ = (dataPages + 1) * page;
    base_ = VirtualAlloc(at, reserved_, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
    if (!base_) return;
    unsigned char* guard = static_cast<unsigned char*>(base_) + dataPages * page;
    DWORD old = 0;
    if (!VirtualProtect(guard, page, PAGE_NOACCESS, &old)) {
        VirtualFree(base_, 0, MEM_RELEASE);
        base_ = nullptr;
        return;
    }
    data_ = guard - size;
}

EdgeBuffer::~EdgeBuffer() {
    if (base_) VirtualFree(base_, 0, MEM_RELEASE);
}

bool EdgeBuffer::InGuardPage(uintptr_t address) const {
    if (!base_) return false;
    uintptr_t guard = reinterpret_cast<uintptr_t>(data_ + size_);
    uintptr_t end = reinterpret_cast<uintptr_t>(base_) + reserved_;
    return address >= guard && address < end;
}

std::unique_ptr<EdgeBuffer> EdgeBufferAboveFourGiB(size_t size) {
#if defined(_WIN64)
    // The low 32 bits of each 4 GiB boundary are 0, and a buffer of up to
    // a page reserved there lies in its first page, its low bits below
    // 0x1000. Some of those places may be taken, so several are tried.
    for (uint64_t gib4 = 1; gib4 <= 64; ++gib4) {
        void* at = reinterpret_cast<void*>(static_cast<uintptr_t>(gib4 << 32));
        std::unique_ptr<EdgeBuffer> buffer(new EdgeBuffer(size, at));
        if (buffer->ok() && reinterpret_cast<uintptr_t>(buffer->data()) >> 32 == gib4)
            return buffer;
    }
#else
    (void)size;
#endif
    return nullptr;
}

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
