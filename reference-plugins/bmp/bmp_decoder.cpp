#include "bmp_decoder.h"

#include <cstring>

namespace {

constexpr uint32_t kBiRgb = 0;
constexpr uint32_t kBiRle8 = 1;
constexpr uint32_t kBiRle4 = 2;
constexpr uint32_t kBiBitfields = 3;
constexpr uint32_t kBiAlphaBitfields = 6;  // bit fields with an alpha mask, as some writers emit

constexpr size_t kFileHeaderSize = 14;
constexpr uint32_t kCoreHeaderSize = 12;
constexpr uint32_t kInfoHeaderSize = 40;

uint16_t Le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }
uint32_t Le32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

bool KnownHeaderSize(uint32_t size) {
    return size == kCoreHeaderSize || size == kInfoHeaderSize || size == 52 || size == 56 ||
           size == 108 || size == 124;
}

// One colour channel of a bit-field pixel, widened to 8 bits by repeating
// its bits (so 5-bit 31 becomes 255 and 0 stays 0).
struct Channel {
    uint32_t mask = 0;
    int shift = 0;
    int bits = 0;

    explicit Channel(uint32_t m) : mask(m) {
        if (!m) return;
        while (!(m & 1)) {
            m >>= 1;
            ++shift;
        }
        while (m & 1) {
            m >>= 1;
            ++bits;
        }
    }
    uint8_t Get(uint32_t pixel) const {
        if (!bits) return 0;
        uint32_t value = (pixel & mask) >> shift;
        if (bits >= 8) return static_cast<uint8_t>(value >> (bits - 8));
        uint32_t wide = 0;
        for (int filled = 0; filled < 8; filled += bits) wide = wide << bits | value;
        return static_cast<uint8_t>(wide >> ((8 + bits - 1) / bits * bits - 8));
    }
};

class Progress {
public:
    Progress(ProgressCallback callback, intptr_t data, int32_t total)
        : callback_(callback), data_(data), total_(total) {}
    // True when the callback asked to stop.
    bool At(int32_t done) { return callback_ && callback_(done, total_, data_) != 0; }

private:
    ProgressCallback callback_;
    intptr_t data_;
    int32_t total_;
};

void PutColor(uint8_t* out, const uint8_t* bgr) {
    out[0] = bgr[0];
    out[1] = bgr[1];
    out[2] = bgr[2];
}

const uint8_t kBlack[3] = {0, 0, 0};

const uint8_t* PaletteColor(const BmpImage& image, uint32_t index) {
    return index < image.paletteCount ? image.palette[index] : kBlack;
}

uint8_t* OutputRow(const BmpImage& image, uint8_t* out, int32_t fileRow) {
    int32_t row = image.topDown ? image.height - 1 - fileRow : fileRow;
    return out + BmpOutputStride(image.width) * static_cast<size_t>(row);
}

int32_t DecodeUncompressed(const BmpImage& image, const uint8_t* data, uint8_t* out,
                           Progress& progress) {
    const size_t stride =
        static_cast<size_t>((static_cast<uint64_t>(image.width) * image.bitCount + 31) / 32 * 4);
    const Channel red(image.masks[0]), green(image.masks[1]), blue(image.masks[2]);
    const int bpp = image.bitCount;
    for (int32_t y = 0; y < image.height; ++y) {
        const uint8_t* src = data + image.bitsOffset + stride * static_cast<size_t>(y);
        uint8_t* dst = OutputRow(image, out, y);
        for (int32_t x = 0; x < image.width; ++x, dst += 3) {
            if (bpp <= 8) {
                const uint32_t bitPos = static_cast<uint32_t>(x) * bpp;
                const uint32_t index = (src[bitPos / 8] >> (8 - bpp - bitPos % 8)) & ((1u << bpp) - 1);
                PutColor(dst, PaletteColor(image, index));
            } else if (bpp == 24) {
                PutColor(dst, src + static_cast<size_t>(x) * 3);
            } else {
                const uint32_t pixel =
                    bpp == 16 ? Le16(src + static_cast<size_t>(x) * 2) : Le32(src + static_cast<size_t>(x) * 4);
                dst[0] = blue.Get(pixel);
                dst[1] = green.Get(pixel);
                dst[2] = red.Get(pixel);
            }
        }
        if (progress.At(y + 1)) return SPI_ABORT;
    }
    return SPI_SUCCESS;
}

