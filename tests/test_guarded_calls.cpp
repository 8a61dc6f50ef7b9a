// The nine guarded operations: kind checks, missing exports, faults inside
// the module, and the residency handling around each call.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "dll_internals.h"
#include "test_support.h"

namespace {

const char* const kScripted = "scripted" SPI_EXT;

bool ScriptedIsLoaded() { return GetModuleHandleA(kScripted) != nullptr; }

enum class Op {
    GetPluginInfo,
    IsSupported,
    ConfigurationDlg,
    GetPictureInfo,
    GetPicture,
    GetPreview,
    GetArchiveInfo,
    GetFileInfo,
    GetFile
};

struct OpInfo {
    Op op;
    const char* name;
    bool archive;         // needs an archive plug-in
    int32_t faultResult;  // what a caught fault gives
    int32_t goodResult;   // what the well-behaved scripted module gives
};

const OpInfo kOps[] = {
    {Op::GetPluginInfo, "GetPluginInfo", false, 8, 4},
    {Op::IsSupported, "IsSupported", false, 0, 1},
    {Op::ConfigurationDlg, "ConfigurationDlg", false, 8, 0},
    {Op::GetPictureInfo, "GetPictureInfo", false, 8, 0},
    {Op::GetPicture, "GetPicture", false, 8, 0},
    {Op::GetPreview, "GetPreview", false, 8, 0},
    {Op::GetArchiveInfo, "GetArchiveInfo", true, 8, 0},
    {Op::GetFileInfo, "GetFileInfo", true, 8, 0},
    {Op::GetFile, "GetFile", true, 8, 0},
};

// Calls one operation with plausible arguments and frees what it returns.
int32_t Call(SpiDllFile& plugin, Op op) {
    char buffer[2048] = {};
    PictureInfo info;
    HLOCAL a = nullptr, b = nullptr;
    fileInfo entry;
    int32_t r = -99;
    switch (op) {
    case Op::GetPluginInfo: r = plugin.GetPluginInfo(0, buffer, sizeof buffer); break;
    case Op::IsSupported: r = plugin.IsSupported("file.bin", buffer); break;
    case Op::ConfigurationDlg: r = plugin.ConfigurationDlg(nullptr, 1); break;
    case Op::GetPictureInfo: r = plugin.GetPictureInfo("file.bin", 0, 0, &info); break;
    case Op::GetPicture: r = plugin.GetPicture("file.bin", 0, 0, &a, &b, nullptr, 0); break;
    case Op::GetPreview: r = plugin.GetPreview("file.bin", 0, 0, &a, &b, nullptr, 0); break;
    case Op::GetArchiveInfo: r = plugin.GetArchiveInfo("file.bin", 0, 0, &a); break;
    case Op::GetFileInfo: r = plugin.GetFileInfo("file.bin", 0, "m.txt", 0, &entry); break;
    case Op::GetFile:
        r = plugin.GetFile("file.bin", 0, reinterpret_cast<LPSTR>(&a), 0x100, nullptr, 0);
        break;
    }
    if (r == 0 || op == Op::GetArchiveInfo) {
        if (a) LocalFree(a);
        if (b) LocalFree(b);
    }
    return r;
}

class GuardedCalls : public ::testing::Test {
protected:
    // Turns the scripted plug-in's log on for the test; the log's path.
    std::string LogCalls() {
        std::string log = scratch.File("log");
        script.Set("LOG", log);
        return log;
    }

    TempDir scratch;
    // A member so the archive operations have something to act on.
    PluginScript script{{"MEMBERS", "tar,0,5,5,0,,m.txt,0,0"}};
};

}  // namespace

TEST_F(GuardedCalls, EveryKindOfFaultBecomesTheFaultResultAndTheNextCallWorks) {
    const char* faults[] = {"avread", "avwrite", "avnull", "div0",           "ud2",
                            "int3",   "priv",    "stack",  "raise:E06D7363", "raise:20000001"};
    for (const OpInfo& op : kOps) {
        PluginScript kind({{"VERSION", op.archive ? "00AM" : "00IN"}});
        SpiDllFile plugin(OnDemand);
        ASSERT_EQ(1, plugin.Load(nullptr, kScripted));
        for (const char* fault : faults) {
            SCOPED_TRACE(std::string(op.name) + " " + fault);
            {
                ScopedEnv faulting("SPITEST_FAULT_" + std::string(op.name), fault);
                EXPECT_EQ(op.faultResult, Call(plugin, op.op));
                EXPECT_FALSE(plugin.HoldsModule());
                EXPECT_FALSE(ScriptedIsLoaded());
            }
            EXPECT_EQ(op.goodResult, Call(plugin, op.op));
            EXPECT_FALSE(ScriptedIsLoaded());
        }
    }
}

