// Memory tools of the checks: a buffer whose end touches an inaccessible
// page (so reading one byte too far faults), a watch that sees which
// fault a guarded call swallowed, and a census of live heap blocks. The
// blocks a plug-in hands back are held and read through the owners of
// win32_handles.h (UniqueLocal, LocalLockScope).
#ifndef SPICHECK_MEMORY_TOOLS_H
#define SPICHECK_MEMORY_TOOLS_H

#include <windows.h>

#include <cstddef>
#include <cstdint>

// size bytes placed so that the byte after the last one is the first byte
// of a PAGE_NOACCESS page. Contents start zeroed.
class EdgeBuffer {
public:
    explicit EdgeBuffer(size_t size);
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

// Installed once for the run: records the first-chance exceptions raised on
// this thread without handling them, so a check can tell a fault that the
// library's guard turned into a return code from a genuine answer.
void InstallFaultWatch();
void ResetFaultWatch();
// True when an exception was raised since the last reset; its code and, for
// an access violation, the address touched.
bool FaultSeen(DWORD* code, uintptr_t* address);

// Busy blocks of the process heap (where local memory lives) and their bytes.
struct HeapCensus {
    long blocks = 0;
    long long bytes = 0;
};
HeapCensus TakeHeapCensus();
// Private bytes of the process, 0 when unknown.
size_t PrivateBytes();

#endif
