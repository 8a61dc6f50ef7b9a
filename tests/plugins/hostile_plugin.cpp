// A hostile plug-in for the campaign test: every answer it gives is drawn
// from a seed, so one DLL stands for thousands of badly written plug-ins
// and any one of them can be had again by its number.
//
// The seed is read from the environment variable SPI_HOSTILE_SEED (a
// decimal number; unset or unreadable counts as 0) at every call. What a
// plug-in says about itself (its kind, its info texts) is drawn from the
// seed alone, so every load of the module in a process tells the same
// story. Every other answer is drawn from the seed and the number of the
// call within the process, counted in SPI_HOSTILE_CALLS, which the module
// keeps in the process's environment so that the count survives the module
// being loaded and released around each call. The same host doing the
// same calls therefore meets the same answers. The input's bytes never
// change an answer: any file will do to reproduce a run.
//
// What it draws:
//   - the kind (image, archive, rarely neither) and the version text;
//   - info texts of every length from 0 past the buffer, with printf
//     directives and double-byte lead bytes, written terminated,
//     unterminated, or running 1 to 16 bytes past the length it is given;
//   - return codes: every documented one and some that are not;
//   - IsSupported answers beyond 0 and 1;
//   - PictureInfo values (zero, negative, huge) and comment handles
//     (none, a text, an unterminated text, a zero-size block);
//   - decoded bitmaps whose header promises more than the blocks hold
//     (widths and heights up to the limits of the fields, bogus biClrUsed,
//     short headers), so that a reader that trusts the header runs far
//     past the block into memory that is not there;
//   - archive lists without an end record, of odd sizes, with names that
//     lead out of a folder, name devices, are empty, very long or
//     unterminated, and sizes, positions and timestamps at the extremes;
//   - progress callbacks with nonsense values (negative, past the total,
//     going back), a call through a null callback, a cancel ignored;
//   - writes 1 to 16 bytes past the PictureInfo and fileInfo records;
//   - faults: null writes and reads, RaiseException, division by zero,
//     an illegal instruction, a stack overflow;
//   - slow calls: a few tens of milliseconds, rarely 250 ms; at most
//     SLEEP_BUDGET_MS in all per process (counted in SPI_HOSTILE_SLEPT).
// Names that leave a folder all begin with "spihostile", so a test can
// look for them wherever they may have landed.
//
// SPI_HOSTILE_EXIT (a decimal number), for the campaign's test of itself:
// the first call ends the host's process with that exit status, as a host
// that died would end.
#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "spi_api.h"

