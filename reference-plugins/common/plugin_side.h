// Pieces every reference plug-in answers the same way. A block being
// filled for the host is a UniqueLocal (win32_handles.h): freed on every
// way out unless released into the host's handle.
#ifndef SPIPROBE_REFERENCE_PLUGINS_PLUGIN_SIDE_H
#define SPIPROBE_REFERENCE_PLUGINS_PLUGIN_SIDE_H

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "win32_handles.h"

// GetPluginInfo over a table of texts (0 version, 1 about, then pattern and
// format name pairs): the text cut to fit the buffer and terminated, its
// length as the answer; 0 for a number outside the table.
inline int32_t AnswerPluginInfo(const char* const* texts, int32_t count, int32_t infono,
                                LPSTR buf, int32_t buflen) {
    if (infono < 0 || infono >= count || !buf || buflen <= 0) return 0;
    size_t length = strlen(texts[infono]);
    if (length > static_cast<size_t>(buflen - 1)) length = static_cast<size_t>(buflen - 1);
    memcpy(buf, texts[infono], length);
    buf[length] = 0;
    return static_cast<int32_t>(length);
}

// The head of the data IsSupported is given. dw is a file handle positioned
// at the data when its high 16 bits are clear (read from there, and the
// position restored), otherwise the address of a 2048-byte sample. Copies
// up to size bytes into head and returns how many it got.
inline size_t ReadSupportHead(void* dw, void* head, size_t size) {
    if ((reinterpret_cast<uintptr_t>(dw) & 0xFFFF0000u) != 0) {
        memcpy(head, dw, size < 2048 ? size : 2048);
        return size < 2048 ? size : 2048;
    }
    HANDLE file = static_cast<HANDLE>(dw);
    LARGE_INTEGER zero = {}, here = {};
    if (!SetFilePointerEx(file, zero, &here, FILE_CURRENT)) return 0;
    size_t total = 0;
    while (total < size) {
        DWORD got = 0;
        DWORD want = static_cast<DWORD>(size - total);
        if (!ReadFile(file, static_cast<char*>(head) + total, want, &got, nullptr) || got == 0)
            break;
        total += got;
    }
    SetFilePointerEx(file, here, nullptr, FILE_BEGIN);
    return total;
}

#endif
