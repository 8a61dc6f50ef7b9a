// An image plug-in for the fuzzing campaign's tests, with a fault planted
// where only coverage feedback leads: behind a chunk whose type is
// compared byte by byte and whose length must be exactly right. Built
// with and without the coverage options (and spicov.c), and with one more
// defect each: FUZZ_TARGET_OVERREAD trusts a chunk's length and reads
// past its input; FUZZ_TARGET_HANG spins for ever on a picture of height 0,
// FUZZ_TARGET_WAIT waits for ever in the system on one, and
// FUZZ_TARGET_HEAP writes past a heap block on a picture taller than 8.
//
// Format (extension .fzt): "FZT1", width and height (a byte each, 1..16),
// then chunks: a 4-byte type, a 16-bit little-endian length, the data.
// A "PIXL" chunk holds width*height grey levels, top row first; other
// chunks are skipped. Decoded as a bottom-up 24-bit DIB.
#include <windows.h>

#include <cstdint>
#include <cstring>

#include "spi_api.h"

namespace {

volatile uintptr_t g_nowhere = 0;

struct Input {
    const unsigned char* data = nullptr;
    size_t size = 0;
};

// The memory form only: the campaign's operations. A file is read whole.
bool OpenInput(LPCSTR source, intptr_t length, uint32_t flag, Input* in, HLOCAL* owned) {
    if ((flag & SPI_INPUT_MASK) == SPI_INPUT_MEMORY) {
        if (length < 0) return false;
        in->data = reinterpret_cast<const unsigned char*>(source);
        in->size = static_cast<size_t>(length);
        return true;
    }
    HANDLE file = CreateFileA(source, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0,
                              nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    DWORD size = GetFileSize(file, nullptr);
    bool ok = size != INVALID_FILE_SIZE && length >= 0 && static_cast<DWORD>(length) <= size &&
              SetFilePointer(file, static_cast<LONG>(length), nullptr, FILE_BEGIN) !=
                  INVALID_SET_FILE_POINTER;
    DWORD want = ok ? size - static_cast<DWORD>(length) : 0;
    *owned = ok ? LocalAlloc(LMEM_FIXED, want ? want : 1) : nullptr;
    DWORD got = 0;
    ok = *owned && (want == 0 || (ReadFile(file, *owned, want, &got, nullptr) && got == want));
    CloseHandle(file);
    in->data = static_cast<const unsigned char*>(*owned);
    in->size = want;
    return ok;
}

bool Accepts(const unsigned char* head, size_t size) {
    return size >= 6 && memcmp(head, "FZT1", 4) == 0 && head[4] >= 1 && head[4] <= 16 &&
           head[5] >= 1 && head[5] <= 16;
}

// The chunk that leads to the planted fault: each byte of its type checked
// on its own, as a hand-written parser does.
bool Planted(const unsigned char* type, uint32_t length) {
    if (type[0] != 'B') return false;
    if (type[1] != 'O') return false;
    if (type[2] != 'O') return false;
    if (type[3] != 'M') return false;
    return length == 12;
}

// Walks the chunks; the grey levels of the PIXL chunk go to *pixels.
int32_t ReadChunks(const Input& in, const unsigned char** pixels, size_t* count) {
    size_t at = 6;
    volatile unsigned sum = 0;
    while (at + 6 <= in.size) {
        const unsigned char* type = in.data + at;
        uint32_t length = type[4] | (type[5] << 8);
        at += 6;
#ifndef FUZZ_TARGET_OVERREAD
        if (length > in.size - at) return 3;
#endif
        if (Planted(type, length)) *reinterpret_cast<volatile int*>(g_nowhere) = 1;
        if (memcmp(type, "PIXL", 4) == 0) {
            *pixels = in.data + at;
            *count = length;
        } else {
            // A checksum of the chunks it skips.
            for (uint32_t i = 0; i < length; ++i) sum = sum + in.data[at + i];
        }
        at += length;
    }
    return 0;
}

}  // namespace

SPI_EXPORT int32_t SPI_API GetPluginInfo(int32_t infono, LPSTR buf, int32_t buflen) {
    static const char* const texts[] = {"00IN", "Fuzz target plug-in", "*.fzt", "FZ picture"};
    if (infono < 0 || infono > 3 || !buf || buflen <= 0) return 0;
    size_t n = strlen(texts[infono]);
    if (n > static_cast<size_t>(buflen - 1)) n = static_cast<size_t>(buflen - 1);
    memcpy(buf, texts[infono], n);
    buf[n] = 0;
    return static_cast<int32_t>(n);
}

SPI_EXPORT int32_t SPI_API IsSupported(LPCSTR, void* dw) {
    if (reinterpret_cast<uintptr_t>(dw) < 0x10000) {
        unsigned char head[6] = {};
        DWORD got = 0;
        if (!ReadFile(static_cast<HANDLE>(dw), head, sizeof head, &got, nullptr)) return 0;
        return Accepts(head, got);
    }
    return Accepts(static_cast<const unsigned char*>(dw), SPI_SAMPLE_SIZE);
}

SPI_EXPORT int32_t SPI_API GetPictureInfo(LPCSTR buf, intptr_t len, uint32_t flag,
                                          PictureInfo* lpInfo) {
    Input in;
    HLOCAL owned = nullptr;
    int32_t code = 6;
    if (OpenInput(buf, len, flag, &in, &owned)) {
        code = 2;
        if (Accepts(in.data, in.size)) {
            memset(lpInfo, 0, sizeof *lpInfo);
            lpInfo->width = in.data[4];
            lpInfo->height = in.data[5];
            lpInfo->x_density = lpInfo->y_density = 72;
            lpInfo->colorDepth = 24;
            code = 0;
        }
    }
    if (owned) LocalFree(owned);
    return code;
}

SPI_EXPORT int32_t SPI_API GetPicture(LPCSTR buf, intptr_t len, uint32_t flag, HLOCAL* pHBInfo,
                                      HLOCAL* pHBm, ProgressCallback progress, intptr_t data) {
    Input in;
    HLOCAL owned = nullptr;
    if (!OpenInput(buf, len, flag, &in, &owned)) {
        if (owned) LocalFree(owned);
        return 6;
    }
    int32_t code = 2;
    const unsigned char* pixels = nullptr;
    size_t count = 0;
    if (in.size >= 6 && memcmp(in.data, "FZT1", 4) == 0) {
        uint32_t width = in.data[4], height = in.data[5];
#ifdef FUZZ_TARGET_HANG
        // Waits for rows that never come.
        volatile uint32_t rows = 0;
        while (height == 0) rows = rows + 1;
#endif
#ifdef FUZZ_TARGET_WAIT
        if (height == 0) Sleep(INFINITE);
#endif
#ifdef FUZZ_TARGET_HEAP
        if (height > 8 && height <= 16) {
            // Room for 8 rows' marks; a taller picture's go on past the
            // block up to the next block, over the heap's header of that
            // one. Both live in a heap of their own that nothing else uses,
            // so the damage harms no one until the heap is walked.
            static HANDLE rows = HeapCreate(0, 0, 0);
            char* row = rows ? static_cast<char*>(HeapAlloc(rows, 0, 8)) : nullptr;
            char* next = rows ? static_cast<char*>(HeapAlloc(rows, 0, 8)) : nullptr;
            if (row && next > row) memset(row, 0x5A, static_cast<size_t>(next - row));
        }
#endif
        code = ReadChunks(in, &pixels, &count);
        if (code == 0 && (width < 1 || width > 16 || height < 1 || height > 16)) code = 3;
        if (code == 0) {
            uint32_t stride = (width * 3 + 3) & ~3u;
            HLOCAL info = LocalAlloc(LMEM_MOVEABLE | LMEM_ZEROINIT, sizeof(BITMAPINFOHEADER));
            HLOCAL bits = LocalAlloc(LMEM_MOVEABLE | LMEM_ZEROINIT, stride * height);
            if (!info || !bits) {
                if (info) LocalFree(info);
                if (bits) LocalFree(bits);
                code = 4;
            } else {
                BITMAPINFOHEADER* header = static_cast<BITMAPINFOHEADER*>(LocalLock(info));
                header->biSize = sizeof *header;
                header->biWidth = static_cast<LONG>(width);
                header->biHeight = static_cast<LONG>(height);
                header->biPlanes = 1;
                header->biBitCount = 24;
                LocalUnlock(info);
                unsigned char* out = static_cast<unsigned char*>(LocalLock(bits));
                for (uint32_t y = 0; y < height; ++y)
                    for (uint32_t x = 0; x < width; ++x) {
                        size_t i = y * width + x;
                        unsigned char grey = i < count ? pixels[i] : 0;
                        unsigned char* p = out + (height - 1 - y) * stride + x * 3;
                        p[0] = p[1] = p[2] = grey;
                    }
                LocalUnlock(bits);
                if (progress) progress(1, 1, data);
                *pHBInfo = info;
                *pHBm = bits;
            }
        }
    }
    if (owned) LocalFree(owned);
    return code;
}
