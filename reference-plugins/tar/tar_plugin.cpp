// tar.spi: an archive plug-in for tar files (ustar, GNU, pax and v7), for
// any host of the plug-in API.
//
// The list holds regular files only. Directories, links, devices and the
// like have no bytes to extract, and a member's folder shows in its path.
// An entry's position is the offset of its first header block (its long
// name or pax header included) from the start of the archive data, so
// GetFile reads that member's headers first whether it is given the
// archive file with the length archive offset + position, or the address
// archive + position with the bytes left.
//
// In the 32-bit build (tar.spi) positions, sizes and times are 32-bit:
// members whose headers start 4 GiB or more into the archive cannot be
// given a position and are left out of the list, sizes of 4 GiB or more
// are listed as 0xFFFFFFFF, times outside the 32-bit range at its ends.
// In the x64 build (tar.sph) they are 64-bit and every member is listed;
// times before 1970 are listed as 0.
//
// The wide exports (GetArchiveInfoW, GetFileInfoW, GetFileW, IsSupportedW,
// GetPluginInfoW) read and extract the same way; they take the archive's
// and the destination folder's names in UTF-16, and their records
// (fileInfoW) carry each member's name in UTF-16 as described at WideName.
//
// Results beyond the usual ones: GetFileInfo answers 8 when no member has
// the name asked for; GetFile answers 2 for a position that holds no
// regular file, 4 for a member of 4 GiB or more asked for in memory, and 6
// when the file in the destination folder cannot be created or written.
#include <windows.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "spi_api.h"
#include "plugin_side.h"
#include "tar_reader.h"
#include "tar_source.h"

namespace {

const char* const kPluginInfo[] = {
    "00AM",
    "tar.spi 1.0: tar archives (ustar, GNU, pax)",
    "*.tar",
    "TAR archive",
};

constexpr uint32_t kCopyChunk = 64 * 1024;
constexpr uint32_t kOutputMask = 0x0700;
constexpr uint32_t kIgnoreCase = 0x0080;
constexpr size_t kFieldText = 199;  // path and filename fields hold 200 bytes with the NUL

// The plug-in's C++ allocations may throw; nothing may leave an export.
template <typename Body>
int32_t Shielded(Body&& body) {
    try {
        return body();
    } catch (...) {
        return SPI_NO_MEMORY;
    }
}

// The list record of each kind of call: fileInfo for the ANSI exports,
// fileInfoW for the wide ones.
template <typename Char>
struct RecordOf;
template <>
struct RecordOf<char> {
    typedef fileInfo type;
};
template <>
struct RecordOf<WCHAR> {
    typedef fileInfoW type;
};

void CopyField(char* field, const std::string& text) {
    size_t n = text.size() < kFieldText ? text.size() : kFieldText;
    memcpy(field, text.data(), n);
    field[n] = 0;
}

// A wide name that does not fit is cut before a surrogate pair, never
// inside one.
void CopyField(WCHAR* field, const std::wstring& text) {
    size_t n = text.size() < kFieldText ? text.size() : kFieldText;
    if (n < text.size() && n > 0 && text[n - 1] >= 0xD800 && text[n - 1] < 0xDC00) --n;
    memcpy(field, text.data(), n * sizeof(WCHAR));
    field[n] = 0;
}

// Folder part with "\" separators and a trailing "\", and the last
// component. The split is made at the tar name's own "/" separators, so a
// double-byte name whose trail byte is 0x5C is never cut.
template <typename Char>
void SplitName(const std::basic_string<Char>& name, std::basic_string<Char>* path,
               std::basic_string<Char>* file) {
    size_t slash = name.rfind(Char('/'));
    if (slash == std::basic_string<Char>::npos) {
        path->clear();
        *file = name;
        return;
    }
    *path = name.substr(0, slash + 1);
    for (Char& c : *path) {
        if (c == Char('/')) c = Char('\\');
    }
    *file = name.substr(slash + 1);
}

// A member's name in UTF-16, from the bytes the archive holds. Tar names
// are bytes: GNU tar stores them as the file system spells them, which is
// UTF-8 under a UTF-8 locale, and a pax path record is UTF-8 by definition.
// So a name that is valid UTF-8 is read as UTF-8. Any other name (written
// in some legacy code page, or a pax path marked as binary) is widened
// byte by byte, each byte the code point of its value (U+0000 to U+00FF):
// every name gets a wide spelling, the same on every machine whatever its
// code page, and no byte of it is lost. The ANSI list keeps its names as
// they were.
std::wstring WideName(const std::string& bytes) {
    if (bytes.empty()) return std::wstring();
    if (bytes.size() <= INT32_MAX) {
        int size = static_cast<int>(bytes.size());
        int wideSize =
            MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, bytes.data(), size, nullptr, 0);
        if (wideSize > 0) {
            std::wstring wide(static_cast<size_t>(wideSize), L'\0');
            if (MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, bytes.data(), size, &wide[0],
                                    wideSize) == wideSize)
                return wide;
        }
    }
    std::wstring wide(bytes.size(), L'\0');
    for (size_t i = 0; i < bytes.size(); ++i) wide[i] = static_cast<unsigned char>(bytes[i]);
    return wide;
}

