// A small, correct plug-in for two toy formats, built once as it is and
// once per defect with one DEFECT_<NAME> switch, so that each build has
// exactly one of the mistakes spicheck looks for. WIDE_EXPORTS adds the
// wide exports (GetPictureW, ...), and DEFECT_WIDE_<NAME> one mistake of
// theirs.
//
// Image format (extension .dfi): "DFI1", width and height (16-bit little
// endian, 1..4096), one reserved byte that must be 0, three zero bytes,
// then width*height RGB triples, top row first. Decoded as a bottom-up
// 24-bit DIB.
//
// Archive format (ARCHIVE_KIND, extension .dfa): "DFA1", a 32-bit member
// count, per member a 32-byte NUL-padded name and its 32-bit size; then per
// member, in order, its 32-bit size again and its bytes. A member's
// position is that of its second size field.
#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "spi_api.h"

namespace {

volatile uintptr_t g_nowhere = 0;

// Faults the way a careless plug-in does: a write through a null pointer.
[[maybe_unused]] void Crash() { *reinterpret_cast<volatile int*>(g_nowhere) = 1; }

#ifdef DEFECT_CRASH_ALL
#define CRASH_HERE() Crash()
#else
#define CRASH_HERE() ((void)0)
#endif

// No defect: a plug-in that meets an access violation and handles it
// itself (IsBadReadPtr catches the fault on an address that is never
// mapped). SELF_CAUGHT_IN_PROBE does so in IsSupported, which then answers
// as usual (0 for a file it declines); SELF_CAUGHT_IN_DECODE in the
// description and decode calls, which then refuse bad input with 8.
[[maybe_unused]] void CatchOwnFault() {
    (void)IsBadReadPtr(reinterpret_cast<const void*>(static_cast<uintptr_t>(0xBAD0)), 4);
}

#ifdef SELF_CAUGHT_IN_PROBE
#define PROBE_CATCHES_OWN_FAULT() CatchOwnFault()
#else
#define PROBE_CATCHES_OWN_FAULT() ((void)0)
#endif

#ifdef SELF_CAUGHT_IN_DECODE
#define DECODE_CATCHES_OWN_FAULT() CatchOwnFault()
[[maybe_unused]] int32_t Refusal(int32_t) { return 8; }
#else
#define DECODE_CATCHES_OWN_FAULT() ((void)0)
[[maybe_unused]] int32_t Refusal(int32_t code) { return code; }
#endif

[[maybe_unused]] uint32_t Read16(const unsigned char* p) { return p[0] | (p[1] << 8); }
[[maybe_unused]] uint32_t Read32(const unsigned char* p) {
    return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

// The input of a call: the bytes from the offset to the end of a file, or
// the caller's memory (never copied).
struct Input {
    std::vector<unsigned char> owned;
    const unsigned char* data = nullptr;
    size_t size = 0;
};

bool OpenInput(LPCSTR source, intptr_t length, uint32_t flag, Input* input) {
    if ((flag & SPI_INPUT_MASK) == SPI_INPUT_MEMORY) {
        if (length < 0) return false;
        input->data = reinterpret_cast<const unsigned char*>(source);
        input->size = static_cast<size_t>(length);
        return true;
    }
#ifdef DEFECT_OFFSET_IGNORED
    length = 0;
#endif
    HANDLE file = CreateFileA(source, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0,
                              nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    DWORD size = GetFileSize(file, nullptr);
    bool ok = size != INVALID_FILE_SIZE && length >= 0 && static_cast<DWORD>(length) <= size &&
              SetFilePointer(file, length, nullptr, FILE_BEGIN) != INVALID_SET_FILE_POINTER;
    if (ok) {
        input->owned.resize(size - length);
        DWORD got = 0;
        ok = input->owned.empty() ||
             (ReadFile(file, input->owned.data(), size - length, &got, nullptr) &&
              got == size - length);
        input->data = input->owned.data();
        input->size = input->owned.size();
    }
    CloseHandle(file);
    return ok;
}

// Optional forms a plug-in may leave out, answering -1 (not implemented):
// input from memory (DEFECT_NO_MEMORY_INPUT), output to a folder
// (DEFECT_NO_FOLDER_OUTPUT), and every output (DEFECT_NO_OUTPUT, which
// leaves the plug-in no way to extract).
[[maybe_unused]] bool LeftOut(uint32_t flag) {
#ifdef DEFECT_NO_MEMORY_INPUT
    if ((flag & SPI_INPUT_MASK) == SPI_INPUT_MEMORY) return true;
#endif
    (void)flag;
    return false;
}

// IsSupported's second argument is a file handle below 0x10000, else the
// sample's address. The whole value counts: an x64 sample may lie where
// the low 32 bits are below 0x10000.
bool IsFileHandle(void* dw) {
#ifdef DEFECT_PROBE_TRUNCATES
    return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(dw)) < 0x10000;
#else
    return reinterpret_cast<uintptr_t>(dw) < 0x10000;
#endif
}

HLOCAL AllocCopy(const void* data, size_t size) {
    HLOCAL h = LocalAlloc(LMEM_MOVEABLE, size);
    if (!h) return nullptr;
    void* p = LocalLock(h);
    if (size) memcpy(p, data, size);
    LocalUnlock(h);
    return h;
}

int32_t CopyText(const char* text, LPSTR buf, int32_t buflen) {
    if (buflen <= 0) return 0;
#ifdef DEFECT_INFO_OVERRUN
    strcpy(buf, text);
    return static_cast<int32_t>(strlen(text));
#endif
    size_t n = strlen(text);
    if (n > static_cast<size_t>(buflen - 1)) n = buflen - 1;
    memcpy(buf, text, n);
    buf[n] = 0;
    return static_cast<int32_t>(n);
}

#ifdef ARCHIVE_KIND
const char* const kInfo[] = {"00AM", "Defect test archive plug-in", "*.dfa", "DF archive"};
#else
#ifdef DEFECT_VERSION_UNUSUAL
const char kVersion[] = "00IN1";
#else
const char kVersion[] = "00IN";
#endif
#ifdef DEFECT_FILTER_BAD
const char kPattern[] = "dfi";
#else
const char kPattern[] = "*.dfi;*.df1";
#endif
const char* const kInfo[] = {kVersion, "Defect test image plug-in", kPattern, "DF picture"};
#endif

}  // namespace

#if defined(DEFECT_HANG_ATTACH) || defined(DEFECT_HANG_DETACH)
// Never returns from the attach (or the detach) of the process.
extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
#ifdef DEFECT_HANG_ATTACH
    const DWORD hangAt = DLL_PROCESS_ATTACH;
#else
    const DWORD hangAt = DLL_PROCESS_DETACH;
#endif
    while (reason == hangAt) Sleep(100);
    return TRUE;
}
#endif

