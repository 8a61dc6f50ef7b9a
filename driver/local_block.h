// Local-memory blocks that a plug-in hands over to the driver: a scoped
// lock that also knows how many bytes the block holds, and the release of
// a returned handle.
#ifndef SPIPROBE_DRIVER_LOCAL_BLOCK_H
#define SPIPROBE_DRIVER_LOCAL_BLOCK_H

#include <windows.h>

#include <cstddef>

// Locks a block for the scope. data() is null when the handle could not be
// locked (null, already freed, or a discarded zero-size block); size() is
// the block's size, so that nothing is read past its end.
class LocalBlockLock {
public:
    explicit LocalBlockLock(HLOCAL handle) : handle_(handle) {
        if (handle_) data_ = LocalLock(handle_);
        if (data_) size_ = LocalSize(handle_);
    }
    ~LocalBlockLock() { Unlock(); }
    LocalBlockLock(const LocalBlockLock&) = delete;
    LocalBlockLock& operator=(const LocalBlockLock&) = delete;

    // Unlocks now; only a handle that was locked is unlocked.
    void Unlock() {
        if (data_) LocalUnlock(handle_);
        data_ = nullptr;
        size_ = 0;
    }
    const void* data() const { return data_; }
    size_t size() const { return size_; }

private:
    HLOCAL handle_;
    void* data_ = nullptr;
    size_t size_ = 0;
};

// Frees a handle that a plug-in returned. Null, and a handle that is no
// longer a valid local block (one the plug-in freed itself), are left
// alone rather than freed twice.
inline void FreeReturnedBlock(HLOCAL handle) {
    if (handle && LocalFlags(handle) != LMEM_INVALID_HANDLE) LocalFree(handle);
}

#endif