void FillNames(const TarMember& member, fileInfo* entry) {
    std::string path, file;
    SplitName(member.name, &path, &file);
    CopyField(entry->path, path);
    CopyField(entry->filename, file);
}

void FillNames(const TarMember& member, fileInfoW* entry) {
    std::wstring path, file;
    SplitName(WideName(member.storedName), &path, &file);
    CopyField(entry->path, path);
    CopyField(entry->filename, file);
}

// False when the member lies beyond what a position can address.
template <typename Record>
bool FillEntry(const TarMember& member, Record* entry) {
    if (member.headerOffset > UINTPTR_MAX) return false;
    memset(entry, 0, sizeof *entry);
    memcpy(entry->method, "tar", 4);
    entry->position = static_cast<uintptr_t>(member.headerOffset);
    uintptr_t size = member.size > UINTPTR_MAX ? UINTPTR_MAX : static_cast<uintptr_t>(member.size);
    entry->compsize = size;
    entry->filesize = size;
    int64_t mtime = member.mtime;
#if defined(_WIN64)
    if (mtime < 0) mtime = 0;
#else
    if (mtime > INT32_MAX) mtime = INT32_MAX;
    if (mtime < INT32_MIN) mtime = INT32_MIN;
#endif
    entry->timestamp = static_cast<SpiTimestamp>(mtime);
    FillNames(member, entry);
    return true;
}

template <typename Char>
Char FoldSeparator(Char c, bool ignoreCase) {
    if (c == Char('/')) return Char('\\');
    if (ignoreCase && c >= Char('A') && c <= Char('Z')) return static_cast<Char>(c - 'A' + 'a');
    return c;
}

// The entry's full name (path then filename) against a requested name;
// "/" and "\" count as the same separator.
template <typename Record, typename Char>
bool NameMatches(const Record& entry, const Char* wanted, bool ignoreCase) {
    std::basic_string<Char> full = std::basic_string<Char>(entry.path) + entry.filename;
    size_t i = 0;
    for (; i < full.size(); ++i) {
        if (!wanted[i] || FoldSeparator(full[i], ignoreCase) != FoldSeparator(wanted[i], ignoreCase))
            return false;
    }
    return wanted[i] == 0;
}

// Progress in the callback's signed 32-bit range: large totals are scaled
// down by a power of two.
class Progress {
public:
    Progress(ProgressCallback callback, intptr_t data, uint64_t total)
        : callback_(callback), data_(data), total_(total) {
        while ((total_ >> shift_) > INT32_MAX) ++shift_;
    }
    // True when the callback asks to stop.
    bool Report(uint64_t done) {
        if (!callback_) return false;
        return callback_(static_cast<int32_t>(done >> shift_), static_cast<int32_t>(total_ >> shift_),
                         data_) != 0;
    }

private:
    ProgressCallback callback_;
    intptr_t data_;
    uint64_t total_;
    int shift_ = 0;
};