SPI_EXPORT int32_t SPI_API GetPluginInfo(int32_t infono, LPSTR buf, int32_t buflen) {
#ifdef DEFECT_HANG_IDENTIFY
    while (infono == 0) Sleep(100);  // the version text, asked for first
#endif
#ifdef THROWS_INSIDE
    // An exception thrown and caught within the plug-in: the C++ runtime
    // sets up its exception support in the module at the first throw.
    try {
        if (buflen >= 0) throw infono;
    } catch (int) {
    }
#endif
    if (infono < 0 || infono > 3) return 0;
#ifdef DEFECT_VERSION_UNTERMINATED
    if (infono == 0 && buflen > 4) {
        memcpy(buf, kInfo[0], 4);  // the terminator is forgotten
        return 4;
    }
#endif
#ifdef DEFECT_ABOUT_UNTERMINATED
    if (infono == 1 && buflen > 0) {
        memset(buf, 'a', buflen);
        return buflen;
    }
#endif
#ifdef DEFECT_ABOUT_OVERRUN
    // Eleven bytes past a full-size about buffer, aimed at buffers followed
    // by 32 spare bytes and a page boundary, the way spicheck places its
    // own, so that the library's identification of the plug-in is left alone.
    if (infono == 1 && buflen >= 10 &&
        ((reinterpret_cast<uintptr_t>(buf) + buflen + 32) & 0xFFF) == 0) {
        int32_t n = CopyText(kInfo[infono], buf, buflen);
        memset(buf + buflen, 'x', 11);
        return n;
    }
#endif
    return CopyText(kInfo[infono], buf, buflen);
}

#ifndef ARCHIVE_KIND

