// A support check's sample at an address above 4 GiB whose low 32 bits
// are zero: a 64-bit module that keeps only the low half of its argument
// takes such a sample for a file handle (a value below 0x10000).
#ifndef SPIPROBE_TESTS_LOW_HALF_SAMPLE_H
#define SPIPROBE_TESTS_LOW_HALF_SAMPLE_H

#include <windows.h>

#include <cstdint>
#include <cstring>
#include <string>

#if defined(_WIN64)
class LowHalfSample {
public:
    // The first 2048 bytes of the data (zero-filled past its end), at the
    // first free address n * 4 GiB, n from 1 to 64; data() is null when
    // none was free.
    explicit LowHalfSample(const std::string& bytes) {
        for (uintptr_t n = 1; n <= 64 && !data_; ++n) {
            data_ = static_cast<char*>(VirtualAlloc(reinterpret_cast<void*>(n << 32), kSize,
                                                    MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
        }
        if (data_) memcpy(data_, bytes.data(), bytes.size() < kSize ? bytes.size() : kSize);
    }
    ~LowHalfSample() {
        if (data_) VirtualFree(data_, 0, MEM_RELEASE);
    }
    LowHalfSample(const LowHalfSample&) = delete;
    LowHalfSample& operator=(const LowHalfSample&) = delete;
    char* data() const { return data_; }

private:
    static constexpr size_t kSize = 2048;
    char* data_ = nullptr;
};
#endif

#endif
