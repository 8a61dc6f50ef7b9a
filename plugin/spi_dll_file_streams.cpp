// SpiDllFile: the stream-level operations, built on the guarded export
// operations through the object's virtual interface.
//
// A stream named in UTF-16 whose name has no ANSI spelling (a file such as
// "Müller-Ωμ.bmp") is read through the plug-in's wide exports where the
// plug-in has them; an ANSI export cannot open such a file, so without the
// wide export the operation declines (0 from the support check, -1 from
// the others) instead of handing the plug-in a name that is not the file's.
// Every other stream goes to the ANSI exports exactly as before. The wide
// stream operations at the end work on lists of fileInfoW.
#include <cstdlib>
#include <cstring>
#include <string>

#include "base/text.h"
#include "spi_dll_file.h"
#include "spi_input_stream.h"
#include "win32_handles.h"

namespace {

constexpr size_t kRecordSize = sizeof(fileInfo);
constexpr size_t kFullNameSize = 1024;

// Length of a text field that need not be terminated (count characters).
template <typename Char>
size_t FieldLength(const Char* field, size_t count) {
    size_t length = 0;
    while (length < count && field[length]) ++length;
    return length;
}

// path followed directly by filename, each bounded by its field, always
// terminated within the buffer. Returns the length. For fileInfo with a
// char buffer, fileInfoW with a WCHAR one.
template <typename Record, typename Char>
size_t BuildFullName(const Record& record, Char (&buffer)[kFullNameSize]) {
    const size_t fieldCount = sizeof record.path / sizeof(Char);
    size_t pathLength = FieldLength(record.path, fieldCount);
    size_t nameLength = FieldLength(record.filename, fieldCount);
    if (pathLength > kFullNameSize - 1) pathLength = kFullNameSize - 1;
    if (nameLength > kFullNameSize - 1 - pathLength) nameLength = kFullNameSize - 1 - pathLength;
    memcpy(buffer, record.path, pathLength * sizeof(Char));
    memcpy(buffer + pathLength, record.filename, nameLength * sizeof(Char));
    buffer[pathLength + nameLength] = 0;
    return pathLength + nameLength;
}

template <typename Char>
Char FoldAscii(Char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<Char>(c - 'A' + 'a') : c;
}

// Whether text begins with the n characters of name, ASCII letters folded;
// a text shorter than n does not.
template <typename Char>
bool StartsWithFolded(const Char* text, const Char* name, size_t n) {
    for (size_t i = 0; i < n; ++i) {
        if (text[i] == 0 || FoldAscii(text[i]) != FoldAscii(name[i])) return false;
    }
    return true;
}

// How a stream's name reaches a plug-in.
enum class Route { Ansi, Wide, Refused };

// The ANSI export takes every name with an ANSI spelling, and any stream
// in memory where the operation hands the plug-in no name; a name without
// one needs the wide export.
Route RouteFor(const SpiDllFile& plugin, const SpiInputStream& stream, const char* wideExport,
               bool nameGoesToPlugin) {
    if (stream.NameFitsAnsi()) return Route::Ansi;
    if (stream.IsMemory() && !nameGoesToPlugin) return Route::Ansi;
    if (plugin.HasExport(wideExport)) return Route::Wide;
    return stream.IsMemory() ? Route::Ansi : Route::Refused;
}

// GetPictureStream and GetPreviewStream: the operation (ansi or its wide
// form) that the stream's route calls, through the virtual interface.
template <typename Ansi, typename Wide>
int32_t DecodeStream(SpiDllFile& plugin, SpiInputStream& stream, const char* wideExport,
                     Ansi ansi, Wide wide, HLOCAL* info, HLOCAL* bits,
                     ProgressCallback progress, intptr_t data) {
    uint32_t flag = static_cast<uint32_t>(stream.IsMemory());
    switch (RouteFor(plugin, stream, wideExport, false)) {
        case Route::Refused: return SPI_NOT_IMPLEMENTED;
        case Route::Wide:
            return (plugin.*wide)(stream.GetSourceW(nullptr), stream.GetLength(nullptr), flag,
                                  info, bits, progress, data);
        case Route::Ansi: break;
    }
    return (plugin.*ansi)(stream.GetSource(nullptr), stream.GetLength(nullptr), flag, info, bits,
                          progress, data);
}

// The fields fileInfo and fileInfoW have alike; the names are the caller's.
template <typename To, typename From>
void CopyCommonFields(To& to, const From& from) {
    memset(&to, 0, sizeof to);
    memcpy(to.method, from.method, sizeof to.method);
    to.position = from.position;
    to.compsize = from.compsize;
    to.filesize = from.filesize;
    to.timestamp = from.timestamp;
    to.crc = from.crc;
}

void NarrowRecord(fileInfo& to, const fileInfoW& from) {
    CopyCommonFields(to, from);
    AnsiIntoField(to.path, sizeof to.path, from.path, sizeof from.path / sizeof from.path[0]);
    AnsiIntoField(to.filename, sizeof to.filename, from.filename,
                  sizeof from.filename / sizeof from.filename[0]);
}

void WidenRecord(fileInfoW& to, const fileInfo& from) {
    CopyCommonFields(to, from);
    WideIntoField(to.path, sizeof to.path / sizeof to.path[0], from.path, sizeof from.path);
    WideIntoField(to.filename, sizeof to.filename / sizeof to.filename[0], from.filename,
                  sizeof from.filename);
}

// The records of a list block up to its end record (or the block's end; a
// partial record at the end is not one), copied into a malloc'ed array
// ended by an all-zero record. SPI_MEMORY_ERROR when the block does not
// lock, SPI_NO_MEMORY when the copy cannot be had.
template <typename Record>
int32_t CopyList(HLOCAL handle, Record** list) {
    LocalLockScope lock(handle);
    const unsigned char* block = lock.as<const unsigned char>();
    if (!block) return SPI_MEMORY_ERROR;
    size_t available = lock.size() / sizeof(Record);
    size_t count = 0;
    while (count < available && block[count * sizeof(Record)] != 0) ++count;
    Record* copy = static_cast<Record*>(malloc((count + 1) * sizeof(Record)));
    if (!copy) return SPI_NO_MEMORY;
    memcpy(copy, block, count * sizeof(Record));
    memset(copy + count, 0, sizeof(Record));
    *list = copy;
    return 0;
}

}  // namespace

