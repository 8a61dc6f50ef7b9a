// Shared by the TAR plug-in tests: the archives GNU tar made at build time
// (fixtures/tar, beside bin), GNU tar's own listings of them, and the
// plug-in's list and member blocks turned into plain values.
#ifndef SPIPROBE_TESTS_TAR_FIXTURES_H
#define SPIPROBE_TESTS_TAR_FIXTURES_H

#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

#include "local_blocks.h"
#include "spiplugin.h"
#include "test_support.h"

inline std::string TarFixture(const std::string& name) { return FixturePath("tar", name); }

struct ListedMember {
    std::string name;  // as tar prints it, "/" separators
    uint32_t size;
    int32_t mtime;
};

inline int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

// The regular files of a `tar -tv --full-time --numeric-owner` listing
// (made with TZ=UTC), in archive order.
inline std::vector<ListedMember> ReadListing(const std::string& listName) {
    std::vector<ListedMember> members;
    std::istringstream in(ReadBytes(TarFixture(listName)));
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] != '-') continue;
        std::istringstream fields(line);
        std::string mode, owner, date, time;
        uint32_t size = 0;
        fields >> mode >> owner >> size >> date >> time;
        std::string name;
        std::getline(fields >> std::ws, name);
        int y = 0, mo = 0, d = 0, h = 0, mi = 0, s = 0;
        sscanf(date.c_str(), "%d-%d-%d", &y, &mo, &d);
        sscanf(time.c_str(), "%d:%d:%d", &h, &mi, &s);
        int64_t seconds = DaysFromCivil(y, mo, d) * 86400 + h * 3600 + mi * 60 + s;
        members.push_back({name, size, static_cast<int32_t>(seconds)});
    }
    return members;
}

// path + filename, with "/" for "\" so it compares with tar's names.
inline std::string FullName(const fileInfo& entry) {
    std::string name = std::string(entry.path) + entry.filename;
    for (char& c : name) {
        if (c == '\\') c = '/';
    }
    return name;
}

// The entry of that full name ("/" separators), or null.
inline const fileInfo* FindEntry(const std::vector<fileInfo>& entries, const std::string& name) {
    for (const fileInfo& entry : entries) {
        if (FullName(entry) == name) return &entry;
    }
    return nullptr;
}

// The records of a list block up to its terminator (fileInfoW for a wide
// list); frees the block.
template <typename Record = fileInfo>
std::vector<Record> TakeList(HLOCAL list) {
    std::vector<Record> entries;
    if (!list) return entries;
    SIZE_T size = LocalSize(list);
    const Record* records = static_cast<const Record*>(LocalLock(list));
    for (SIZE_T i = 0; records && (i + 1) * sizeof(Record) <= size && records[i].method[0]; ++i)
        entries.push_back(records[i]);
    if (records) LocalUnlock(list);
    LocalFree(list);
    return entries;
}

#endif