TEST_F(GuardedCalls, FaultsInAResidentModuleKeepItLoaded) {
    InspectableDll plugin;
    plugin.MakeResident();
    ASSERT_EQ(1, plugin.Load(nullptr, kScripted));
    HMODULE held = GetModuleHandleA(kScripted);
    for (const char* fault : {"avwrite", "stack", "stack", "raise:E06D7363"}) {
        SCOPED_TRACE(fault);
        ScopedEnv faulting("SPITEST_FAULT_GetPicture", fault);
        EXPECT_EQ(8, Call(plugin, Op::GetPicture));
        EXPECT_TRUE(plugin.HoldsModule());
        EXPECT_EQ(held, GetModuleHandleA(kScripted));
    }
    EXPECT_EQ(0, Call(plugin, Op::GetPicture));
}

TEST_F(GuardedCalls, ModulesThatCatchTheirOwnFaultsAreUndisturbed) {
    std::string log = LogCalls();
    SpiDllFile plugin(OnDemand);
    ASSERT_EQ(1, plugin.Load(nullptr, kScripted));
    {
        ScopedEnv own("SPITEST_SELFCATCH_GetPicture", "badptr");
        EXPECT_EQ(0, Call(plugin, Op::GetPicture));
    }
    {
        ScopedEnv own("SPITEST_SELFCATCH_GetPicture", "frame");
        EXPECT_EQ(0, Call(plugin, Op::GetPicture));
    }
    std::string calls = ReadBytes(log);
    EXPECT_NE(std::string::npos, calls.find("GetPicture selfcatch badptr=1")) << calls;
    EXPECT_NE(std::string::npos, calls.find("GetPicture selfcatch frame completed=0")) << calls;
}

TEST_F(GuardedCalls, LastFaultDescribesWhatTheGuardCaughtUntilTheNextOperation) {
    SpiDllFile plugin(OnDemand);
    ASSERT_EQ(1, plugin.Load(nullptr, kScripted));
    EXPECT_EQ(SpiFaultKind::None, plugin.LastFault().kind);
    struct Case {
        const char* fault;
        DWORD code;
        int32_t access;
        uintptr_t address;
    } cases[] = {
        {"avread", EXCEPTION_ACCESS_VIOLATION, 0, 0x10},
        {"avwrite", EXCEPTION_ACCESS_VIOLATION, 1, 0x7FFF0000},
        {"div0", EXCEPTION_INT_DIVIDE_BY_ZERO, -1, 0},
        {"raise:20000001", 0x20000001, -1, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.fault);
        {
            ScopedEnv faulting("SPITEST_FAULT_GetPicture", c.fault);
            EXPECT_EQ(8, Call(plugin, Op::GetPicture));
        }
        const SpiFault& fault = plugin.LastFault();
        EXPECT_EQ(SpiFaultKind::Exception, fault.kind);
        EXPECT_EQ(c.code, fault.code);
        EXPECT_EQ(c.access, fault.access);
        EXPECT_EQ(c.address, fault.address);
        EXPECT_NE(0u, fault.instruction);
        EXPECT_EQ(0, Call(plugin, Op::GetPicture));
        EXPECT_EQ(SpiFaultKind::None, plugin.LastFault().kind);
    }

    // Faults the module catches itself never reach the guard, whatever the
    // module answers afterwards.
    for (const char* own : {"badptr", "frame"}) {
        SCOPED_TRACE(own);
        ScopedEnv selfCatching("SPITEST_SELFCATCH_IsSupported", own);
        ScopedEnv declining("SPITEST_RESULT_IsSupported", "0");
        EXPECT_EQ(0, Call(plugin, Op::IsSupported));
        EXPECT_EQ(SpiFaultKind::None, plugin.LastFault().kind);
    }
}

