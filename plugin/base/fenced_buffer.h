// FencedBuffer: memory handed to a module, whose end touches a no-access
// page, so a module that reads or writes too far faults inside its own
// call instead of reaching the caller's memory.
//
// With a canary tail, kCanaryTail bytes of a fixed pattern lie between the
// data and the page: a module that writes a little too far writes into the
// pattern (Overrun() says how far), one that writes much too far faults.
// Without one, the byte after the data is the first of the page. The data
// starts zero-filled.
//
//     FencedBuffer text(size, FencedBuffer::kCanaryTail);
//     plugin.GetPluginInfo(1, text.chars(), size);
//     if (text.Overrun()) ...            // it wrote past size
#ifndef SPIPROBE_PLUGIN_BASE_FENCED_BUFFER_H
#define SPIPROBE_PLUGIN_BASE_FENCED_BUFFER_H

#include <cstddef>
#include <cstdint>
#include <memory>

class FencedBuffer {
public:
    static constexpr size_t kCanaryTail = 256;
    static constexpr unsigned char kPattern = 0xA5;

    // size bytes of data followed by tail bytes of the pattern (0 or
    // kCanaryTail) and the no-access page. at: where to reserve the pages
    // (a multiple of 64 KiB), or null for anywhere. data() is null and ok()
    // false when the memory cannot be had (or that place is taken).
    explicit FencedBuffer(size_t size, size_t tail = 0, void* at = nullptr);
    ~FencedBuffer();
    FencedBuffer(const FencedBuffer&) = delete;
    FencedBuffer& operator=(const FencedBuffer&) = delete;

    unsigned char* data() const { return data_; }
    char* chars() const { return reinterpret_cast<char*>(data_); }
    size_t size() const { return size_; }
    bool ok() const { return data_ != nullptr; }

    // Bytes written past size() into the tail: up to and including the last
    // byte of the pattern that changed, 0 when none did.
    size_t Overrun() const;
    // Zero-fills the data and lays the pattern again, for the next call.
    void Reset();
    // Whether an address lies in the no-access page behind the data.
    bool InGuardPage(uintptr_t address) const;

private:
    void Release();

    size_t size_;
    size_t tail_;
    unsigned char* base_ = nullptr;
    size_t reserved_ = 0;
    unsigned char* data_ = nullptr;
};

// A buffer of size bytes (at most a page), without a tail, at an address
// above 4 GiB whose low 32 bits are below 0x10000: where a module that
// keeps a pointer in 32 bits loses it. Null where there is no such address
// (a 32-bit process) or none is free.
std::unique_ptr<FencedBuffer> FencedBufferAboveFourGiB(size_t size);

#endif