namespace {

constexpr size_t kHeader = 12;

struct Picture {
    uint32_t width, height;
    const unsigned char* pixels;
};

// 0 and the picture, or the plug-in's error code.
int32_t Parse(const Input& in, Picture* picture) {
#ifndef DEFECT_TRUSTS_LENGTH
    if (in.size < kHeader) return 2;
#endif
    if (memcmp(in.data, "DFI1", 4) != 0) return 2;
    picture->width = Read16(in.data + 4);
    picture->height = Read16(in.data + 6);
    if (picture->width == 0 || picture->height == 0 || picture->width > 4096 ||
        picture->height > 4096)
        return 3;
#ifndef DEFECT_FUZZ_CRASH
    if (in.data[8] != 0) return 3;
#endif
    if (in.size < kHeader + static_cast<size_t>(picture->width) * picture->height * 3) return 3;
    picture->pixels = in.data + kHeader;
    return 0;
}

bool Accepts(const unsigned char* head) { return memcmp(head, "DFI1", 4) == 0; }

// The input of a description or decode, parsed: 0, or the code to refuse with.
int32_t OpenPicture(LPCSTR buf, intptr_t len, uint32_t flag, Input* in, Picture* picture) {
    DECODE_CATCHES_OWN_FAULT();
    if (LeftOut(flag)) return -1;
    if (!OpenInput(buf, len, flag, in)) return Refusal(6);
    int32_t code = Parse(*in, picture);
    return code ? Refusal(code) : 0;
}

int32_t Decode(LPCSTR buf, intptr_t len, uint32_t flag, HLOCAL* pHBInfo, HLOCAL* pHBm,
               ProgressCallback progress, intptr_t data, bool preview) {
    CRASH_HERE();
    Input in;
    Picture pic;
    int32_t code = OpenPicture(buf, len, flag, &in, &pic);
    if (code) return code;
#ifdef DEFECT_FUZZ_CRASH
    if (in.data[8] != 0) Crash();
#endif
#ifdef DEFECT_BAD_PREVIEW
    if (preview) {
        BITMAPINFOHEADER h = {};
        *pHBInfo = AllocCopy(&h, 8);
        *pHBm = AllocCopy("", 1);
        return 0;
    }
#endif
    (void)preview;
    uint32_t stride = (pic.width * 3 + 3) & ~3u;
    BITMAPINFOHEADER h = {};
    h.biSize = sizeof h;
    h.biWidth = pic.width;
    h.biHeight = pic.height;
    h.biPlanes = 1;
    h.biBitCount = 24;
    h.biSizeImage = stride * pic.height;
    size_t bitsSize = stride * pic.height;
    // Headers that promise more pixels than the block holds.
#ifdef DEFECT_HEADER_ROWS
    if (!preview) h.biHeight *= 2;
#endif
#ifdef DEFECT_HEADER_SIZE_IMAGE
    if (!preview) h.biSizeImage += 4096;
#endif
#ifdef DEFECT_SHORT_BITS
    if (!preview) bitsSize -= stride;
#endif
    HLOCAL info = AllocCopy(&h, sizeof h);
    HLOCAL bits = LocalAlloc(LMEM_MOVEABLE | LMEM_ZEROINIT, bitsSize);
    if (!info || !bits) {
        if (info) LocalFree(info);
        if (bits) LocalFree(bits);
        return 4;
    }
    unsigned char* out = static_cast<unsigned char*>(LocalLock(bits));
    int32_t total = static_cast<int32_t>(pic.height);
#ifdef DEFECT_PROGRESS_OVERRUN
    total -= 1;
#endif
    bool report = progress != nullptr;
#ifdef DEFECT_NULL_CALLBACK
    report = true;
#endif
#ifdef DEFECT_NO_PROGRESS
    report = false;
#endif
    bool stopped = report && progress(0, total, data) != 0;
#ifdef DEFECT_CANCEL_IGNORED
    stopped = false;
#endif
    for (uint32_t row = 0; row < pic.height && !stopped; ++row) {
        // Bottom-up: the file's first row is the bitmap's last.
        size_t at = static_cast<size_t>(pic.height - 1 - row) * stride;
#ifdef DEFECT_ROWS_FLIPPED
        at = static_cast<size_t>(row) * stride;  // top row first, under a positive height
#endif
        if (at + pic.width * 3 <= bitsSize) {
            const unsigned char* src = pic.pixels + static_cast<size_t>(row) * pic.width * 3;
            for (uint32_t x = 0; x < pic.width; ++x) {  // RGB to BGR
#ifdef DEFECT_RED_BLUE_SWAPPED
                memcpy(out + at + x * 3, src + x * 3, 3);  // left in RGB order
#else
                out[at + x * 3] = src[x * 3 + 2];
                out[at + x * 3 + 1] = src[x * 3 + 1];
                out[at + x * 3 + 2] = src[x * 3];
#endif
            }
        }
        if (report && progress(static_cast<int32_t>(row + 1), total, data) != 0) stopped = true;
#ifdef DEFECT_CANCEL_IGNORED
        stopped = false;
#endif
    }
#ifdef DEFECT_PAD_GARBAGE
    {
        // The padding at the end of each row is left as it comes: here a
        // different byte at every call, as an uncleared block would have.
        static unsigned char g_garbage = 0x52;
        ++g_garbage;
        for (uint32_t row = 0; row < pic.height; ++row)
            for (size_t at = row * stride + pic.width * 3; at < (row + 1) * stride; ++at)
                if (at < bitsSize) out[at] = g_garbage;
    }
#endif
    LocalUnlock(bits);
    if (stopped) {
#ifndef DEFECT_CANCEL_LEAK
        LocalFree(info);
        LocalFree(bits);
#endif
        return 1;
    }
#ifdef DEFECT_LEAK
    LocalAlloc(LMEM_FIXED, 4096);  // a work buffer nobody frees
#endif
#ifdef DEFECT_HANDLE_LEAK
    {
        // Opens its own module file, for nothing, and never closes it.
        HMODULE self = nullptr;
        char path[MAX_PATH] = {};
        GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                               GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                           reinterpret_cast<LPCSTR>(&AllocCopy), &self);
        GetModuleFileNameA(self, path, sizeof path);
        CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    }
#endif
    *pHBInfo = info;
    *pHBm = bits;
    return 0;
}

}  // namespace

