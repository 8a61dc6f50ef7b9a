// Number of kernel handles (files, directories, registry keys, ...) the
// test process holds, from the system's handle table. Taken before and
// after a piece of work, equal counts show it closed everything it opened.
// GetProcessHandleCount cannot serve: Wine answers 0 whatever is open.
#ifndef SPIPROBE_TESTS_HANDLE_COUNT_H
#define SPIPROBE_TESTS_HANDLE_COUNT_H

#include <windows.h>

#include <vector>

inline long OpenHandleCount() {
    struct Entry {
        ULONG process;
        BYTE type;
        BYTE flags;
        USHORT handle;
        PVOID object;
        ACCESS_MASK access;
    };
    struct Table {
        ULONG count;
        Entry entries[1];
    };
    typedef LONG(WINAPI * QueryProc)(ULONG, PVOID, ULONG, PULONG);
    const ULONG kSystemHandleInformation = 16;
    QueryProc query = reinterpret_cast<QueryProc>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleA("ntdll.dll"), "NtQuerySystemInformation")));
    if (!query) return -1;
    std::vector<char> buffer(1 << 20);
    for (int attempt = 0; attempt < 4; ++attempt) {
        ULONG needed = 0;
        LONG status = query(kSystemHandleInformation, buffer.data(),
                            static_cast<ULONG>(buffer.size()), &needed);
        if (status == 0) {
            const Table* table = reinterpret_cast<const Table*>(buffer.data());
            long count = 0;
            for (ULONG i = 0; i < table->count; ++i)
                if (table->entries[i].process == GetCurrentProcessId()) ++count;
            return count;
        }
        buffer.resize(buffer.size() * 4);
    }
    return -1;
}

#endif
