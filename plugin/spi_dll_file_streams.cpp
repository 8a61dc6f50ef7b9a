// SpiDllFile: the stream-level operations, built on the guarded export
// operations through the object's virtual interface.
#include <cstdlib>
#include <cstring>

#include "spi_dll_file.h"
#include "spi_input_stream.h"
#include "win32_handles.h"

namespace {

constexpr size_t kRecordSize = sizeof(fileInfo);
constexpr size_t kFullNameSize = 1024;

// Length of a text field that need not be terminated.
size_t FieldLength(const char* field, size_t size) {
    const void* end = memchr(field, 0, size);
    return end ? static_cast<size_t>(static_cast<const char*>(end) - field) : size;
}

// path followed directly by filename, each bounded by its field, always
// terminated within the buffer. Returns the length.
size_t BuildFullName(const fileInfo& record, char (&buffer)[kFullNameSize]) {
    size_t pathLength = FieldLength(record.path, sizeof record.path);
    size_t nameLength = FieldLength(record.filename, sizeof record.filename);
    if (pathLength > kFullNameSize - 1) pathLength = kFullNameSize - 1;
    if (nameLength > kFullNameSize - 1 - pathLength) nameLength = kFullNameSize - 1 - pathLength;
    memcpy(buffer, record.path, pathLength);
    memcpy(buffer + pathLength, record.filename, nameLength);
    buffer[pathLength + nameLength] = 0;
    return pathLength + nameLength;
}

char FoldAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

// Whether text begins with the n bytes of name, ASCII letters folded; a
// text shorter than n does not.
bool StartsWithFolded(LPCSTR text, const char* name, size_t n) {
    for (size_t i = 0; i < n; ++i) {
        if (text[i] == 0 || FoldAscii(text[i]) != FoldAscii(name[i])) return false;
    }
    return true;
}

}  // namespace

int32_t SPI_API NullProgress(int32_t, int32_t, int32_t) { return 0; }

