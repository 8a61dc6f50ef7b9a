// The fault guard on its own, in both builds: every kind of fault raised
// inside a plug-in DLL of the build's bitness is caught and described, each
// twice in a row, the thread stays usable, and faults the module handles
// itself are left to it.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "fault_guard.h"
#include "spi_api.h"
#include "test_support.h"

namespace {

#if defined(_WIN64)
const char* const kModule = "scripted.sph";
#else
const char* const kModule = "scripted.spi";
#endif

struct PictureCall {
    GetPictureProc proc;
    int32_t result;
    HLOCAL info;
    HLOCAL bits;
};

void CallGetPicture(void* context) {
    PictureCall* call = static_cast<PictureCall*>(context);
    call->result = call->proc("file.bin", 0, 0, &call->info, &call->bits, nullptr, 0);
}

struct Expected {
    const char* fault;   // the scripted fault kind
    DWORD code;
    int32_t access;      // -1: not an access violation
    uintptr_t address;   // for access violations
    bool raisedInModule; // a hardware fault: raised by an instruction of the module
};

const Expected kFaults[] = {
    {"avread", EXCEPTION_ACCESS_VIOLATION, 0, 0x10, true},
    {"avwrite", EXCEPTION_ACCESS_VIOLATION, 1, 0x7FFF0000, true},
    {"avnull", EXCEPTION_ACCESS_VIOLATION, 1, 0, true},
    {"div0", EXCEPTION_INT_DIVIDE_BY_ZERO, -1, 0, true},
    {"ud2", EXCEPTION_ILLEGAL_INSTRUCTION, -1, 0, true},
    {"int3", EXCEPTION_BREAKPOINT, -1, 0, true},
    {"priv", EXCEPTION_PRIV_INSTRUCTION, -1, 0, true},
    {"stack", EXCEPTION_STACK_OVERFLOW, -1, 0, true},
    {"raise:E06D7363", 0xE06D7363, -1, 0, false},
    {"raise:20000001", 0x20000001, -1, 0, false},
#if defined(_WIN64)
    // A C++ exception escaping a GCC-built module is an SEH exception on
    // x64 only; on 32-bit its runtime ends the process.
    {"throw", 0x20474343, -1, 0, false},
#endif
};

class FaultGuard : public ::testing::Test {
protected:
    void SetUp() override {
        module_ = LoadLibraryA(kModule);
        ASSERT_NE(nullptr, module_) << kModule << " error " << GetLastError();
        call_.proc = reinterpret_cast<GetPictureProc>(
            reinterpret_cast<void*>(GetProcAddress(module_, "GetPicture")));
        ASSERT_NE(nullptr, call_.proc);
    }
    void TearDown() override {
        if (module_) FreeLibrary(module_);
    }

    bool Run(CaughtFault* fault) {
        call_.result = -99;
        call_.info = call_.bits = nullptr;
        bool completed = RunGuarded(CallGetPicture, &call_, fault);
        if (call_.info) LocalFree(call_.info);
        if (call_.bits) LocalFree(call_.bits);
        return completed;
    }

    bool InModule(uintptr_t address) const {
        uintptr_t base = reinterpret_cast<uintptr_t>(module_);
        const IMAGE_DOS_HEADER* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(module_);
        const IMAGE_NT_HEADERS* nt =
            reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
        return address >= base && address < base + nt->OptionalHeader.SizeOfImage;
    }

    HMODULE module_ = nullptr;
    PictureCall call_ = {};
};

std::string Hex(uintptr_t value) {
    char text[32];
    snprintf(text, sizeof text, "0x%llx", static_cast<unsigned long long>(value));
    return text;
}

}  // namespace

TEST_F(FaultGuard, EveryKindOfFaultIsCaughtAndDescribedTwiceInARow) {
    for (const Expected& e : kFaults) {
        ScopedEnv faulting("SPITEST_FAULT_GetPicture", e.fault);
        for (int round = 1; round <= 2; ++round) {
            SCOPED_TRACE(std::string(e.fault) + " round " + std::to_string(round));
            CaughtFault fault;
            ASSERT_FALSE(Run(&fault));
            EXPECT_EQ(-99, call_.result);
            EXPECT_EQ(Hex(e.code), Hex(fault.code));
            EXPECT_EQ(e.access, fault.access);
            EXPECT_EQ(Hex(e.address), Hex(fault.address));
            if (e.raisedInModule)
                EXPECT_TRUE(InModule(fault.instruction)) << Hex(fault.instruction);
            else
                EXPECT_NE(0u, fault.instruction);
        }
    }
    // The thread is sound afterwards: a call that returns is reported so.
    CaughtFault untouched;
    untouched.code = 0x1234;
    EXPECT_TRUE(Run(&untouched));
    EXPECT_EQ(0, call_.result);
    EXPECT_EQ(0x1234u, untouched.code);
}

TEST_F(FaultGuard, FaultsTheModuleHandlesItselfNeverReachTheGuard) {
    TempDir dir;
    std::string log = dir.File("log");
    ScopedEnv logging("SPITEST_LOG", log.c_str());
    // IsBadReadPtr on a bad address, and a guard of the module's own
    // around a fault inside the call the host guards.
    for (const char* kind : {"badptr", "frame", "badptr"}) {
        SCOPED_TRACE(kind);
        ScopedEnv own("SPITEST_SELFCATCH_GetPicture", kind);
        CaughtFault fault;
        EXPECT_TRUE(Run(&fault)) << Hex(fault.code);
        EXPECT_EQ(0, call_.result);
    }
    std::string calls = ReadBytes(log);
    EXPECT_NE(std::string::npos, calls.find("GetPicture selfcatch badptr=1")) << calls;
    EXPECT_NE(std::string::npos, calls.find("GetPicture selfcatch frame completed=0")) << calls;
    // And a fault the module does not handle, after those, is still the
    // host's.
    ScopedEnv faulting("SPITEST_FAULT_GetPicture", "avnull");
    CaughtFault fault;
    EXPECT_FALSE(Run(&fault));
    EXPECT_EQ(Hex(EXCEPTION_ACCESS_VIOLATION), Hex(fault.code));
}