SPI_EXPORT int32_t SPI_API IsSupported(LPCSTR filename, void* dw) {
    CRASH_HERE();
    PROBE_CATCHES_OWN_FAULT();
#ifdef DEFECT_ZERO_BY_NAME
    // Falls back to the name's extension (no defect of its own; the name
    // decides where the data do not).
    size_t n = strlen(filename);
    if (n > 4 && _stricmp(filename + n - 4, ".dfi") == 0) return 1;
#else
    (void)filename;
#endif
    if (IsFileHandle(dw)) {
#ifdef DEFECT_FORMS_DISAGREE
        return 0;
#endif
        unsigned char head[4] = {};
        DWORD got = 0;
        if (!ReadFile(static_cast<HANDLE>(dw), head, sizeof head, &got, nullptr) || got < 4)
            return 0;
        return Accepts(head);
    }
    const unsigned char* sample = static_cast<const unsigned char*>(dw);
#ifdef DEFECT_ZERO_ACCEPT
    // A signature test that takes an empty signature for a match.
    if (!sample[0] && !sample[1] && !sample[2] && !sample[3]) return 1;
#endif
#ifdef DEFECT_SAMPLE_OVERREAD
    // A checksum that runs one byte too far.
    volatile unsigned sum = 0;
    for (size_t i = 0; i <= SPI_SAMPLE_SIZE; ++i) sum = sum + sample[i];
#endif
    return Accepts(sample);
}

#ifdef DEFECT_PICTURE_NO_PAD
// The x64 record declared without its pad: hInfo at offset 22, 30 bytes.
#pragma pack(push, 1)
struct PictureRecord {
    int32_t left, top, width, height;
    uint16_t x_density, y_density;
    int16_t colorDepth;
    HLOCAL hInfo;
};
#pragma pack(pop)
static_assert(sizeof(PictureRecord) == 30, "the record without the pad");
#else
typedef PictureInfo PictureRecord;
#endif

#ifndef DEFECT_NO_GETPICTUREINFO
SPI_EXPORT int32_t SPI_API GetPictureInfo(LPCSTR buf, intptr_t len, uint32_t flag,
                                          PictureInfo* lpInfo) {
    CRASH_HERE();
#ifdef DEFECT_SLOW
    if ((flag & SPI_INPUT_MASK) == SPI_INPUT_FILE) Sleep(600);
#endif
#ifdef DEFECT_HANG
    while ((flag & SPI_INPUT_MASK) == SPI_INPUT_FILE) Sleep(100);
#endif
#if defined(DEFECT_PROBE_TRUSTED) || defined(DEFECT_SLOW_VARIANT)
    if ((flag & SPI_INPUT_MASK) == SPI_INPUT_MEMORY && len > 8) {
        const unsigned char* head = reinterpret_cast<const unsigned char*>(buf);
#ifdef DEFECT_PROBE_TRUSTED
        // Counts on the host having asked IsSupported first: what does not
        // start as a picture of its own is read as garbage.
        if (head[0] != 'D') Crash();
#else
        // Slow on a reserved byte that is not 0, before refusing it.
        if (head[8] != 0) Sleep(400);
#endif
    }
#endif
    Input in;
    Picture pic;
    int32_t code = OpenPicture(buf, len, flag, &in, &pic);
    if (code) return code;
    PictureRecord record;
    memset(&record, 0, sizeof record);
    record.width = pic.width;
    record.height = pic.height;
#ifdef DEFECT_INFO_HEIGHT
    record.height += 1;
#endif
#ifdef DEFECT_HEADER_ROWS
    record.height *= 2;  // agrees with the header, not with the pixel block
#endif
#ifdef DEFECT_INFO_MEMORY_DIFFERS
    if ((flag & SPI_INPUT_MASK) == SPI_INPUT_MEMORY) record.height += 1;
#endif
    record.x_density = 72;
    record.y_density = 72;
    record.colorDepth = 24;
#ifdef DEFECT_COMMENT_UNTERMINATED
    record.hInfo = AllocCopy("DF comment", 10);
#else
    record.hInfo = AllocCopy("DF comment", 11);
#endif
    memcpy(lpInfo, &record, sizeof record);
#ifdef DEFECT_PICTURE_INFO_OVERRUN
    if ((flag & SPI_INPUT_MASK) == SPI_INPUT_FILE)
        memset(reinterpret_cast<char*>(lpInfo + 1), 'x', 6);  // past the record
#endif
    return 0;
}
#endif

