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

// False on a machine that cannot start a 32-bit program at all (under Wine,
// a Linux kernel whose 32-bit emulation is off); the build's wine-env.sh
// says which in SPI_RUNS_32BIT.
inline bool MachineRuns32BitPrograms() {
    char value[4] = {};
    DWORD length = GetEnvironmentVariableA("SPI_RUNS_32BIT", value, sizeof value);
    return !(length == 1 && value[0] == '0');
}

// Leaves the calling test (or its fixture's SetUp) out where it needs a
// program of the given bitness and the machine cannot run one.
#define SKIP_UNLESS_MACHINE_RUNS(bits)                                          \
    if ((bits) == 32 && !MachineRuns32BitPrograms())                            \
    GTEST_SKIP() << "this machine cannot run 32-bit programs (SPI_RUNS_32BIT=0)"

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
