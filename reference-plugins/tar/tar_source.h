// Where an archive's bytes come from: a file read from a byte offset, or a
// block of memory of a known size. Every read is checked against the bytes
// available, so nothing past the input is ever touched.
#ifndef SPIPROBE_TAR_TAR_SOURCE_H
#define SPIPROBE_TAR_TAR_SOURCE_H

#include <windows.h>

#include <cstdint>

#include "win32_handles.h"

class TarSource {
public:
    TarSource() = default;
    TarSource(const TarSource&) = delete;
    TarSource& operator=(const TarSource&) = delete;

    // Opens from the arguments every export gets: input type 0 reads the
    // file named by source from byte offset length, 1 reads length bytes at
    // source. 0 on success; 6 when the file cannot be opened, -1 for an
    // input type this plug-in does not know.
    int32_t Open(LPCSTR source, intptr_t length, uint32_t inputType);
    // The same with the file's wide name (the wide exports).
    int32_t Open(LPCWSTR source, intptr_t length, uint32_t inputType);

    // Bytes from the start of the archive data to the end of the input.
    uint64_t Size() const { return size_; }
    // Reads n bytes at pos (from the start of the archive data): 0, 3 when
    // they run past the end of the input, 6 when the file cannot be read.
    int32_t Read(uint64_t pos, void* buffer, uint32_t n);

private:
    template <typename Char>
    int32_t OpenSource(const Char* source, intptr_t length, uint32_t inputType);

    UniqueFile file_;
    uint64_t fileBase_ = 0;
    const unsigned char* memory_ = nullptr;
    uint64_t size_ = 0;
};

#endif