namespace {

constexpr DWORD SLEEP_BUDGET_MS = 700;

// splitmix64: small, fast, and good enough to spread nearby seeds apart.
class Rng {
public:
    Rng(uint64_t seed, uint64_t stream)
        : state_(seed * 0x9E3779B97F4A7C15ull ^ (stream << 32 | stream)) {
        Next();
    }
    uint64_t Next() {
        uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    // 0 .. n-1
    uint32_t Below(uint32_t n) { return n ? static_cast<uint32_t>(Next() % n) : 0; }
    // True once in n.
    bool OneIn(uint32_t n) { return Below(n) == 0; }
    template <typename T, size_t N>
    T Pick(const T (&table)[N]) {
        return table[Below(N)];
    }

private:
    uint64_t state_;
};

uint64_t EnvNumber(const char* name) {
    char text[32] = {};
    DWORD n = GetEnvironmentVariableA(name, text, sizeof text);
    return n > 0 && n < sizeof text ? strtoull(text, nullptr, 10) : 0;
}

void SetEnvNumber(const char* name, uint64_t value) {
    char text[32];
    snprintf(text, sizeof text, "%llu", static_cast<unsigned long long>(value));
    SetEnvironmentVariableA(name, text);
}

uint64_t Seed() { return EnvNumber("SPI_HOSTILE_SEED"); }

// Streams of the seed-only draws; call draws use the call number.
enum Stream : uint64_t { kIdentity = 1, kMembers = 0x10, kInfoText = 0x100, kCall = 0x10000 };

enum class Kind { Image, Archive, Neither };

// What the plug-in is, drawn from the seed alone.
struct Identity {
    Kind kind;
    uint32_t filters;     // pattern / format name pairs
    bool endlessInfo;     // every info number past the filters answers too
    uint32_t faultOneIn;  // a call faults once in this many (0 never)
    bool mayOversleep;    // a call may take longer than a checker's limit
    // Calls in four that answer well: right codes, blocks that hold what
    // their headers say, lists with their end (the names stay hostile), so
    // that a host gets far enough to save pictures and members.
    uint32_t sanity;
    // The picture those calls describe, and the archive's member count.
    int32_t width, height;
    uint16_t depth;
    uint32_t members;
};

Identity Identify() {
    Rng r(Seed(), kIdentity);
    Identity id;
    uint32_t k = r.Below(20);
    id.kind = k < 10 ? Kind::Image : k < 19 ? Kind::Archive : Kind::Neither;
    id.filters = r.Below(5);
    id.endlessInfo = r.OneIn(24);
    static const uint32_t kTempers[] = {0, 0, 64, 32, 32, 16, 6};
    id.faultOneIn = r.Pick(kTempers);
    id.mayOversleep = r.OneIn(8);
    static const uint32_t kSanity[] = {0, 2, 3, 3, 4};
    id.sanity = r.Pick(kSanity);
    static const uint16_t kSaneDepths[] = {1, 4, 8, 24, 32};
    id.width = 1 + r.Below(40);
    id.height = (1 + r.Below(40)) * (r.OneIn(4) ? -1 : 1);
    id.depth = r.Pick(kSaneDepths);
    id.members = 1 + r.Below(6);
    return id;
}

volatile uintptr_t g_nowhere = 0;

// Overflows the stack long before the depth could end it.
int Recurse(int depth) {
    if (depth == INT32_MAX) return 0;
    volatile char pad[1024];
    pad[0] = static_cast<char>(depth);
    return Recurse(depth + 1) + pad[0];
}

void Fault(Rng& r) {
    switch (r.Below(8)) {
        case 0:
        case 1:
            *reinterpret_cast<volatile int*>(g_nowhere) = 1;
            break;
        case 2:
            (void)*reinterpret_cast<volatile int*>(g_nowhere + 0x10);
            break;
        case 3:
            RaiseException(0xE0000000u | r.Below(0x1000), 0, 0, nullptr);
            break;
        case 4:
            RaiseException(0xC0000000u | r.Below(0x1000), EXCEPTION_NONCONTINUABLE, 0, nullptr);
            break;
        case 5: {
            volatile int zero = static_cast<int>(g_nowhere);
            volatile int q = 1 / zero;
            (void)q;
            break;
        }
        case 6:
            __builtin_trap();
        default:
            Recurse(0);
            break;
    }
}

void MaybeSleep(Rng& r, const Identity& id) {
    DWORD ms = 0;
    if (id.mayOversleep && r.OneIn(150))
        ms = 250;
    else if (r.OneIn(40))
        ms = 10 + r.Below(50);
    if (!ms) return;
    uint64_t slept = EnvNumber("SPI_HOSTILE_SLEPT");
    if (slept + ms > SLEEP_BUDGET_MS) return;
    SetEnvNumber("SPI_HOSTILE_SLEPT", slept + ms);
    Sleep(ms);
}

// Every export begins here: the call's own draws, after a possible sleep
// or fault (GetPluginInfo passes an identity that does neither and draws
// its rarer faults itself).
Rng BeginCall(const Identity& id) {
    if (uint64_t status = EnvNumber("SPI_HOSTILE_EXIT")) ExitProcess(static_cast<UINT>(status));
    uint64_t call = EnvNumber("SPI_HOSTILE_CALLS");
    SetEnvNumber("SPI_HOSTILE_CALLS", call + 1);
    Rng r(Seed(), kCall + call);
    MaybeSleep(r, id);
    if (id.faultOneIn && r.OneIn(id.faultOneIn)) Fault(r);
    return r;
}

bool Sane(Rng& r, const Identity& id) { return r.Below(4) < id.sanity; }

int32_t ReturnCode(Rng& r) {
    static const int32_t kUnusual[] = {-1, 1, 2, 3,  4,     5,         6,
                                       7,  8, 9, -2, 0x100, INT32_MAX, INT32_MIN};
    return r.OneIn(3) ? r.Pick(kUnusual) : 0;
}

// --- texts -----------------------------------------------------------------

char g_text[1200];

// A text of a drawn length: plain words, printf directives, a lone lead
// byte, control characters.
const char* DrawText(Rng& r, const char* plain) {
    static const size_t kLengths[] = {0, 1, 3, 4, 5, 9, 10, 11, 63, 127, 128, 129, 255, 256, 1023};
    size_t length = strlen(plain);
    if (!r.OneIn(3)) length = r.Pick(kLengths);
    static const char* const kPieces[] = {"abc", "%s%n%x", "\x82", "\x95\x5c", "\t",      "\r\n",
                                          " ",   "*.",     ";",    "\x81\x60", "\x7f\x01"};
    size_t n = 0;
    const char* piece = plain;
    while (n < length && n < sizeof g_text - 1) {
        for (const char* p = piece; *p && n < length; ++p) g_text[n++] = *p;
        piece = r.Pick(kPieces);
    }
    g_text[n] = 0;
    return g_text;
}

// Writes text into buf the way a careless module does, once in
// `careless` calls; answers what such a module returns.
int32_t WriteText(Rng& r, const char* text, LPSTR buf, int32_t buflen, uint32_t careless = 3) {
    if (!buf || buflen <= 0) return r.OneIn(2) ? 0 : 1;
    size_t length = strlen(text);
    size_t room = static_cast<size_t>(buflen);
    switch (r.OneIn(careless) ? r.Below(3) : 3) {
        case 0: {  // unterminated, filling the whole buffer
            for (size_t i = 0; i < room; ++i) buf[i] = length ? text[i % length] : 'u';
            break;
        }
        case 1: {  // the text and its terminator, 1 to 16 bytes past the end
            size_t past = room + 1 + r.Below(16);
            for (size_t i = 0; i < past; ++i)
                buf[i] = i < length ? text[i] : (i == length ? 0 : '~');
            break;
        }
        case 2:  // as much as fits, no terminator
            memcpy(buf, text, length < room ? length : room);
            break;
        default: {  // correct
            size_t n = length < room - 1 ? length : room - 1;
            memcpy(buf, text, n);
            buf[n] = 0;
            break;
        }
    }
    static const int32_t kAnswers[] = {0, -1, 1, 0x7FFFFFFF, INT32_MIN};
    if (r.OneIn(careless + 1)) return r.Pick(kAnswers);
    return static_cast<int32_t>(length < room ? length : room);
}

const char* VersionText(const Identity& id, Rng& r) {
    static const char* const kOdd[] = {"", "00", "00XN", "00IN1", "00in", "%s%s", "00AMX"};
    if (r.OneIn(24)) return r.Pick(kOdd);
    switch (id.kind) {
        case Kind::Image:
            return "00IN";
        case Kind::Archive:
            return "00AM";
        default:
            return r.OneIn(2) ? "00XN" : "XXXX";
    }
}

HLOCAL Block(const void* data, size_t size, UINT flags = LMEM_MOVEABLE) {
    HLOCAL h = LocalAlloc(flags | LMEM_ZEROINIT, size);
    if (!h || !size) return h;
    void* p = LocalLock(h);
    if (p && data) memcpy(p, data, size);
    LocalUnlock(h);
    return h;
}

// Writes 1 to 16 bytes past a record, once in eight calls.
void MaybeOverrun(Rng& r, void* record, size_t size) {
    if (!record || !r.OneIn(8)) return;
    memset(static_cast<char*>(record) + size, '~', 1 + r.Below(16));
}

// Calls the progress callback with values that make no sense; true when
// the call is to stop (the callback asked to, and the module listens).
bool Progress(Rng& r, ProgressCallback progress, intptr_t data) {
    if (!progress) {
        if (r.OneIn(40)) reinterpret_cast<ProgressCallback>(g_nowhere)(0, 1, data);
        return false;
    }
    static const int32_t kValues[] = {0, 1, 2, 7, 100, -1, -100, INT32_MAX, INT32_MIN, 65536};
    uint32_t calls = r.Below(7);
    bool stop = false;
    for (uint32_t i = 0; i < calls; ++i)
        stop |= progress(r.Pick(kValues), r.Pick(kValues), data) != 0;
    return stop && !r.OneIn(3);
}

}  // namespace

// --- identification ---------------------------------------------------------

SPI_EXPORT int32_t SPI_API GetPluginInfo(int32_t infono, LPSTR buf, int32_t buflen) {
    Identity id = Identify();
    // Identification is asked at every load: faults here are rarer than
    // elsewhere, so that most seeds get past loading.
    Identity calm = id;
    calm.faultOneIn = 0;
    calm.mayOversleep = false;
    Rng call = BeginCall(calm);
    if (id.faultOneIn && call.OneIn(id.faultOneIn * 4)) Fault(call);
    Rng r(Seed(), kInfoText + static_cast<uint32_t>(infono));
    if (infono < 0) return r.OneIn(4) ? WriteText(r, "negative", buf, buflen) : 0;
    // Most seeds write their version text well enough to be loaded.
    if (infono == 0) return WriteText(call, VersionText(id, r), buf, buflen, 12);
    if (infono == 1) return WriteText(call, DrawText(r, "Hostile plug-in"), buf, buflen);
    uint32_t filter = static_cast<uint32_t>(infono - 2);
    if (filter >= id.filters * 2 && !id.endlessInfo) return 0;
    const char* plain = filter % 2 == 0 ? "*.hst;*.hs2" : "Hostile format";
    return WriteText(call, DrawText(r, plain), buf, buflen);
}

SPI_EXPORT int32_t SPI_API IsSupported(LPCSTR filename, void* dw) {
    Identity id = Identify();
    Rng r = BeginCall(id);
    bool sane = Sane(r, id);
    (void)filename;
    if ((reinterpret_cast<uintptr_t>(dw) & ~static_cast<uintptr_t>(0xFFFF)) == 0) {
        char head[16];
        DWORD got = 0;
        ReadFile(static_cast<HANDLE>(dw), head, sizeof head, &got, nullptr);
    } else if (dw) {
        // Reads within the 2048 bytes it is given, no further.
        volatile unsigned sum = 0;
        const unsigned char* sample = static_cast<const unsigned char*>(dw);
        for (size_t i = 0, n = r.Below(SPI_SAMPLE_SIZE + 1); i < n; ++i) sum = sum + sample[i];
    }
    static const int32_t kAnswers[] = {0, 1, 1, 1, 1, 1, 2, -1, 0x7FFFFFFF, 0x100};
    return sane ? 1 : r.Pick(kAnswers);
}

SPI_EXPORT int32_t SPI_API ConfigurationDlg(HWND, int32_t) {
    Rng r = BeginCall(Identify());
    return ReturnCode(r);
}

// --- pictures ---------------------------------------------------------------

namespace {

const int32_t kExtents[] = {0,    1,     2,     3,      640,        -1,        -2,
                            -480, 65535, 65536, 100000, 0x7FFFFFFF, INT32_MIN, 0x10000000};

HLOCAL Comment(Rng& r) {
    switch (r.Below(6)) {
        case 0:
            return nullptr;
        case 1:
            return Block("a comment", 9);  // unterminated
        case 2:
            return Block(nullptr, 0);  // a zero-size block
        case 3:
            return Block(nullptr, 0, LMEM_FIXED);
        default: {
            const char* text = DrawText(r, "comment");
            return Block(text, strlen(text) + 1, r.OneIn(2) ? LMEM_FIXED : LMEM_MOVEABLE);
        }
    }
}

uint32_t Rows(int32_t height) {
    return height < 0 ? 0u - static_cast<uint32_t>(height) : static_cast<uint32_t>(height);
}

// The seed's picture as a well-made module returns it: a 40-byte header,
// the palette its depth needs, the pixels the header describes, progress
// from 0 to the row count. A cancel is obeyed.
int32_t SaneDecode(Rng& r, const Identity& id, HLOCAL* pHBInfo, HLOCAL* pHBm,
                   ProgressCallback progress, intptr_t data) {
    uint32_t rows = Rows(id.height);
    for (uint32_t row = 0; progress && row <= rows; row += 1 + r.Below(rows + 1)) {
        if (progress(static_cast<int32_t>(row), static_cast<int32_t>(rows), data)) return 1;
    }
    if (progress && progress(static_cast<int32_t>(rows), static_cast<int32_t>(rows), data))
        return 1;
    unsigned char info[40 + 4 * 256];
    BITMAPINFOHEADER h = {};
    h.biSize = sizeof h;
    h.biWidth = id.width;
    h.biHeight = id.height;
    h.biPlanes = 1;
    h.biBitCount = id.depth;
    uint32_t stride = (static_cast<uint32_t>(id.width) * id.depth + 31) / 32 * 4;
    h.biSizeImage = r.OneIn(2) ? 0 : stride * rows;
    size_t paletteSize = id.depth <= 8 ? 4u << id.depth : 0;
    memcpy(info, &h, sizeof h);
    for (size_t i = 0; i < paletteSize; ++i) info[sizeof h + i] = static_cast<unsigned char>(i * 7);
    std::unique_ptr<unsigned char[]> pixels(new unsigned char[stride * rows]);
    for (size_t i = 0; i < stride * rows; ++i) pixels[i] = static_cast<unsigned char>(r.Next());
    HLOCAL infoBlock = Block(info, sizeof h + paletteSize);
    HLOCAL bits = Block(pixels.get(), stride * rows);
    if (!infoBlock || !bits || !pHBInfo || !pHBm) {
        if (infoBlock) LocalFree(infoBlock);
        if (bits) LocalFree(bits);
        return 4;
    }
    *pHBInfo = infoBlock;
    *pHBm = bits;
    return 0;
}

// A bitmap header drawn from the extremes, and blocks that mostly do not
// hold what it promises.
int32_t Decode(Rng& r, HLOCAL* pHBInfo, HLOCAL* pHBm, ProgressCallback progress, intptr_t data,
               const Identity& id) {
    if (Sane(r, id)) return SaneDecode(r, id, pHBInfo, pHBm, progress, data);
    if (Progress(r, progress, data)) return 1;
    int32_t code = ReturnCode(r);
    if (code != 0 && !r.OneIn(6)) return code;

    static const uint32_t kHeaderSizes[] = {40, 40, 40, 12, 108, 124, 0, 39, 0xFFFFFFFF, 1000000};
    static const uint16_t kDepths[] = {1, 4, 8, 16, 24, 32, 0, 7, 0xFFFF, 24, 24};
    static const uint32_t kCompressions[] = {BI_RGB, BI_RGB, BI_RLE8, BI_RLE4, BI_BITFIELDS, 99};
    static const uint32_t kColours[] = {0, 0, 2, 16, 256, 257, 0xFFFFFFFF, 0x10000000, 0x40000001};
    static const uint32_t kImageSizes[] = {0, 0, 1, 4096, 0x7FFFFFFF, 0xFFFFFFFF};
    BITMAPINFOHEADER h = {};
    h.biSize = r.Pick(kHeaderSizes);
    h.biWidth = r.OneIn(3) ? 1 + r.Below(64) : r.Pick(kExtents);
    h.biHeight = r.OneIn(3) ? 1 + r.Below(64) : r.Pick(kExtents);
    h.biPlanes = r.OneIn(8) ? 0 : 1;
    h.biBitCount = r.Pick(kDepths);
    h.biCompression = r.Pick(kCompressions);
    h.biSizeImage = r.Pick(kImageSizes);
    h.biClrUsed = r.Pick(kColours);

    // The info block: the header cut short, the header alone, or the
    // header with a palette of some length.
    static const size_t kInfoSizes[] = {1,  8,      12,      39,        40,
                                        40, 40 + 8, 40 + 64, 40 + 1024, 40 + 1025};
    size_t infoSize = r.Pick(kInfoSizes);
    unsigned char info[40 + 1025];
    memset(info, 0x5A, sizeof info);
    memcpy(info, &h, infoSize < sizeof h ? infoSize : sizeof h);

    // The pixel block: mostly far smaller than promised.
    uint64_t stride =
        ((static_cast<uint64_t>(h.biWidth < 0 ? -static_cast<int64_t>(h.biWidth) : h.biWidth) *
              h.biBitCount +
          31) /
         32) *
        4;
    uint64_t rows = h.biHeight < 0 ? -static_cast<int64_t>(h.biHeight) : h.biHeight;
    uint64_t promised = stride * rows;
    size_t bitsSize;
    switch (r.Below(6)) {
        case 0:
            bitsSize = 0;
            break;
        case 1:
            bitsSize = 1;
            break;
        case 2:
            bitsSize = 4096;
            break;
        case 3:
            bitsSize =
                promised > 0 && promised <= (1u << 22) ? static_cast<size_t>(promised - 1) : 16;
            break;
        default:
            bitsSize = promised <= (1u << 22) ? static_cast<size_t>(promised) : 64;
            break;
    }
    UINT flags = r.OneIn(3) ? LMEM_FIXED : LMEM_MOVEABLE;
    HLOCAL infoBlock = r.OneIn(16) ? nullptr : Block(info, infoSize, flags);
    HLOCAL bits = r.OneIn(16) ? nullptr : Block(nullptr, bitsSize, flags);
    if (pHBInfo)
        *pHBInfo = infoBlock;
    else if (infoBlock)
        LocalFree(infoBlock);
    if (pHBm)
        *pHBm = bits;
    else if (bits)
        LocalFree(bits);
    return code;
}

}  // namespace

SPI_EXPORT int32_t SPI_API GetPictureInfo(LPCSTR buf, intptr_t len, uint32_t flag,
                                          PictureInfo* lpInfo) {
    Identity id = Identify();
    Rng r = BeginCall(id);
    (void)buf, (void)len, (void)flag;
    if (Sane(r, id)) {
        if (!lpInfo) return 8;
        PictureInfo info = {};
        info.width = id.width;
        info.height = static_cast<int32_t>(Rows(id.height));
        info.x_density = info.y_density = 72;
        info.colorDepth = static_cast<int16_t>(id.depth);
        const char* text = r.OneIn(2) ? nullptr : DrawText(r, "a comment");
        info.hInfo = text ? Block(text, strlen(text) + 1) : nullptr;
        *lpInfo = info;
        return 0;
    }
    int32_t code = ReturnCode(r);
    if (code != 0 && !r.OneIn(4)) return code;
    static const int16_t kDepths[] = {1, 4, 8, 24, 32, 0, -1, 999, 0x7FFF, INT16_MIN};
    static const uint16_t kDensities[] = {0, 72, 96, 0xFFFF};
    PictureInfo info = {};
    info.left = r.Pick(kExtents);
    info.top = r.Pick(kExtents);
    info.width = r.OneIn(2) ? 1 + r.Below(64) : r.Pick(kExtents);
    info.height = r.OneIn(2) ? 1 + r.Below(64) : r.Pick(kExtents);
    info.x_density = r.Pick(kDensities);
    info.y_density = r.Pick(kDensities);
    info.colorDepth = r.Pick(kDepths);
    info.hInfo = Comment(r);
    if (lpInfo)
        *lpInfo = info;
    else if (info.hInfo)
        LocalFree(info.hInfo);
    MaybeOverrun(r, lpInfo, sizeof *lpInfo);
    return code;
}

SPI_EXPORT int32_t SPI_API GetPicture(LPCSTR buf, intptr_t len, uint32_t flag, HLOCAL* pHBInfo,
                                      HLOCAL* pHBm, ProgressCallback progress, intptr_t data) {
    Identity id = Identify();
    Rng r = BeginCall(id);
    (void)buf, (void)len, (void)flag;
    return Decode(r, pHBInfo, pHBm, progress, data, id);
}

SPI_EXPORT int32_t SPI_API GetPreview(LPCSTR buf, intptr_t len, uint32_t flag, HLOCAL* pHBInfo,
                                      HLOCAL* pHBm, ProgressCallback progress, intptr_t data) {
    Identity id = Identify();
    Rng r = BeginCall(id);
    (void)buf, (void)len, (void)flag;
    if (r.OneIn(4)) return -1;
    return Decode(r, pHBInfo, pHBm, progress, data, id);
}

// --- archives ---------------------------------------------------------------

namespace {

// Member names a host must not take as paths: up and out of a folder,
// rooted, on a drive, on a share, devices, empty, dots, characters Windows
// refuses, double-byte trail bytes that look like "\", twins.
const char* const kNames[] = {
    "spihostile-plain.txt",
    "..\\spihostile-up.txt",
    "..\\..\\..\\spihostile-up3.txt",
    "sub\\..\\..\\spihostile-dotdot.txt",
    "sub/../../spihostile-slash.txt",
    "C:\\spihostile-absolute.txt",
    "C:spihostile-drive.txt",
    "\\spihostile-rooted.txt",
    "/spihostile-rooted2.txt",
    "\\\\server\\share\\spihostile-unc.txt",
    "\\\\?\\C:\\spihostile-long.txt",
    "CON",
    "NUL",
    "nul.txt",
    "COM1",
    "LPT1.log",
    "AUX",
    "",
    ".",
    "..",
    "a<b>c|d?*.txt",
    "spihostile-trail. ",
    "spihostile-\x82",
    "\x95\x5c..\\spihostile-trail.txt",
    "%s%n%x",
    "spihostile-twin.txt",
    "spihostile-twin.txt",
};

const char* const kPaths[] = {"", "", "", "sub\\", "..\\..\\", "C:\\", "\\", "sub/../../"};

void FillName(Rng& r, char* field, size_t size) {
    memset(field, 0, size);
    switch (r.Below(10)) {
        case 0:  // unterminated, the whole field
            memset(field, 'n', size);
            memcpy(field, "spihostile-", 11);
            break;
        case 1:  // very long, terminated at the end of the field
            memset(field, 'l', size - 1);
            memcpy(field, "spihostile-", 11);
            break;
        default: {
            const char* name = r.Pick(kNames);
            memcpy(field, name, strlen(name) + 1);
            break;
        }
    }
}

void DrawRecord(Rng& r, fileInfo* f) {
    static const uintptr_t kSizes[] = {
        0, 1, 10, 512, 4096, 0x7FFFFFFF, ~static_cast<uintptr_t>(0), 0x10000000, 12};
    static const SpiTimestamp kTimes[] = {
        0,
        1000000000,
        static_cast<SpiTimestamp>(-1),
        static_cast<SpiTimestamp>(INT32_MIN),
        static_cast<SpiTimestamp>(INT32_MAX),
        static_cast<SpiTimestamp>(~static_cast<uint64_t>(0) >> 1)};
    memset(f, 0, sizeof *f);
    if (r.OneIn(4))
        memcpy(f->method, "HOSTILE!", 8);  // unterminated
    else
        memcpy(f->method, "hst", 3);
    f->position = r.Pick(kSizes);
    f->compsize = r.Pick(kSizes);
    f->filesize = r.OneIn(2) ? r.Below(64) : r.Pick(kSizes);
    f->timestamp = r.Pick(kTimes);
    if (r.OneIn(8)) {
        memset(f->path, 'p', sizeof f->path);
    } else {
        const char* path = r.Pick(kPaths);
        memcpy(f->path, path, strlen(path) + 1);
    }
    FillName(r, f->filename, sizeof f->filename);
    f->crc = static_cast<uint32_t>(r.Next());
}

// Member i of the seed's archive as well-made calls list it: the same in
// every call, sizes and positions that fit, the name from the hostile set.
constexpr uintptr_t kSaneSpacing = 100;

uintptr_t SaneSize(uint32_t i) { return 3 + 5 * i; }

void SaneMember(uint32_t i, fileInfo* f) {
    Rng r(Seed(), kMembers + i);
    memset(f, 0, sizeof *f);
    memcpy(f->method, "hst", 3);
    f->position = kSaneSpacing * (i + 1);
    f->compsize = f->filesize = SaneSize(i);
    f->timestamp = 1000000000 + 86400 * i;
    FillName(r, f->filename, sizeof f->filename - 1);
    f->crc = static_cast<uint32_t>(r.Next());
}

}  // namespace

SPI_EXPORT int32_t SPI_API GetArchiveInfo(LPCSTR buf, intptr_t len, uint32_t flag, HLOCAL* lphInf) {
    Identity id = Identify();
    Rng r = BeginCall(id);
    (void)buf, (void)len, (void)flag;
    if (Sane(r, id)) {
        if (!lphInf) return 8;
        std::unique_ptr<fileInfo[]> records(new fileInfo[id.members + 1]);
        for (uint32_t i = 0; i < id.members; ++i) SaneMember(i, &records[i]);
        memset(&records[id.members], 0, sizeof(fileInfo));
        *lphInf = Block(records.get(), (id.members + 1) * sizeof(fileInfo));
        return *lphInf ? 0 : 4;
    }
    int32_t code = ReturnCode(r);
    if (code != 0 && !r.OneIn(6)) return code;
    uint32_t count = r.OneIn(10) ? 40 : r.Below(7);
    bool ended = !r.OneIn(3);
    // Odd sizes: a few bytes more, or the last record cut short.
    static const int32_t kExtra[] = {0,  0,  0,    1,
                                     17, -1, -100, static_cast<int32_t>(sizeof(fileInfo)) - 1};
    int64_t size =
        static_cast<int64_t>(count + (ended ? 1 : 0)) * sizeof(fileInfo) + r.Pick(kExtra);
    if (size < 0) size = 0;
    HLOCAL list = r.OneIn(16)
                      ? nullptr
                      : LocalAlloc(LMEM_MOVEABLE | LMEM_ZEROINIT, static_cast<size_t>(size));
    if (list && size > 0) {
        unsigned char* p = static_cast<unsigned char*>(LocalLock(list));
        for (uint32_t i = 0; p && i < count; ++i) {
            fileInfo f;
            DrawRecord(r, &f);
            size_t at = i * sizeof f;
            if (at >= static_cast<size_t>(size)) break;
            size_t n = static_cast<size_t>(size) - at;
            memcpy(p + at, &f, n < sizeof f ? n : sizeof f);
        }
        LocalUnlock(list);
    }
    if (lphInf)
        *lphInf = list;
    else if (list)
        LocalFree(list);
    return code;
}

SPI_EXPORT int32_t SPI_API GetFileInfo(LPCSTR buf, intptr_t len, LPCSTR filename, uint32_t flag,
                                       fileInfo* lpInfo) {
    Identity id = Identify();
    Rng r = BeginCall(id);
    (void)buf, (void)len, (void)flag;
    if (Sane(r, id)) {
        for (uint32_t i = 0; filename && lpInfo && i < id.members; ++i) {
            SaneMember(i, lpInfo);
            if (strcmp(lpInfo->filename, filename) == 0) return 0;
        }
        return 8;
    }
    int32_t code = ReturnCode(r);
    if (code != 0 && !r.OneIn(4)) return code;
    if (lpInfo) DrawRecord(r, lpInfo);
    MaybeOverrun(r, lpInfo, sizeof *lpInfo);
    return code;
}

SPI_EXPORT int32_t SPI_API GetFile(LPCSTR src, intptr_t len, LPSTR dest, uint32_t flag,
                                   ProgressCallback progress, intptr_t data) {
    Identity id = Identify();
    Rng r = BeginCall(id);
    (void)src;
    int32_t code = 0;
    size_t size = 0;
    bool sane = Sane(r, id);
    if (sane) {
        // A member of the list by its position; from memory, the first.
        uintptr_t at = static_cast<uintptr_t>(len);
        uint32_t i = at % kSaneSpacing == 0 && at / kSaneSpacing >= 1 &&
                             at / kSaneSpacing <= id.members && (flag & SPI_INPUT_MASK) == 0
                         ? static_cast<uint32_t>(at / kSaneSpacing - 1)
                         : 0;
        size = SaneSize(i);
        if (progress && (progress(0, static_cast<int32_t>(size), data) ||
                         progress(static_cast<int32_t>(size), static_cast<int32_t>(size), data)))
            return 1;
    } else {
        if (Progress(r, progress, data)) return 1;
        code = ReturnCode(r);
        if (code != 0 && !r.OneIn(6)) return code;
        static const size_t kSizes[] = {0, 1, 10, 11, 100, 4096, 65536};
        size = r.Pick(kSizes);
    }
    if (flag & SPI_OUTPUT_MEMORY) {
        // Now and then it answers without handing back a block at all.
        if (dest && (sane || !r.OneIn(10))) {
            HLOCAL h = Block(nullptr, size, r.OneIn(3) ? LMEM_FIXED : LMEM_MOVEABLE);
            if (h && size) {
                void* p = LocalLock(h);
                if (p) memset(p, 'm', size);
                LocalUnlock(h);
            }
            *reinterpret_cast<HLOCAL*>(dest) = h;
        }
        return code;
    }
    // Into the folder it is given, under a plain name of its own.
    if (!dest || strlen(dest) > MAX_PATH - 40) return code;
    char path[MAX_PATH];
    snprintf(path, sizeof path, "%s\\spihostile-member-%lld.bin", dest,
             static_cast<long long>(len));
    HANDLE file = CreateFileA(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (file != INVALID_HANDLE_VALUE) {
        static const char kBytes[64] = "member bytes";
        DWORD wrote = 0;
        WriteFile(file, kBytes, static_cast<DWORD>(size < sizeof kBytes ? size : sizeof kBytes),
                  &wrote, nullptr);
        CloseHandle(file);
    }
    return code;
}