int32_t SpiDllFile::IsSupportedStream(SpiInputStream& stream) {
    char sample[SPI_SAMPLE_SIZE];
    void* data = sample;
    if (!stream.IsMemory()) {
        UniqueFile file(CreateFileA(stream.GetName(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                    OPEN_EXISTING, 0, nullptr));
        if (!file.valid()) return 0;
        // Always the head of the file: the support check looks at the
        // format's signature, wherever the stream's data begins.
        memset(sample, 0, sizeof sample);
        DWORD got = 0;
        ReadFile(file.get(), sample, sizeof sample, &got, nullptr);
    } else {
        const char* source = stream.GetSource(nullptr);
        int32_t size = stream.GetLength(nullptr);
        if (source && size >= static_cast<int32_t>(sizeof sample)) {
            data = const_cast<char*>(source);
        } else {
            // A block that could not be locked is sampled as zeros.
            size_t n = (source && size > 0) ? static_cast<size_t>(size) : 0;
            if (n) memcpy(sample, source, n);
            memset(sample + n, 0, sizeof sample - n);
        }
    }
    return IsSupported(stream.GetName(), data);
}

int32_t SpiDllFile::GetPictureStream(SpiInputStream& stream, HLOCAL* info, HLOCAL* bits,
                                     ProgressCallback progress, int32_t data) {
    return GetPicture(stream.GetSource(nullptr), stream.GetLength(nullptr),
                      static_cast<uint32_t>(stream.IsMemory()), info, bits, progress, data);
}

int32_t SpiDllFile::GetPreviewStream(SpiInputStream& stream, HLOCAL* info, HLOCAL* bits,
                                     ProgressCallback progress, int32_t data) {
    return GetPreview(stream.GetSource(nullptr), stream.GetLength(nullptr),
                      static_cast<uint32_t>(stream.IsMemory()), info, bits, progress, data);
}

int32_t SpiDllFile::GetArchiveInfoStream(SpiInputStream& stream, HLOCAL* handle) {
    *handle = nullptr;
    return GetArchiveInfo(stream.GetSource(nullptr), stream.GetLength(nullptr),
                          static_cast<uint32_t>(stream.IsMemory()), handle);
}

int32_t SpiDllFile::GetArchiveList(SpiInputStream& stream, fileInfo** list) {
    *list = nullptr;
    HLOCAL handle = nullptr;
    int32_t result = GetArchiveInfoStream(stream, &handle);
    if (result != 0) return result;
    UniqueLocal owned(handle);
    fileInfo* copy = nullptr;
    {
        LocalLockScope lock(handle);
        const unsigned char* block = lock.as<const unsigned char>();
        if (!block) return SPI_MEMORY_ERROR;
        // A list without a terminator ends where the block does; a partial
        // record at the end is not a record.
        size_t available = lock.size() / kRecordSize;
        size_t count = 0;
        while (count < available && block[count * kRecordSize] != 0) ++count;
        copy = static_cast<fileInfo*>(malloc((count + 1) * kRecordSize));
        if (copy) {
            memcpy(copy, block, count * kRecordSize);
            memset(copy + count, 0, kRecordSize);
        }
    }
    if (!copy) return SPI_NO_MEMORY;
    *list = copy;
    return 0;
}

int32_t SpiDllFile::GetFileInfoStream(SpiInputStream& stream, LPCSTR fileName, uint32_t options,
                                      fileInfo* info) {
    uint32_t flag = static_cast<uint32_t>(stream.IsMemory());
    if (options & 1) flag |= SPI_OUTPUT_MEMORY;
    return GetFileInfo(stream.GetSource(nullptr), stream.GetLength(nullptr), fileName, flag, info);
}

int32_t SpiDllFile::GetFileToMemory(SpiInputStream& stream, const fileInfo* entry,
                                    HLOCAL* handle, ProgressCallback progress, int32_t data) {
    *handle = nullptr;
    uint32_t flag = static_cast<uint32_t>(stream.IsMemory()) | SPI_OUTPUT_MEMORY;
    return GetFile(stream.GetSource(entry), stream.GetLength(entry),
                   reinterpret_cast<LPSTR>(handle), flag, progress, data);
}

int32_t SpiDllFile::GetFileToDisk(SpiInputStream& stream, const fileInfo* entry,
                                  LPCSTR directory, ProgressCallback progress, int32_t data) {
    return GetFile(stream.GetSource(entry), stream.GetLength(entry), const_cast<LPSTR>(directory),
                   static_cast<uint32_t>(stream.IsMemory()), progress, data);
}

int32_t SpiDllFile::OpenMember(SpiInputStream& stream, LPCSTR memberPath, LPCSTR* rest) {
    if (!memberPath) return -1;
    fileInfo* list = nullptr;
    if (GetArchiveList(stream, &list) != 0) return -1;
    int32_t result = -1;
    char fullName[kFullNameSize];
    for (const fileInfo* record = list; record->method[0] != 0; ++record) {
        size_t n = BuildFullName(*record, fullName);
        if (!StartsWithFolded(memberPath, fullName, n)) continue;
        char next = memberPath[n];
        // A match that ends inside a path component is no match.
        if (next != 0 && next != '\\' && next != '/') continue;
        if (next && rest) *rest = memberPath + n + 1;
        HLOCAL member = nullptr;
        if (GetFileToMemory(stream, record, &member, NullProgress, 0) != 0) {
            // Whatever a failing extraction handed back is ours to free.
            UniqueLocal failed(member);
            break;
        }
        if (!next && rest) *rest = nullptr;
        // A record may claim more bytes than the plug-in handed back; the
        // stream must never promise more than its block holds.
        SIZE_T blockSize = member ? LocalSize(member) : 0;
        uint32_t size = record->filesize < blockSize ? record->filesize : blockSize;
        if (size > 0x7FFFFFFFu) size = 0x7FFFFFFFu;
        stream.SetMemory(fullName, member, static_cast<int32_t>(size));
        result = next ? 0 : 1;
        break;
    }
    free(list);
    return result;
}
