// The frames a host and a plug-in runner (spirunner32.exe, spirunner64.exe)
// exchange, and the shared memory that carries their bulk data.
//
// Who owns what:
// - The host creates the named pipe (one per runner, kept open for the
//   runner's life), the control section and the first bulk section, then
//   starts the runner with their names and its own process id. The runner
//   connects to the pipe as its client.
// - Every call is one Request from the host and one Answer from the runner.
//   The plug-in's progress callbacks reach the host in one of two ways,
//   chosen by the request (Request.progress):
//   round trip: the runner sends an Answer of kind Progress for each
//   callback and the host answers it with a Request of kind Progress that
//   carries the callback's result, so a cancel reaches the plug-in at the
//   call it made;
//   posted: the runner answers each callback at once with the host's last
//   result from the control section (PostedProgress), writes the
//   callback's (num, denom) there and signals the progress event when the
//   host has taken the one before; the host calls its callback on the
//   latest it finds while it waits for the Answer, and writes the result
//   back, so a cancel reaches the plug-in at its next callback.
// - The pipe carries only these fixed-size records. Bulk data (a source in
//   memory, a sample, a decoded picture, an archive list, an extracted
//   member, info texts) lies in the current bulk section, from byte 0;
//   before the runner copies large blocks there it names their sizes in an
//   Answer of kind BlocksAhead. The
//   side that needs more room makes the next generation of the section
//   (the base name with "-<generation>" after it) and names its generation
//   and size in the next frame it sends; the other side then opens it and
//   lets the old one go.
// - Blocks a plug-in hands back (HLOCAL) belong to the runner's process:
//   the runner copies LocalSize bytes into the section and frees them, and
//   the host makes blocks of its own from the copy.
// - The control section holds the isolation kit's board
//   (isolation/board.h): what a runner leaves behind when it ends through
//   its last-chance filter; at kPostedOffset, the posted progress of
//   the running call; and at kCopiedOffset, how far the runner has copied
//   the blocks a BlocksAhead named, so that the host copies them out
//   behind it. The progress event (the base name with "-progress"
//   after it) is the host's, made with the control section; the runner
//   opens it by name. A runner ends with the kit's exit codes
//   (isolation/exit_codes.h).
//
// Every field is little endian and of a fixed size, and positions, sizes,
// lengths, callback data and handles are 64-bit whatever the bitness of
// either side, so a 32-bit host can serve a 64-bit runner and the other
// way round. Names travel as UTF-16.
#ifndef SPIPROBE_PLUGIN_REMOTE_PROTOCOL_H
#define SPIPROBE_PLUGIN_REMOTE_PROTOCOL_H

#include <windows.h>

#include <cstddef>
#include <cstdint>

#include "exports.h"

