// SpiInputStream: the data a stream-level plug-in operation reads.
//
// A stream is either a named file read from a byte offset (file mode) or a
// locked local-memory block of known size (memory mode). Its name may be
// given in the ANSI code page or in UTF-16; the stream keeps both
// spellings, and the stream-level operations take the one the plug-in and
// the name allow (see NameFitsAnsi). Blocks are shared:
// every stream holding one accounts for one count in handleRefTable, and
// the Close that takes the last count unlocks and frees the block.
//
// Streams are single-threaded, like the table they share.
#ifndef SPIPROBE_PLUGIN_SPI_INPUT_STREAM_H
#define SPIPROBE_PLUGIN_SPI_INPUT_STREAM_H

#include <cstddef>

#include "spi_api.h"

class SpiInputStream {
public:
    SpiInputStream();
    // Runs Close.
    virtual ~SpiInputStream();

    SpiInputStream(const SpiInputStream&) = delete;
    SpiInputStream& operator=(const SpiInputStream&) = delete;

    // Close, then file mode: a copy of fileName (null: no name), data from
    // byte `offset` on. Always 0. fileName must not be this stream's own name.
    int32_t SetFile(LPCSTR fileName, intptr_t offset);
    // Close, then memory mode: a copy of blockName, the block locked once
    // more and its count raised (a null handle is not counted). Always 0.
    int32_t SetMemory(LPCSTR blockName, HLOCAL handle, intptr_t size);
    // The same with a UTF-16 name. GetName() is then its ANSI spelling:
    // exact when every character has one in the ANSI code page, otherwise
    // with "?" for those that have none, and NameFitsAnsi() false.
    int32_t SetFile(LPCWSTR fileName, intptr_t offset);
    int32_t SetMemory(LPCWSTR blockName, HLOCAL handle, intptr_t size);
    // No name, as with a null LPCSTR.
    int32_t SetFile(std::nullptr_t, intptr_t offset) {
        return SetFile(static_cast<LPCSTR>(nullptr), offset);
    }
    int32_t SetMemory(std::nullptr_t, HLOCAL handle, intptr_t size) {
        return SetMemory(static_cast<LPCSTR>(nullptr), handle, size);
    }
    // Makes this stream a second holder of source's data: same mode, a copy
    // of its name, its offset, block, size and pointer, one more count for
    // the block (count 2 when the table did not know it). The block is not
    // locked again. Whatever this stream held before is given back first.
    void Assign(const SpiInputStream& source);
    // Gives back the name, a held file handle and this stream's count of the
    // block; the last count unlocks and frees the block. Mode, offset and
    // size are kept. Closing an empty stream does nothing.
    void Close();
    // Forgets the name, the file handle and the block without closing or
    // freeing anything; the block's count drops by one but its entry stays.
    // For handing a block to a stream that received it through Assign.
    void Detach();

    LPCSTR GetName() const { return name; }
    // The name in UTF-16: as given, or widened from the ANSI name; null
    // when the stream has no name.
    LPCWSTR GetWideName() const { return wideName; }
    // False only for a UTF-16 name with no exact ANSI spelling: such a
    // file can be opened by its wide name alone.
    bool NameFitsAnsi() const { return nameFitsAnsi; }
    // Whether the name was given in UTF-16 (SetFile or SetMemory with an
    // LPCWSTR, or Assign from such a stream).
    bool NamedInUtf16() const { return namedInUtf16; }
    // File mode: the name, whatever the entry. Memory mode: the block's
    // address, advanced by the entry's position when an entry is given.
    LPCSTR GetSource(const fileInfo* entry) const;
    // File mode: offset (+ the entry's position). Memory mode: the block's
    // size (- the entry's position). The length argument of an export.
    intptr_t GetLength(const fileInfo* entry) const;
    // The same for an entry of a wide list: the wide name in file mode.
    LPCWSTR GetSourceW(const fileInfoW* entry) const;
    intptr_t GetLengthW(const fileInfoW* entry) const;
    // 1 in memory mode, 0 in file mode: the input bits of an export's flag.
    int32_t IsMemory() const { return memoryMode; }

protected:
    char* name;           // owned copy, or null
    intptr_t offset;      // file mode: where the data begins in the file
    HANDLE fileHandle;    // a file held open, INVALID_HANDLE_VALUE for none
    HLOCAL memHandle;     // memory mode: the block, or null
    void* memData;        // memory mode: LocalLock(memHandle), or null
    intptr_t memSize;     // memory mode: bytes in the block
    int32_t memoryMode;   // 1 memory, 0 file

private:
    void ReplaceName(LPCSTR text);
    void ReplaceName(LPCWSTR text);

    wchar_t* wideName = nullptr;  // owned, or null
    bool nameFitsAnsi = true;
    bool namedInUtf16 = false;
    // Closes a held file and gives back this stream's count of its block.
    void ReleaseHeld();
    // File mode at the offset (the rest of SetFile).
    int32_t TakeFile(intptr_t fileOffset);
    // Memory mode with the block (the rest of SetMemory).
    int32_t TakeBlock(HLOCAL handle, intptr_t size);
};

#endif