// Run-length data: runs and literal groups of palette indexes (two per byte
// for RLE4), with end-of-line, end-of-bitmap and delta escapes. Pixels that
// no run covers keep palette colour 0. Some encoders compress whole stored
// rows, padding included, so runs may reach the padded row width; what lies
// past the picture's width is dropped. A run beyond the padded row, a delta
// that leaves the bitmap, or data that ends before the last row without an
// end-of-bitmap escape is corrupt.
int32_t DecodeRunLength(const BmpImage& image, const uint8_t* data, size_t size, uint8_t* out,
                        Progress& progress) {
    const bool rle4 = image.compression == kBiRle4;
    const int64_t width = image.width, height = image.height;
    const int64_t rowRoom = static_cast<int64_t>(
        (static_cast<uint64_t>(image.width) * image.bitCount + 31) / 32 * 32 / image.bitCount);
    for (int32_t y = 0; y < image.height; ++y) {
        uint8_t* row = OutputRow(image, out, y);
        for (int32_t x = 0; x < image.width; ++x) PutColor(row + x * 3, PaletteColor(image, 0));
    }
    auto put = [&](int64_t x, int64_t y, uint32_t index) {
        if (x >= width) return;
        PutColor(OutputRow(image, out, static_cast<int32_t>(y)) + x * 3, PaletteColor(image, index));
    };

    size_t pos = image.bitsOffset;
    int64_t x = 0, y = 0;
    while (true) {
        if (size - pos < 2) return y >= height ? SPI_SUCCESS : SPI_CORRUPT;
        const uint32_t count = data[pos], value = data[pos + 1];
        pos += 2;
        if (count > 0) {
            if (y >= height || x + count > rowRoom) return SPI_CORRUPT;
            for (uint32_t i = 0; i < count; ++i, ++x)
                put(x, y, rle4 ? (i % 2 ? value & 15 : value >> 4) : value);
            continue;
        }
        if (value == 0 || value == 2) {  // end of line, delta
            int64_t dx = 0, dy = 1;
            if (value == 2) {
                if (size - pos < 2) return SPI_CORRUPT;
                dx = data[pos];
                dy = data[pos + 1];
                pos += 2;
            } else {
                x = 0;
            }
            if (x + dx > rowRoom || y + dy > height) return SPI_CORRUPT;
            x += dx;
            if (dy && progress.At(static_cast<int32_t>(y + dy))) return SPI_ABORT;
            y += dy;
            continue;
        }
        if (value == 1) break;  // end of bitmap
        // Literal group of `value` indexes, padded to a 16-bit boundary.
        size_t bytes = rle4 ? (value + 1) / 2 : value;
        bytes += bytes & 1;
        if (size - pos < bytes || y >= height || x + value > rowRoom) return SPI_CORRUPT;
        for (uint32_t i = 0; i < value; ++i, ++x) {
            const uint8_t byte = data[pos + (rle4 ? i / 2 : i)];
            put(x, y, rle4 ? (i % 2 ? byte & 15 : byte >> 4) : byte);
        }
        pos += bytes;
    }
    return progress.At(image.height) ? SPI_ABORT : SPI_SUCCESS;
}

}  // namespace

bool LooksLikeBmp(const uint8_t* data, size_t size) {
    return size >= kFileHeaderSize + 4 && data[0] == 'B' && data[1] == 'M' &&
           KnownHeaderSize(Le32(data + kFileHeaderSize));
}

