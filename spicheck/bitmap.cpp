#include "bitmap.h"

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "report.h"

std::string ReadBitmapShape(const void* block, size_t size, BitmapShape* shape) {
    if (!block) return "the information block cannot be locked";
    if (size < sizeof(BITMAPINFOHEADER))
        return Format("the information block holds %u bytes, less than a BITMAPINFOHEADER",
                      static_cast<unsigned>(size));
    BITMAPINFOHEADER h;
    memcpy(&h, block, sizeof h);
    if (h.biSize < sizeof h) return Format("biSize is %lu", static_cast<unsigned long>(h.biSize));
    if (h.biWidth <= 0 || h.biHeight == 0 || h.biHeight == INT32_MIN)
        return Format("the header describes %ldx%ld pixels", static_cast<long>(h.biWidth),
                      static_cast<long>(h.biHeight));
    int bits = h.biBitCount;
    if (bits != 1 && bits != 4 && bits != 8 && bits != 16 && bits != 24 && bits != 32)
        return Format("biBitCount is %d", bits);
    uint64_t colours = h.biClrUsed;
    if (bits <= 8 && colours == 0) colours = 1u << bits;
    if (colours > 65536) return Format("biClrUsed is %lu", static_cast<unsigned long>(h.biClrUsed));
    uint64_t masks = (h.biCompression == BI_BITFIELDS && h.biSize == sizeof h) ? 12 : 0;
    uint64_t rowBits = static_cast<uint64_t>(h.biWidth) * bits;
    uint64_t stride = (rowBits + 31) / 32 * 4;
    uint64_t rows = h.biHeight < 0 ? -static_cast<int64_t>(h.biHeight) : h.biHeight;
    uint64_t image = stride * rows;
    if (image > 0x7FFFFFFF) return "the header describes more than 2 GB of pixels";
    shape->width = h.biWidth;
    shape->height = static_cast<int32_t>(rows);
    shape->topDown = h.biHeight < 0;
    shape->bitCount = bits;
    shape->headerBytes = static_cast<size_t>(h.biSize + masks + colours * 4);
    shape->rowBytes = static_cast<size_t>((rowBits + 7) / 8);
    shape->stride = static_cast<size_t>(stride);
    shape->imageBytes = static_cast<size_t>(image);
    shape->sizeImage = h.biSizeImage;
    return std::string();
}

bool WriteBmpFile(const std::string& path, const BitmapShape& shape, const void* header,
                  const void* bits) {
    BITMAPFILEHEADER file = {};
    file.bfType = 0x4D42;  // "BM"
    file.bfOffBits = static_cast<DWORD>(sizeof file + shape.headerBytes);
    file.bfSize = static_cast<DWORD>(file.bfOffBits + shape.imageBytes);
    FILE* out = fopen(path.c_str(), "wb");
    if (!out) return false;
    bool ok = fwrite(&file, sizeof file, 1, out) == 1 &&
              fwrite(header, 1, shape.headerBytes, out) == shape.headerBytes &&
              fwrite(bits, 1, shape.imageBytes, out) == shape.imageBytes;
    return fclose(out) == 0 && ok;
}
