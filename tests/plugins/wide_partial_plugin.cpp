// wide_partial.spi: an image plug-in with two of the eight wide exports,
// IsSupportedW and GetPictureW, beside the ANSI ones every image plug-in
// has. The library's wide operations are tested on it: an export found on
// its own, a missing one beside it, the wide name arriving as it was given,
// and a fault inside a wide export.
//
// IsSupportedW answers 1 for the name L"Müller-Ωμ.wpt" with a sample.
// GetPictureW, from a file: for that name a 1x1 24-bit picture (one blue
// pixel), for L"fault" a write through a null pointer, for any other name
// 2. The ANSI exports decline everything.
#include <windows.h>

#include <cstring>
#include <cwchar>

#include "spi_api.h"

namespace {

const char* const kInfo[] = {"00IN", "wide_partial test plug-in", "*.wpt", "Wide partial"};
const WCHAR kKnownName[] = L"M\u00fcller-\u03a9\u03bc.wpt";
// Read at run time, so the compiler cannot see the null write coming.
volatile uintptr_t g_nowhere = 0;

}  // namespace

SPI_EXPORT int32_t SPI_API GetPluginInfo(int32_t infono, LPSTR buf, int32_t buflen) {
    if (infono < 0 || infono >= 4 || !buf || buflen <= 0) return 0;
    size_t n = strlen(kInfo[infono]);
    if (n > static_cast<size_t>(buflen - 1)) n = static_cast<size_t>(buflen - 1);
    memcpy(buf, kInfo[infono], n);
    buf[n] = 0;
    return static_cast<int32_t>(n);
}

SPI_EXPORT int32_t SPI_API IsSupported(LPCSTR, void*) { return 0; }

SPI_EXPORT int32_t SPI_API GetPictureInfo(LPCSTR, intptr_t, uint32_t, PictureInfo*) {
    return SPI_UNSUPPORTED;
}

SPI_EXPORT int32_t SPI_API GetPicture(LPCSTR, intptr_t, uint32_t, HLOCAL*, HLOCAL*,
                                      ProgressCallback, intptr_t) {
    return SPI_UNSUPPORTED;
}

SPI_EXPORT int32_t SPI_API IsSupportedW(LPCWSTR filename, const void* dw) {
    return filename && dw && wcscmp(filename, kKnownName) == 0 ? 1 : 0;
}

SPI_EXPORT int32_t SPI_API GetPictureW(LPCWSTR buf, intptr_t, uint32_t flag, HLOCAL* pHBInfo,
                                       HLOCAL* pHBm, ProgressCallback, intptr_t) {
    if ((flag & SPI_INPUT_MASK) != SPI_INPUT_FILE || !buf) return SPI_UNSUPPORTED;
    if (wcscmp(buf, L"fault") == 0) {
        *reinterpret_cast<volatile int*>(g_nowhere) = 1;
        return SPI_SUCCESS;
    }
    if (wcscmp(buf, kKnownName) != 0) return SPI_UNSUPPORTED;
    HLOCAL info = LocalAlloc(LMEM_FIXED | LMEM_ZEROINIT, sizeof(BITMAPINFOHEADER));
    HLOCAL bits = LocalAlloc(LMEM_FIXED | LMEM_ZEROINIT, 4);
    if (!info || !bits) {
        if (info) LocalFree(info);
        if (bits) LocalFree(bits);
        return SPI_NO_MEMORY;
    }
    BITMAPINFOHEADER* header = static_cast<BITMAPINFOHEADER*>(info);
    header->biSize = sizeof *header;
    header->biWidth = 1;
    header->biHeight = 1;
    header->biPlanes = 1;
    header->biBitCount = 24;
    static_cast<unsigned char*>(bits)[0] = 0xFF;
    *pHBInfo = info;
    *pHBm = bits;
    return SPI_SUCCESS;
}
