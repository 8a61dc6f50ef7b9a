// SpiInputStream: file or shared, reference-counted local-memory block.
#include "spi_input_stream.h"

#include "base/text.h"
#include "handle_ref_table.h"
#include "win32_handles.h"

#include <cstdlib>
#include <cstring>
#include <string>

SpiInputStream::SpiInputStream()
    : name(nullptr),
      offset(0),
      fileHandle(INVALID_HANDLE_VALUE),
      memHandle(nullptr),
      memData(nullptr),
      memSize(0),
      memoryMode(0) {}

SpiInputStream::~SpiInputStream() { Close(); }

namespace {

// A malloc'ed copy of a text, or null.
template <typename Char>
Char* MallocCopy(const std::basic_string<Char>& text) {
    size_t bytes = (text.size() + 1) * sizeof(Char);
    Char* copy = static_cast<Char*>(malloc(bytes));
    if (copy) memcpy(copy, text.c_str(), bytes);
    return copy;
}

}  // namespace

void SpiInputStream::ReplaceName(LPCSTR text) {
    free(name);
    name = nullptr;
    free(wideName);
    wideName = nullptr;
    nameFitsAnsi = true;
    namedInUtf16 = false;
    if (text) {
        size_t size = strlen(text) + 1;
        name = static_cast<char*>(malloc(size));
        if (name) memcpy(name, text, size);
        wideName = MallocCopy(WideFromAnsi(text));
    }
}

void SpiInputStream::ReplaceName(LPCWSTR text) {
    ReplaceName(static_cast<LPCSTR>(nullptr));
    if (!text) return;
    size_t size = wcslen(text) + 1;
    wideName = static_cast<wchar_t*>(malloc(size * sizeof(wchar_t)));
    if (wideName) memcpy(wideName, text, size * sizeof(wchar_t));
    // Characters without an ANSI spelling become "?" in the ANSI name.
    bool exact = false, converted = false;
    std::string ansi = AnsiFromWide(text, &exact, &converted);
    name = converted ? MallocCopy(ansi) : nullptr;
    nameFitsAnsi = converted && exact;
    namedInUtf16 = true;
}

int32_t SpiInputStream::SetFile(LPCSTR fileName, intptr_t fileOffset) {
    Close();
    ReplaceName(fileName);
    return TakeFile(fileOffset);
}

int32_t SpiInputStream::SetFile(LPCWSTR fileName, intptr_t fileOffset) {
    Close();
    ReplaceName(fileName);
    return TakeFile(fileOffset);
}

int32_t SpiInputStream::SetMemory(LPCSTR blockName, HLOCAL handle, intptr_t size) {
    Close();
    ReplaceName(blockName);
    return TakeBlock(handle, size);
}

int32_t SpiInputStream::SetMemory(LPCWSTR blockName, HLOCAL handle, intptr_t size) {
    Close();
    ReplaceName(blockName);
    return TakeBlock(handle, size);
}

int32_t SpiInputStream::TakeFile(intptr_t fileOffset) {
    memoryMode = 0;
    offset = fileOffset;
    return 0;
}

int32_t SpiInputStream::TakeBlock(HLOCAL handle, intptr_t size) {
    memSize = size;
    memHandle = handle;
    memData = LocalLock(handle);
    memoryMode = 1;
    if (handle) handleRefTable.AddRef(handle, 1);
    return 0;
}

void SpiInputStream::Close() {
    ReplaceName(static_cast<LPCSTR>(nullptr));
    ReleaseHeld();
}

void SpiInputStream::ReleaseHeld() {
    UniqueFile file(fileHandle);  // closed on the way out
    fileHandle = INVALID_HANDLE_VALUE;
    if (memHandle) {
        int32_t* count = handleRefTable.Find(memHandle);
        // No entry: the block is not ours to free; only forget it.
        if (count && --*count <= 0) {
            handleRefTable.Erase(memHandle);
            UniqueLocal block(memHandle);
            LocalLockScope::Adopt(memHandle, memData);
        }
    }
    memHandle = nullptr;
    memData = nullptr;
}

void SpiInputStream::Assign(const SpiInputStream& source) {
    if (&source == this) return;
    // Count the source's block before giving back our own: when both are
    // the same block, our release must not be the one that frees it.
    if (source.memHandle) handleRefTable.AddRef(source.memHandle, 2);
    ReleaseHeld();
    memoryMode = source.memoryMode;
    if (source.namedInUtf16)
        ReplaceName(static_cast<LPCWSTR>(source.wideName));
    else
        ReplaceName(source.name);
    offset = source.offset;
    memHandle = source.memHandle;
    memSize = source.memSize;
    memData = memHandle ? source.memData : nullptr;
}

void SpiInputStream::Detach() {
    ReplaceName(static_cast<LPCSTR>(nullptr));
    fileHandle = INVALID_HANDLE_VALUE;
    if (memHandle) {
        int32_t* count = handleRefTable.Find(memHandle);
        if (count) --*count;
    }
    memHandle = nullptr;
    memData = nullptr;
}

LPCSTR SpiInputStream::GetSource(const fileInfo* entry) const {
    if (!memoryMode) return name;
    const char* data = static_cast<const char*>(memData);
    return entry ? data + entry->position : data;
}

intptr_t SpiInputStream::GetLength(const fileInfo* entry) const {
    if (!memoryMode) return entry ? offset + static_cast<intptr_t>(entry->position) : offset;
    return entry ? memSize - static_cast<intptr_t>(entry->position) : memSize;
}

LPCWSTR SpiInputStream::GetSourceW(const fileInfoW* entry) const {
    if (!memoryMode) return wideName;
    const char* data = static_cast<const char*>(memData);
    return reinterpret_cast<LPCWSTR>(entry ? data + entry->position : data);
}

intptr_t SpiInputStream::GetLengthW(const fileInfoW* entry) const {
    if (!memoryMode) return entry ? offset + static_cast<intptr_t>(entry->position) : offset;
    return entry ? memSize - static_cast<intptr_t>(entry->position) : memSize;
}
