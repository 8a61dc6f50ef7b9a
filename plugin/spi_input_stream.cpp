// SpiInputStream: file or shared, reference-counted local-memory block.
#include "spi_input_stream.h"

#include "handle_ref_table.h"
#include "win32_handles.h"

#include <cstdlib>
#include <cstring>

SpiInputStream::SpiInputStream()
    : name(nullptr),
      offset(0),
      fileHandle(INVALID_HANDLE_VALUE),
      memHandle(nullptr),
      memData(nullptr),
      memSize(0),
      memoryMode(0) {}

SpiInputStream::~SpiInputStream() { Close(); }

void SpiInputStream::ReplaceName(LPCSTR text) {
    free(name);
    name = nullptr;
    if (text) {
        size_t size = strlen(text) + 1;
        name = static_cast<char*>(malloc(size));
        if (name) memcpy(name, text, size);
    }
}

int32_t SpiInputStream::SetFile(LPCSTR fileName, int32_t fileOffset) {
    Close();
    ReplaceName(fileName);
    memoryMode = 0;
    offset = fileOffset;
    return 0;
}

int32_t SpiInputStream::SetMemory(LPCSTR blockName, HLOCAL handle, int32_t size) {
    Close();
    ReplaceName(blockName);
    memSize = size;
    memHandle = handle;
    memData = LocalLock(handle);
    memoryMode = 1;
    if (handle) handleRefTable.AddRef(handle, 1);
    return 0;
}

void SpiInputStream::Close() {
    ReplaceName(nullptr);
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
    ReplaceName(source.name);
    offset = source.offset;
    memHandle = source.memHandle;
    memSize = source.memSize;
    memData = memHandle ? source.memData : nullptr;
}

void SpiInputStream::Detach() {
    ReplaceName(nullptr);
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

int32_t SpiInputStream::GetLength(const fileInfo* entry) const {
    if (!memoryMode) return entry ? offset + static_cast<int32_t>(entry->position) : offset;
    return entry ? memSize - static_cast<int32_t>(entry->position) : memSize;
}
