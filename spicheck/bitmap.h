// What a decoded picture's information block says about its pixels, read
// within the block's bounds, and writing a decoded picture as a .bmp file.
#ifndef SPICHECK_BITMAP_H
#define SPICHECK_BITMAP_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct BitmapShape {
    int32_t width = 0;
    int32_t height = 0;        // rows, always positive
    bool topDown = false;      // biHeight was negative
    int32_t bitCount = 0;
    size_t headerBytes = 0;    // header, colour masks and palette
    size_t rowBytes = 0;       // bytes of picture in a row
    size_t stride = 0;         // row length with padding to 4 bytes
    size_t imageBytes = 0;     // stride * height
    size_t sizeImage = 0;      // biSizeImage (0 when the header leaves it out)
};

// Reads the BITMAPINFOHEADER at the start of a block of `size` bytes.
// Empty when it describes a bitmap, else what is wrong with it.
std::string ReadBitmapShape(const void* block, size_t size, BitmapShape* shape);

// The first difference between the pixels of two blocks of one shape.
// Only the picture counts: the padding at the end of each row, and the bits
// of a row's last byte past its last pixel below 8 bits a pixel, are left
// alone (plug-ins commonly leave them as the allocation had them). Rows
// past the end of either block are not compared.
struct PixelDifference {
    bool found = false;
    int32_t row = 0;      // in the block's order (the first row stored first)
    size_t offset = 0;    // of the byte in the block
    unsigned char a = 0, b = 0;  // its value in each block
};
PixelDifference FirstPixelDifference(const BitmapShape& shape, const void* a, size_t aSize,
                                     const void* b, size_t bSize);

// A picture as 8-bit R, G, B triples, top row first.
struct RgbPicture {
    int32_t width = 0;
    int32_t height = 0;
    std::vector<unsigned char> rgb;  // width * height * 3 bytes

    const unsigned char* Pixel(int32_t x, int32_t y) const {
        return &rgb[(static_cast<size_t>(y) * width + x) * 3];
    }
};

// Converts an uncompressed bitmap (1, 4 or 8 bits with a palette; 16 or 32
// bits as 5-5-5 or 8-8-8 or with bit fields; 24 bits) to RGB. header is the
// information block of headerSize bytes (BITMAPINFOHEADER, masks, palette),
// bits the pixels; every read stays within the two sizes. Empty when
// converted, else what keeps it from being read.
std::string BitmapToRgb(const void* header, size_t headerSize, const void* bits,
                        size_t bitsSize, RgbPicture* picture);

// Writes header block and pixels as a .bmp file; false on failure.
bool WriteBmpFile(const std::string& path, const BitmapShape& shape, const void* header,
                  const void* bits);

#endif