int32_t SPI_API NullProgress(int32_t, int32_t, intptr_t) { return 0; }

int32_t SpiDllFile::IsSupportedStream(SpiInputStream& stream) {
    Route route = RouteFor(*this, stream, "IsSupportedW", true);
    if (route == Route::Refused) return 0;
    char sample[SPI_SAMPLE_SIZE];
    void* data = sample;
    if (!stream.IsMemory()) {
        UniqueFile file(stream.NameFitsAnsi()
                            ? CreateFileA(stream.GetName(), GENERIC_READ, FILE_SHARE_READ,
                                          nullptr, OPEN_EXISTING, 0, nullptr)
                            : CreateFileW(stream.GetWideName(), GENERIC_READ, FILE_SHARE_READ,
                                          nullptr, OPEN_EXISTING, 0, nullptr));
        if (!file.valid()) return 0;
        // Always the head of the file: the support check looks at the
        // format's signature, wherever the stream's data begins.
        memset(sample, 0, sizeof sample);
        DWORD got = 0;
        ReadFile(file.get(), sample, sizeof sample, &got, nullptr);
    } else {
        const char* source = stream.GetSource(nullptr);
        intptr_t size = stream.GetLength(nullptr);
        if (source && size >= static_cast<intptr_t>(sizeof sample)) {
            data = const_cast<char*>(source);
        } else {
            // A block that could not be locked is sampled as zeros.
            size_t n = (source && size > 0) ? static_cast<size_t>(size) : 0;
            if (n) memcpy(sample, source, n);
            memset(sample + n, 0, sizeof sample - n);
        }
    }
    if (route == Route::Wide) return IsSupportedW(stream.GetWideName(), data);
    return IsSupported(stream.GetName(), data);
}

