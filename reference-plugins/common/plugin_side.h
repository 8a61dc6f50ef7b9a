// Pieces every reference plug-in answers the same way. A block being
// filled for the host is a UniqueLocal (win32_handles.h): freed on every
// way out unless released into the host's handle.
#ifndef SPIPROBE_REFERENCE_PLUGINS_PLUGIN_SIDE_H
#define SPIPROBE_REFERENCE_PLUGINS_PLUGIN_SIDE_H

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "spi_api.h"
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

// GetPluginInfoW over the same table: the text in UTF-16 (the table's
// texts are UTF-8, as the compiler stores them), cut to fit buflen WCHARs
// with its terminator and never between the two halves of a surrogate
// pair; its length in WCHARs as the answer.
inline int32_t AnswerPluginInfoW(const char* const* texts, int32_t count, int32_t infono,
                                 LPWSTR buf, int32_t buflen) {
    if (infono < 0 || infono >= count || !buf || buflen <= 0) return 0;
    const char* text = texts[infono];
    int length = static_cast<int>(strlen(text));
    int needed = length ? MultiByteToWideChar(CP_UTF8, 0, text, length, nullptr, 0) : 0;
    if (needed < 0) needed = 0;
    WCHAR* wide = static_cast<WCHAR*>(LocalAlloc(LMEM_FIXED, (needed + 1) * sizeof(WCHAR)));
    if (!wide) return 0;
    if (needed) MultiByteToWideChar(CP_UTF8, 0, text, length, wide, needed);
    int32_t n = needed < buflen - 1 ? needed : buflen - 1;
    if (n > 0 && n < needed && wide[n - 1] >= 0xD800 && wide[n - 1] < 0xDC00) --n;
    memcpy(buf, wide, static_cast<size_t>(n) * sizeof(WCHAR));
    buf[n] = 0;
    LocalFree(wide);
    return n;
}

// ConfigurationDlg of a plug-in without settings: function 0 shows the
// about text in a box titled with the module's name; every other function
// answers -1 without opening a window.
inline int32_t AnswerConfigurationDlg(HWND parent, int32_t fnc, const char* about,
                                      const char* title) {
    if (fnc != 0) return SPI_NOT_IMPLEMENTED;
    MessageBoxA(parent, about, title, MB_OK | MB_ICONINFORMATION);
    return SPI_SUCCESS;
}

// An input file opened for reading, by its ANSI or its wide name; the
// exports and their wide forms share everything past this call.
inline HANDLE OpenInputFile(LPCSTR name) {
    return CreateFileA(name, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
}
inline HANDLE OpenInputFile(LPCWSTR name) {
    return CreateFileW(name, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
}

// The head of the data IsSupported is given. dw is a file handle positioned
// at the data when it is below 0x10000 (read from there, and the position
// restored), otherwise the address of a 2048-byte sample. The whole value
// is compared: an x64 sample may lie at an address whose low 32 bits are
// below 0x10000. Copies up to size bytes into head and returns how many it
// got.
inline size_t ReadSupportHead(const void* dw, void* head, size_t size) {
    if (reinterpret_cast<uintptr_t>(dw) >= 0x10000) {
        memcpy(head, dw, size < 2048 ? size : 2048);
        return size < 2048 ? size : 2048;
    }
    HANDLE file = const_cast<HANDLE>(dw);
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
