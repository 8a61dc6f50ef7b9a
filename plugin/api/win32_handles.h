// Move-only owners of Win32 handles, one line per kind, and a scoped lock
// of a local-memory block. Header-only, so plug-ins can use it as well as
// hosts.
//
// An owner closes its handle when it is destroyed, reset or assigned to;
// release() hands the handle on without closing it. Handles whose "none"
// is INVALID_HANDLE_VALUE (files, directory searches) and those whose
// "none" is null (keys, modules, local blocks) are kept apart by the
// template's third argument, so valid() means the same for every owner.
//
//     UniqueFile file(CreateFileA(name, GENERIC_READ, ...));
//     if (!file.valid()) return SPI_READ_ERROR;
//     ReadFile(file.get(), ...);          // closed on every way out
#ifndef SPIPROBE_WIN32_HANDLES_H
#define SPIPROBE_WIN32_HANDLES_H

#include <windows.h>

#include <cstddef>
#include <cstdint>

// Owns one handle of type Handle; Close(handle) releases it, and the value
// InvalidValue (cast to Handle) means "no handle".
template <typename Handle, auto Close, intptr_t InvalidValue = 0>
class UniqueAny {
public:
    static Handle Invalid() noexcept { return reinterpret_cast<Handle>(InvalidValue); }

    UniqueAny() noexcept = default;
    explicit UniqueAny(Handle handle) noexcept : handle_(handle) {}
    ~UniqueAny() { reset(); }
    UniqueAny(UniqueAny&& other) noexcept : handle_(other.release()) {}
    UniqueAny& operator=(UniqueAny&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }
    UniqueAny(const UniqueAny&) = delete;
    UniqueAny& operator=(const UniqueAny&) = delete;

    bool valid() const noexcept { return handle_ != Invalid(); }
    Handle get() const noexcept { return handle_; }
    // Closes the current handle and takes another (or none).
    void reset(Handle handle = Invalid()) noexcept {
        Handle old = handle_;
        handle_ = handle;
        if (old != Invalid()) Close(old);
    }
    Handle release() noexcept {
        Handle handle = handle_;
        handle_ = Invalid();
        return handle;
    }
    // For APIs that return the handle through a pointer: closes the
    // current one first.
    Handle* put() noexcept {
        reset();
        return &handle_;
    }

private:
    Handle handle_ = Invalid();
};

// Frees a local-memory block unless the handle no longer names a live one:
// a block received from a plug-in may be one it freed itself, and freeing
// it again would corrupt the heap.
inline HLOCAL FreeLiveLocal(HLOCAL handle) noexcept {
    return LocalFlags(handle) != LMEM_INVALID_HANDLE ? LocalFree(handle) : nullptr;
}

using UniqueFile = UniqueAny<HANDLE, ::CloseHandle, -1>;  // CreateFile
using UniqueFind = UniqueAny<HANDLE, ::FindClose, -1>;    // FindFirstFile
using UniqueKernelHandle = UniqueAny<HANDLE, ::CloseHandle>;  // events, semaphores, processes
using UniqueRegKey = UniqueAny<HKEY, ::RegCloseKey>;      // RegOpenKeyEx, RegCreateKeyEx
using UniqueModule = UniqueAny<HMODULE, ::FreeLibrary>;   // LoadLibrary
using UniqueLocal = UniqueAny<HLOCAL, FreeLiveLocal>;     // LocalAlloc, or a plug-in's block

// Locks a local-memory block for the scope. The handle is looked at first
// (LocalFlags), so a null, freed or foreign handle is never locked; data()
// is null when the block is not live or does not lock (a discarded block).
// size() is the block's real size (LocalSize), the bound of every read of
// a block someone else filled.
class LocalLockScope {
public:
    explicit LocalLockScope(HLOCAL handle) noexcept {
        if (!handle || LocalFlags(handle) == LMEM_INVALID_HANDLE) return;
        live_ = true;
        data_ = LocalLock(handle);
        if (!data_) return;
        handle_ = handle;
        size_ = LocalSize(handle);
    }
    ~LocalLockScope() { Unlock(); }
    // Takes over a lock taken earlier and kept beyond a scope (data is what
    // LocalLock(handle) gave, or null for no lock), to give it back here.
    static LocalLockScope Adopt(HLOCAL handle, void* data) noexcept {
        LocalLockScope scope(nullptr);
        if (handle && data) {
            scope.handle_ = handle;
            scope.data_ = data;
            scope.live_ = true;
            scope.size_ = LocalSize(handle);
        }
        return scope;
    }
    LocalLockScope(LocalLockScope&& other) noexcept
        : handle_(other.handle_), data_(other.data_), size_(other.size_), live_(other.live_) {
        other.handle_ = nullptr;
        other.data_ = nullptr;
        other.size_ = 0;
    }
    LocalLockScope& operator=(LocalLockScope&&) = delete;
    LocalLockScope(const LocalLockScope&) = delete;
    LocalLockScope& operator=(const LocalLockScope&) = delete;

    // Unlocks now; only a block this scope locked is unlocked.
    void Unlock() noexcept {
        if (data_) LocalUnlock(handle_);
        handle_ = nullptr;
        data_ = nullptr;
        size_ = 0;
    }
    // The handle named a live block when the scope began (it may still
    // have failed to lock).
    bool live() const noexcept { return live_; }
    void* data() const noexcept { return data_; }
    template <typename T>
    T* as() const noexcept {
        return static_cast<T*>(data_);
    }
    size_t size() const noexcept { return size_; }

private:
    HLOCAL handle_ = nullptr;
    void* data_ = nullptr;
    size_t size_ = 0;
    bool live_ = false;
};

#endif
