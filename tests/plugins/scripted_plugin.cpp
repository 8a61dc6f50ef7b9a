// A plug-in whose every answer is scripted through environment variables,
// so one DLL serves end-to-end runs of spiprobe (variables inherited by the
// child process) and in-process library tests (SetEnvironmentVariable
// before the call). The script is read afresh on every call, so it
// survives the module being loaded and released around each call.
//
// A key K is looked up as SPITEST_<module base name>_K first, then as
// SPITEST_K, so copies of this DLL under other names (alpha.spi,
// beta.spi) can be scripted separately in one process.
//
// Keys (all optional):
//   VERSION          info 0 text (default "00IN")
//   ABOUT            info 1 text (default "Scripted test plug-in")
//   INFO<n>          text for info number n >= 2; "@empty" answers non-zero
//                    and writes nothing; unset answers 0
//   INFO_FOREVER     any value: every number >= 2 answers non-zero
//   INFO_UNTERMINATED  any value: texts are copied without a terminator,
//                    filling the whole buffer
//   INFO_FAULT       fault (kinds as FAULT_) on every info number >= 2
//                    asked with a buffer of 2048 bytes or more (spiprobe's
//                    -i report; loading asks with smaller buffers)
//   RESULT_<Export>  the export's return value (after doing its work)
//   FAULT_<Export>   fault inside the export: avread, avwrite, avnull,
//                    div0, ud2, int3, priv, stack, raise:<hex code>, and
//                    in the x64 build throw (a C++ exception escapes)
//   SELFCATCH_<Export>  fault and catch it inside the module: badptr
//                    (IsBadReadPtr on a bad address) or frame (own handler)
//   FAULT_DETACH     fault (as above) when the module is unloaded
//   ACCEPT           IsSupported: "always" (default), "never",
//                    "magic:<text>": the data must begin with the text
//   PICINFO          left,top,width,height,xdensity,ydensity,depth
//   COMMENT          comment text returned through hInfo
//   COMMENT_FORM     "noterminator": the block holds the text only;
//                    "discarded": hInfo is a zero-size block that cannot
//                    be locked
//   BIH              biSize,biSizeImage,biClrUsed,biWidth,biHeight,biPlanes,
//                    biBitCount,biXPelsPerMeter,biYPelsPerMeter
//   INFO_BLOCK_SIZE  the decoded picture's info block holds only this many
//                    bytes of its header
//   PROGRESS         "n/d,n/d,...": callback calls made while decoding or
//                    extracting; a non-zero answer ends the call with 1
//   MEMBERS          archive list: records joined by "|", each
//                    method,position,compsize,filesize,timestamp,path,
//                    filename,crc,getfileresult
//   LIST             "none": GetArchiveInfo hands back no list;
//                    "noterminator": the block ends after the last record;
//                    "fill": method, path and filename fill their fields
//                    without a terminator;
//                    "discarded": the list handle is a zero-size block
//                    that cannot be locked
//   ARCHIVE_SIZE     GetFile from memory: the archive's size, so the
//                    member is the one at position ARCHIVE_SIZE - len
//                    (unset: the first member)
//   OVERRUN          n: GetPluginInfo and GetPictureInfo write n bytes
//                    ('~') past the buffer or record they were given, after
//                    their answer
//   LOG              file that every call appends a line to
//   DUMP_SAMPLE      file that IsSupported writes the 2048 bytes it was
//                    given to (memory form), or "handle at <pos>"
#include <windows.h>

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "fault_guard.h"
#include "spi_api.h"
#include "win32_handles.h"

