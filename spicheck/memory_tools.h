// Memory tools of the checks: a buffer whose end touches an inaccessible
// page (so reading one byte too far faults), and a census of live heap
// blocks. The blocks a plug-in hands back are held and read through the
// owners of win32_handles.h (UniqueLocal, LocalLockScope).
#ifndef SPICHECK_MEMORY_TOOLS_H
#define SPICHECK_MEMORY_TOOLS_H

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <memory>

// size bytes placed so that the byte after the last one is the first byte
// of a PAGE_NOACCESS page. Contents start zeroed.
class EdgeBuffer {
public:
    // at: where to reserve the pages (a multiple of 64 KiB), or null for
    // anywhere; ok() is false when that place is taken.
    explicit EdgeBuffer(size_t size, void* at = nullptr);
    ~EdgeBuffer();
    EdgeBuffer(const EdgeBuffer&) = delete;
    EdgeBuffer& operator=(const EdgeBuffer&) = delete;

    unsigned char* data() const { return data_; }
    size_t size() const { return size_; }
    bool ok() const { return base_ != nullptr; }
    // Whether an address lies in the inaccessible page behind the data.
    bool InGuardPage(uintptr_t address) const;

private:
    void* base_ = nullptr;
    size_t reserved_ = 0;
    unsigned char* data_ = nullptr;
    size_t size_ = 0;
};

// A buffer of size bytes (at most a page) as EdgeBuffer places it, at an
// address above 4 GiB whose low 32 bits are below 0x10000; null where
// there is no such address (a 32-bit process) or none is free.
std::unique_ptr<EdgeBuffer> EdgeBufferAboveFourGiB(size_t size);

// Busy blocks of the process heap (where local memory lives) and their bytes.
struct HeapCensus {
    long blocks = 0;
    long long bytes = 0;
};
HeapCensus TakeHeapCensus();
// Private bytes of the process, 0 when unknown.
size_t PrivateBytes();

#endif
