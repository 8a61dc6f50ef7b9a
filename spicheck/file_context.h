// What the checks of one file share: the file, its bytes placed at the
// edge of an inaccessible page, and the calls whose results several checks
// look at (descriptions, decodes, listings, extractions). Each of those is
// made once, by the first check that needs it, in the order of the table.
#ifndef SPICHECK_FILE_CONTEXT_H
#define SPICHECK_FILE_CONTEXT_H

#include <windows.h>

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "bitmap.h"
#include "file_bytes.h"
#include "memory_tools.h"
#include "spi_api.h"
#include "win32_handles.h"

// How one call into the plug-in went.
struct Outcome {
    int32_t code = 0;
    bool faulted = false;    // the guard caught a fault inside the plug-in
    DWORD exception = 0;     // its code
    uintptr_t address = 0;   // for an access violation, the address touched
    DWORD ms = 0;
};
// The API's "not implemented": a plug-in may leave an optional form of a
// call out (input from memory or at an offset, output to a folder or to
// memory, GetPreview) and answer -1 for it.
inline bool NotImplemented(const Outcome& outcome) {
    return !outcome.faulted && outcome.code == SPI_NOT_IMPLEMENTED;
}
// "returned 3", "faulted (c0000005 at address 0x00000010)" (the address
// in 16 digits in the x64 build)
std::string Describe(const Outcome& outcome);

// A file named on the command line.
struct InputFile {
    std::string name;   // as given on the command line (UTF-8)
    std::string bytes;  // its contents
    // The name the plug-in's ANSI calls get: the name in the ANSI code
    // page, else its short name, else (copy set) a copy of the file in the
    // temporary folder, removed after the file's checks.
    std::string ansi;
    std::string copy;
    // The name's last part in the ANSI code page, or that of ansi: what
    // --save and --expect name the file by.
    std::string ansiBase;
};

// The calls of one progress callback.
struct ProgressLog {
    std::vector<std::pair<int32_t, int32_t>> calls;
    int32_t count = 0;    // calls made (calls holds at most its capacity)
    int32_t stopAt = -1;  // answer non-zero from this call on (0-based); -1 never
};
int32_t SPI_API RecordProgress(int32_t done, int32_t total, intptr_t data);
// The verdict on a log of a call that was never stopped: empty when fine.
std::string ProgressFault(const ProgressLog& log);
// The data argument that hands a log to RecordProgress.
inline intptr_t LogData(ProgressLog* log) { return reinterpret_cast<intptr_t>(log); }

// An archive list read within its block.
struct ArchiveListing {
    std::vector<fileInfo> records;
    bool locked = false;
    bool terminated = false;  // an end record lies within the block
    size_t blockSize = 0;
};
ArchiveListing ReadListing(HLOCAL handle);

// IsSupported on the file's first 2048 bytes, ending right before an
// inaccessible page.
struct SampleAnswer {
    Outcome outcome;
    bool inGuardPage = false;  // its fault touched that page
    uintptr_t faultOffset = 0;  // the address touched, from the sample's start
    uintptr_t address = 0;      // where the sample was
};
// IsSupported with a handle of the file.
struct HandleAnswer {
    bool opened = false;  // the file could be opened again
    uintptr_t handle = 0;
    Outcome outcome;
};

// One decode: its outcome, the two blocks it returned and its callbacks.
struct Decoded {
    Outcome outcome;
    UniqueLocal info;
    UniqueLocal bits;
    ProgressLog log;
};

// Empty when both decodes describe and hold the same picture (row padding
// aside), else the first difference.
std::string CompareDecodes(const Decoded& a, const Decoded& b);

// GetPictureInfo from the file and from memory.
struct PictureDescriptions {
    PictureInfo fromFile = {};
    PictureInfo fromMemory = {};
    Outcome file, memory;
    size_t fileOverrun = 0, memoryOverrun = 0;  // bytes written past each record
    UniqueLocal comment;  // the file description's hInfo
    UniqueLocal memoryComment;
    // The export exists and the description from the file came back.
    bool usable = false;
};

// Three decodes of the same data: from the file, from memory, and from a
// file where the data start after 128 bytes of padding.
struct PictureDecodes {
    Decoded disk, memory, offset;
    bool decoded = false;  // the decode from the file returned 0
    BitmapShape shape;     // of the decode from the file
    std::string shapeFault;  // empty when its header describes a bitmap
};

// How far apart the records of a list block lie: sizeof(fileInfo), or the
// size of a record laid out otherwise (x64: 444 without the pad, 428 the
// 32-bit record) when the block reads as such records and not as ours.
struct ListStride {
    size_t stride = sizeof(fileInfo);
    size_t blockSize = 0;
    size_t records = 0;  // at that stride, the end record included
};
ListStride FindListStride(HLOCAL handle);

// The member lists from the file and from memory.
struct ArchiveLists {
    Outcome file, memory;
    UniqueLocal fileList, memoryList;
    // The list from the file came back, and both lists are of our records:
    // the member checks run.
    bool listed = false;
    ArchiveListing listing;  // read from fileList
    ListStride fileStride, memoryStride;
    bool StrideFault() const {
        return fileStride.stride != sizeof(fileInfo) || memoryStride.stride != sizeof(fileInfo);
    }
};

// Each member with a name (up to kMaxMembers) extracted to memory.
struct MemberExtraction {
    const fileInfo* record = nullptr;  // in ArchiveLists::listing
    bool extracted = false;  // bytes holds the member's filesize bytes
    Outcome outcome;         // of the extraction
    std::string bytes;
};
struct Extractions {
    std::vector<MemberExtraction> members;
    std::string fault;    // the first failure
    std::string warning;  // the first block larger than its member
    std::string renamed;  // the first member --save had to give another name
    // The first extraction answered -1: output to memory is not implemented.
    bool notImplemented = false;
    // The first member with data that extracted, and the callbacks of its
    // extraction: the member the callback and resource checks use.
    const fileInfo* sample = nullptr;
    ProgressLog sampleLog;
};

struct FileContext {
    explicit FileContext(const std::string& name) { file.name = name; }

    InputFile file;
    // Set by a check that ends the file's checks.
    bool stopped = false;
    std::unique_ptr<EdgeBuffer> memory;  // the bytes, once a check needs them
    std::unique_ptr<SampleAnswer> sample;
    std::unique_ptr<HandleAnswer> handleForm;
    std::unique_ptr<PictureDescriptions> descriptions;
    std::unique_ptr<PictureDecodes> decodes;
    std::unique_ptr<ArchiveLists> lists;
    std::unique_ptr<Extractions> extractions;
    std::unique_ptr<Decoded> preview;  // GetPreview's, when it was asked

    // The bytes in memory, ending right before an inaccessible page.
    LPCSTR MemorySource();
    int32_t MemorySize() const { return static_cast<int32_t>(file.bytes.size()); }
};

std::string BaseName(const std::string& path);
// A text field of a record up to its terminator (or its size): bytes past
// the terminator are whatever the plug-in's block held, and never compared.
std::string TextField(const void* text, size_t size);

#endif