namespace {

HINSTANCE g_instance;

std::string ModuleBaseName() {
    char path[MAX_PATH] = {};
    GetModuleFileNameA(g_instance, path, sizeof path);
    const char* base = path;
    for (const char* p = path; *p; ++p)
        if (*p == '\\' || *p == '/') base = p + 1;
    std::string name(base);
    size_t dot = name.rfind('.');
    if (dot != std::string::npos) name.resize(dot);
    return name;
}

bool ReadVariable(const std::string& name, std::string* value) {
    char buffer[8192];
    SetLastError(0);
    DWORD n = GetEnvironmentVariableA(name.c_str(), buffer, sizeof buffer);
    if (n == 0 && GetLastError() == ERROR_ENVVAR_NOT_FOUND) return false;
    if (n >= sizeof buffer) return false;
    value->assign(buffer, n);
    return true;
}

bool Script(const char* key, std::string* value) {
    return ReadVariable("SPITEST_" + ModuleBaseName() + "_" + key, value) ||
           ReadVariable(std::string("SPITEST_") + key, value);
}

std::string ScriptOr(const char* key, const char* fallback) {
    std::string value;
    return Script(key, &value) ? value : std::string(fallback);
}

std::vector<std::string> Split(const std::string& text, char separator) {
    std::vector<std::string> parts;
    size_t start = 0;
    for (;;) {
        size_t end = text.find(separator, start);
        parts.push_back(text.substr(start, end - start));
        if (end == std::string::npos) return parts;
        start = end + 1;
    }
}

void Log(const char* format, ...) {
    std::string path;
    if (!Script("LOG", &path)) return;
    FILE* f = fopen(path.c_str(), "ab");
    if (!f) return;
    va_list args;
    va_start(args, format);
    vfprintf(f, format, args);
    va_end(args);
    fputc('\n', f);
    fclose(f);
}

// --- faults -------------------------------------------------------------

volatile int g_depthLimit = 0x7FFFFFFF;  // never reached: the stack ends first
// Addresses kept in volatile globals so the compiler cannot see the fault.
volatile uintptr_t g_nullAddress = 0;
volatile uintptr_t g_lowAddress = 0x10;
volatile uintptr_t g_wildAddress = 0x7FFF0000;

__attribute__((noinline)) int Recurse(volatile char* previous, int depth) {
    volatile char block[4096];
    block[0] = previous ? previous[0] : 1;
    if (depth >= g_depthLimit) return block[0];
    return Recurse(block, depth + 1) + block[0];
}

void CopyField(void* field, size_t size, const std::string& text) {
    memset(field, 0, size);
    memcpy(field, text.data(), text.size() < size ? text.size() : size);
}

void RaiseFault(const std::string& kind) {
    if (kind == "avread") {
        volatile int* p = reinterpret_cast<volatile int*>(g_lowAddress);
        (void)*p;
    } else if (kind == "avwrite") {
        volatile int* p = reinterpret_cast<volatile int*>(g_wildAddress);
        *p = 1;
    } else if (kind == "avnull") {
        volatile int* p = reinterpret_cast<volatile int*>(g_nullAddress);
        *p = 1;
    } else if (kind == "div0") {
        asm volatile("xorl %%ecx, %%ecx\n\tmovl $1, %%eax\n\tcltd\n\tidivl %%ecx"
                     : : : "eax", "ecx", "edx");
    } else if (kind == "ud2") {
        asm volatile("ud2");
    } else if (kind == "int3") {
        asm volatile("int3");
    } else if (kind == "priv") {
        asm volatile("hlt");
    } else if (kind == "stack") {
        Recurse(nullptr, 0);
    } else if (kind.compare(0, 6, "raise:") == 0) {
        RaiseException(strtoul(kind.c_str() + 6, nullptr, 16), 0, 0, nullptr);
#if defined(__x86_64__)
    } else if (kind == "throw") {
        // Escapes the export: on x64 it becomes an SEH exception a host can
        // catch; a 32-bit GCC module would end the process instead.
        throw std::runtime_error("escaping the module");
#endif
    }
}

void FaultBody(void* kind) { RaiseFault(*static_cast<std::string*>(kind)); }

// Runs the scripted fault or self-caught fault of one export.
void Misbehave(const char* exportName) {
    std::string kind;
    if (Script((std::string("SELFCATCH_") + exportName).c_str(), &kind)) {
        if (kind == "badptr") {
            BOOL bad = IsBadReadPtr(reinterpret_cast<void*>(0x00000020), 4);
            Log("%s selfcatch badptr=%d", exportName, bad);
        } else {
            std::string fault = "avread";
            bool completed = RunGuarded(FaultBody, &fault);
            Log("%s selfcatch frame completed=%d", exportName, completed);
        }
    }
    if (Script((std::string("FAULT_") + exportName).c_str(), &kind)) RaiseFault(kind);
}

// The first steps of an export called on a source: the call logged (the
// source's name, or "memory"), then its scripted misbehaviour.
void Enter(const char* exportName, LPCSTR source, intptr_t len, uint32_t flag) {
    Log("%s(%s,%lld,%u)", exportName, (flag & 7) ? "memory" : source, static_cast<long long>(len),
        flag);
    Misbehave(exportName);
}

int32_t Result(const char* exportName, int32_t fallback) {
    std::string value;
    if (!Script((std::string("RESULT_") + exportName).c_str(), &value)) return fallback;
    return static_cast<int32_t>(strtol(value.c_str(), nullptr, 0));
}

// Calls the scripted progress steps; true when the callback asked to stop.
bool Progress(ProgressCallback callback, intptr_t data) {
    std::string steps;
    if (!callback || !Script("PROGRESS", &steps) || steps.empty()) return false;
    for (const std::string& step : Split(steps, ',')) {
        int32_t n = 0, d = 0;
        sscanf(step.c_str(), "%d/%d", &n, &d);
        if (callback(n, d, data) != 0) return true;
    }
    return false;
}

HLOCAL AllocCopy(const void* data, size_t size) {
    HLOCAL h = LocalAlloc(LMEM_MOVEABLE, size ? size : 1);
    if (!h) return nullptr;
    LocalLockScope block(h);
    if (size) memcpy(block.data(), data, size);
    return h;
}

struct Member {
    fileInfo info;
    int32_t getFileResult;
};

std::vector<Member> Members() {
    std::vector<Member> members;
    std::string text;
    if (!Script("MEMBERS", &text) || text.empty()) return members;
    bool fill = ScriptOr("LIST", "") == "fill";
    for (const std::string& record : Split(text, '|')) {
        std::vector<std::string> f = Split(record, ',');
        f.resize(9);
        Member m;
        memset(&m, 0, sizeof m);
        CopyField(m.info.method, sizeof m.info.method, f[0]);
        m.info.position = static_cast<uintptr_t>(strtoull(f[1].c_str(), nullptr, 0));
        m.info.compsize = static_cast<uintptr_t>(strtoull(f[2].c_str(), nullptr, 0));
        m.info.filesize = static_cast<uintptr_t>(strtoull(f[3].c_str(), nullptr, 0));
        m.info.timestamp = static_cast<SpiTimestamp>(strtoll(f[4].c_str(), nullptr, 0));
        CopyField(m.info.path, sizeof m.info.path, f[5]);
        CopyField(m.info.filename, sizeof m.info.filename, f[6]);
        m.info.crc = strtoul(f[7].c_str(), nullptr, 0);
        m.getFileResult = f[8].empty() ? 0 : static_cast<int32_t>(strtol(f[8].c_str(), nullptr, 0));
        if (fill) {
            memset(m.info.method, 'M', sizeof m.info.method);
            memset(m.info.path, 'P', sizeof m.info.path);
            memset(m.info.filename, 'F', sizeof m.info.filename);
        }
        members.push_back(m);
    }
    return members;
}

// The bytes a member extracts to: its name repeated up to its size, at
// most 64 KiB so that members claiming huge sizes stay cheap.
[[maybe_unused]] std::string MemberContent(const fileInfo& info) {
    std::string content;
    size_t size = info.filesize < 65536 ? info.filesize : 65536;
    std::string seed = std::string(info.filename, strnlen(info.filename, sizeof info.filename));
    if (seed.empty()) seed = "x";
    while (content.size() < size) content += seed;
    content.resize(size);
    return content;
}

}  // namespace

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) g_instance = instance;
    if (reason == DLL_PROCESS_DETACH) {
        std::string kind;
        if (Script("FAULT_DETACH", &kind)) RaiseFault(kind);
    }
    return TRUE;
}

