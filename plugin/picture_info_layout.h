// Whether a plug-in wrote PictureInfo's hInfo where this build's record
// has it.
//
// The x64 PictureInfo has two pad bytes at offset 22 and hInfo at 24. A
// plug-in built with a record that lacks the pad (30 bytes) writes an
// 8-byte hInfo at offset 22 and never reaches the record's last two bytes.
// So hInfo (and, for a checker that wants to see the pad written, the pad)
// is filled with 0x7f before the call: no block handle has 0x7f as its top
// byte (user addresses end far below that), and one still there after the
// call means hInfo was not written where the record has it. What then
// reads as hInfo is no handle of the plug-in's and is neither locked nor
// freed. The 32-bit record has no pad to miss.
#ifndef SPIPROBE_PLUGIN_PICTURE_INFO_LAYOUT_H
#define SPIPROBE_PLUGIN_PICTURE_INFO_LAYOUT_H

#include <cstring>

#include "spi_api.h"

constexpr unsigned char kHInfoFill = 0x7f;

// Fills hInfo, and the pad before it when withPad, with kHInfoFill.
inline void FillHInfo(PictureInfo* record, bool withPad = true) {
#if defined(_WIN64)
    if (!record) return;
    if (withPad) memset(record->dummy, kHInfoFill, sizeof record->dummy);
    memset(&record->hInfo, kHInfoFill, sizeof record->hInfo);
#else
    (void)record;
    (void)withPad;
#endif
}

// Whether hInfo was written as a whole (always in the 32-bit record).
inline bool HInfoWritten(const PictureInfo& record) {
#if defined(_WIN64)
    return reinterpret_cast<const unsigned char*>(&record.hInfo)[sizeof record.hInfo - 1] !=
           kHInfoFill;
#else
    (void)record;
    return true;
#endif
}

#endif