namespace remote {

constexpr uint32_t kRequestMagic = 0x51525053;  // "SPRQ"
constexpr uint32_t kAnswerMagic = 0x41525053;   // "SPRA"

constexpr size_t kNameChars = 260;
constexpr size_t kControlSize = 4096;
constexpr uint64_t kFirstBulkSize = 1 << 16;

// Load, Unload and Progress, then one operation per export in the order
// of exports.h, each with the export's arguments:
// - GetPluginInfo: arg0 infono, arg1 buflen; the text comes back in the
//   section. GetPluginInfoW: the same with buflen in WCHARs, the caller's
//   buffer (dataSize bytes) in the section, and back there.
// - IsSupported(W): name; the sample in the section (dataSize 0: none).
// - ConfigurationDlg: handle the parent window, arg0 the function.
// - GetPictureInfo, GetPicture, GetPreview, GetArchiveInfo: a source
//   (below) and flag. GetFileInfo: the member in name2. GetFile: the
//   destination folder in name2 unless SPI_OUTPUT_MEMORY.
// - The wide ones hand the names in name and name2 over as the UTF-16 they
//   are; GetArchiveInfoW's list comes as WireEntryW records, GetFileInfoW's
//   record as one WireEntryW, the first block.
enum class Op : uint32_t {
    Load = 1,  // name: the plug-in's path
    Unload = 2,
    Progress = 3,  // runner: a callback (num, denom); host: arg0 its result
    // GetPictureInfo with the record handed over as the caller filled it
    // (given), and returned as the module left it (given; a block the
    // module put in hInfo as the first block).
    GetPictureInfoAsGiven = 4,
    // runner: the sizes of the blocks it is about to copy into the section
    // (size0, size1), sent before the copy when they are large, so that the
    // host makes its own blocks meanwhile; no reply.
    BlocksAhead = 5,
    BeforeExports = 15,
#define SPI_EXPORT_OP(name, kinds, text) name,
    SPI_EXPORT_LIST(SPI_EXPORT_OP)
#undef SPI_EXPORT_OP
};


// The least size of the blocks of an answer that BlocksAhead announces.
constexpr uint64_t kBlocksAheadSize = 1 << 20;
// BlocksAhead.result: the runner counts the bytes it has copied into the
// section (CopiedIn), a step of kCopyStep at a time; with any other value
// the host takes the bytes once the answer has come.
constexpr int32_t kCopyCounted = 1;
constexpr uint64_t kCopyStep = 1 << 20;

// Request.progress: the caller gave no progress callback, or one that the
// runner reaches by a round trip per callback, or by posts.
constexpr uint32_t kProgressNone = 0;
constexpr uint32_t kProgressRoundTrip = 1;
constexpr uint32_t kProgressPosted = 2;

// The progress of a call whose callbacks are posted, in the control
// section at kPostedOffset; the host clears it before each such call.
struct PostedProgress {
    volatile LONG pending;   // 1 from a callback until the host takes it
    volatile LONG answer;    // the host callback's last result
    volatile LONG64 latest;  // the last callback's num (low half) and denom
};
static_assert(sizeof(PostedProgress) == 16, "PostedProgress");
constexpr size_t kPostedOffset = 2048;

inline PostedProgress* PostedIn(void* control) {
    return reinterpret_cast<PostedProgress*>(static_cast<char*>(control) + kPostedOffset);
}
inline void PostLatest(PostedProgress* posted, int32_t num, int32_t denom) {
    LONG64 value = static_cast<LONG64>(static_cast<uint32_t>(num)) |
                   static_cast<LONG64>(static_cast<uint64_t>(static_cast<uint32_t>(denom)) << 32);
    // One locked write of all 8 bytes, also from a 32-bit process.
    LONG64 seen = posted->latest;
    for (;;) {
        LONG64 was = InterlockedCompareExchange64(&posted->latest, value, seen);
        if (was == seen) return;
        seen = was;
    }
}
inline void TakeLatest(PostedProgress* posted, int32_t* num, int32_t* denom) {
    uint64_t value = static_cast<uint64_t>(InterlockedCompareExchange64(&posted->latest, 0, 0));
    *num = static_cast<int32_t>(static_cast<uint32_t>(value));
    *denom = static_cast<int32_t>(static_cast<uint32_t>(value >> 32));
}

// The bytes of the announced blocks the runner has put in the section so
// far (the first block's, then the second's), in the control section at
// kCopiedOffset; the runner sets it to 0 before it sends BlocksAhead.
constexpr size_t kCopiedOffset = kPostedOffset + 64;
inline volatile LONG64* CopiedIn(void* control) {
    return reinterpret_cast<volatile LONG64*>(static_cast<char*>(control) + kCopiedOffset);
}

// The operation of an export.
constexpr Op OpFor(SpiExport e) {
    return static_cast<Op>(static_cast<uint32_t>(Op::BeforeExports) + 1 + ExportIndex(e));
}
static_assert(OpFor(SpiExport::GetFileW) == Op::GetFileW, "one operation per export");

// A source (the buf/len/flag of the exports): with SPI_INPUT_MEMORY in the
// flag the bytes are in the section and arg0 is their count; otherwise name
// is the file and arg0 the offset into it.

#pragma pack(push, 1)

// SpiFault as plain fields.
struct WireFault {
    int32_t kind;
    uint32_t code;
    int32_t access;
    uint32_t overrun;
    uint64_t address;
    uint64_t instruction;
};
static_assert(sizeof(WireFault) == 32, "WireFault");

// The section a frame's sender works with.
struct SectionRef {
    uint32_t generation;
    uint32_t reserved;
    uint64_t size;
};

// PictureInfo without its handle, which is a block in the section here.
struct WirePicture {
    int32_t left;
    int32_t top;
    int32_t width;
    int32_t height;
    uint16_t x_density;  // the names of PictureInfo's fields, so that one copy serves
    uint16_t y_density;
    int16_t colorDepth;
    uint16_t reserved;
};
static_assert(sizeof(WirePicture) == 24, "WirePicture");

// A PictureInfo as its bytes stand, in the x64 layout (the pad before an
// 8-byte hInfo) whatever the bitness of either side.
struct WireGivenPicture {
    WirePicture picture;
    unsigned char pad[2];
    unsigned char spare[6];
    uint64_t hInfo;
};
static_assert(sizeof(WireGivenPicture) == 40, "WireGivenPicture");

struct Request {
    uint32_t magic;
    uint32_t op;  // Op
    uint64_t id;  // answered with the same id
    SectionRef section;
    int64_t arg0;
    int64_t arg1;
    uint64_t handle;
    uint64_t dataSize;  // bytes of input in the section
    uint32_t flag;
    uint32_t progress;  // kProgress*
    wchar_t name[kNameChars];
    wchar_t name2[kNameChars];
    WireGivenPicture given;  // GetPictureInfoAsGiven
};
static_assert(sizeof(Request) == 72 + 4 * kNameChars + 40, "Request");


// A fileInfo record; a list is an array of these in the section.
struct WireEntry {
    unsigned char method[8];
    uint64_t position;
    uint64_t compsize;
    uint64_t filesize;
    int64_t timestamp;
    char path[200];
    char filename[200];
    uint32_t crc;
    uint32_t reserved;
};
static_assert(sizeof(WireEntry) == 448, "WireEntry");

// A fileInfoW record: WireEntry with its names in UTF-16.
struct WireEntryW {
    unsigned char method[8];
    uint64_t position;
    uint64_t compsize;
    uint64_t filesize;
    int64_t timestamp;
    wchar_t path[200];
    wchar_t filename[200];
    uint32_t crc;
    uint32_t reserved;
};
static_assert(sizeof(WireEntryW) == 848, "WireEntryW");

// Bits of Answer.blocks: which of the plug-in's blocks came back. Their
// bytes follow one another in the section, in the order of these bits.
constexpr uint32_t kBlockFirst = 1;   // picture info / list / member / comment text
constexpr uint32_t kBlockSecond = 2;  // picture bits

struct Answer {
    uint32_t magic;
    uint32_t op;  // the request's, or Progress
    uint64_t id;
    SectionRef section;
    int32_t result;
    int32_t kind;  // Load: the plug-in's kind
    WireFault fault;
    uint32_t exports;  // Load: ExportBit of each export the plug-in has
    uint32_t blocks;   // kBlock bits
    uint64_t size0;    // bytes of the first block (or text, extension list)
    uint64_t size1;    // bytes of the second
    int32_t progressNum;
    int32_t progressDenom;
    WirePicture picture;  // GetPictureInfo
    WireEntry entry;      // GetFileInfo
    WireGivenPicture given;  // GetPictureInfoAsGiven
};
static_assert(sizeof(Answer) == 104 + 24 + 448 + 40, "Answer");

#pragma pack(pop)

// The most WCHARs of a GetPluginInfoW buffer that travel: a longer buffer is
// offered to the plug-in as this long (no text of a plug-in comes near).
constexpr int32_t kMaxWideInfoChars = 1 << 20;

}  // namespace remote

#endif
