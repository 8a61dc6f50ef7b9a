// The reference picture a decoded picture is compared with: a .bmp file
// read by spicheck itself, never through the plug-in under test.
#ifndef SPICHECK_REFERENCE_PICTURE_H
#define SPICHECK_REFERENCE_PICTURE_H

#include <string>

#include "bitmap.h"

// The largest reference file read.
constexpr unsigned long kMaxReferenceBytes = 256ul << 20;

enum class ReferenceRead { Read, Missing, Refused };

// Reads the bitmap file at path into *picture. Accepted: a file header and
// an uncompressed bitmap with a header of 40 bytes or more (BitmapToRgb's
// depths, bottom-up or top-down). Missing when there is no such file;
// Refused, with *reason, for anything else (unreadable, compressed, a
// 12-byte core header, truncated, over kMaxReferenceBytes).
ReferenceRead ReadReferencePicture(const std::string& path, RgbPicture* picture,
                                   std::string* reason);

#endif
