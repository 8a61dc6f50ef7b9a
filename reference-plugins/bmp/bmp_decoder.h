// Parsing and decoding of Windows bitmaps held whole in memory.
//
// Reads 1, 4, 8, 16, 24 and 32 bits per pixel, RLE8 and RLE4, bit fields
// (16 and 32 bits), bottom-up and top-down, with a 12-byte core header or a
// 40, 52, 56, 108 or 124-byte info header. Every picture comes out as
// 24-bit BGR rows, bottom-up, each row padded to a multiple of 4 bytes.
// Nothing here reads outside [data, data + size).
#ifndef SPIPROBE_BMP_DECODER_H
#define SPIPROBE_BMP_DECODER_H

#include <cstddef>
#include <cstdint>

#include "spi_api.h"

// Largest picture decoded, in pixels (96 MiB of output).
constexpr uint64_t kBmpMaxPixels = 32u * 1024 * 1024;

struct BmpImage {
    int32_t width = 0;
    int32_t height = 0;  // always positive
    bool topDown = false;
    uint16_t bitCount = 0;
    uint32_t compression = 0;  // BI_RGB, BI_RLE8, BI_RLE4 or BI_BITFIELDS
    int32_t xPelsPerMeter = 0;
    int32_t yPelsPerMeter = 0;
    uint32_t masks[3] = {};  // red, green, blue: for 16 and 32 bits
    uint32_t paletteCount = 0;
    uint8_t palette[256][3] = {};  // blue, green, red
    size_t bitsOffset = 0;         // from the start of the data
};

// True when the bytes start like a bitmap this decoder may read.
bool LooksLikeBmp(const uint8_t* data, size_t size);

// Reads and checks the headers: 0, 2 (not a bitmap, or a kind not read
// here) or 3 (headers, palette, sizes or offsets out of bounds).
int32_t ParseBmp(const uint8_t* data, size_t size, BmpImage* image);

// Bytes of one output row.
size_t BmpOutputStride(int32_t width);

// Decodes into out, BmpOutputStride(width) * height bytes. progress (may be
// null) is called from 0 to height; 1 when it asked to stop, 3 for corrupt
// run-length data, else 0.
int32_t DecodeBmp(const BmpImage& image, const uint8_t* data, size_t size, uint8_t* out,
                  ProgressCallback progress, intptr_t progressData);

#endif