// Hands the member's data to sink(bytes, count) chunk by chunk; sink
// answers 0 or an error code. 1 when the callback cancels.
template <typename Sink>
int32_t CopyMember(TarSource& source, const TarMember& member, Progress& progress, Sink&& sink) {
    if (progress.Report(0)) return SPI_ABORT;
    std::vector<unsigned char> buffer(member.size < kCopyChunk ? static_cast<size_t>(member.size)
                                                               : kCopyChunk);
    uint64_t done = 0;
    while (done < member.size) {
        uint64_t left = member.size - done;
        uint32_t n = left < kCopyChunk ? static_cast<uint32_t>(left) : kCopyChunk;
        int32_t result = source.Read(member.dataOffset + done, buffer.data(), n);
        if (result) return result;
        result = sink(buffer.data(), n);
        if (result) return result;
        done += n;
        if (progress.Report(done)) return SPI_ABORT;
    }
    return SPI_SUCCESS;
}

// Calls visit(member, entry) for each listed member until it answers
// false. 0 at the end of the archive (or when visit stopped), else the
// reader's error.
template <typename Record, typename Visit>
int32_t WalkEntries(TarSource& source, Visit&& visit) {
    TarReader reader(source);
    TarMember member;
    for (;;) {
        int32_t result = reader.Next(&member);
        if (result == TarReader::kEnd) return SPI_SUCCESS;
        if (result) return result;
        Record entry;
        if (!member.regular || !FillEntry(member, &entry)) continue;
        if (!visit(member, entry)) return SPI_SUCCESS;
    }
}

// dir + "\" + name, without doubling a separator dir already ends with.
std::string JoinPath(LPCSTR dir, LPCSTR name) {
    std::string path = dir;
    bool endsWithSeparator = false;
    for (const char* p = dir; *p; p = CharNextA(p)) {
        endsWithSeparator = (*p == '\\' || *p == '/') && !IsDBCSLeadByte(static_cast<BYTE>(*p));
    }
    if (!path.empty() && !endsWithSeparator) path += '\\';
    return path + name;
}

std::wstring JoinPath(LPCWSTR dir, LPCWSTR name) {
    std::wstring path = dir;
    if (!path.empty() && path.back() != L'\\' && path.back() != L'/') path += L'\\';
    return path + name;
}

HANDLE CreateOutputFile(const std::string& path) {
    return CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
}

HANDLE CreateOutputFile(const std::wstring& path) {
    return CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
}

void DeleteOutputFile(const std::string& path) { DeleteFileA(path.c_str()); }
void DeleteOutputFile(const std::wstring& path) { DeleteFileW(path.c_str()); }

FILETIME UnixTimeToFileTime(int64_t seconds) {
    // A pax mtime may be any 64-bit value: keep it between 1601 and the
    // year 30000, where the tick count cannot overflow.
    const int64_t kFrom1601 = 11644473600LL;
    if (seconds < -kFrom1601) seconds = -kFrom1601;
    if (seconds > 884000000000LL) seconds = 884000000000LL;
    int64_t ticks = (seconds + kFrom1601) * 10000000;
    FILETIME time;
    time.dwLowDateTime = static_cast<DWORD>(ticks);
    time.dwHighDateTime = static_cast<DWORD>(static_cast<uint64_t>(ticks) >> 32);
    return time;
}

int32_t ExtractToMemory(TarSource& source, const TarMember& member, Progress& progress,
                        HLOCAL* destination) {
    if (member.size > UINT32_MAX) return SPI_NO_MEMORY;
    UniqueLocal block(LocalAlloc(LMEM_MOVEABLE, static_cast<SIZE_T>(member.size)));
    if (!block.valid()) return SPI_NO_MEMORY;
    int32_t result = SPI_SUCCESS;
    {
        // A zero-size block cannot be locked; nothing needs writing into it.
        LocalLockScope lock(member.size ? block.get() : nullptr);
        unsigned char* bytes = lock.as<unsigned char>();
        if (member.size && !bytes) return SPI_MEMORY_ERROR;
        uint64_t written = 0;
        result = CopyMember(source, member, progress, [&](const unsigned char* data, uint32_t n) {
            memcpy(bytes + written, data, n);
            written += n;
            return 0;
        });
    }
    if (result) return result;
    *destination = block.release();
    return SPI_SUCCESS;
}

