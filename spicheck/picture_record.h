// The x64 PictureInfo has two pad bytes at offset 22 and hInfo at 24. A
// plug-in built with a record that lacks the pad (30 bytes) writes an
// 8-byte hInfo at offset 22 and never reaches the record's last two
// bytes. So the pad and hInfo are filled with 0x7f before each call: no
// block handle has 0x7f as its top byte (user addresses end far below
// that), and one still there after the call means hInfo was not written
// where the record has it. What then reads as hInfo is no handle of the
// plug-in's and is neither locked nor freed.
#ifndef SPICHECK_PICTURE_RECORD_H
#define SPICHECK_PICTURE_RECORD_H

#include <cstring>

#include "spi_api.h"

constexpr unsigned char kHInfoFill = 0x7f;

inline void FillHInfo(PictureInfo* record) {
#if defined(_WIN64)
    if (record) memset(record->dummy, kHInfoFill, sizeof record->dummy + sizeof record->hInfo);
#else
    (void)record;  // the 32-bit record has no pad to miss
#endif
}

// Whether hInfo was written as a whole (always in the 32-bit record).
inline bool HInfoWritten(const PictureInfo& record) {
#if defined(_WIN64)
    return reinterpret_cast<const unsigned char*>(&record.hInfo)[7] != kHInfoFill;
#else
    (void)record;
    return true;
#endif
}

// The comment handle a description returned; null when hInfo was not
// written as the record has it.
inline HLOCAL CommentHandle(const PictureInfo& record) {
    return HInfoWritten(record) ? record.hInfo : nullptr;
}

#endif
