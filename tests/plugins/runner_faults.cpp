// An image plug-in that decodes every file as one white pixel, except that
// its GetPicture does what one FAULT_ switch names:
//   FAULT_THROW    a C++ exception escapes the export
//   FAULT_EXIT     ExitProcess(42)
//   FAULT_HANG     never returns
//   FAULT_HEAP     writes 256 bytes into a 16-byte block and returns it
//   FAULT_THREAD   a thread of its own writes through a null pointer
//   FAULT_CONSOLE  writes to standard output and error (and answers as usual)
//   FAULT_FPU      changes the FPU control word (and answers as usual)
//   FAULT_MARKED   on an input whose first byte is '!', as FAULT_THREAD;
//                  on any other, as usual
// and with FAULT_DETACH its unload code writes through a null pointer.
// GetPictureInfo reports the FPU control word it found in x_density.
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <stdexcept>

#include "spi_api.h"

namespace {

uint16_t ControlWord() {
    uint16_t word = 0;
    asm volatile("fnstcw %0" : "=m"(word));
    return word;
}

#if defined(FAULT_THREAD) || defined(FAULT_MARKED)
DWORD WINAPI WriteThroughNull(void*) { return *static_cast<volatile DWORD*>(nullptr) = 1; }
#endif

const char* const kInfo[] = {"00IN", "Runner faults test plug-in", "*.rft", "Test pictures"};

}  // namespace

#ifdef FAULT_DETACH
BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_DETACH) *static_cast<volatile int*>(nullptr) = 1;
    return TRUE;
}
#endif

SPI_EXPORT int32_t SPI_API GetPluginInfo(int32_t infono, LPSTR buf, int32_t buflen) {
    if (infono < 0 || infono > 3 || buflen <= 0) return 0;
    int32_t n = static_cast<int32_t>(strlen(kInfo[infono]));
    if (n > buflen - 1) n = buflen - 1;
    memcpy(buf, kInfo[infono], n);
    buf[n] = 0;
    return n;
}

SPI_EXPORT int32_t SPI_API IsSupported(LPCSTR, void*) { return 1; }

SPI_EXPORT int32_t SPI_API GetPictureInfo(LPCSTR, intptr_t, uint32_t, PictureInfo* info) {
    memset(info, 0, sizeof *info);
    info->width = 1;
    info->height = 1;
    info->colorDepth = 24;
    info->x_density = ControlWord();
    return 0;
}

#ifdef FAULT_MARKED
// The first byte of the input: the file's (flag 0) or the memory's (1).
char FirstByte(LPCSTR buf, intptr_t len, uint32_t flag) {
    if ((flag & 7) == 1) return len > 0 ? buf[0] : 0;
    char first = 0;
    HANDLE file = CreateFileA(buf, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return 0;
    DWORD got = 0;
    if (!ReadFile(file, &first, 1, &got, nullptr) || got != 1) first = 0;
    CloseHandle(file);
    return first;
}
#endif

SPI_EXPORT int32_t SPI_API GetPicture(LPCSTR buf, intptr_t len, uint32_t flag, HLOCAL* info,
                                      HLOCAL* bits, ProgressCallback, intptr_t) {
    (void)buf;
    (void)len;
    (void)flag;
    (void)info;
    (void)bits;
#ifdef FAULT_MARKED
    if (FirstByte(buf, len, flag) == '!') {
        HANDLE thread = CreateThread(nullptr, 0, WriteThroughNull, nullptr, 0, nullptr);
        WaitForSingleObject(thread, INFINITE);
        return 0;
    }
#endif
#if defined(FAULT_THROW)
    throw std::runtime_error("escapes the plug-in");
#elif defined(FAULT_EXIT)
    ExitProcess(42);
#elif defined(FAULT_HANG)
    for (;;) Sleep(1000);
#elif defined(FAULT_THREAD)
    HANDLE thread = CreateThread(nullptr, 0, WriteThroughNull, nullptr, 0, nullptr);
    WaitForSingleObject(thread, INFINITE);
    return 0;
#elif defined(FAULT_HEAP)
    HLOCAL block = LocalAlloc(LMEM_FIXED, 16);
    memset(static_cast<void*>(block), 0x5A, 256);
    *info = block;
    *bits = nullptr;
    return 0;
#else
#if defined(FAULT_CONSOLE)
    printf("runner_faults: standard output\n");
    fflush(stdout);
    fprintf(stderr, "runner_faults: standard error\n");
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), "raw\r\n", 5, &written, nullptr);
#elif defined(FAULT_FPU)
    uint16_t word = 0x0C60;  // single precision, rounding towards zero, faults unmasked
    asm volatile("fldcw %0" : : "m"(word));
#endif
    HLOCAL header = LocalAlloc(LMEM_MOVEABLE | LMEM_ZEROINIT, sizeof(BITMAPINFOHEADER));
    HLOCAL pixels = LocalAlloc(LMEM_MOVEABLE, 4);
    if (!header || !pixels) return SPI_NO_MEMORY;
    BITMAPINFOHEADER* h = static_cast<BITMAPINFOHEADER*>(LocalLock(header));
    h->biSize = sizeof *h;
    h->biWidth = 1;
    h->biHeight = 1;
    h->biPlanes = 1;
    h->biBitCount = 24;
    LocalUnlock(header);
    unsigned char* p = static_cast<unsigned char*>(LocalLock(pixels));
    memset(p, 0xFF, 3);
    p[3] = 0;
    LocalUnlock(pixels);
    *info = header;
    *bits = pixels;
    return 0;
#endif
}

SPI_EXPORT int32_t SPI_API GetPreview(LPCSTR, intptr_t, uint32_t, HLOCAL*, HLOCAL*,
                                      ProgressCallback, intptr_t) {
    return SPI_NOT_IMPLEMENTED;
}
