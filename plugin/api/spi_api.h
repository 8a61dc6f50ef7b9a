// The plug-in module interface: the records a module fills, its return
// codes and flags, and the signatures of its nine exports and of the eight
// optional wide ones.
//
// Everything here is what crosses the boundary between a host and a
// plug-in DLL, so the layouts are fixed byte for byte (packed, little
// endian) and checked below at compile time. There are two of them: the
// 32-bit one (.spi modules) and the x64 one (.sph modules), where handles,
// lengths, positions and the callback data are 8 bytes and explicit pads
// keep every field after them aligned; `long` fields stay 4 bytes on both.
// intptr_t and uintptr_t are int and unsigned int on 32-bit Windows, so
// the 32-bit build's types are the ones it has always had.
#ifndef SPIPROBE_PLUGIN_SPI_API_H
#define SPIPROBE_PLUGIN_SPI_API_H

#include <windows.h>

#include <cstddef>
#include <cstdint>

#define SPI_API __stdcall
// What a plug-in writes in front of each of its exports.
#define SPI_EXPORT extern "C" __declspec(dllexport)

// Return codes of every export (0 success).
enum SpiResult : int32_t {
    SPI_NOT_IMPLEMENTED = -1,
    SPI_SUCCESS = 0,
    SPI_ABORT = 1,         // cancelled by the progress callback
    SPI_UNSUPPORTED = 2,   // unsupported format
    SPI_CORRUPT = 3,       // corrupt data
    SPI_NO_MEMORY = 4,     // allocation failed
    SPI_MEMORY_ERROR = 5,  // memory operation failed
    SPI_READ_ERROR = 6,    // file read error
    SPI_RESERVED = 7,
    SPI_INTERNAL_ERROR = 8,
};

// Input selection in the low bits of every flag word.
constexpr uint32_t SPI_INPUT_FILE = 0x0000;    // source = file name, length = offset
constexpr uint32_t SPI_INPUT_MEMORY = 0x0001;  // source = address, length = size
constexpr uint32_t SPI_INPUT_MASK = 0x0007;
// Output selection for GetFile (and, on request, GetFileInfo).
constexpr uint32_t SPI_OUTPUT_MEMORY = 0x0100;  // destination = address of a HLOCAL

// Size of the sample IsSupported is given when it receives a buffer.
constexpr size_t SPI_SAMPLE_SIZE = 2048;

#if defined(_WIN64)
typedef uint64_t SpiTimestamp;  // seconds since 1970, UTC
#else
typedef int32_t SpiTimestamp;  // seconds since 1970, UTC
#endif

#pragma pack(push, 1)

struct PictureInfo {
    int32_t left;
    int32_t top;
    int32_t width;
    int32_t height;
    uint16_t x_density;
    uint16_t y_density;
    int16_t colorDepth;  // bits per pixel
#if defined(_WIN64)
    char dummy[2];
#endif
    HLOCAL hInfo;  // comment text, or 0
};

struct fileInfo {
    unsigned char method[8];
    uintptr_t position;  // the member's place in the archive
    uintptr_t compsize;  // stored size
    uintptr_t filesize;  // uncompressed size
    SpiTimestamp timestamp;
    char path[200];
    char filename[200];
    uint32_t crc;
#if defined(_WIN64)
    char dummy[4];
#endif
};

// A member record of the wide list (GetArchiveInfoW) and of GetFileInfoW:
// fileInfo with path and filename in UTF-16.
struct fileInfoW {
    unsigned char method[8];
    uintptr_t position;
    uintptr_t compsize;
    uintptr_t filesize;
    SpiTimestamp timestamp;
    WCHAR path[200];
    WCHAR filename[200];
    uint32_t crc;
#if defined(_WIN64)
    char dummy[4];
#endif
};

#pragma pack(pop)

