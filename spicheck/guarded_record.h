// A record a plug-in writes into (a PictureInfo, a fileInfo), placed so
// that a write past its end cannot reach spicheck's own memory: canary
// bytes follow it, then an inaccessible page. After the call, Overrun()
// tells how many bytes past the record were written.
#ifndef SPICHECK_GUARDED_RECORD_H
#define SPICHECK_GUARDED_RECORD_H

#include <cstring>

#include "memory_tools.h"

constexpr size_t kRecordCanary = 64;
constexpr unsigned char kRecordCanaryByte = 0xCD;

template <typename Record>
class GuardedRecord {
public:
    GuardedRecord() : buffer_(sizeof(Record) + kRecordCanary) { Reset(); }
    // Zeroes the record and lays the canary again, for another call.
    void Reset() {
        if (!buffer_.ok()) return;
        memset(buffer_.data(), 0, sizeof(Record));
        memset(buffer_.data() + sizeof(Record), kRecordCanaryByte, kRecordCanary);
    }
    // Null when no room could be reserved.
    Record* get() const { return reinterpret_cast<Record*>(buffer_.data()); }
    // The record's bytes, or a zeroed record.
    Record value() const {
        Record copy;
        memset(&copy, 0, sizeof copy);
        if (buffer_.ok()) memcpy(&copy, buffer_.data(), sizeof copy);
        return copy;
    }
    // Bytes past the record up to the last canary byte changed; 0 when
    // none was. A write beyond the canary faults in the page after it.
    size_t Overrun() const {
        if (!buffer_.ok()) return 0;
        for (size_t i = kRecordCanary; i > 0; --i)
            if (buffer_.data()[sizeof(Record) + i - 1] != kRecordCanaryByte) return i;
        return 0;
    }

private:
    EdgeBuffer buffer_;
};

#endif
