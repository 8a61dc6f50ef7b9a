// Loading and releasing plug-in modules hundreds of times leaves nothing
// behind: no kernel handle, no TLS slot and no heap block, for the
// reference plug-ins, the test plug-ins, a module that throws inside its
// calls, and the library's on-demand residency, which loads the module
// around every call.
#include <gtest/gtest.h>

#include <windows.h>

#include <string>

#include "base/process_probes.h"
#include "spi_api.h"
#include "spi_dll_file.h"
#include "test_support.h"

namespace {

// What a module left behind in the process shows in these figures.
struct Holdings {
    long handles;           // kernel handles held
    uintptr_t nextHandle;   // value the next handle gets
    DWORD nextTlsSlot;      // index the next TlsAlloc gets
    size_t heapBytes;       // bytes in the blocks in use on the process's heaps
};

size_t HeapBytesInUse() {
    HANDLE heaps[64];
    DWORD count = GetProcessHeaps(64, heaps);
    size_t total = 0;
    for (DWORD i = 0; i < count && i < 64; ++i) {
        PROCESS_HEAP_ENTRY entry = {};
        HeapLock(heaps[i]);
        while (HeapWalk(heaps[i], &entry))
            if (entry.wFlags & PROCESS_HEAP_ENTRY_BUSY) total += entry.cbData;
        HeapUnlock(heaps[i]);
    }
    return total;
}

long long HeapGrowth(const Holdings& before, const Holdings& after) {
    return static_cast<long long>(after.heapBytes) - static_cast<long long>(before.heapBytes);
}

Holdings Now() {
    DWORD slot = TlsAlloc();
    if (slot != TLS_OUT_OF_INDEXES) TlsFree(slot);
    return {KernelHandleCount(), NextHandleValue(), slot, HeapBytesInUse()};
}

// Plug-in file names of this build: <name>.spi, <name>.sph on x64.
std::string Plugin(const char* base) { return base + std::string(SPI_EXT); }

typedef int32_t(SPI_API* GetPluginInfoProc)(int32_t infono, LPSTR buf, int32_t buflen);

// Loads and releases build/bin/<name> `times` times. With askMissingInfo,
// asks the loaded module for an info number it lacks (the throwing plug-in
// throws and catches to answer it). False, with a message, on any failure.
testing::AssertionResult Cycle(const std::string& name, int times, bool askMissingInfo = false) {
    const std::string path = BinPath(name);
    for (int i = 0; i < times; ++i) {
        HMODULE module = LoadLibraryA(path.c_str());
        if (!module)
            return testing::AssertionFailure()
                   << "load " << i + 1 << " of " << name << " failed, error " << GetLastError();
        if (askMissingInfo) {
            GetPluginInfoProc info = reinterpret_cast<GetPluginInfoProc>(
                reinterpret_cast<void*>(GetProcAddress(module, "GetPluginInfo")));
            char text[64];
            int32_t answer = info ? info(99, text, sizeof text) : -1;
            if (answer != 0) {
                FreeLibrary(module);
                return testing::AssertionFailure() << name << " answered " << answer
                                                   << " for info number 99";
            }
        }
        FreeLibrary(module);
    }
    return testing::AssertionSuccess();
}

// The first loads leave what stays for the process's lifetime (the loader's
// own state); after `warmUp` of them, `measured` more must leave nothing.
void ExpectNothingLeft(const std::string& name, int warmUp, int measured,
                       bool askMissingInfo = false) {
    SCOPED_TRACE(name);
    ASSERT_TRUE(Cycle(name, warmUp, askMissingInfo));
    Holdings before = Now();
    ASSERT_GE(before.handles, 0) << "the system handle table could not be read";
    ASSERT_TRUE(Cycle(name, measured, askMissingInfo));
    Holdings after = Now();
    EXPECT_EQ(before.handles, after.handles)
        << measured << " loads left " << after.handles - before.handles << " handles";
    EXPECT_EQ(before.nextHandle, after.nextHandle);
    EXPECT_EQ(before.nextTlsSlot, after.nextTlsSlot)
        << measured << " loads left " << after.nextTlsSlot - before.nextTlsSlot << " TLS slots";
    // The loader now and then grows a table of its own by a few bytes; a
    // block left at every load would come to at least a byte a load.
    EXPECT_LT(HeapGrowth(before, after), measured)
        << measured << " loads left " << HeapGrowth(before, after) << " heap bytes";
}

}  // namespace