namespace {

// Writes OVERRUN bytes just past a buffer of size bytes.
[[maybe_unused]] void Overrun(void* buffer, int32_t size) {
    int n = atoi(ScriptOr("OVERRUN", "0").c_str());
    if (n > 0 && size >= 0) memset(static_cast<char*>(buffer) + size, '~', n);
}

// The answer of GetPluginInfo before any overrun.
[[maybe_unused]] int32_t PluginInfo(int32_t infono, LPSTR buf, int32_t buflen);

}  // namespace

#ifndef OMIT_GetPluginInfo
SPI_EXPORT int32_t SPI_API GetPluginInfo(int32_t infono, LPSTR buf, int32_t buflen) {
    int32_t result = PluginInfo(infono, buf, buflen);
    if (result != 0) Overrun(buf, buflen);
    return result;
}
#endif

namespace {

[[maybe_unused]] int32_t PluginInfo(int32_t infono, LPSTR buf, int32_t buflen) {
    Log("GetPluginInfo(%d,%d)", infono, buflen);
    Misbehave("GetPluginInfo");
    std::string text;
    bool answer;
    if (infono >= 2 && buflen >= 2048) {
        std::string fault;
        if (Script("INFO_FAULT", &fault)) RaiseFault(fault);
    }
    if (infono == 0) {
        text = ScriptOr("VERSION", "00IN");
        answer = true;
    } else if (infono == 1) {
        text = ScriptOr("ABOUT", "Scripted test plug-in");
        answer = Result("GetPluginInfo1", 1) != 0;
    } else {
        char key[32];
        snprintf(key, sizeof key, "INFO%d", infono);
        answer = Script(key, &text);
        if (!answer && Script("INFO_FOREVER", &text)) {
            text = (infono % 2 == 0) ? "*.x" : "X";
            answer = true;
        }
    }
    if (!answer) return 0;
    if (text == "@empty") return 1;
    if (buflen <= 0) return 0;
    std::string raw;
    if (Script("INFO_UNTERMINATED", &raw)) {
        // Fill the whole buffer with the text repeated, no terminator.
        for (int32_t i = 0; i < buflen; ++i) buf[i] = text.empty() ? 'x' : text[i % text.size()];
        return buflen;
    }
    size_t n = text.size() < static_cast<size_t>(buflen - 1) ? text.size() : buflen - 1;
    memcpy(buf, text.data(), n);
    buf[n] = 0;
    return static_cast<int32_t>(n ? n : 1);
}

}  // namespace

