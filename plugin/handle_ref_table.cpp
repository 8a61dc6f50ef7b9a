// HandleRefTable and the process-wide instance.
#include "handle_ref_table.h"

// A namespace-scope object: constructed before main, destroyed at exit.
// Its destructor only drops the map; blocks still counted then belong to
// streams that were never closed, and the process is ending anyway.
HandleRefTable handleRefTable;

int32_t HandleRefTable::CountOf(HLOCAL handle) const {
    Map::const_iterator it = counts.find(handle);
    return it == counts.end() ? 0 : it->second;
}

int32_t* HandleRefTable::Find(HLOCAL handle) {
    Map::iterator it = counts.find(handle);
    return it == counts.end() ? nullptr : &it->second;
}

int32_t HandleRefTable::AddRef(HLOCAL handle, int32_t initial) {
    std::pair<Map::iterator, bool> placed = counts.insert(Map::value_type(handle, initial));
    if (!placed.second) ++placed.first->second;
    return placed.first->second;
}
