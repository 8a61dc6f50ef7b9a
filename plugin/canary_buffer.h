// CanaryBuffer: a buffer handed to a module to write into, with room after
// the size the module is told.
//
// The size given is followed by kSlack bytes of a fixed pattern and then by
// an inaccessible page, so a module that writes a little too far writes
// into the pattern (Overrun() says how far), and one that writes much too
// far faults inside its own call; neither reaches the caller's memory. The
// caller copies at most size() bytes out of data() after the call.
#ifndef SPIPROBE_PLUGIN_CANARY_BUFFER_H
#define SPIPROBE_PLUGIN_CANARY_BUFFER_H

#include <windows.h>

#include <cstddef>
#include <cstring>

class CanaryBuffer {
public:
    static constexpr size_t kSlack = 256;
    static constexpr unsigned char kPattern = 0xA5;

    // A zero-filled buffer of size bytes; data() is null when the memory
    // cannot be had.
    explicit CanaryBuffer(size_t size) : size_(size) {
        constexpr size_t kPage = 4096;
        size_t used = (size + kSlack + kPage - 1) / kPage * kPage;
        base_ = static_cast<unsigned char*>(
            VirtualAlloc(nullptr, used + kPage, MEM_RESERVE, PAGE_NOACCESS));
        if (!base_ || !VirtualAlloc(base_, used, MEM_COMMIT, PAGE_READWRITE)) {
            Release();
            return;
        }
        data_ = base_ + used - (size + kSlack);
        memset(data_ + size, kPattern, kSlack);
    }
    ~CanaryBuffer() { Release(); }
    CanaryBuffer(const CanaryBuffer&) = delete;
    CanaryBuffer& operator=(const CanaryBuffer&) = delete;

    char* data() const { return reinterpret_cast<char*>(data_); }
    size_t size() const { return size_; }

    // Bytes written past size(): up to and including the last byte of the
    // pattern that changed, 0 when none did.
    size_t Overrun() const {
        if (!data_) return 0;
        for (size_t n = kSlack; n > 0; --n) {
            if (data_[size_ + n - 1] != kPattern) return n;
        }
        return 0;
    }

    // Zero-fills the buffer and lays the pattern again, for the next call.
    void Reset() {
        if (!data_) return;
        memset(data_, 0, size_);
        memset(data_ + size_, kPattern, kSlack);
    }

private:
    void Release() {
        if (base_) VirtualFree(base_, 0, MEM_RELEASE);
        base_ = nullptr;
        data_ = nullptr;
    }

    size_t size_;
    unsigned char* base_ = nullptr;
    unsigned char* data_ = nullptr;
};

#endif