#ifndef OMIT_IsSupported
SPI_EXPORT int32_t SPI_API IsSupported(LPCSTR filename, void* dw) {
    Misbehave("IsSupported");
    bool isHandle = reinterpret_cast<uintptr_t>(dw) < 0x10000;
    char data[2048] = {};
    std::string dump;
    if (isHandle) {
        HANDLE h = static_cast<HANDLE>(dw);
        DWORD pos = SetFilePointer(h, 0, nullptr, FILE_CURRENT);
        Log("IsSupported(%s,handle@%lu)", filename, pos);
        if (Script("DUMP_SAMPLE", &dump)) {
            FILE* f = fopen(dump.c_str(), "ab");
            if (f) {
                fprintf(f, "handle at %lu\n", pos);
                fclose(f);
            }
        }
        DWORD got = 0;
        ReadFile(h, data, sizeof data, &got, nullptr);
    } else {
        memcpy(data, dw, sizeof data);
        Log("IsSupported(%s,memory)", filename);
        if (Script("DUMP_SAMPLE", &dump)) {
            FILE* f = fopen(dump.c_str(), "ab");
            if (f) {
                fwrite(data, 1, sizeof data, f);
                fclose(f);
            }
        }
    }
    std::string accept = ScriptOr("ACCEPT", "always");
    int32_t answer = 1;
    if (accept == "never") {
        answer = 0;
    } else if (accept.compare(0, 6, "magic:") == 0) {
        std::string magic = accept.substr(6);
        answer = memcmp(data, magic.data(), magic.size() < 2048 ? magic.size() : 2048) == 0;
    }
    return Result("IsSupported", answer);
}
#endif

