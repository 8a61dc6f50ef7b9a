#include "fenced_buffer.h"

#include <windows.h>

#include <cstring>

FencedBuffer::FencedBuffer(size_t size, size_t tail, void* at) : size_(size), tail_(tail) {
    SYSTEM_INFO system;
    GetSystemInfo(&system);
    const size_t page = system.dwPageSize;
    const size_t used = (size + tail + page - 1) / page * page;
    reserved_ = used + page;
    base_ = static_cast<unsigned char*>(
        VirtualAlloc(at, reserved_, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
    DWORD old = 0;
    if (!base_ || !VirtualProtect(base_ + used, page, PAGE_NOACCESS, &old)) {
        Release();
        return;
    }
    data_ = base_ + used - (size + tail);
    memset(data_ + size, kPattern, tail);
}

FencedBuffer::~FencedBuffer() { Release(); }

void FencedBuffer::Release() {
    if (base_) VirtualFree(base_, 0, MEM_RELEASE);
    base_ = nullptr;
    data_ = nullptr;
}

size_t FencedBuffer::Overrun() const {
    if (!data_) return 0;
    for (size_t n = tail_; n > 0; --n) {
        if (data_[size_ + n - 1] != kPattern) return n;
    }
    return 0;
}

void FencedBuffer::Reset() {
    if (!data_) return;
    memset(data_, 0, size_);
    memset(data_ + size_, kPattern, tail_);
}

bool FencedBuffer::InGuardPage(uintptr_t address) const {
    if (!data_) return false;
    uintptr_t guard = reinterpret_cast<uintptr_t>(data_ + size_ + tail_);
    uintptr_t end = reinterpret_cast<uintptr_t>(base_) + reserved_;
    return address >= guard && address < end;
}

std::unique_ptr<FencedBuffer> FencedBufferAboveFourGiB(size_t size) {
#if defined(_WIN64)
    // The low 32 bits of each 4 GiB boundary are 0, and a buffer of up to
    // a page reserved there lies in its first page, its low bits below
    // 0x1000. Some of those places may be taken, so several are tried.
    for (uint64_t gib4 = 1; gib4 <= 64; ++gib4) {
        void* at = reinterpret_cast<void*>(static_cast<uintptr_t>(gib4 << 32));
        std::unique_ptr<FencedBuffer> buffer(new FencedBuffer(size, 0, at));
        if (buffer->ok() && reinterpret_cast<uintptr_t>(buffer->data()) >> 32 == gib4)
            return buffer;
    }
#else
    (void)size;
#endif
    return nullptr;
}