TEST_F(GuardedCalls, AFaultWhileTheModuleIsIdentifiedFailsTheLoadAndIsKept) {
    SpiDllFile plugin;
    ScopedEnv faulting("SPITEST_FAULT_GetPluginInfo", "avnull");
    EXPECT_EQ(0, plugin.Load(nullptr, kScripted));
    EXPECT_EQ(SpiFaultKind::Exception, plugin.LastFault().kind);
    EXPECT_EQ(static_cast<DWORD>(EXCEPTION_ACCESS_VIOLATION), plugin.LastFault().code);
    EXPECT_EQ(1, plugin.LastFault().access);
    EXPECT_EQ(0u, plugin.LastFault().address);
    EXPECT_FALSE(ScriptedIsLoaded());
    EXPECT_EQ(1, plugin.Unload());
    EXPECT_EQ(SpiFaultKind::None, plugin.LastFault().kind);
}

TEST_F(GuardedCalls, FaultWhileTheModuleIsReleasedLeavesTheObjectConsistent) {
    InspectableDll plugin(OnDemand);
    ASSERT_EQ(1, plugin.Load(nullptr, kScripted));
    {
        ScopedEnv faulting("SPITEST_FAULT_DETACH", "avread");
        int32_t r = Call(plugin, Op::GetPicture);
        // Wine's loader catches a fault in a module's detach code itself
        // (FreeLibrary returns normally: 0); where it reaches the guard
        // instead, the call answers 8.
        EXPECT_TRUE(r == 0 || r == 8) << r;
        EXPECT_FALSE(plugin.HoldsModule());
        EXPECT_FALSE(plugin.AnyEntryPoint());
    }
    EXPECT_EQ(0, Call(plugin, Op::GetPicture));
}

TEST_F(GuardedCalls, KindChecksAndMissingExportsAnswerMinusOneAndTouchNothing) {
    SpiDllFile image(OnDemand);
    ASSERT_EQ(1, image.Load(nullptr, kScripted));
    HLOCAL handle = reinterpret_cast<HLOCAL>(0x1234);
    EXPECT_EQ(-1, image.GetArchiveInfo("f", 0, 0, &handle));
    EXPECT_EQ(nullptr, handle);
    EXPECT_EQ(-1, Call(image, Op::GetFile));
    EXPECT_EQ(-1, Call(image, Op::GetFileInfo));

    PluginScript archiveKind({{"VERSION", "00AM"}});
    SpiDllFile archive(OnDemand);
    ASSERT_EQ(1, archive.Load(nullptr, kScripted));
    PictureInfo info;
    memset(&info, 0x5A, sizeof info);
    EXPECT_EQ(-1, archive.GetPictureInfo("f", 0, 0, &info));
    EXPECT_EQ(0x5A5A5A5A, info.width);
    EXPECT_EQ(-1, Call(archive, Op::GetPicture));
    EXPECT_EQ(1, Call(archive, Op::IsSupported));
}

TEST(GuardedCallsMissing, MissingExportsAnswerMinusOne) {
    {
        SpiDllFile plugin(OnDemand);
        ASSERT_EQ(1, plugin.Load(nullptr, "scripted_no_getpictureinfo" SPI_EXT));
        PictureInfo info;
        memset(&info, 0x5A, sizeof info);
        EXPECT_EQ(-1, plugin.GetPictureInfo("f", 0, 0, &info));
        EXPECT_EQ(0x5A5A5A5A, info.width);
    }
    {
        SpiDllFile plugin(OnDemand);
        ASSERT_EQ(1, plugin.Load(nullptr, "scripted_no_issupported" SPI_EXT));
        char sample[2048] = {};
        EXPECT_EQ(-1, plugin.IsSupported("f", sample));
    }
    {
        SpiDllFile plugin(OnDemand);
        ASSERT_EQ(1, plugin.Load(nullptr, "scripted_no_configurationdlg" SPI_EXT));
        EXPECT_EQ(-1, plugin.ConfigurationDlg(nullptr, -1));
        EXPECT_EQ(-1, plugin.ConfigurationDlg(nullptr, 0));
    }
}