#ifndef OMIT_GetPictureInfo
SPI_EXPORT int32_t SPI_API GetPictureInfo(LPCSTR buf, intptr_t len, uint32_t flag,
                                          PictureInfo* lpInfo) {
    Enter("GetPictureInfo", buf, len, flag);
    int v[7] = {0, 0, 16, 8, 72, 72, 24};
    sscanf(ScriptOr("PICINFO", "").c_str(), "%d,%d,%d,%d,%d,%d,%d", &v[0], &v[1], &v[2], &v[3],
           &v[4], &v[5], &v[6]);
    lpInfo->left = v[0];
    lpInfo->top = v[1];
    lpInfo->width = v[2];
    lpInfo->height = v[3];
    lpInfo->x_density = static_cast<uint16_t>(v[4]);
    lpInfo->y_density = static_cast<uint16_t>(v[5]);
    lpInfo->colorDepth = static_cast<int16_t>(v[6]);
    std::string comment;
    std::string form = ScriptOr("COMMENT_FORM", "");
    if (!Script("COMMENT", &comment))
        lpInfo->hInfo = nullptr;
    else if (form == "discarded")
        lpInfo->hInfo = LocalAlloc(LMEM_MOVEABLE, 0);
    else
        lpInfo->hInfo =
            AllocCopy(comment.c_str(), comment.size() + (form == "noterminator" ? 0 : 1));
    if (lpInfo->hInfo) Log("comment handle %p", lpInfo->hInfo);
    Overrun(lpInfo, sizeof *lpInfo);
    return Result("GetPictureInfo", 0);
}
#endif

namespace {

int32_t Decode(const char* exportName, LPCSTR buf, intptr_t len, uint32_t flag, HLOCAL* pHBInfo,
               HLOCAL* pHBm, ProgressCallback progress, intptr_t data) {
    Log("%s(%s,%lld,%u,callback=%d)", exportName, (flag & 7) ? "memory" : buf,
        static_cast<long long>(len), flag, progress != nullptr);
    Misbehave(exportName);
    if (Progress(progress, data)) return 1;
    int32_t code = Result(exportName, 0);
    if (code != 0) return code;
    int v[9] = {40, 384, 0, 16, 8, 1, 24, 2835, 2835};
    sscanf(ScriptOr("BIH", "").c_str(), "%d,%d,%d,%d,%d,%d,%d,%d,%d", &v[0], &v[1], &v[2], &v[3],
           &v[4], &v[5], &v[6], &v[7], &v[8]);
    BITMAPINFOHEADER header = {};
    header.biSize = v[0];
    header.biSizeImage = v[1];
    header.biClrUsed = v[2];
    header.biWidth = v[3];
    header.biHeight = v[4];
    header.biPlanes = static_cast<WORD>(v[5]);
    header.biBitCount = static_cast<WORD>(v[6]);
    header.biXPelsPerMeter = v[7];
    header.biYPelsPerMeter = v[8];
    std::vector<char> pixels(v[1] > 0 && v[1] < (1 << 24) ? v[1] : 1, 0x55);
    size_t infoSize = sizeof header;
    std::string limit;
    if (Script("INFO_BLOCK_SIZE", &limit)) {
        size_t wanted = strtoul(limit.c_str(), nullptr, 0);
        if (wanted < infoSize) infoSize = wanted;
    }
    *pHBInfo = AllocCopy(&header, infoSize);
    *pHBm = AllocCopy(pixels.data(), pixels.size());
    Log("picture handles %p %p", *pHBInfo, *pHBm);
    return 0;
}

}  // namespace

#ifndef OMIT_GetPicture
SPI_EXPORT int32_t SPI_API GetPicture(LPCSTR buf, intptr_t len, uint32_t flag, HLOCAL* pHBInfo,
                                      HLOCAL* pHBm, ProgressCallback progress, intptr_t data) {
    return Decode("GetPicture", buf, len, flag, pHBInfo, pHBm, progress, data);
}
#endif

#ifndef OMIT_GetPreview
SPI_EXPORT int32_t SPI_API GetPreview(LPCSTR buf, intptr_t len, uint32_t flag, HLOCAL* pHBInfo,
                                      HLOCAL* pHBm, ProgressCallback progress, intptr_t data) {
    return Decode("GetPreview", buf, len, flag, pHBInfo, pHBm, progress, data);
}
#endif

