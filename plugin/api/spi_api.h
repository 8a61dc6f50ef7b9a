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

#if defined(_WIN64)
static_assert(sizeof(HLOCAL) == 8 && sizeof(intptr_t) == 8, "the x64 plug-in API");
static_assert(sizeof(PictureInfo) == 32, "PictureInfo is 32 bytes");
static_assert(offsetof(PictureInfo, left) == 0, "PictureInfo.left");
static_assert(offsetof(PictureInfo, top) == 4, "PictureInfo.top");
static_assert(offsetof(PictureInfo, width) == 8, "PictureInfo.width");
static_assert(offsetof(PictureInfo, height) == 12, "PictureInfo.height");
static_assert(offsetof(PictureInfo, x_density) == 16, "PictureInfo.x_density");
static_assert(offsetof(PictureInfo, y_density) == 18, "PictureInfo.y_density");
static_assert(offsetof(PictureInfo, colorDepth) == 20, "PictureInfo.colorDepth");
static_assert(offsetof(PictureInfo, dummy) == 22, "PictureInfo.dummy");
static_assert(offsetof(PictureInfo, hInfo) == 24, "PictureInfo.hInfo");

static_assert(sizeof(fileInfo) == 448, "fileInfo is 448 bytes");
static_assert(offsetof(fileInfo, method) == 0, "fileInfo.method");
static_assert(offsetof(fileInfo, position) == 8, "fileInfo.position");
static_assert(offsetof(fileInfo, compsize) == 16, "fileInfo.compsize");
static_assert(offsetof(fileInfo, filesize) == 24, "fileInfo.filesize");
static_assert(offsetof(fileInfo, timestamp) == 32, "fileInfo.timestamp");
static_assert(offsetof(fileInfo, path) == 40, "fileInfo.path");
static_assert(offsetof(fileInfo, filename) == 240, "fileInfo.filename");
static_assert(offsetof(fileInfo, crc) == 440, "fileInfo.crc");
static_assert(offsetof(fileInfo, dummy) == 444, "fileInfo.dummy");

static_assert(sizeof(fileInfoW) == 848, "fileInfoW is 848 bytes");
static_assert(offsetof(fileInfoW, method) == 0, "fileInfoW.method");
static_assert(offsetof(fileInfoW, position) == 8, "fileInfoW.position");
static_assert(offsetof(fileInfoW, compsize) == 16, "fileInfoW.compsize");
static_assert(offsetof(fileInfoW, filesize) == 24, "fileInfoW.filesize");
static_assert(offsetof(fileInfoW, timestamp) == 32, "fileInfoW.timestamp");
static_assert(offsetof(fileInfoW, path) == 40, "fileInfoW.path");
static_assert(offsetof(fileInfoW, filename) == 440, "fileInfoW.filename");
static_assert(offsetof(fileInfoW, crc) == 840, "fileInfoW.crc");
static_assert(offsetof(fileInfoW, dummy) == 844, "fileInfoW.dummy");
#else
static_assert(sizeof(HLOCAL) == 4 && sizeof(intptr_t) == 4, "the 32-bit plug-in API");
static_assert(sizeof(PictureInfo) == 26, "PictureInfo is 26 bytes");
static_assert(offsetof(PictureInfo, left) == 0, "PictureInfo.left");
static_assert(offsetof(PictureInfo, top) == 4, "PictureInfo.top");
static_assert(offsetof(PictureInfo, width) == 8, "PictureInfo.width");
static_assert(offsetof(PictureInfo, height) == 12, "PictureInfo.height");
static_assert(offsetof(PictureInfo, x_density) == 16, "PictureInfo.x_density");
static_assert(offsetof(PictureInfo, y_density) == 18, "PictureInfo.y_density");
static_assert(offsetof(PictureInfo, colorDepth) == 20, "PictureInfo.colorDepth");
static_assert(offsetof(PictureInfo, hInfo) == 22, "PictureInfo.hInfo");

static_assert(sizeof(fileInfo) == 428, "fileInfo is 428 bytes");
static_assert(offsetof(fileInfo, method) == 0, "fileInfo.method");
static_assert(offsetof(fileInfo, position) == 8, "fileInfo.position");
static_assert(offsetof(fileInfo, compsize) == 12, "fileInfo.compsize");
static_assert(offsetof(fileInfo, filesize) == 16, "fileInfo.filesize");
static_assert(offsetof(fileInfo, timestamp) == 20, "fileInfo.timestamp");
static_assert(offsetof(fileInfo, path) == 24, "fileInfo.path");
static_assert(offsetof(fileInfo, filename) == 224, "fileInfo.filename");
static_assert(offsetof(fileInfo, crc) == 424, "fileInfo.crc");

static_assert(sizeof(fileInfoW) == 828, "fileInfoW is 828 bytes");
static_assert(offsetof(fileInfoW, method) == 0, "fileInfoW.method");
static_assert(offsetof(fileInfoW, position) == 8, "fileInfoW.position");
static_assert(offsetof(fileInfoW, compsize) == 12, "fileInfoW.compsize");
static_assert(offsetof(fileInfoW, filesize) == 16, "fileInfoW.filesize");
static_assert(offsetof(fileInfoW, timestamp) == 20, "fileInfoW.timestamp");
static_assert(offsetof(fileInfoW, path) == 24, "fileInfoW.path");
static_assert(offsetof(fileInfoW, filename) == 424, "fileInfoW.filename");
static_assert(offsetof(fileInfoW, crc) == 824, "fileInfoW.crc");
#endif

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
