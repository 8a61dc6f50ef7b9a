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

PixelDifference FirstPixelDifference(const BitmapShape& shape, const void* a, size_t aSize,
                                     const void* b, size_t bSize) {
    PixelDifference difference;
    const unsigned char* p = static_cast<const unsigned char*>(a);
    const unsigned char* q = static_cast<const unsigned char*>(b);
    if (!p || !q || shape.rowBytes == 0) return difference;
    // The bits of the last byte that belong to pixels, high bits first.
    unsigned usedBits = static_cast<unsigned>((static_cast<uint64_t>(shape.width) *
                                               shape.bitCount) % 8);
    unsigned char lastMask = usedBits ? static_cast<unsigned char>(0xFF00u >> usedBits) : 0xFF;
    for (int32_t row = 0; row < shape.height; ++row) {
        size_t at = static_cast<size_t>(row) * shape.stride;
        if (at + shape.rowBytes > aSize || at + shape.rowBytes > bSize) break;
        for (size_t i = 0; i < shape.rowBytes; ++i) {
            unsigned char mask = i + 1 == shape.rowBytes ? lastMask : 0xFF;
            if ((p[at + i] ^ q[at + i]) & mask) {
                difference.found = true;
                difference.row = row;
                difference.offset = at + i;
                difference.a = p[at + i];
                difference.b = q[at + i];
                return difference;
            }
        }
    }
    return difference;
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

namespace {

uint32_t LittleEndian32(const unsigned char* p) {
    return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

// One colour channel of a pixel value under a mask, widened to 8 bits by
// repeating its bits (a full 5-bit channel becomes 255, not 248).
struct Channel {
    uint32_t mask = 0;
    int shift = 0;
    int width = 0;

    explicit Channel(uint32_t m) : mask(m) {
        if (!mask) return;
        while (!(mask >> shift & 1)) ++shift;
        while (shift + width < 32 && (mask >> (shift + width) & 1)) ++width;
    }
    unsigned char Of(uint32_t value) const {
        if (!width) return 0;
        uint32_t v = (value & mask) >> shift;
        if (width >= 8) return static_cast<unsigned char>(v >> (width - 8));
        uint32_t wide = v;
        int have = width;
        while (have < 8) {
            wide = wide << width | v;
            have += width;
        }
        return static_cast<unsigned char>(wide >> (have - 8));
    }
};

// A mask must be one run of set bits.
bool Contiguous(uint32_t mask) {
    if (!mask) return true;
    while (!(mask & 1)) mask >>= 1;
    return (mask & (mask + 1)) == 0;
}

}  // namespace

std::string BitmapToRgb(const void* header, size_t headerSize, const void* bits,
                        size_t bitsSize, RgbPicture* picture) {
    BitmapShape shape;
    std::string fault = ReadBitmapShape(header, headerSize, &shape);
    if (!fault.empty()) return fault;
    const unsigned char* head = static_cast<const unsigned char*>(header);
    BITMAPINFOHEADER h;
    memcpy(&h, head, sizeof h);
    bool fields = h.biCompression == BI_BITFIELDS;
    if (h.biCompression != BI_RGB && !(fields && (shape.bitCount == 16 || shape.bitCount == 32)))
        return Format("biCompression is %lu with %d bits (only uncompressed bitmaps are read)",
                      static_cast<unsigned long>(h.biCompression), shape.bitCount);
    if (headerSize < shape.headerBytes)
        return Format("the information block holds %u bytes; header and palette need %u",
                      static_cast<unsigned>(headerSize),
                      static_cast<unsigned>(shape.headerBytes));
    if (!bits || bitsSize < shape.imageBytes)
        return Format("the pixels take %u bytes; %u are there",
                      static_cast<unsigned>(shape.imageBytes), static_cast<unsigned>(bitsSize));

    uint32_t masks[3] = {0x7C00, 0x03E0, 0x001F};
    if (shape.bitCount == 32) {
        masks[0] = 0xFF0000;
        masks[1] = 0x00FF00;
        masks[2] = 0x0000FF;
    }
    if (fields) {
        // After a 40-byte header, or inside a longer one at the same place.
        if (h.biSize != sizeof h && h.biSize < sizeof h + 12)
            return Format("biSize is %lu, too short for the colour masks",
                          static_cast<unsigned long>(h.biSize));
        for (int i = 0; i < 3; ++i) masks[i] = LittleEndian32(head + sizeof h + 4 * i);
        for (uint32_t mask : masks)
            if (!Contiguous(mask) || (shape.bitCount == 16 && mask > 0xFFFF))
                return Format("the colour masks are %08lx %08lx %08lx",
                              static_cast<unsigned long>(masks[0]),
                              static_cast<unsigned long>(masks[1]),
                              static_cast<unsigned long>(masks[2]));
    }
    const Channel red(masks[0]), green(masks[1]), blue(masks[2]);

    const unsigned char* palette = nullptr;
    size_t colours = 0;
    if (shape.bitCount <= 8) {
        colours = h.biClrUsed ? h.biClrUsed : 1u << shape.bitCount;
        palette = head + shape.headerBytes - colours * 4;
    }

    picture->width = shape.width;
    picture->height = shape.height;
    picture->rgb.assign(static_cast<size_t>(shape.width) * shape.height * 3, 0);
    const unsigned char* pixels = static_cast<const unsigned char*>(bits);
    unsigned char* out = picture->rgb.data();
    for (int32_t y = 0; y < shape.height; ++y) {
        const unsigned char* row =
            pixels + shape.stride * static_cast<size_t>(shape.topDown ? y : shape.height - 1 - y);
        for (int32_t x = 0; x < shape.width; ++x, out += 3) {
            if (palette) {
                int per = 8 / shape.bitCount;
                unsigned byte = row[x / per];
                unsigned index = byte >> ((per - 1 - x % per) * shape.bitCount) &
                                 ((1u << shape.bitCount) - 1);
                // An index past the palette shows black.
                if (index < colours) {
                    const unsigned char* entry = palette + index * 4;  // B, G, R, reserved
                    out[0] = entry[2];
                    out[1] = entry[1];
                    out[2] = entry[0];
                }
            } else if (shape.bitCount == 24) {
                const unsigned char* p = row + x * 3;
                out[0] = p[2];
                out[1] = p[1];
                out[2] = p[0];
            } else {
                const unsigned char* p = row + x * (shape.bitCount / 8);
                uint32_t value = shape.bitCount == 16 ? static_cast<uint32_t>(p[0] | p[1] << 8)
                                                      : LittleEndian32(p);
                out[0] = red.Of(value);
                out[1] = green.Of(value);
                out[2] = blue.Of(value);
            }
        }
    }
    return std::string();
}