int32_t ParseBmp(const uint8_t* data, size_t size, BmpImage* image) {
    *image = BmpImage();
    if (size < 2 || data[0] != 'B' || data[1] != 'M') return SPI_UNSUPPORTED;
    if (size < kFileHeaderSize + 4) return SPI_CORRUPT;
    const uint32_t headerSize = Le32(data + kFileHeaderSize);
    if (!KnownHeaderSize(headerSize)) return SPI_UNSUPPORTED;
    if (size - kFileHeaderSize < headerSize) return SPI_CORRUPT;
    const uint8_t* h = data + kFileHeaderSize;
    const uint32_t bitsOffset = Le32(data + 10);
    size_t paletteStart = kFileHeaderSize + headerSize;
    size_t entrySize = 4;

    int64_t height;
    if (headerSize == kCoreHeaderSize) {
        image->width = Le16(h + 4);
        height = Le16(h + 6);
        image->bitCount = Le16(h + 10);
        entrySize = 3;
        if (image->bitCount != 1 && image->bitCount != 4 && image->bitCount != 8 &&
            image->bitCount != 24)
            return SPI_UNSUPPORTED;
    } else {
        image->width = static_cast<int32_t>(Le32(h + 4));
        height = static_cast<int32_t>(Le32(h + 8));
        image->bitCount = Le16(h + 14);
        image->compression = Le32(h + 16);
        image->xPelsPerMeter = static_cast<int32_t>(Le32(h + 24));
        image->yPelsPerMeter = static_cast<int32_t>(Le32(h + 28));
        const uint16_t bpp = image->bitCount;
        switch (image->compression) {
        case kBiRgb:
            if (bpp != 1 && bpp != 4 && bpp != 8 && bpp != 16 && bpp != 24 && bpp != 32)
                return SPI_UNSUPPORTED;
            break;
        case kBiRle8:
        case kBiRle4:
            if (bpp != (image->compression == kBiRle8 ? 8 : 4)) return SPI_CORRUPT;
            break;
        case kBiBitfields:
        case kBiAlphaBitfields:
            if (bpp != 16 && bpp != 32) return SPI_CORRUPT;
            // The masks follow a 40-byte header and sit inside the longer ones.
            if (headerSize == kInfoHeaderSize) {
                const size_t maskBytes = image->compression == kBiBitfields ? 12 : 16;
                if (size - paletteStart < maskBytes) return SPI_CORRUPT;
                paletteStart += maskBytes;
            }
            for (int i = 0; i < 3; ++i) image->masks[i] = Le32(h + 40 + 4 * i);
            image->compression = kBiBitfields;
            break;
        default:
            return SPI_UNSUPPORTED;
        }
        if (image->compression == kBiRgb && bpp == 16) {
            image->masks[0] = 0x7C00, image->masks[1] = 0x03E0, image->masks[2] = 0x001F;
        } else if (image->compression == kBiRgb && bpp == 32) {
            image->masks[0] = 0xFF0000, image->masks[1] = 0xFF00, image->masks[2] = 0xFF;
        }
        if (height < 0) {
            image->topDown = true;
            height = -height;
        }
    }
    if (image->width <= 0 || height <= 0 || height > INT32_MAX) return SPI_CORRUPT;
    image->height = static_cast<int32_t>(height);
    if (bitsOffset < paletteStart || bitsOffset > size) return SPI_CORRUPT;
    image->bitsOffset = bitsOffset;

    if (image->bitCount <= 8) {
        uint32_t count = 1u << image->bitCount;
        if (headerSize != kCoreHeaderSize) {
            const uint32_t used = Le32(h + 32);
            if (used && used < count) count = used;
        }
        const size_t room = (bitsOffset - paletteStart) / entrySize;
        if (room < count) count = static_cast<uint32_t>(room);
        if (!count) return SPI_CORRUPT;
        image->paletteCount = count;
        for (uint32_t i = 0; i < count; ++i)
            memcpy(image->palette[i], data + paletteStart + i * entrySize, 3);
    }

    const uint64_t pixels = static_cast<uint64_t>(image->width) * image->height;
    if (image->compression != kBiRle8 && image->compression != kBiRle4) {
        const uint64_t stride = (static_cast<uint64_t>(image->width) * image->bitCount + 31) / 32 * 4;
        if (stride > (size - bitsOffset) / static_cast<uint64_t>(image->height)) return SPI_CORRUPT;
    }
    if (pixels > kBmpMaxPixels) return SPI_NO_MEMORY;
    return SPI_SUCCESS;
}

size_t BmpOutputStride(int32_t width) { return (static_cast<size_t>(width) * 3 + 3) & ~size_t(3); }

int32_t DecodeBmp(const BmpImage& image, const uint8_t* data, size_t size, uint8_t* out,
                  ProgressCallback progress, intptr_t progressData) {
    Progress steps(progress, progressData, image.height);
    if (steps.At(0)) return SPI_ABORT;
    if (image.compression == kBiRle8 || image.compression == kBiRle4)
        return DecodeRunLength(image, data, size, out, steps);
    return DecodeUncompressed(image, data, out, steps);
}
