// Memory tools of the checks: a buffer whose end touches an inaccessible
// page (so reading one byte too far faults), and a census of live heap
// blocks. The blocks a plug-in hands back are held and read through the
// owners of win32_handles.h (UniqueLocal, LocalLockScope).
#ifndef SPICHECK_MEMORY_TOOLS_H
#define SPICHECK_MEMORY_TOOLS_H

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "base/fenced_buffer.h"

// size bytes placed so that the byte after the last one is the first byte
// of a no-access page (the base floor's fenced buffer without a tail).
// Contents start zeroed.
using EdgeBuffer = FencedBuffer;

// The sample IsSupported is given: the first bytes of a file, as many as
// fit, in a buffer of the sample's size (zeros after a shorter file).
inline void FillSample(EdgeBuffer& sample, const std::string& bytes) {
    memcpy(sample.data(), bytes.data(), bytes.size() < sample.size() ? bytes.size() : sample.size());
}

// A buffer of size bytes (at most a page) as EdgeBuffer places it, at an
// address above 4 GiB whose low 32 bits are below 0x10000; null where
// there is no such address (a 32-bit process) or none is free.
inline std::unique_ptr<EdgeBuffer> EdgeBufferAboveFourGiB(size_t size) {
    return FencedBufferAboveFourGiB(size);
}

// Busy blocks of the process heap (where local memory lives) and their bytes.
struct HeapCensus {
    long blocks = 0;
    long long bytes = 0;
};
HeapCensus TakeHeapCensus();
// Private bytes of the process, 0 when unknown.
size_t PrivateBytes();

#endif
