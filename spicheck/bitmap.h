// What a decoded picture's information block says about its pixels, read
// within the block's bounds, and writing a decoded picture as a .bmp file.
#ifndef SPICHECK_BITMAP_H
#define SPICHECK_BITMAP_H

#include <cstddef>
#include <cstdint>
#include <string>

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

// Writes header block and pixels as a .bmp file; false on failure.
bool WriteBmpFile(const std::string& path, const BitmapShape& shape, const void* header,
                  const void* bits);

#endif
