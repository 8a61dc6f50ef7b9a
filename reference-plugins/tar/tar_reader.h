// Reading tar archives: header blocks, numeric fields, pax extended
// headers and the walk from one member to the next.
//
// Formats read: POSIX ustar (name split into prefix and name), old and new
// GNU (long names and link names in 'L' and 'K' members), pax ('x' headers
// for the next member with path, size and mtime records; 'g' global
// headers are checked and skipped, since no writer puts names or sizes
// there) and the old v7 layout without magic.
#ifndef SPIPROBE_TAR_TAR_READER_H
#define SPIPROBE_TAR_TAR_READER_H

#include <cstddef>
#include <cstdint>
#include <string>

#include "tar_source.h"

constexpr uint32_t kTarBlock = 512;

// A header block: all zero (an end marker), a header whose checksum holds,
// or neither.
enum class HeaderKind { Zero, Valid, Bad };
HeaderKind ClassifyHeader(const unsigned char* block);

// The test IsSupported makes on a first block: a valid checksum, and either
// the ustar/GNU magic or, for the old layout, fields that parse.
bool LooksLikeTar(const unsigned char* block);

// Numeric header field: octal digits (leading blanks, ended by a blank or
// NUL, empty meaning 0) or GNU base-256 (first byte 0x80 or 0xFF). False on
// anything else or a value beyond 64 bits.
bool ParseTarNumber(const unsigned char* field, size_t length, int64_t* value);

// What a pax extended header says about the member after it.
struct PaxValues {
    bool hasPath = false;
    std::string path;
    bool hasSize = false;
    uint64_t size = 0;
    bool hasMtime = false;
    int64_t mtime = 0;
    bool sparse = false;  // GNU sparse map: the data is not the file's bytes
    bool binaryNames = false;  // hdrcharset=BINARY: the path is not UTF-8
};
// Parses "<length> <key>=<value>\n" records. False when a record is
// malformed: a bad length, one that runs past the data, no "=", no final
// newline, or a size or mtime value that is not a number.
bool ParsePaxRecords(const char* data, size_t length, PaxValues* values);

struct TarMember {
    uint64_t headerOffset = 0;  // first header block of the member, its 'L',
                                // 'K' and 'x' blocks included
    uint64_t dataOffset = 0;
    uint64_t size = 0;          // bytes of data
    int64_t mtime = 0;          // seconds since 1970 UTC
    char type = '0';
    bool regular = false;       // a file whose data is its bytes
    std::string name;           // '/' separators, no leading "/" or "./";
                                // a pax path in the ANSI code page when it
                                // has a form there, else as stored
    std::string storedName;     // the same, in the bytes the archive has
                                // (a pax path as its UTF-8)
};

// Walks the members of an archive from its first header block.
class TarReader {
public:
    static constexpr int32_t kEnd = -2;
    // The largest 'L', 'K', 'x' or 'g' member accepted; larger ones are
    // treated as corrupt rather than read into memory.
    static constexpr uint64_t kMaxMetaSize = 1u << 20;

    explicit TarReader(TarSource& source) : source_(source) {}

    // 0 and the next member (directories, links and other entries
    // included); kEnd at the end of the archive; otherwise 2 when the first
    // block is no tar header, 3 for corrupt or truncated data, 4 when memory
    // ran out, 6 for a read error.
    int32_t Next(TarMember* member);

private:
    int32_t ReadMeta(uint64_t offset, uint64_t size, std::string* data);

    TarSource& source_;
    uint64_t pos_ = 0;
    bool first_ = true;
};

// Bytes a member's data occupies in the archive: its size rounded up to
// whole blocks. False when that overflows.
bool PaddedSize(uint64_t size, uint64_t* padded);

#endif