// 900 loads and releases: the figures after the last equal those after 300.
TEST(PluginHandles, ReferencePluginsLeaveNothingAtLoadAndRelease) {
    ExpectNothingLeft("bmp" SPI_EXT, 300, 600);
    ExpectNothingLeft("tar" SPI_EXT, 300, 600);
}

TEST(PluginHandles, DefectAndBenchmarkPluginsLeaveNothingAtLoadAndRelease) {
    for (const char* name : {"defect_image" SPI_EXT, "defect_archive" SPI_EXT, "bench_empty" SPI_EXT})
        ExpectNothingLeft(name, 20, 100);
}

TEST(PluginHandles, ScriptedPluginLeavesNothingAtLoadAndRelease) {
    ExpectNothingLeft(Plugin("scripted"), 20, 100);
}

// The runtime's exception state is set up at the first throw; it goes with
// the module too, also when a static destructor throws during the release.
TEST(PluginHandles, ModuleThatThrowsInEveryLoadLeavesNothing) {
    ExpectNothingLeft(Plugin("throwing"), 100, 300, true);
}

// The same module built without the runtime release shows what the counting
// catches: libstdc++'s emergency exception pool at every load, on x86 one
// semaphore per load, and with a throw a second one and a TLS slot (past
// about a thousand such loads TlsAlloc fails and the module's runtime
// aborts the process).
TEST(PluginHandles, ModuleWithoutRuntimeReleaseLeavesHandlesAtEveryLoad) {
#if defined(__i386__)
    const long kPerLoad = 1;  // the unwinder's frame registry
#else
    const long kPerLoad = 0;
#endif
    const std::string name = Plugin("throwing_unmended");
    ASSERT_TRUE(Cycle(name, 10));
    Holdings start = Now();
    ASSERT_TRUE(Cycle(name, 100));
    Holdings loaded = Now();
    ASSERT_TRUE(Cycle(name, 100, true));
    Holdings thrown = Now();
    EXPECT_LT(100 * 1024, HeapGrowth(start, loaded));
    EXPECT_EQ(100 * kPerLoad, loaded.handles - start.handles);
    EXPECT_EQ(start.nextTlsSlot, loaded.nextTlsSlot);
    EXPECT_EQ(100 * (kPerLoad + 1), thrown.handles - loaded.handles);
    EXPECT_EQ(100u, thrown.nextTlsSlot - loaded.nextTlsSlot);
}

// On-demand residency loads and releases the module around each call.
TEST(PluginHandles, OnDemandCallsThroughTheLibraryLeaveNothing) {
    SpiDllFile plugin(OnDemand);
    std::string folder = BinDir();
    folder.pop_back();
    ASSERT_EQ(1, plugin.Load(folder.c_str(), "tar" SPI_EXT));
    ASSERT_EQ(OnDemand, plugin.Residency());
    ASSERT_FALSE(plugin.HoldsModule());
    char text[64];
    auto calls = [&](int times) {
        for (int i = 0; i < times; ++i)
            if (plugin.GetPluginInfo(1, text, sizeof text) <= 0) return false;
        return true;
    };
    ASSERT_TRUE(calls(100));
    Holdings before = Now();
    ASSERT_TRUE(calls(300));
    Holdings after = Now();
    EXPECT_EQ(before.handles, after.handles)
        << "300 calls left " << after.handles - before.handles << " handles";
    EXPECT_EQ(before.nextTlsSlot, after.nextTlsSlot);
    EXPECT_LT(HeapGrowth(before, after), 300) << "300 calls left heap bytes";
}