SPI_EXPORT int32_t SPI_API GetPicture(LPCSTR buf, intptr_t len, uint32_t flag, HLOCAL* pHBInfo,
                                      HLOCAL* pHBm, ProgressCallback progress, intptr_t data) {
    return Decode(buf, len, flag, pHBInfo, pHBm, progress, data, false);
}

SPI_EXPORT int32_t SPI_API GetPreview(LPCSTR buf, intptr_t len, uint32_t flag, HLOCAL* pHBInfo,
                                      HLOCAL* pHBm, ProgressCallback progress, intptr_t data) {
    return Decode(buf, len, flag, pHBInfo, pHBm, progress, data, true);
}

#else  // ARCHIVE_KIND

namespace {

constexpr size_t kEntry = 36;
constexpr uint32_t kTimestamp = 1000000000;

#ifdef DEFECT_HOSTILE_NAMES
// Member names that lead out of a folder, name a device or hold characters
// Windows refuses, listed instead of the archive's own.
const char* const kHostileNames[] = {"..\\..\\escaped.txt", "C:\\drive.txt", "\\rooted.txt",
                                     "NUL", "a<b>|c.txt", "twin.txt", "..\\twin.txt"};
#endif

#ifdef DEFECT_KEEPS_STATE
std::vector<size_t> g_kept;  // positions of the last list made
#endif

// The member records, or an error code. Positions are relative to the
// start of the archive.
int32_t List(const Input& in, std::vector<fileInfo>* records) {
    if (in.size < 8 || memcmp(in.data, "DFA1", 4) != 0) return 2;
    uint32_t count = Read32(in.data + 4);
    if (count > (in.size - 8) / kEntry) return 3;
    size_t position = 8 + count * kEntry;
    for (uint32_t i = 0; i < count; ++i) {
        const unsigned char* entry = in.data + 8 + i * kEntry;
        uint32_t size = Read32(entry + 32);
        if (position + 4 > in.size || Read32(in.data + position) != size ||
            size > in.size - position - 4)
            return 3;
        fileInfo r;
        memset(&r, 0, sizeof r);
        memcpy(r.method, "DFA", 3);
#ifdef DEFECT_METHOD_GARBAGE
        {
            // The bytes after the method's terminator are left as they
            // come: here different at every call.
            static unsigned char g_garbage = 0x40;
            memset(r.method + 4, ++g_garbage, sizeof r.method - 4);
        }
#endif
        r.position = static_cast<uint32_t>(position);
        r.compsize = size;
        r.filesize = size;
        r.timestamp = kTimestamp;
        memcpy(r.filename, entry, 32);
        r.filename[32] = 0;
#ifdef DEFECT_HOSTILE_NAMES
        strcpy(r.filename, kHostileNames[i % (sizeof kHostileNames / sizeof *kHostileNames)]);
#endif
        records->push_back(r);
        position += 4 + size;
    }
    return 0;
}

// The member records of the source a list or lookup export is given: -1
// for a source left out, 6 when it cannot be read, else List's answer.
int32_t ListSource(LPCSTR buf, intptr_t len, uint32_t flag, std::vector<fileInfo>* records) {
    if (LeftOut(flag)) return -1;
    Input in;
    if (!OpenInput(buf, len, flag, &in)) return 6;
    return List(in, records);
}

// The record as this plug-in lays it out: ours, or (x64) one declared
// without the pad after crc (444 bytes) or with 4-byte numbers as in the
// 32-bit record (428 bytes).
#if defined(DEFECT_LIST_NO_PAD)
constexpr size_t kRecordSize = offsetof(fileInfo, crc) + sizeof(uint32_t);
#elif defined(DEFECT_LIST_32BIT_FIELDS)
constexpr size_t kRecordSize = 8 + 4 * 4 + 200 + 200 + 4;
#else
constexpr size_t kRecordSize = sizeof(fileInfo);
#endif

void WriteRecord(const fileInfo& r, unsigned char* out) {
#ifdef DEFECT_LIST_32BIT_FIELDS
    const uint32_t numbers[4] = {static_cast<uint32_t>(r.position),
                                 static_cast<uint32_t>(r.compsize),
                                 static_cast<uint32_t>(r.filesize),
                                 static_cast<uint32_t>(r.timestamp)};
    memcpy(out, r.method, 8);
    memcpy(out + 8, numbers, sizeof numbers);
    memcpy(out + 24, r.path, 200);
    memcpy(out + 224, r.filename, 200);
    memcpy(out + 424, &r.crc, 4);
#else
    memcpy(out, &r, kRecordSize);
#endif
}

}  // namespace

