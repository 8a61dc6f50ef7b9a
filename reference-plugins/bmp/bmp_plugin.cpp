// bmp.spi: an image plug-in for Windows bitmaps, for any host of the
// plug-in API.
//
// Output of GetPicture and GetPreview, whatever the file's depth: an info
// block holding a BITMAPINFOHEADER alone (24 bits, BI_RGB, bottom-up,
// biSizeImage set, the file's pixels-per-metre kept) and a pixel block of
// BGR rows padded to 4 bytes. GetPreview decodes the full picture.
// GetPictureInfo reports the file's own depth, its densities in dots per
// inch and no comment text.
//
// The wide exports (GetPictureInfoW, GetPictureW, GetPreviewW, IsSupportedW,
// GetPluginInfoW) differ only in taking the file name in UTF-16; the file
// is opened by that name and everything after is shared.
//
// The whole input is read into memory first; files above 1 GiB are refused
// with 4. Results beyond the usual ones: 6 when the file cannot be opened
// or read, or the offset lies past its end; 2 for an input kind other than
// file or memory; 8 for a null output pointer.
#include <windows.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "bmp_decoder.h"
#include "spi_api.h"
#include "plugin_side.h"

namespace {

const char* const kPluginInfo[] = {
    "00IN",
    "bmp.spi 1.0: Windows bitmaps (1 to 32 bits, RLE, bit fields)",
    "*.bmp;*.dib",
    "Windows bitmap",
};

constexpr LONGLONG kMaxFileData = 1 << 30;

// The input bytes: the caller's memory, or a heap copy of the file's data.
class Input {
public:
    Input() = default;
    ~Input() { free(owned_); }
    Input(const Input&) = delete;
    Input& operator=(const Input&) = delete;

    // source: the file's ANSI or wide name, or the input's bytes.
    template <typename Char>
    int32_t Open(const Char* source, intptr_t length, uint32_t flag) {
        switch (flag & SPI_INPUT_MASK) {
        case SPI_INPUT_MEMORY:
            if (!source || length < 0) return SPI_CORRUPT;
            data_ = reinterpret_cast<const uint8_t*>(source);
            size_ = static_cast<size_t>(length);
            return SPI_SUCCESS;
        case SPI_INPUT_FILE:
            return ReadFileData(source, length);
        default:
            return SPI_UNSUPPORTED;
        }
    }
    const uint8_t* data() const { return data_; }
    size_t size() const { return size_; }

private:
    template <typename Char>
    int32_t ReadFileData(const Char* name, intptr_t offset) {
        if (!name || offset < 0) return SPI_READ_ERROR;
        UniqueFile file(OpenInputFile(name));
        if (!file.valid()) return SPI_READ_ERROR;
        return ReadOpened(file.get(), offset);
    }
    int32_t ReadOpened(HANDLE file, intptr_t offset) {
        LARGE_INTEGER fileSize = {}, start = {};
        if (!GetFileSizeEx(file, &fileSize) || offset > fileSize.QuadPart) return SPI_READ_ERROR;
        const LONGLONG wanted = fileSize.QuadPart - offset;
        if (wanted > kMaxFileData) return SPI_NO_MEMORY;
        start.QuadPart = offset;
        if (!SetFilePointerEx(file, start, nullptr, FILE_BEGIN)) return SPI_READ_ERROR;
        owned_ = static_cast<uint8_t*>(malloc(wanted ? static_cast<size_t>(wanted) : 1));
        if (!owned_) return SPI_NO_MEMORY;
        DWORD got = 0;
        if (!ReadFile(file, owned_, static_cast<DWORD>(wanted), &got, nullptr) || got != wanted)
            return SPI_READ_ERROR;
        data_ = owned_;
        size_ = got;
        return SPI_SUCCESS;
    }

