// The x64 record's hInfo is checked as plugin/picture_info_layout.h
// says: the pad and hInfo are filled before each call, and an hInfo not
// written where the record has it is no handle of the plug-in's.
#ifndef SPICHECK_PICTURE_RECORD_H
#define SPICHECK_PICTURE_RECORD_H

#include "picture_info_layout.h"

// The comment handle a description returned; null when hInfo was not
// written as the record has it.
inline HLOCAL CommentHandle(const PictureInfo& record) {
    return HInfoWritten(record) ? record.hInfo : nullptr;
}

#endif