SPI_EXPORT int32_t SPI_API IsSupported(LPCSTR, void* dw) {
    CRASH_HERE();
    unsigned char head[4] = {};
    if (IsFileHandle(dw)) {
        DWORD got = 0;
        if (!ReadFile(static_cast<HANDLE>(dw), head, sizeof head, &got, nullptr) || got < 4)
            return 0;
    } else {
        memcpy(head, dw, 4);
    }
    return memcmp(head, "DFA1", 4) == 0;
}

SPI_EXPORT int32_t SPI_API GetArchiveInfo(LPCSTR buf, intptr_t len, uint32_t flag,
                                          HLOCAL* lphInf) {
    CRASH_HERE();
    std::vector<fileInfo> records;
    int32_t code = ListSource(buf, len, flag, &records);
    if (code) return code;
#ifdef DEFECT_LIST_MEMORY_DIFFERS
    if ((flag & SPI_INPUT_MASK) == SPI_INPUT_MEMORY)
        for (fileInfo& r : records) r.timestamp += 3600;
#endif
#ifdef DEFECT_MEMBER_SIZE
    for (fileInfo& r : records) r.filesize += 1;
#endif
#ifdef DEFECT_KEEPS_STATE
    // The member list is kept in the loaded module for GetFile, which
    // finds members by it: a host that loads the plug-in around each call
    // gets nothing.
    g_kept.clear();
    for (const fileInfo& r : records) g_kept.push_back(r.position);
#endif
#ifndef DEFECT_LIST_NO_END
    records.push_back(fileInfo{});
#endif
    std::vector<unsigned char> list(records.size() * kRecordSize);
    for (size_t i = 0; i < records.size(); ++i) WriteRecord(records[i], &list[i * kRecordSize]);
    *lphInf = AllocCopy(list.data(), list.size());
    return *lphInf ? 0 : 4;
}

SPI_EXPORT int32_t SPI_API GetFileInfo(LPCSTR buf, intptr_t len, LPCSTR filename, uint32_t flag,
                                       fileInfo* lpInfo) {
    CRASH_HERE();
#ifdef DEFECT_LOOKUP_BROKEN
    (void)buf, (void)len, (void)filename, (void)flag, (void)lpInfo;
    return 2;
#else
    std::vector<fileInfo> records;
    int32_t code = ListSource(buf, len, flag, &records);
    if (code) return code;
    for (fileInfo& r : records) {
        if (strcmp(r.filename, filename) == 0) {
#ifdef DEFECT_MEMBER_SIZE
            r.filesize += 1;
#endif
            WriteRecord(r, reinterpret_cast<unsigned char*>(lpInfo));
#ifdef DEFECT_LOOKUP_OVERRUN
            memset(reinterpret_cast<char*>(lpInfo + 1), 'x', 2);  // past the record
#endif
            return 0;
        }
    }
    return 8;
#endif
}

SPI_EXPORT int32_t SPI_API GetFile(LPCSTR src, intptr_t len, LPSTR dest, uint32_t flag,
                                   ProgressCallback progress, intptr_t data) {
    CRASH_HERE();
    if (LeftOut(flag)) return -1;
#if defined(DEFECT_NO_FOLDER_OUTPUT) || defined(DEFECT_NO_OUTPUT)
    if (!(flag & SPI_OUTPUT_MEMORY)) return -1;
#endif
#ifdef DEFECT_NO_OUTPUT
    if (flag & SPI_OUTPUT_MEMORY) return -1;
#endif
#ifdef DEFECT_KEEPS_STATE
    if ((flag & SPI_INPUT_MASK) == SPI_INPUT_FILE) {
        bool listed = false;
        for (size_t position : g_kept) listed = listed || position == static_cast<size_t>(len);
        if (!listed) return 6;
    }
#endif
    // The member's data: from the file at offset len, or in memory at src.
    Input in;
    if (!OpenInput(src, len, flag & ~SPI_OUTPUT_MEMORY, &in)) return 6;
    if (in.size < 4) return 3;
    uint32_t size = Read32(in.data);
    if (size > in.size - 4) return 3;
    const unsigned char* bytes = in.data + 4;

    bool report = progress != nullptr;
#ifdef DEFECT_NULL_CALLBACK
    report = true;
#endif
    bool stopped = report && progress(0, static_cast<int32_t>(size), data) != 0;
    if (!stopped && report)
        stopped = progress(static_cast<int32_t>(size), static_cast<int32_t>(size), data) != 0;
#ifdef DEFECT_CANCEL_IGNORED
    stopped = false;
#endif
    if (stopped) return 1;

    if (flag & SPI_OUTPUT_MEMORY) {
        HLOCAL h = AllocCopy(bytes, size);
        if (!h) return 4;
        *reinterpret_cast<HLOCAL*>(dest) = h;
        return 0;
    }
    // The member's name is not in its data: a file source is listed from its
    // start to find the member at this position.
    std::string name = "member";
    Input whole;
    std::vector<fileInfo> records;
    if ((flag & SPI_INPUT_MASK) == SPI_INPUT_FILE && OpenInput(src, 0, SPI_INPUT_FILE, &whole) &&
        List(whole, &records) == 0)
        for (const fileInfo& r : records)
            if (r.position == static_cast<uint32_t>(len)) name = r.filename;
#ifdef DEFECT_HOSTILE_NAMES
    name = name.substr(name.find_last_of("\\:") + 1);  // its own files stay in dest
#endif
    std::string path = std::string(dest) + "\\" + name;
    FILE* out = fopen(path.c_str(), "wb");
    if (!out) return 6;
    std::string content(reinterpret_cast<const char*>(bytes), size);
#ifdef DEFECT_DISK_DIFFERS
    if (!content.empty()) content[0] ^= 0x20;
#endif
    fwrite(content.data(), 1, content.size(), out);
    fclose(out);
    return 0;
}