    uint8_t* owned_ = nullptr;
    const uint8_t* data_ = nullptr;
    size_t size_ = 0;
};

uint16_t DotsPerInch(int32_t pelsPerMeter) {
    if (pelsPerMeter <= 0) return 0;
    const int64_t dpi = (static_cast<int64_t>(pelsPerMeter) * 254 + 5000) / 10000;
    return static_cast<uint16_t>(dpi > 0xFFFF ? 0xFFFF : dpi);
}

// Reads the whole input and parses its headers. The whole input, so that a
// picture whose pixels run past the end is refused by GetPictureInfo too.
template <typename Char>
int32_t OpenPicture(const Char* buf, intptr_t len, uint32_t flag, Input* input, BmpImage* image) {
    int32_t result = input->Open(buf, len, flag);
    if (result) return result;
    return ParseBmp(input->data(), input->size(), image);
}

template <typename Char>
int32_t Decode(const Char* buf, intptr_t len, uint32_t flag, HLOCAL* pHBInfo, HLOCAL* pHBm,
               ProgressCallback progress, intptr_t lData) {
    if (!pHBInfo || !pHBm) return SPI_INTERNAL_ERROR;
    *pHBInfo = nullptr;
    *pHBm = nullptr;
    Input input;
    BmpImage image;
    int32_t result = OpenPicture(buf, len, flag, &input, &image);
    if (result) return result;

    const size_t stride = BmpOutputStride(image.width);
    const size_t bitsSize = stride * static_cast<size_t>(image.height);
    UniqueLocal info(LocalAlloc(LMEM_MOVEABLE | LMEM_ZEROINIT, sizeof(BITMAPINFOHEADER)));
    UniqueLocal bits(LocalAlloc(LMEM_MOVEABLE | LMEM_ZEROINIT, bitsSize));
    if (!info.get() || !bits.get()) return SPI_NO_MEMORY;
    {
        LocalLockScope infoLock(info.get());
        LocalLockScope bitsLock(bits.get());
        if (!infoLock.data() || !bitsLock.data()) return SPI_MEMORY_ERROR;
        result = DecodeBmp(image, input.data(), input.size(), bitsLock.as<uint8_t>(), progress,
                           lData);
        if (result) return result;
        BITMAPINFOHEADER* header = infoLock.as<BITMAPINFOHEADER>();
        header->biSize = sizeof(BITMAPINFOHEADER);
        header->biWidth = image.width;
        header->biHeight = image.height;
        header->biPlanes = 1;
        header->biBitCount = 24;
        header->biCompression = BI_RGB;
        header->biSizeImage = static_cast<DWORD>(bitsSize);
        header->biXPelsPerMeter = image.xPelsPerMeter;
        header->biYPelsPerMeter = image.yPelsPerMeter;
    }
    *pHBInfo = info.release();
    *pHBm = bits.release();
    return SPI_SUCCESS;
}

// IsSupported and IsSupportedW: the file name is not needed.
int32_t Recognize(const void* dw) {
    uint8_t head[32];
    size_t size = ReadSupportHead(dw, head, sizeof head);
    return LooksLikeBmp(head, size) ? 1 : 0;
}

template <typename Char>
int32_t Describe(const Char* buf, intptr_t len, uint32_t flag, PictureInfo* lpInfo) {
    if (!lpInfo) return SPI_INTERNAL_ERROR;
    Input input;
    BmpImage image;
    int32_t result = OpenPicture(buf, len, flag, &input, &image);
    if (result) return result;
    lpInfo->left = 0;
    lpInfo->top = 0;
    lpInfo->width = image.width;
    lpInfo->height = image.height;
    lpInfo->x_density = DotsPerInch(image.xPelsPerMeter);
    lpInfo->y_density = DotsPerInch(image.yPelsPerMeter);
    lpInfo->colorDepth = static_cast<int16_t>(image.bitCount);
    lpInfo->hInfo = nullptr;
    return SPI_SUCCESS;
}

}  // namespace

SPI_EXPORT int32_t SPI_API GetPluginInfo(int32_t infono, LPSTR buf, int32_t buflen) {
    return AnswerPluginInfo(kPluginInfo, sizeof kPluginInfo / sizeof kPluginInfo[0], infono, buf,
                            buflen);
}

SPI_EXPORT int32_t SPI_API IsSupported(LPCSTR /*filename*/, void* dw) {
    return Recognize(dw);
}

SPI_EXPORT int32_t SPI_API GetPictureInfo(LPCSTR buf, intptr_t len, uint32_t flag,
                                          PictureInfo* lpInfo) {
    return Describe(buf, len, flag, lpInfo);
}

SPI_EXPORT int32_t SPI_API GetPicture(LPCSTR buf, intptr_t len, uint32_t flag, HLOCAL* pHBInfo,
                                      HLOCAL* pHBm, ProgressCallback lpPrgressCallback,
                                      intptr_t lData) {
    return Decode(buf, len, flag, pHBInfo, pHBm, lpPrgressCallback, lData);
}

SPI_EXPORT int32_t SPI_API GetPreview(LPCSTR buf, intptr_t len, uint32_t flag, HLOCAL* pHBInfo,
                                      HLOCAL* pHBm, ProgressCallback lpPrgressCallback,
                                      intptr_t lData) {
    return Decode(buf, len, flag, pHBInfo, pHBm, lpPrgressCallback, lData);
}

SPI_EXPORT int32_t SPI_API ConfigurationDlg(HWND parent, int32_t fnc) {
    return AnswerConfigurationDlg(parent, fnc, kPluginInfo[1], "bmp.spi");
}

SPI_EXPORT int32_t SPI_API GetPluginInfoW(int32_t infono, LPWSTR buf, int32_t buflen) {
    return AnswerPluginInfoW(kPluginInfo, sizeof kPluginInfo / sizeof kPluginInfo[0], infono, buf,
                             buflen);
}

SPI_EXPORT int32_t SPI_API IsSupportedW(LPCWSTR /*filename*/, const void* dw) {
    return Recognize(dw);
}

SPI_EXPORT int32_t SPI_API GetPictureInfoW(LPCWSTR buf, intptr_t len, uint32_t flag,
                                           PictureInfo* lpInfo) {
    return Describe(buf, len, flag, lpInfo);
}

SPI_EXPORT int32_t SPI_API GetPictureW(LPCWSTR buf, intptr_t len, uint32_t flag, HLOCAL* pHBInfo,
                                       HLOCAL* pHBm, ProgressCallback lpPrgressCallback,
                                       intptr_t lData) {
    return Decode(buf, len, flag, pHBInfo, pHBm, lpPrgressCallback, lData);
}

SPI_EXPORT int32_t SPI_API GetPreviewW(LPCWSTR buf, intptr_t len, uint32_t flag, HLOCAL* pHBInfo,
                                       HLOCAL* pHBm, ProgressCallback lpPrgressCallback,
                                       intptr_t lData) {
    return Decode(buf, len, flag, pHBInfo, pHBm, lpPrgressCallback, lData);
}
