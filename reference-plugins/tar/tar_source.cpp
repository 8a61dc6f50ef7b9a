#include "tar_source.h"

#include <cstring>

#include "plugin_side.h"

int32_t TarSource::Open(LPCSTR source, intptr_t length, uint32_t inputType) {
    return OpenSource(source, length, inputType);
}

int32_t TarSource::Open(LPCWSTR source, intptr_t length, uint32_t inputType) {
    return OpenSource(source, length, inputType);
}

template <typename Char>
int32_t TarSource::OpenSource(const Char* source, intptr_t length, uint32_t inputType) {
    if (inputType == 1) {
        // A negative size leaves nothing to read; a null block likewise.
        memory_ = reinterpret_cast<const unsigned char*>(source);
        size_ = (memory_ && length > 0) ? static_cast<uint64_t>(length) : 0;
        return 0;
    }
    if (inputType != 0) return -1;
    if (!source) return 6;
    file_.reset(OpenInputFile(source));
    if (!file_.valid()) return 6;
    LARGE_INTEGER fileSize;
    if (!GetFileSizeEx(file_.get(), &fileSize)) return 6;
    // The offset is unsigned, so archives that start past 2 GiB in a file
    // stay reachable in the 32-bit build too.
    fileBase_ = static_cast<uintptr_t>(length);
    uint64_t total = static_cast<uint64_t>(fileSize.QuadPart);
    size_ = total > fileBase_ ? total - fileBase_ : 0;
    return 0;
}

int32_t TarSource::Read(uint64_t pos, void* buffer, uint32_t n) {
    if (pos > size_ || n > size_ - pos) return 3;
    if (n == 0) return 0;
    if (memory_) {
        memcpy(buffer, memory_ + pos, n);
        return 0;
    }
    LARGE_INTEGER at;
    at.QuadPart = static_cast<LONGLONG>(fileBase_ + pos);
    if (!SetFilePointerEx(file_.get(), at, nullptr, FILE_BEGIN)) return 6;
    unsigned char* out = static_cast<unsigned char*>(buffer);
    while (n > 0) {
        DWORD got = 0;
        if (!ReadFile(file_.get(), out, n, &got, nullptr) || got == 0) return 6;
        out += got;
        n -= got;
    }
    return 0;
}
