// Local-memory blocks as the tests make, inspect and free them. LocalSize
// gives the exact size a block was allocated with, and 0 with error 6
// (ERROR_INVALID_HANDLE) for a handle that is no longer a block.
#ifndef SPIPROBE_TESTS_LOCAL_BLOCKS_H
#define SPIPROBE_TESTS_LOCAL_BLOCKS_H

#include <windows.h>

#include <cstring>
#include <string>

// True while the handle is an allocated block. The tests' blocks are never
// empty, so a size of 0 means the block is gone.
inline bool Allocated(HLOCAL h) { return LocalSize(h) != 0; }

// True when the handle was freed: LocalSize answers 0 with error 6, not
// merely 0 (an empty block, or a call that failed for another reason).
inline bool IsFreed(HLOCAL h) {
    SetLastError(0xdeadbeef);
    return LocalSize(h) == 0 && GetLastError() == ERROR_INVALID_HANDLE;
}

// How often the block is locked.
inline UINT LockCount(HLOCAL h) { return LocalFlags(h) & LMEM_LOCKCOUNT; }

// A picture's two blocks as a decode hands them back, freed at the end of
// the scope.
struct PictureBlocks {
    HLOCAL info = nullptr;
    HLOCAL bits = nullptr;
    PictureBlocks() = default;
    PictureBlocks(const PictureBlocks&) = delete;
    PictureBlocks& operator=(const PictureBlocks&) = delete;
    ~PictureBlocks() {
        if (info) LocalFree(info);
        if (bits) LocalFree(bits);
    }
};

// A new movable block of size zero bytes, unlocked; the caller frees it.
inline HLOCAL NewBlock(SIZE_T size) { return LocalAlloc(LMEM_MOVEABLE | LMEM_ZEROINIT, size); }

// A new movable block holding the bytes, unlocked; the caller frees it.
inline HLOCAL BlockOf(const std::string& bytes) {
    HLOCAL h = LocalAlloc(LMEM_MOVEABLE, bytes.size());
    if (h) {
        memcpy(LocalLock(h), bytes.data(), bytes.size());
        LocalUnlock(h);
    }
    return h;
}

// The first size bytes of a block; the block stays as it is.
inline std::string BlockBytes(HLOCAL h, size_t size) {
    const char* data = static_cast<const char*>(LocalLock(h));
    std::string bytes = data ? std::string(data, size) : std::string();
    if (data) LocalUnlock(h);
    return bytes;
}

// All the bytes of a block (LocalSize of them), then frees it. A null
// handle gives no bytes.
inline std::string TakeBlock(HLOCAL h) {
    if (!h) return std::string();
    std::string bytes = BlockBytes(h, LocalSize(h));
    LocalFree(h);
    return bytes;
}

#endif
