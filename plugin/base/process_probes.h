// Probes of the calling process: its kernel handles, to tell whether a
// piece of work (a load and release of a plug-in, a call) left any open,
// and its heaps, to tell whether a call damaged one.
// GetProcessHandleCount cannot serve: Wine answers 0 whatever is open.
//
//   long before = KernelHandleCount();
//   ... load and release a module a few hundred times ...
//   long left = KernelHandleCount() - before;   // 0 when nothing leaked
//
// Header-only; the processes that run plug-ins, spicheck and the tests
// use them.
#ifndef SPIPROBE_PLUGIN_BASE_PROCESS_PROBES_H
#define SPIPROBE_PLUGIN_BASE_PROCESS_PROBES_H

#include <windows.h>

#include <cstdint>
#include <vector>

#include "win32_handles.h"

// The handles the process holds, from the system's handle table
// (NtQuerySystemInformation with SystemHandleInformation); -1 when the
// table cannot be read.
inline long KernelHandleCount() {
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
    HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    if (!ntdll) return -1;
    QueryProc query = reinterpret_cast<QueryProc>(
        reinterpret_cast<void*>(GetProcAddress(ntdll, "NtQuerySystemInformation")));
    if (!query) return -1;
    std::vector<char> buffer(1 << 20);
    for (int attempt = 0; attempt < 4; ++attempt) {
        ULONG needed = 0;
        LONG status = query(kSystemHandleInformation, buffer.data(),
                            static_cast<ULONG>(buffer.size()), &needed);
        if (status == 0) {
            const Table* table = reinterpret_cast<const Table*>(buffer.data());
            const DWORD self = GetCurrentProcessId();
            long count = 0;
            for (ULONG i = 0; i < table->count; ++i)
                if (table->entries[i].process == self) ++count;
            return count;
        }
        buffer.resize(buffer.size() * 4);
    }
    return -1;
}

// The value the next handle created gets (0 when none can be created). The
// system reuses the values of closed handles, so this rises when handles
// are left open in the slots it would hand out next; one left open beyond
// a freed slot does not move it. KernelHandleCount is the exact measure.
inline uintptr_t NextHandleValue() {
    UniqueKernelHandle probe(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    return reinterpret_cast<uintptr_t>(probe.get());  // closed on return
}

// Whether every heap of the process is intact: a walk of each heap that
// GetProcessHeaps names, with HeapValidate. A plug-in that writes past a
// block it allocated leaves a heap that fails it; the walk costs about a
// millisecond, so processes that run plug-ins call it after their calls.
inline bool EveryHeapIntact() {
    HANDLE heaps[256];
    DWORD count = GetProcessHeaps(256, heaps);
    if (count > 256) count = 256;
    for (DWORD n = 0; n < count; ++n)
        if (!HeapValidate(heaps[n], 0, nullptr)) return false;
    return true;
}

#endif
