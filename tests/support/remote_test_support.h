// Helpers for the tests of plug-ins run in runner processes.
#ifndef SPIPROBE_TESTS_REMOTE_TEST_SUPPORT_H
#define SPIPROBE_TESTS_REMOTE_TEST_SUPPORT_H

#include <windows.h>
#include <tlhelp32.h>

#include <string>

#include "test_support.h"
#include "win32_handles.h"

// The runners' processes alive in the prefix now.
inline int RunnerProcessCount() {
    UniqueKernelHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot.valid() || snapshot.get() == INVALID_HANDLE_VALUE) {
        snapshot.release();
        return -1;
    }
    PROCESSENTRY32 entry;
    entry.dwSize = sizeof entry;
    int count = 0;
    for (BOOL more = Process32First(snapshot.get(), &entry); more;
         more = Process32Next(snapshot.get(), &entry)) {
        if (lstrcmpiA(entry.szExeFile, "spirunner32.exe") == 0 ||
            lstrcmpiA(entry.szExeFile, "spirunner64.exe") == 0)
            ++count;
    }
    return count;
}

// A plug-in built in this tree (bits the tree's) or in the other one,
// whose bin folder is beside this one's: build/bin and build/x64/bin.
inline std::string PluginOfBits(const std::string& name, int bits) {
#if defined(_WIN64)
    return bits == 64 ? BinPath(name + ".sph") : BinPath("..\\..\\bin\\" + name + ".spi");
#else
    return bits == 32 ? BinPath(name + ".spi") : BinPath("..\\x64\\bin\\" + name + ".sph");
#endif
}

inline std::string RunnerOfBits(int bits) {
    return BinPath(bits == 64 ? "spirunner64.exe" : "spirunner32.exe");
}

#endif