// The member under its listed file name (wide for a wide folder name) in
// the folder.
template <typename Record, typename Char>
int32_t ExtractToFolder(TarSource& source, const TarMember& member, const Record& entry,
                        Progress& progress, const Char* folder) {
    std::basic_string<Char> path = JoinPath(folder, entry.filename);
    UniqueFile file(CreateOutputFile(path));
    if (!file.valid()) return SPI_READ_ERROR;
    int32_t result = CopyMember(source, member, progress, [&](const unsigned char* data, uint32_t n) {
        DWORD put = 0;
        return WriteFile(file.get(), data, n, &put, nullptr) && put == n ? 0 : SPI_READ_ERROR;
    });
    if (result == SPI_SUCCESS) {
        FILETIME time = UnixTimeToFileTime(member.mtime);
        SetFileTime(file.get(), nullptr, nullptr, &time);
    }
    file.reset();  // closed before a failed extraction's file is deleted
    // A cancelled or failed extraction leaves no partial file behind.
    if (result) DeleteOutputFile(path);
    return result;
}

// GetArchiveInfo and GetArchiveInfoW.
template <typename Char>
int32_t ListMembers(const Char* buf, intptr_t len, uint32_t flag, HLOCAL* lphInf) {
    typedef typename RecordOf<Char>::type Record;
    if (!lphInf) return SPI_INTERNAL_ERROR;
    *lphInf = nullptr;
    return Shielded([&]() -> int32_t {
        TarSource source;
        int32_t result = source.Open(buf, len, flag & SPI_INPUT_MASK);
        if (result) return result;
        std::vector<Record> entries;
        result = WalkEntries<Record>(source, [&](const TarMember&, const Record& entry) {
            entries.push_back(entry);
            return true;
        });
        if (result) return result;
        if (entries.size() >= SIZE_MAX / sizeof(Record)) return SPI_NO_MEMORY;
        // The zero-filled record after the last entry ends the list.
        UniqueLocal list(LocalAlloc(LMEM_MOVEABLE | LMEM_ZEROINIT,
                                    (entries.size() + 1) * sizeof(Record)));
        if (!list.valid()) return SPI_NO_MEMORY;
        {
            LocalLockScope records(list.get());
            if (!records.data()) return SPI_MEMORY_ERROR;
            if (!entries.empty())
                memcpy(records.data(), entries.data(), entries.size() * sizeof(Record));
        }
        *lphInf = list.release();
        return SPI_SUCCESS;
    });
}

// GetFileInfo and GetFileInfoW.
template <typename Char>
int32_t FindMember(const Char* buf, intptr_t len, const Char* filename, uint32_t flag,
                   typename RecordOf<Char>::type* lpInfo) {
    typedef typename RecordOf<Char>::type Record;
    if (!filename || !lpInfo) return SPI_INTERNAL_ERROR;
    return Shielded([&]() -> int32_t {
        TarSource source;
        int32_t result = source.Open(buf, len, flag & SPI_INPUT_MASK);
        if (result) return result;
        bool found = false;
        result = WalkEntries<Record>(source, [&](const TarMember&, const Record& entry) {
            if (!NameMatches(entry, filename, (flag & kIgnoreCase) != 0)) return true;
            *lpInfo = entry;
            found = true;
            return false;
        });
        if (result) return result;
        return found ? SPI_SUCCESS : SPI_INTERNAL_ERROR;
    });
}