// The layouts, field by field: the offset in the 32-bit record, then in
// the x64 one. fileInfo and fileInfoW differ only in the size of their two
// names, so a member field's row holds both records.
#if defined(_WIN64)
#define SPI_AT(x86, x64) (x64)
#else
#define SPI_AT(x86, x64) (x86)
#endif
#define SPI_PICTURE_FIELD(field, x86, x64) \
    static_assert(offsetof(PictureInfo, field) == SPI_AT(x86, x64), "PictureInfo." #field)
#define SPI_MEMBER_FIELD(field, x86, x64, wideX86, wideX64)                             \
    static_assert(offsetof(fileInfo, field) == SPI_AT(x86, x64), "fileInfo." #field); \
    static_assert(offsetof(fileInfoW, field) == SPI_AT(wideX86, wideX64), "fileInfoW." #field)

static_assert(sizeof(HLOCAL) == SPI_AT(4, 8) && sizeof(intptr_t) == SPI_AT(4, 8),
              "handles and lengths are pointer-sized");

static_assert(sizeof(PictureInfo) == SPI_AT(26, 32), "PictureInfo's size");
SPI_PICTURE_FIELD(left, 0, 0);
SPI_PICTURE_FIELD(top, 4, 4);
SPI_PICTURE_FIELD(width, 8, 8);
SPI_PICTURE_FIELD(height, 12, 12);
SPI_PICTURE_FIELD(x_density, 16, 16);
SPI_PICTURE_FIELD(y_density, 18, 18);
SPI_PICTURE_FIELD(colorDepth, 20, 20);
SPI_PICTURE_FIELD(hInfo, 22, 24);

static_assert(sizeof(fileInfo) == SPI_AT(428, 448), "fileInfo's size");
static_assert(sizeof(fileInfoW) == SPI_AT(828, 848), "fileInfoW's size");
//               field      fileInfo   fileInfoW   (each: 32-bit, x64)
SPI_MEMBER_FIELD(method,     0,   0,     0,   0);
SPI_MEMBER_FIELD(position,   8,   8,     8,   8);
SPI_MEMBER_FIELD(compsize,  12,  16,    12,  16);
SPI_MEMBER_FIELD(filesize,  16,  24,    16,  24);
SPI_MEMBER_FIELD(timestamp, 20,  32,    20,  32);
SPI_MEMBER_FIELD(path,      24,  40,    24,  40);
SPI_MEMBER_FIELD(filename, 224, 240,   424, 440);
SPI_MEMBER_FIELD(crc,      424, 440,   824, 840);

// The x64 pads, which the 32-bit records do not have (-1).
#if defined(_WIN64)
SPI_PICTURE_FIELD(dummy, -1, 22);
SPI_MEMBER_FIELD(dummy, -1, 444, -1, 844);
#endif

#undef SPI_MEMBER_FIELD
#undef SPI_PICTURE_FIELD
#undef SPI_AT

// Progress callback: (done, total, callback data); 0 goes on, anything else
// makes the plug-in stop and return SPI_ABORT.
typedef int32_t(SPI_API* ProgressCallback)(int32_t nNum, int32_t nDenom, intptr_t lData);

// The exports, arguments in their order. `len` is a length or an offset,
// pointer-sized like the callback data.
typedef int32_t(SPI_API* GetPluginInfoProc)(int32_t infono, LPSTR buf, int32_t buflen);
typedef int32_t(SPI_API* IsSupportedProc)(LPCSTR filename, void* dw);
typedef int32_t(SPI_API* GetPictureInfoProc)(LPCSTR buf, intptr_t len, uint32_t flag,
                                             PictureInfo* lpInfo);
typedef int32_t(SPI_API* GetPictureProc)(LPCSTR buf, intptr_t len, uint32_t flag, HLOCAL* pHBInfo,
                                         HLOCAL* pHBm, ProgressCallback lpPrgressCallback,
                                         intptr_t lData);
typedef GetPictureProc GetPreviewProc;
typedef int32_t(SPI_API* GetArchiveInfoProc)(LPCSTR buf, intptr_t len, uint32_t flag,
                                             HLOCAL* lphInf);
typedef int32_t(SPI_API* GetFileInfoProc)(LPCSTR buf, intptr_t len, LPCSTR filename,
                                          uint32_t flag, fileInfo* lpInfo);
typedef int32_t(SPI_API* GetFileProc)(LPCSTR src, intptr_t len, LPSTR dest, uint32_t flag,
                                      ProgressCallback prgressCallback, intptr_t lData);
typedef int32_t(SPI_API* ConfigurationDlgProc)(HWND parent, int32_t fnc);

// The wide exports. A module may have any of them, each on its own. Only
// the text arguments differ from the exports above: file names, member
// names and the destination folder are UTF-16, the texts of
// GetPluginInfoW too, its buflen counting WCHARs. In the memory form buf
// and src are the input's bytes as in the ANSI calls, and GetFileW's dest
// is the address of an HLOCAL when the output goes to memory. The list of
// GetArchiveInfoW is an array of fileInfoW, ended by a record whose method
// starts with a NUL; GetFileW and GetFileInfoW take the positions and names
// it gives.
typedef int32_t(SPI_API* GetPluginInfoWProc)(int32_t infono, LPWSTR buf, int32_t buflen);
typedef int32_t(SPI_API* IsSupportedWProc)(LPCWSTR filename, const void* dw);
typedef int32_t(SPI_API* GetPictureInfoWProc)(LPCWSTR buf, intptr_t len, uint32_t flag,
                                              PictureInfo* lpInfo);
typedef int32_t(SPI_API* GetPictureWProc)(LPCWSTR buf, intptr_t len, uint32_t flag,
                                          HLOCAL* pHBInfo, HLOCAL* pHBm,
                                          ProgressCallback lpPrgressCallback, intptr_t lData);
typedef GetPictureWProc GetPreviewWProc;
typedef int32_t(SPI_API* GetArchiveInfoWProc)(LPCWSTR buf, intptr_t len, uint32_t flag,
                                              HLOCAL* lphInf);
typedef int32_t(SPI_API* GetFileInfoWProc)(LPCWSTR buf, intptr_t len, LPCWSTR filename,
                                           uint32_t flag, fileInfoW* lpInfo);
typedef int32_t(SPI_API* GetFileWProc)(LPCWSTR src, intptr_t len, LPWSTR dest, uint32_t flag,
                                       ProgressCallback prgressCallback, intptr_t lData);

#endif