#ifndef OMIT_GetArchiveInfo
SPI_EXPORT int32_t SPI_API GetArchiveInfo(LPCSTR buf, intptr_t len, uint32_t flag,
                                          HLOCAL* lphInf) {
    Enter("GetArchiveInfo", buf, len, flag);
    std::string list = ScriptOr("LIST", "");
    int32_t code = Result("GetArchiveInfo", 0);
    if (list == "none") return code ? code : 2;
    if (list == "discarded") {
        *lphInf = LocalAlloc(LMEM_MOVEABLE, 0);
        Log("list handle %p", *lphInf);
        return code;
    }
    std::vector<Member> members = Members();
    std::vector<fileInfo> records;
    for (const Member& m : members) records.push_back(m.info);
    if (list != "noterminator") records.push_back(fileInfo{});
    *lphInf = AllocCopy(records.data(), records.size() * sizeof(fileInfo));
    Log("list handle %p", *lphInf);
    return code;
}
#endif

#ifndef OMIT_GetFileInfo
SPI_EXPORT int32_t SPI_API GetFileInfo(LPCSTR buf, intptr_t len, LPCSTR filename, uint32_t flag,
                                       fileInfo* lpInfo) {
    Log("GetFileInfo(%s,%lld,%s,%u)", (flag & 7) ? "memory" : buf, static_cast<long long>(len),
        filename, flag);
    Misbehave("GetFileInfo");
    for (const Member& m : Members()) {
        std::string full = std::string(m.info.path) + m.info.filename;
        bool match = (flag & 0x80) ? _stricmp(full.c_str(), filename) == 0
                                   : strcmp(full.c_str(), filename) == 0;
        if (match) {
            *lpInfo = m.info;
            return Result("GetFileInfo", 0);
        }
    }
    return Result("GetFileInfo", 8);
}
#endif

#ifndef OMIT_GetFile
SPI_EXPORT int32_t SPI_API GetFile(LPCSTR src, intptr_t len, LPSTR dest, uint32_t flag,
                                   ProgressCallback progress, intptr_t data) {
    Enter("GetFile", src, len, flag);
    // The member is the one whose position the length argument names: the
    // offset for a file source, and for memory the bytes left after it.
    std::vector<Member> members = Members();
    const Member* found = nullptr;
    std::string sizeText;
    bool sized = Script("ARCHIVE_SIZE", &sizeText);
    uintptr_t archiveSize =
        sized ? static_cast<uintptr_t>(strtoull(sizeText.c_str(), nullptr, 0)) : 0;
    for (const Member& m : members) {
        if ((flag & 7) == 0 && m.info.position == static_cast<uintptr_t>(len)) found = &m;
        if ((flag & 7) != 0 && found == nullptr && !sized) found = &m;
        if ((flag & 7) != 0 && sized && m.info.position == archiveSize - static_cast<uintptr_t>(len))
            found = &m;
    }
    if (!found) return Result("GetFile", 8);
    if (Progress(progress, data)) return 1;
    if (found->getFileResult != 0) return found->getFileResult;
    std::string content = MemberContent(found->info);
    if (flag & SPI_OUTPUT_MEMORY) {
        HLOCAL h = AllocCopy(content.data(), content.size());
        *reinterpret_cast<HLOCAL*>(dest) = h;
        Log("member handle %p", h);
    } else {
        std::string path = std::string(dest) + "\\" + found->info.filename;
        FILE* f = fopen(path.c_str(), "wb");
        if (!f) return 6;
        fwrite(content.data(), 1, content.size(), f);
        fclose(f);
    }
    return Result("GetFile", 0);
}
#endif

#ifndef OMIT_ConfigurationDlg
SPI_EXPORT int32_t SPI_API ConfigurationDlg(HWND parent, int32_t fnc) {
    Log("ConfigurationDlg(%08lx,%d)", static_cast<unsigned long>(reinterpret_cast<uintptr_t>(parent)), fnc);
    Misbehave("ConfigurationDlg");
    return Result("ConfigurationDlg", 0);
}
#endif