// GetFile and GetFileW.
template <typename Char>
int32_t ExtractMember(const Char* src, intptr_t len, Char* dest, uint32_t flag,
                      ProgressCallback prgressCallback, intptr_t lData) {
    typedef typename RecordOf<Char>::type Record;
    uint32_t output = flag & kOutputMask;
    if (output != 0 && output != SPI_OUTPUT_MEMORY) return SPI_NOT_IMPLEMENTED;
    if (!dest) return SPI_INTERNAL_ERROR;
    HLOCAL* handle = reinterpret_cast<HLOCAL*>(dest);
    if (output == SPI_OUTPUT_MEMORY) *handle = nullptr;
    return Shielded([&]() -> int32_t {
        TarSource source;
        int32_t result = source.Open(src, len, flag & SPI_INPUT_MASK);
        if (result) return result;
        TarReader reader(source);
        TarMember member;
        result = reader.Next(&member);
        if (result == TarReader::kEnd) return SPI_CORRUPT;
        if (result) return result;
        Record entry;
        if (!member.regular || !FillEntry(member, &entry)) return SPI_UNSUPPORTED;
        Progress progress(prgressCallback, lData, member.size);
        if (output == SPI_OUTPUT_MEMORY) return ExtractToMemory(source, member, progress, handle);
        return ExtractToFolder(source, member, entry, progress, static_cast<const Char*>(dest));
    });
}

// IsSupported and IsSupportedW: the file name is not needed.
int32_t Recognize(const void* dw) {
    unsigned char block[kTarBlock];
    if (ReadSupportHead(dw, block, kTarBlock) < kTarBlock) return 0;
    return LooksLikeTar(block) ? 1 : 0;
}

}  // namespace

SPI_EXPORT int32_t SPI_API GetPluginInfo(int32_t infono, LPSTR buf, int32_t buflen) {
    return AnswerPluginInfo(kPluginInfo, sizeof kPluginInfo / sizeof kPluginInfo[0], infono, buf,
                            buflen);
}

SPI_EXPORT int32_t SPI_API IsSupported(LPCSTR /*filename*/, void* dw) { return Recognize(dw); }

SPI_EXPORT int32_t SPI_API GetArchiveInfo(LPCSTR buf, intptr_t len, uint32_t flag, HLOCAL* lphInf) {
    return ListMembers(buf, len, flag, lphInf);
}

// Finds a member by its full name (path then filename); flag bit 0x80 makes
// the ASCII letters match in either case.
SPI_EXPORT int32_t SPI_API GetFileInfo(LPCSTR buf, intptr_t len, LPCSTR filename, uint32_t flag,
                                       fileInfo* lpInfo) {
    return FindMember(buf, len, filename, flag, lpInfo);
}

SPI_EXPORT int32_t SPI_API GetFile(LPCSTR src, intptr_t len, LPSTR dest, uint32_t flag,
                                   ProgressCallback prgressCallback, intptr_t lData) {
    return ExtractMember(src, len, dest, flag, prgressCallback, lData);
}

SPI_EXPORT int32_t SPI_API ConfigurationDlg(HWND parent, int32_t fnc) {
    return AnswerConfigurationDlg(parent, fnc, kPluginInfo[1], "tar.spi");
}

SPI_EXPORT int32_t SPI_API GetPluginInfoW(int32_t infono, LPWSTR buf, int32_t buflen) {
    return AnswerPluginInfoW(kPluginInfo, sizeof kPluginInfo / sizeof kPluginInfo[0], infono, buf,
                             buflen);
}

SPI_EXPORT int32_t SPI_API IsSupportedW(LPCWSTR /*filename*/, const void* dw) {
    return Recognize(dw);
}

SPI_EXPORT int32_t SPI_API GetArchiveInfoW(LPCWSTR buf, intptr_t len, uint32_t flag,
                                           HLOCAL* lphInf) {
    return ListMembers(buf, len, flag, lphInf);
}

// As GetFileInfo, the name compared with the members' wide names.
SPI_EXPORT int32_t SPI_API GetFileInfoW(LPCWSTR buf, intptr_t len, LPCWSTR filename,
                                        uint32_t flag, fileInfoW* lpInfo) {
    return FindMember(buf, len, filename, flag, lpInfo);
}

// To a folder, the member is written under its wide file name.
SPI_EXPORT int32_t SPI_API GetFileW(LPCWSTR src, intptr_t len, LPWSTR dest, uint32_t flag,
                                    ProgressCallback prgressCallback, intptr_t lData) {
    return ExtractMember(src, len, dest, flag, prgressCallback, lData);
}
