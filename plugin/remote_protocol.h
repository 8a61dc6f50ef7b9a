// The frames a host and a plug-in runner (spirunner32.exe, spirunner64.exe)
// exchange, and the shared memory that carries their bulk data.
//
// Who owns what:
// - The host creates the named pipe (one per runner, kept open for the
//   runner's life), the control section and the first bulk section, then
//   starts the runner with their names and its own process id. The runner
//   connects to the pipe as its client.
// - Every call is one Request from the host and one Answer from the runner.
//   While a call runs, the runner may send Answers of kind Progress; the
//   host answers each with a Request of kind Progress that carries the
//   callback's result, so a cancel reaches the plug-in at the call it made.
// - The pipe carries only these fixed-size records. Bulk data (a source in
//   memory, a sample, a decoded picture, an archive list, an extracted
//   member, info texts) lies in the current bulk section, from byte 0. The
//   side that needs more room makes the next generation of the section
//   (the base name with "-<generation>" after it) and names its generation
//   and size in the next frame it sends; the other side then opens it and
//   lets the old one go.
// - Blocks a plug-in hands back (HLOCAL) belong to the runner's process:
//   the runner copies LocalSize bytes into the section and frees them, and
//   the host makes blocks of its own from the copy.
// - The control section holds what a runner leaves behind when it ends
//   through its unhandled-exception filter: the exception it caught.
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

namespace remote {

constexpr uint32_t kRequestMagic = 0x51525053;  // "SPRQ"
constexpr uint32_t kAnswerMagic = 0x41525053;   // "SPRA"
constexpr uint32_t kCrashMagic = 0x43525053;    // "SPRC"

// Exit codes a runner ends with by its own decision.
constexpr DWORD kExitUnhandledException = 0xE5A10001;  // the filter caught one (see Crash)
constexpr DWORD kExitHeapDamage = 0xE5A10002;          // a call left a heap damaged
constexpr DWORD kExitHostGone = 0xE5A10003;            // the host process ended
constexpr DWORD kExitBadStart = 0xE5A10004;            // wrong arguments, pipe or sections

constexpr size_t kNameChars = 260;
constexpr size_t kControlSize = 4096;
constexpr uint64_t kFirstBulkSize = 1 << 16;

enum class Op : uint32_t {
    Load = 1,  // name: the plug-in's path
    Unload = 2,
    GetPluginInfo = 3,   // arg0 infono, arg1 buflen; the text comes back in the section
    IsSupported = 4,     // name; the sample in the section (dataSize 0: no sample)
    ConfigurationDlg = 5,  // handle: parent window, arg0 function
    GetPictureInfo = 6,  // source (below), flag
    GetPicture = 7,
    GetPreview = 8,
    GetArchiveInfo = 9,
    GetFileInfo = 10,  // source, member in name2
    GetFile = 11,      // source; destination folder in name2 unless SPI_OUTPUT_MEMORY
    Progress = 12,     // runner: a callback (num, denom); host: arg0 its result
    // The wide exports: as the operations above, with the names in name
    // and name2 handed over as the UTF-16 they are.
    GetPluginInfoW = 13,   // arg0 infono, arg1 buflen in WCHARs; the caller's buffer
                           // (dataSize bytes) in the section, and back there
    IsSupportedW = 14,
    GetPictureInfoW = 15,
    GetPictureW = 16,
    GetPreviewW = 17,
    GetArchiveInfoW = 18,  // the list as WireEntryW records
    GetFileInfoW = 19,     // the record: one WireEntryW, the first block
    GetFileW = 20,
};

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
    uint32_t progress;  // 1: the caller gave a progress callback
    wchar_t name[kNameChars];
    wchar_t name2[kNameChars];
};
static_assert(sizeof(Request) == 72 + 4 * kNameChars, "Request");

// PictureInfo without its handle, which is a block in the section here.
struct WirePicture {
    int32_t left;
    int32_t top;
    int32_t width;
    int32_t height;
    uint16_t xDensity;
    uint16_t yDensity;
    int16_t colorDepth;
    uint16_t reserved;
};
static_assert(sizeof(WirePicture) == 24, "WirePicture");

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
    uint32_t exports;  // Load: bit n set when the nth export is there
    uint32_t blocks;   // kBlock bits
    uint64_t size0;    // bytes of the first block (or text, extension list)
    uint64_t size1;    // bytes of the second
    int32_t progressNum;
    int32_t progressDenom;
    WirePicture picture;  // GetPictureInfo
    WireEntry entry;      // GetFileInfo
};
static_assert(sizeof(Answer) == 104 + 24 + 448, "Answer");

// Left in the control section by a runner's unhandled-exception filter.
struct Crash {
    uint32_t magic;
    uint32_t code;
    int32_t access;
    uint32_t reserved;
    uint64_t address;
    uint64_t instruction;
};

#pragma pack(pop)

// The order of the bits of Answer.exports: the nine, then the wide ones.
constexpr const char* kExportNames[] = {
    "GetPluginInfo",  "IsSupported",  "GetPictureInfo",  "GetPicture",  "GetPreview",
    "GetArchiveInfo", "GetFileInfo",  "GetFile",         "ConfigurationDlg",
    "GetPluginInfoW", "IsSupportedW", "GetPictureInfoW", "GetPictureW", "GetPreviewW",
    "GetArchiveInfoW", "GetFileInfoW", "GetFileW",
};
constexpr int kExportCount = sizeof kExportNames / sizeof kExportNames[0];
static_assert(kExportCount <= 32, "Answer.exports");

// The most WCHARs of a GetPluginInfoW buffer that travel: a longer buffer is
// offered to the plug-in as this long (no text of a plug-in comes near).
constexpr int32_t kMaxWideInfoChars = 1 << 20;

}  // namespace remote

#endif