#endif

#ifdef WIDE_EXPORTS
// The wide exports (WIDE_EXPORTS builds): only the text arguments differ.
// A file source is read through the wide API and handed on as memory to
// the ANSI export of the same name.
namespace {

bool ReadWideFile(LPCWSTR name, intptr_t offset, std::vector<unsigned char>* bytes) {
#ifdef DEFECT_WIDE_NAMES
    // Through the ANSI code page, where a name outside it has no spelling.
    char ansi[MAX_PATH * 2];
    if (!WideCharToMultiByte(CP_ACP, 0, name, -1, ansi, sizeof ansi, nullptr, nullptr))
        return false;
    HANDLE file = CreateFileA(ansi, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0,
                              nullptr);
#else
    HANDLE file = CreateFileW(name, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0,
                              nullptr);
#endif
    if (file == INVALID_HANDLE_VALUE) return false;
    DWORD size = GetFileSize(file, nullptr);
    bool ok = size != INVALID_FILE_SIZE && offset >= 0 && static_cast<DWORD>(offset) <= size &&
              SetFilePointer(file, static_cast<LONG>(offset), nullptr, FILE_BEGIN) !=
                  INVALID_SET_FILE_POINTER;
    if (ok) {
        bytes->resize(size - offset);
        DWORD got = 0;
        ok = bytes->empty() ||
             (ReadFile(file, bytes->data(), size - offset, &got, nullptr) && got == size - offset);
    }
    CloseHandle(file);
    return ok;
}

// The source of a wide call as the ANSI export takes it from memory.
struct WideSource {
    std::vector<unsigned char> bytes;
    LPCSTR buf = nullptr;
    intptr_t len = 0;
    uint32_t flag = 0;
};

bool OpenWideSource(LPCWSTR buf, intptr_t len, uint32_t flag, WideSource* source) {
    if ((flag & SPI_INPUT_MASK) == SPI_INPUT_MEMORY) {
        source->buf = reinterpret_cast<LPCSTR>(buf);
        source->len = len;
        source->flag = flag;
        return true;
    }
    if (!ReadWideFile(buf, len, &source->bytes)) return false;
    static const char kNothing[1] = {0};
    source->buf = source->bytes.empty() ? kNothing
                                        : reinterpret_cast<LPCSTR>(source->bytes.data());
    source->len = static_cast<intptr_t>(source->bytes.size());
    source->flag = (flag & ~SPI_INPUT_MASK) | SPI_INPUT_MEMORY;
    return true;
}

}  // namespace

#ifndef DEFECT_WIDE_NO_PLUGININFOW
SPI_EXPORT int32_t SPI_API GetPluginInfoW(int32_t infono, LPWSTR buf, int32_t buflen) {
    char text[1024];
    if (GetPluginInfo(infono, text, sizeof text) <= 0) return 0;
    wchar_t wide[1024];
    int32_t length = MultiByteToWideChar(CP_ACP, 0, text, -1, wide, 1024) - 1;
    if (length < 0) return 0;
    int32_t room = buflen;
#ifdef DEFECT_WIDE_INFO_BYTES
    room = buflen / 2;  // takes buflen for a count of bytes
#endif
    if (room <= 0) return 0;
    int32_t n = length < room - 1 ? length : room - 1;
#ifdef DEFECT_WIDE_INFO_OVERRUN
    n = length < room ? length : room;  // the terminator one past a text that fills the buffer
#endif
    memcpy(buf, wide, n * sizeof(wchar_t));
    buf[n] = 0;
    return n;
}
#endif

SPI_EXPORT int32_t SPI_API IsSupportedW(LPCWSTR, const void* dw) {
    return IsSupported("", const_cast<void*>(dw));
}

