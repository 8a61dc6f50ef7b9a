// HandleRefTable: how many input streams hold each shared local-memory
// block.
//
// There is one table for the process (handleRefTable), constructed before
// main and destroyed at exit. Destroying it forgets its entries; it never
// frees a block. SpiInputStream is the only writer; the read-only queries
// let callers and tests see the counts. Single-threaded.
#ifndef SPIPROBE_PLUGIN_HANDLE_REF_TABLE_H
#define SPIPROBE_PLUGIN_HANDLE_REF_TABLE_H

#include "spi_api.h"

#include <cstddef>
#include <map>

class HandleRefTable {
public:
    // Orders handles as unsigned addresses.
    struct HandleLess {
        bool operator()(HLOCAL a, HLOCAL b) const {
            return reinterpret_cast<uintptr_t>(a) < reinterpret_cast<uintptr_t>(b);
        }
    };
    typedef std::map<HLOCAL, int32_t, HandleLess> Map;

    HandleRefTable() = default;
    ~HandleRefTable() = default;
    HandleRefTable(const HandleRefTable&) = delete;
    HandleRefTable& operator=(const HandleRefTable&) = delete;

    // Whether the table has an entry for the handle (its count may be 0).
    bool Contains(HLOCAL handle) const { return counts.find(handle) != counts.end(); }
    // The handle's count, 0 when it has no entry.
    int32_t CountOf(HLOCAL handle) const;
    // Number of entries.
    size_t Size() const { return counts.size(); }

    // The entry for the handle, or null. Used by SpiInputStream.
    int32_t* Find(HLOCAL handle);
    // Adds one to the handle's count; a missing entry starts at `initial`.
    // Returns the new count.
    int32_t AddRef(HLOCAL handle, int32_t initial);
    void Erase(HLOCAL handle) { counts.erase(handle); }

private:
    Map counts;
};

// The process-wide table.
extern HandleRefTable handleRefTable;

#endif