int32_t SpiDllFile::GetPictureStream(SpiInputStream& stream, HLOCAL* info, HLOCAL* bits,
                                     ProgressCallback progress, intptr_t data) {
    return DecodeStream(*this, stream, "GetPictureW", &SpiDllFile::GetPicture,
                        &SpiDllFile::GetPictureW, info, bits, progress, data);
}

int32_t SpiDllFile::GetPreviewStream(SpiInputStream& stream, HLOCAL* info, HLOCAL* bits,
                                     ProgressCallback progress, intptr_t data) {
    return DecodeStream(*this, stream, "GetPreviewW", &SpiDllFile::GetPreview,
                        &SpiDllFile::GetPreviewW, info, bits, progress, data);
}

int32_t SpiDllFile::GetArchiveInfoStream(SpiInputStream& stream, HLOCAL* handle) {
    *handle = nullptr;
    switch (RouteFor(*this, stream, "GetArchiveInfoW", false)) {
        case Route::Refused: return SPI_NOT_IMPLEMENTED;
        case Route::Wide: {
            // The wide list, handed on as the list of fileInfo records the
            // caller expects; its positions pair with GetFileW, which the
            // other operations on this stream call too.
            HLOCAL wideList = nullptr;
            int32_t result = GetArchiveInfoW(stream.GetSourceW(nullptr), stream.GetLength(nullptr),
                                             static_cast<uint32_t>(stream.IsMemory()), &wideList);
            UniqueLocal ownedWide(wideList);
            if (result != 0) return result;
            fileInfoW* wide = nullptr;
            result = CopyList(wideList, &wide);
            if (result != 0) return result;
            size_t count = 0;
            while (wide[count].method[0] != 0) ++count;
            HLOCAL block = LocalAlloc(LMEM_MOVEABLE | LMEM_ZEROINIT, (count + 1) * kRecordSize);
            if (!block) {
                free(wide);
                return SPI_NO_MEMORY;
            }
            {
                LocalLockScope lock(block);
                fileInfo* records = lock.as<fileInfo>();
                for (size_t n = 0; records && n < count; ++n) NarrowRecord(records[n], wide[n]);
            }
            free(wide);
            *handle = block;
            return 0;
        }
        case Route::Ansi: break;
    }
    return GetArchiveInfo(stream.GetSource(nullptr), stream.GetLength(nullptr),
                          static_cast<uint32_t>(stream.IsMemory()), handle);
}

int32_t SpiDllFile::GetArchiveList(SpiInputStream& stream, fileInfo** list) {
    *list = nullptr;
    HLOCAL handle = nullptr;
    int32_t result = GetArchiveInfoStream(stream, &handle);
    if (result != 0) return result;
    UniqueLocal owned(handle);
    // A list without a terminator ends where the block does; a partial
    // record at the end is not a record.
    return CopyList(handle, list);
}

int32_t SpiDllFile::GetFileInfoStream(SpiInputStream& stream, LPCSTR fileName, uint32_t options,
                                      fileInfo* info) {
    uint32_t flag = static_cast<uint32_t>(stream.IsMemory());
    if (options & 1) flag |= SPI_OUTPUT_MEMORY;
    switch (RouteFor(*this, stream, "GetFileInfoW", false)) {
        case Route::Refused: return SPI_NOT_IMPLEMENTED;
        case Route::Wide: {
            fileInfoW wide;
            memset(&wide, 0, sizeof wide);
            std::wstring member = WideFromAnsi(fileName);
            int32_t result = GetFileInfoW(stream.GetSourceW(nullptr), stream.GetLength(nullptr),
                                          fileName ? member.c_str() : nullptr, flag, &wide);
            if (result == 0 && info) NarrowRecord(*info, wide);
            return result;
        }
        case Route::Ansi: break;
    }
    return GetFileInfo(stream.GetSource(nullptr), stream.GetLength(nullptr), fileName, flag, info);
}