TEST_F(GuardedCalls, ExtraStepsOfPictureInfoArchiveInfoAndTheDialogProbe) {
    std::string log = LogCalls();
    {
        SpiDllFile plugin(OnDemand);
        ASSERT_EQ(1, plugin.Load(nullptr, kScripted));
        // The dialog probe answers without calling the module.
        EXPECT_EQ(0, plugin.ConfigurationDlg(nullptr, -1));
        EXPECT_EQ(std::string::npos, ReadBytes(log).find("ConfigurationDlg")) << ReadBytes(log);
        // The record is zeroed before the module fills it: hInfo stays 0.
        PictureInfo info;
        memset(&info, 0x5A, sizeof info);
        EXPECT_EQ(0, plugin.GetPictureInfo("f", 0, 0, &info));
        EXPECT_EQ(nullptr, info.hInfo);
        EXPECT_EQ(16, info.width);
    }
    PluginScript archive({{"VERSION", "00AM"}, {"RESULT_GetArchiveInfo", "3"}});
    SpiDllFile plugin(OnDemand);
    ASSERT_EQ(1, plugin.Load(nullptr, kScripted));
    HLOCAL list = nullptr;
    EXPECT_EQ(0, plugin.GetArchiveInfo("f", 0, 0, &list));
    ASSERT_NE(nullptr, list);
    LocalFree(list);
    ScopedEnv none("SPITEST_LIST", "none");
    EXPECT_EQ(3, plugin.GetArchiveInfo("f", 0, 0, &list));
    EXPECT_EQ(nullptr, list);
}

TEST_F(GuardedCalls, OnDemandHoldsNothingBetweenCallsResidentHoldsUntilUnload) {
    InspectableDll onDemand(OnDemand);
    ASSERT_EQ(1, onDemand.Load(nullptr, kScripted));
    for (const OpInfo& op : kOps) {
        if (op.archive) continue;
        Call(onDemand, op.op);
        EXPECT_FALSE(ScriptedIsLoaded()) << op.name;
    }
    // The kind check comes before any loading.
    EXPECT_EQ(-1, onDemand.GetArchiveInfo("f", 0, 0, nullptr));
    EXPECT_FALSE(ScriptedIsLoaded());

    // A missing export leaves the module that was brought in loaded until
    // the next call that completes.
    InspectableDll noPicture(OnDemand);
    ASSERT_EQ(1, noPicture.Load(nullptr, "scripted_no_getpicture" SPI_EXT));
    EXPECT_EQ(-1, Call(noPicture, Op::GetPicture));
    EXPECT_NE(nullptr, GetModuleHandleA("scripted_no_getpicture" SPI_EXT));
    EXPECT_EQ(1, Call(noPicture, Op::IsSupported));
    EXPECT_EQ(nullptr, GetModuleHandleA("scripted_no_getpicture" SPI_EXT));

    InspectableDll resident;
    resident.MakeResident();
    ASSERT_EQ(1, resident.Load(nullptr, kScripted));
    for (const OpInfo& op : kOps) {
        if (op.archive) continue;
        Call(resident, op.op);
        EXPECT_TRUE(ScriptedIsLoaded()) << op.name;
    }
    resident.Unload();
    EXPECT_FALSE(ScriptedIsLoaded());
}

TEST_F(GuardedCalls, AfterUnloadResidentReloadsAndUndecidedAnswersMinusOne) {
    InspectableDll resident;
    resident.MakeResident();
    ASSERT_EQ(1, resident.Load(nullptr, kScripted));
    resident.Unload();
    EXPECT_EQ(0, Call(resident, Op::GetPicture));
    EXPECT_TRUE(resident.HoldsModule());

    InspectableDll undecided;
    undecided.decideResidency = [](SpiDllFile*, uint32_t, uint32_t) -> int32_t { return 0; };
    ASSERT_EQ(1, undecided.Load(nullptr, kScripted));
    EXPECT_EQ(Undecided, undecided.Residency());
    EXPECT_EQ(0, Call(undecided, Op::GetPicture));
    undecided.Unload();
    EXPECT_EQ(-1, Call(undecided, Op::GetPicture));
    EXPECT_EQ(-1, Call(undecided, Op::GetPluginInfo));
}

TEST_F(GuardedCalls, AResidentModuleThatFaultsWhileReloadedIsAFailedReload) {
    InspectableDll resident;
    resident.MakeResident();
    ASSERT_EQ(1, resident.Load(nullptr, kScripted));
    resident.Unload();
    {
        ScopedEnv faulting("SPITEST_FAULT_GetPluginInfo", "avnull");
        EXPECT_EQ(-1, Call(resident, Op::GetPicture));
        EXPECT_FALSE(resident.HoldsModule());
        EXPECT_FALSE(ScriptedIsLoaded());
    }
    EXPECT_EQ(0, Call(resident, Op::GetPicture));
}