#ifndef ARCHIVE_KIND
SPI_EXPORT int32_t SPI_API GetPictureInfoW(LPCWSTR buf, intptr_t len, uint32_t flag,
                                           PictureInfo* lpInfo) {
    WideSource source;
    if (!OpenWideSource(buf, len, flag, &source)) return 6;
    int32_t code = GetPictureInfo(source.buf, source.len, source.flag, lpInfo);
#ifdef DEFECT_WIDE_DIFFERS
    if (code == 0) lpInfo->height += 1;
#endif
    return code;
}

SPI_EXPORT int32_t SPI_API GetPictureW(LPCWSTR buf, intptr_t len, uint32_t flag,
                                       HLOCAL* pHBInfo, HLOCAL* pHBm, ProgressCallback progress,
                                       intptr_t data) {
    WideSource source;
    if (!OpenWideSource(buf, len, flag, &source)) return 6;
    return GetPicture(source.buf, source.len, source.flag, pHBInfo, pHBm, progress, data);
}

SPI_EXPORT int32_t SPI_API GetPreviewW(LPCWSTR buf, intptr_t len, uint32_t flag,
                                       HLOCAL* pHBInfo, HLOCAL* pHBm, ProgressCallback progress,
                                       intptr_t data) {
    WideSource source;
    if (!OpenWideSource(buf, len, flag, &source)) return 6;
    return GetPreview(source.buf, source.len, source.flag, pHBInfo, pHBm, progress, data);
}

#else  // ARCHIVE_KIND

namespace {

void ToWide(const char* text, size_t size, WCHAR* out, int room) {
    int n = MultiByteToWideChar(CP_ACP, 0, text, static_cast<int>(strnlen(text, size)), out,
                                room - 1);
    out[n > 0 ? n : 0] = 0;
}

fileInfoW WideRecord(const fileInfo& r) {
    fileInfoW w;
    memset(&w, 0, sizeof w);
    memcpy(w.method, r.method, sizeof w.method);
    w.position = r.position;
    w.compsize = r.compsize;
    w.filesize = r.filesize;
    w.timestamp = r.timestamp;
    ToWide(r.path, sizeof r.path, w.path, 200);
    ToWide(r.filename, sizeof r.filename, w.filename, 200);
    w.crc = r.crc;
    return w;
}

}  // namespace

SPI_EXPORT int32_t SPI_API GetArchiveInfoW(LPCWSTR buf, intptr_t len, uint32_t flag,
                                           HLOCAL* lphInf) {
    WideSource source;
    if (!OpenWideSource(buf, len, flag, &source)) return 6;
    HLOCAL list = nullptr;
    int32_t code = GetArchiveInfo(source.buf, source.len, source.flag, &list);
    if (code) return code;
    const fileInfo* records = static_cast<const fileInfo*>(LocalLock(list));
    size_t count = LocalSize(list) / sizeof(fileInfo);
    std::vector<fileInfoW> wide;
    for (size_t i = 0; i < count; ++i) wide.push_back(WideRecord(records[i]));
    LocalUnlock(list);
    LocalFree(list);
    *lphInf = AllocCopy(wide.data(), wide.size() * sizeof(fileInfoW));
    return *lphInf ? 0 : 4;
}

SPI_EXPORT int32_t SPI_API GetFileInfoW(LPCWSTR buf, intptr_t len, LPCWSTR filename,
                                        uint32_t flag, fileInfoW* lpInfo) {
#ifdef DEFECT_WIDE_PAIRING
    // Finds no member by its wide name.
    (void)buf, (void)len, (void)filename, (void)flag, (void)lpInfo;
    return 8;
#else
    WideSource source;
    if (!OpenWideSource(buf, len, flag, &source)) return 6;
    char name[400];
    if (!WideCharToMultiByte(CP_ACP, 0, filename, -1, name, sizeof name, nullptr, nullptr))
        return 8;
    fileInfo record;
    int32_t code = GetFileInfo(source.buf, source.len, name, source.flag, &record);
    if (code == 0) *lpInfo = WideRecord(record);
    return code;
#endif
}

SPI_EXPORT int32_t SPI_API GetFileW(LPCWSTR src, intptr_t len, LPWSTR dest, uint32_t flag,
                                    ProgressCallback progress, intptr_t data) {
    WideSource source;
    if (!OpenWideSource(src, len, flag & ~SPI_OUTPUT_MEMORY, &source)) return 6;
    uint32_t wideFlag = source.flag | (flag & SPI_OUTPUT_MEMORY);
    if (flag & SPI_OUTPUT_MEMORY)
        return GetFile(source.buf, source.len, reinterpret_cast<LPSTR>(dest), wideFlag, progress,
                       data);
    char folder[MAX_PATH * 2];
    if (!WideCharToMultiByte(CP_ACP, 0, dest, -1, folder, sizeof folder, nullptr, nullptr))
        return 6;
    return GetFile(source.buf, source.len, folder, wideFlag, progress, data);
}

#endif  // ARCHIVE_KIND
#endif  // WIDE_EXPORTS