int32_t SpiDllFile::GetFileToMemory(SpiInputStream& stream, const fileInfo* entry,
                                    HLOCAL* handle, ProgressCallback progress, intptr_t data) {
    *handle = nullptr;
    uint32_t flag = static_cast<uint32_t>(stream.IsMemory()) | SPI_OUTPUT_MEMORY;
    switch (RouteFor(*this, stream, "GetFileW", false)) {
        case Route::Refused: return SPI_NOT_IMPLEMENTED;
        case Route::Wide:
            return GetFileW(stream.GetSourceW(nullptr), stream.GetLength(entry),
                            reinterpret_cast<LPWSTR>(handle), flag, progress, data);
        case Route::Ansi: break;
    }
    return GetFile(stream.GetSource(entry), stream.GetLength(entry),
                   reinterpret_cast<LPSTR>(handle), flag, progress, data);
}

int32_t SpiDllFile::GetFileToDisk(SpiInputStream& stream, const fileInfo* entry,
                                  LPCSTR directory, ProgressCallback progress, intptr_t data) {
    switch (RouteFor(*this, stream, "GetFileW", false)) {
        case Route::Refused: return SPI_NOT_IMPLEMENTED;
        case Route::Wide: {
            std::wstring folder = WideFromAnsi(directory);
            return GetFileW(stream.GetSourceW(nullptr), stream.GetLength(entry), &folder[0],
                            static_cast<uint32_t>(stream.IsMemory()), progress, data);
        }
        case Route::Ansi: break;
    }
    return GetFile(stream.GetSource(entry), stream.GetLength(entry), const_cast<LPSTR>(directory),
                   static_cast<uint32_t>(stream.IsMemory()), progress, data);
}

namespace {

// The member memberPath names (or the first of its path) in a list of
// fileInfo or fileInfoW records, extracted to memory by `extract` and put
// into stream: 1 the whole path was a member, 0 a member was opened and
// *rest is what follows it, -1 nothing found or a failure. Frees list.
template <typename Char, typename Record, typename Extract>
int32_t OpenListedMember(SpiInputStream& stream, Record* list, const Char* memberPath,
                         const Char** rest, Extract extract) {
    int32_t result = -1;
    Char fullName[kFullNameSize];
    for (const Record* record = list; record->method[0] != 0; ++record) {
        size_t n = BuildFullName(*record, fullName);
        if (!StartsWithFolded(memberPath, static_cast<const Char*>(fullName), n)) continue;
        Char next = memberPath[n];
        // A match that ends inside a path component is no match.
        if (next != 0 && next != static_cast<Char>('\\') && next != static_cast<Char>('/'))
            continue;
        if (next && rest) *rest = memberPath + n + 1;
        HLOCAL member = nullptr;
        if (extract(record, &member) != 0) {
            // Whatever a failing extraction handed back is ours to free.
            UniqueLocal failed(member);
            break;
        }
        if (!next && rest) *rest = nullptr;
        // A record may claim more bytes than the plug-in handed back; the
        // stream must never promise more than its block holds.
        SIZE_T blockSize = member ? LocalSize(member) : 0;
        uintptr_t size = record->filesize < blockSize ? record->filesize : blockSize;
        if (size > static_cast<uintptr_t>(INTPTR_MAX)) size = INTPTR_MAX;
        stream.SetMemory(fullName, member, static_cast<intptr_t>(size));
        result = next ? 0 : 1;
        break;
    }
    free(list);
    return result;
}

}  // namespace

int32_t SpiDllFile::OpenMember(SpiInputStream& stream, LPCSTR memberPath, LPCSTR* rest) {
    if (!memberPath) return -1;
    fileInfo* list = nullptr;
    if (GetArchiveList(stream, &list) != 0) return -1;
    return OpenListedMember(stream, list, memberPath, rest,
                            [&](const fileInfo* record, HLOCAL* member) {
                                return GetFileToMemory(stream, record, member, NullProgress, 0);
                            });
}

// The stream operations on wide lists.

bool SpiDllFile::HasWideArchiveSet() const {
    return HasExport("GetArchiveInfoW") && HasExport("GetFileW");
}

int32_t SpiDllFile::GetArchiveListW(SpiInputStream& stream, fileInfoW** list) {
    *list = nullptr;
    if (HasWideArchiveSet()) {
        HLOCAL handle = nullptr;
        int32_t result = GetArchiveInfoW(stream.GetSourceW(nullptr), stream.GetLength(nullptr),
                                         static_cast<uint32_t>(stream.IsMemory()), &handle);
        UniqueLocal owned(handle);
        if (result != 0) return result;
        return CopyList(handle, list);
    }
    if (!stream.NameFitsAnsi() && !stream.IsMemory()) return SPI_NOT_IMPLEMENTED;
    fileInfo* ansi = nullptr;
    int32_t result = GetArchiveList(stream, &ansi);
    if (result != 0) return result;
    size_t count = 0;
    while (ansi[count].method[0] != 0) ++count;
    fileInfoW* wide = static_cast<fileInfoW*>(calloc(count + 1, sizeof(fileInfoW)));
    if (!wide) {
        free(ansi);
        return SPI_NO_MEMORY;
    }
    for (size_t n = 0; n < count; ++n) WidenRecord(wide[n], ansi[n]);
    free(ansi);
    *list = wide;
    return 0;
}

int32_t SpiDllFile::GetFileInfoStreamW(SpiInputStream& stream, LPCWSTR fileName,
                                       uint32_t options, fileInfoW* info) {
    uint32_t flag = static_cast<uint32_t>(stream.IsMemory());
    if (options & 1) flag |= SPI_OUTPUT_MEMORY;
    if (HasExport("GetFileInfoW"))
        return GetFileInfoW(stream.GetSourceW(nullptr), stream.GetLength(nullptr), fileName, flag,
                            info);
    std::string member;
    if ((!stream.NameFitsAnsi() && !stream.IsMemory()) || !ExactAnsi(fileName, &member))
        return SPI_NOT_IMPLEMENTED;
    fileInfo ansi;
    memset(&ansi, 0, sizeof ansi);
    int32_t result = GetFileInfoStream(stream, member.c_str(), options, &ansi);
    if (result == 0 && info) WidenRecord(*info, ansi);
    return result;
}

int32_t SpiDllFile::GetFileToMemoryW(SpiInputStream& stream, const fileInfoW* entry,
                                     HLOCAL* handle, ProgressCallback progress, intptr_t data) {
    *handle = nullptr;
    if (HasWideArchiveSet()) {
        uint32_t flag = static_cast<uint32_t>(stream.IsMemory()) | SPI_OUTPUT_MEMORY;
        return GetFileW(stream.GetSourceW(entry), stream.GetLengthW(entry),
                        reinterpret_cast<LPWSTR>(handle), flag, progress, data);
    }
    if (!stream.NameFitsAnsi() && !stream.IsMemory()) return SPI_NOT_IMPLEMENTED;
    fileInfo ansi;
    NarrowRecord(ansi, *entry);
    return GetFileToMemory(stream, &ansi, handle, progress, data);
}

int32_t SpiDllFile::GetFileToDiskW(SpiInputStream& stream, const fileInfoW* entry,
                                   LPCWSTR directory, ProgressCallback progress, intptr_t data) {
    if (HasWideArchiveSet()) {
        std::wstring folder = directory ? directory : L"";
        return GetFileW(stream.GetSourceW(entry), stream.GetLengthW(entry), &folder[0],
                        static_cast<uint32_t>(stream.IsMemory()), progress, data);
    }
    std::string folder;
    if ((!stream.NameFitsAnsi() && !stream.IsMemory()) || !ExactAnsi(directory, &folder))
        return SPI_NOT_IMPLEMENTED;
    fileInfo ansi;
    NarrowRecord(ansi, *entry);
    return GetFileToDisk(stream, &ansi, folder.c_str(), progress, data);
}

int32_t SpiDllFile::OpenMemberW(SpiInputStream& stream, LPCWSTR memberPath, LPCWSTR* rest) {
    if (!memberPath) return -1;
    fileInfoW* list = nullptr;
    if (GetArchiveListW(stream, &list) != 0) return -1;
    return OpenListedMember(stream, list, memberPath, rest,
                            [&](const fileInfoW* record, HLOCAL* member) {
                                return GetFileToMemoryW(stream, record, member, NullProgress, 0);
                            });
}
