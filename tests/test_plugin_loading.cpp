// Loading and identifying plug-in modules: kinds, texts, the extension
// list, residency and the refusals.
#include <gtest/gtest.h>

#include <mbctype.h>

#include <cstring>
#include <string>

#include "dll_internals.h"
#include "test_support.h"

namespace {

const std::string kScripted = "scripted" SPI_EXT;

bool ModuleIsLoaded(const std::string& name) { return GetModuleHandleA(name.c_str()) != nullptr; }

}  // namespace

TEST(PluginObject, NewObjectIsUnknownAndAnswersMinusOneEverywhere) {
    SpiDllFile plugin;
    EXPECT_EQ(-1, plugin.GetKind());
    char buffer[16] = "untouched";
    PictureInfo info;
    memset(&info, 0x5A, sizeof info);
    HLOCAL handle = reinterpret_cast<HLOCAL>(0x1234);
    HLOCAL bits = nullptr;
    fileInfo entry = {};
    EXPECT_EQ(-1, plugin.GetPluginInfo(0, buffer, sizeof buffer));
    EXPECT_STREQ("untouched", buffer);
    EXPECT_EQ(-1, plugin.IsSupported("x", buffer));
    EXPECT_EQ(-1, plugin.ConfigurationDlg(nullptr, -1));
    EXPECT_EQ(-1, plugin.GetPictureInfo("x", 0, 0, &info));
    EXPECT_EQ(0x5A, reinterpret_cast<unsigned char*>(&info)[25]);
    EXPECT_EQ(-1, plugin.GetPicture("x", 0, 0, &handle, &bits, nullptr, 0));
    EXPECT_EQ(-1, plugin.GetPreview("x", 0, 0, &handle, &bits, nullptr, 0));
    EXPECT_EQ(-1, plugin.GetArchiveInfo("x", 0, 0, &handle));
    EXPECT_EQ(nullptr, handle);
    EXPECT_EQ(-1, plugin.GetFileInfo("x", 0, "m", 0, &entry));
    EXPECT_EQ(-1, plugin.GetFile("x", 0, buffer, 0x100, nullptr, 0));
    EXPECT_EQ(1, plugin.Unload());
}

// SpiFile's own operations answer as a module without the export would.
TEST(PluginObject, BaseClassOperationsAnswerNotImplemented) {
    struct Bare : SpiFile {
        int32_t Load(LPCSTR, LPCSTR) override { return 1; }
        int32_t Unload() override { return 1; }
    } bare;
    HLOCAL handle = reinterpret_cast<HLOCAL>(0x1234);
    EXPECT_EQ(-1, bare.GetKind());
    EXPECT_EQ(-1, bare.GetPluginInfo(0, nullptr, 0));
    EXPECT_EQ(-1, bare.GetArchiveInfo("x", 0, 0, &handle));
    EXPECT_EQ(reinterpret_cast<HLOCAL>(0x1234), handle);
    EXPECT_EQ(-1, bare.GetFile(nullptr, 0, nullptr, 0, nullptr, 0));
    EXPECT_EQ(nullptr, dynamic_cast<SpiDllFile*>(static_cast<SpiFile*>(&bare)));
}

TEST(PluginLoading, IdentifiesImageAndArchiveByTheThirdCharacter) {
    {
        PluginScript script({{"VERSION", "00IN"}, {"ABOUT", "picture reader"}});
        SpiDllFile plugin;
        ASSERT_EQ(1, plugin.Load(nullptr, kScripted.c_str()));
        EXPECT_EQ(0, plugin.GetKind());
        EXPECT_STREQ("picture reader", plugin.GetAboutText());
        EXPECT_STREQ(kScripted.c_str(), plugin.GetModulePath());
    }
    {
        PluginScript script({{"VERSION", "00AM"}});
        SpiDllFile plugin;
        ASSERT_EQ(1, plugin.Load("", kScripted.c_str()));
        EXPECT_EQ(2, plugin.GetKind());
        EXPECT_STREQ(kScripted.c_str(), plugin.GetModulePath());
    }
}

TEST(PluginLoading, RefusesExportUnknownAndShortVersions) {
    struct Case {
        const char* version;
        int32_t kind;
    } cases[] = {{"00XN", 1}, {"00ZZ", -1}, {"00", -1}, {"", -1}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.version);
        PluginScript script({{"VERSION", c.version}});
        InspectableDll plugin;
        EXPECT_EQ(0, plugin.Load(nullptr, kScripted.c_str()));
        EXPECT_EQ(c.kind, plugin.GetKind());
        EXPECT_FALSE(plugin.HoldsModule());
        EXPECT_FALSE(plugin.AnyEntryPoint());
        EXPECT_FALSE(ModuleIsLoaded(kScripted));
    }
}

TEST(PluginLoading, HasExportAnswersForAllNineNamesWhateverTheKind) {
    SpiDllFile plugin(OnDemand);
    EXPECT_FALSE(plugin.HasExport("GetPluginInfo"));
    ASSERT_EQ(1, plugin.Load(nullptr, "scripted_no_getpicture" SPI_EXT));
    EXPECT_EQ(0, plugin.GetKind());
    EXPECT_FALSE(plugin.HasExport("GetPicture"));
    for (const char* name : {"GetPluginInfo", "IsSupported", "GetPictureInfo", "GetPreview",
                             "GetArchiveInfo", "GetFileInfo", "GetFile", "ConfigurationDlg"}) {
        EXPECT_TRUE(plugin.HasExport(name)) << name;
    }
    EXPECT_FALSE(plugin.HasExport("DllMain"));
    EXPECT_FALSE(plugin.HasExport(nullptr));
    // Still known while the OnDemand module is not held.
    EXPECT_FALSE(plugin.HoldsModule());
    EXPECT_TRUE(plugin.HasExport("GetFile"));
}

TEST(PluginLoading, RefusesAModuleWithoutAboutTextOrWithoutGetPluginInfo) {
    {
        PluginScript script({{"RESULT_GetPluginInfo1", "0"}});
        SpiDllFile plugin;
        EXPECT_EQ(0, plugin.Load(nullptr, kScripted.c_str()));
        EXPECT_FALSE(ModuleIsLoaded(kScripted));
    }
    SpiDllFile plugin;
    EXPECT_EQ(0, plugin.Load(nullptr, "scripted_no_getplugininfo" SPI_EXT));
    EXPECT_EQ(-1, plugin.GetKind());
    EXPECT_FALSE(ModuleIsLoaded("scripted_no_getplugininfo" SPI_EXT));
}

TEST(PluginLoading, MissingModuleLeavesTheLoadersError) {
    SpiDllFile plugin;
    SetLastError(0xDEADBEEF);
    EXPECT_EQ(0, plugin.Load(nullptr, "no-such-plugin" SPI_EXT));
    EXPECT_EQ(static_cast<DWORD>(ERROR_MOD_NOT_FOUND), GetLastError());
    EXPECT_STREQ("", plugin.GetModulePath());
    EXPECT_EQ(-1, plugin.GetKind());
}

TEST(PluginLoading, RefusesAPathLongerThanItsBuffer) {
    SpiDllFile plugin;
    std::string folder(250, 'd');
    SetLastError(0xDEADBEEF);
    EXPECT_EQ(0, plugin.Load(folder.c_str(), "0123456789" SPI_EXT));
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILENAME_EXCED_RANGE), GetLastError());
    EXPECT_STREQ("", plugin.GetModulePath());
    std::string name(300, 'n');
    EXPECT_EQ(0, plugin.Load(nullptr, name.c_str()));
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILENAME_EXCED_RANGE), GetLastError());
}

TEST(PluginLoading, FolderIsJoinedWithOneBackslashEvenAfterATrailingOne) {
    std::string dir = BinDir();  // ends with a backslash
    SpiDllFile plugin;
    ASSERT_EQ(1, plugin.Load(dir.c_str(), kScripted.c_str()));
    EXPECT_EQ(dir + "\\" + kScripted, plugin.GetModulePath());
}

TEST(PluginLoading, BuildsTheExtensionListFromEveryFilter) {
    struct Case {
        const char* info2;
        const char* info4;
        const char* expected;
    } cases[] = {
        {"*.bmp;*.dib", "*.rle", ".bmp;.dib;.rle;"},
        {"*.tar.gz", nullptr, ".gz;"},
        {";;*.a;;", nullptr, ".a;"},
        {"*.x ", nullptr, ".x ;"},
        {"noext", nullptr, ".;"},
        {nullptr, nullptr, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.info2 ? c.info2 : "(none)");
        PluginScript script({});
        if (c.info2) script.Set("INFO2", c.info2);
        script.Set("INFO3", "format");
        if (c.info4) script.Set("INFO4", c.info4);
        SpiDllFile plugin;
        ASSERT_EQ(1, plugin.Load(nullptr, kScripted.c_str()));
        ASSERT_NE(nullptr, plugin.ExtensionList());
        EXPECT_STREQ(c.expected, plugin.ExtensionList());
    }
}

TEST(PluginLoading, DoubleByteTrailBytesNeverSplitAFilter) {
    // 0x95 0x5C is one character in code page 932 (its trail byte is a
    // backslash); it must come through whole.
    unsigned previous = _getmbcp();
    _setmbcp(932);
    {
        PluginScript script({{"INFO2", "*.\x95\x5C" "a;*.b"}});
        SpiDllFile plugin;
        ASSERT_EQ(1, plugin.Load(nullptr, kScripted.c_str()));
        EXPECT_STREQ(".\x95\x5C" "a;.b;", plugin.ExtensionList());
    }
    _setmbcp(previous);
}

TEST(PluginLoading, TextsAreTerminatedWhateverTheModuleWrites) {
    PluginScript script({{"INFO_UNTERMINATED", "1"}, {"VERSION", "00IN"}, {"ABOUT", "abc"}});
    SpiDllFile plugin;
    ASSERT_EQ(1, plugin.Load(nullptr, kScripted.c_str()));
    EXPECT_EQ(127u, strlen(plugin.GetAboutText()));
    EXPECT_EQ(0, plugin.GetKind());
}

TEST(PluginLoading, FilterWalkEndsForAModuleThatNeverAnswersZero) {
    PluginScript script({{"INFO_FOREVER", "1"}});
    SpiDllFile plugin;
    ASSERT_EQ(1, plugin.Load(nullptr, kScripted.c_str()));
    std::string list = plugin.ExtensionList();
    EXPECT_EQ(SpiDllFile::kMaxFilterInfoNumber / 2 * 3, static_cast<int32_t>(list.size()));
}

TEST(PluginResidency, DefaultHooksReleaseTheModuleWhenTheFigureIsUnchanged) {
    InspectableDll plugin;
    plugin.probeBefore = [](SpiDllFile*) -> uint32_t { return 7; };
    plugin.probeAfter = [](SpiDllFile*) -> uint32_t { return 7; };
    ASSERT_EQ(1, plugin.Load(nullptr, kScripted.c_str()));
    EXPECT_EQ(OnDemand, plugin.Residency());
    EXPECT_FALSE(plugin.HoldsModule());
    EXPECT_FALSE(plugin.AnyEntryPoint());
    EXPECT_FALSE(ModuleIsLoaded(kScripted));

    InspectableDll resident;
    resident.MakeResident();
    ASSERT_EQ(1, resident.Load(nullptr, kScripted.c_str()));
    EXPECT_EQ(Resident, resident.Residency());
    EXPECT_TRUE(resident.HoldsModule());
    EXPECT_TRUE(ModuleIsLoaded(kScripted));
}

TEST(PluginResidency, NullHooksMeanFigureZeroAndOnDemand) {
    SpiDllFile plugin;
    plugin.probeBefore = nullptr;
    plugin.probeAfter = nullptr;
    plugin.decideResidency = nullptr;
    ASSERT_EQ(1, plugin.Load(nullptr, kScripted.c_str()));
    EXPECT_EQ(OnDemand, plugin.Residency());
    EXPECT_FALSE(plugin.HoldsModule());
}

namespace {
int g_decisions;
uint32_t g_before, g_after;
int32_t CountingDecision(SpiDllFile*, uint32_t before, uint32_t after) {
    ++g_decisions;
    g_before = before;
    g_after = after;
    return 5;  // not a mode: stored as it is, keeps the module
}
}  // namespace

TEST(PluginResidency, PresetModeIsNeverDecidedAndOddAnswersAreKept) {
    g_decisions = 0;
    SpiDllFile preset(Resident);
    preset.decideResidency = CountingDecision;
    ASSERT_EQ(1, preset.Load(nullptr, kScripted.c_str()));
    EXPECT_EQ(0, g_decisions);
    EXPECT_EQ(Resident, preset.Residency());

    SpiDllFile odd;
    odd.decideResidency = CountingDecision;
    ASSERT_EQ(1, odd.Load(nullptr, kScripted.c_str()));
    EXPECT_EQ(1, g_decisions);
    EXPECT_EQ(5, odd.Residency());
    EXPECT_TRUE(odd.HoldsModule());
}

TEST(PluginResidency, FailedIdentificationStillTellsTheHookWithZeros) {
    g_decisions = 0;
    g_before = g_after = 99;
    PluginScript script({{"VERSION", "00XN"}});
    SpiDllFile plugin;
    plugin.decideResidency = CountingDecision;
    EXPECT_EQ(0, plugin.Load(nullptr, kScripted.c_str()));
    EXPECT_EQ(1, g_decisions);
    EXPECT_EQ(0u, g_before);
    EXPECT_EQ(0u, g_after);
    EXPECT_EQ(Undecided, plugin.Residency());
}

TEST(PluginResidency, LoadOnAHeldModuleKeepsIt) {
    InspectableDll plugin;
    plugin.MakeResident();
    ASSERT_EQ(1, plugin.Load(nullptr, kScripted.c_str()));
    HMODULE held = GetModuleHandleA(kScripted.c_str());
    EXPECT_EQ(1, plugin.Load(nullptr, "no-such-plugin" SPI_EXT));
    EXPECT_TRUE(plugin.HoldsModule());
    EXPECT_EQ(held, GetModuleHandleA(kScripted.c_str()));
    EXPECT_STREQ(kScripted.c_str(), plugin.GetModulePath());
}

TEST(PluginResidency, UnloadThenLoadFromTheSavedPath) {
    InspectableDll plugin;
    plugin.MakeResident();
    ASSERT_EQ(1, plugin.Load(BinDir().c_str(), kScripted.c_str()));
    EXPECT_EQ(1, plugin.Unload());
    EXPECT_FALSE(plugin.HoldsModule());
    EXPECT_FALSE(ModuleIsLoaded(kScripted));
    EXPECT_EQ(0, plugin.GetKind());
    EXPECT_EQ(Resident, plugin.Residency());
    EXPECT_EQ(1, plugin.Unload());
    ASSERT_EQ(1, plugin.Load(nullptr, plugin.GetModulePath()));
    EXPECT_TRUE(plugin.HoldsModule());
}

TEST(PluginResidency, DestructionReleasesAHeldModule) {
    {
        InspectableDll plugin;
        plugin.MakeResident();
        ASSERT_EQ(1, plugin.Load(nullptr, kScripted.c_str()));
        EXPECT_TRUE(ModuleIsLoaded(kScripted));
    }
    EXPECT_FALSE(ModuleIsLoaded(kScripted));
}

TEST(PluginLoading, ModuleThatFaultsWhileIdentifiedFailsToLoad) {
    for (const char* fault : {"avread", "div0", "stack"}) {
        SCOPED_TRACE(fault);
#if defined(__x86_64__)
        // Under Wine the x64 dispatch of this overflow, raised beneath the
        // scripted module's C++ frames, runs out of the stack's guard area
        // and Wine ends the whole process with status 0 ("stack overflow
        // ... bytes" from virtual_setup_exception), which would end this
        // program silently and every test after it unrun. The guard's own
        // catch of overflows is proven in test_guarded_calls.
        if (strcmp(fault, "stack") == 0) continue;
#endif
        PluginScript script({{"FAULT_GetPluginInfo", fault}});
        InspectableDll plugin;
        plugin.MakeResident();
        EXPECT_EQ(0, plugin.Load(nullptr, kScripted.c_str()));
        EXPECT_FALSE(plugin.HoldsModule());
        EXPECT_FALSE(ModuleIsLoaded(kScripted));
    }
    // The object is still usable afterwards.
    InspectableDll plugin;
    EXPECT_EQ(1, plugin.Load(nullptr, kScripted.c_str()));
}

// Hosts load an OnDemand module around every call; a module must survive
// that far beyond the thousand loads that exhaust a process's TLS slots
// when each load leaks one.
TEST(PluginResidency, AnOnDemandModuleSurvivesThousandsOfCalls) {
    SpiDllFile plugin(OnDemand);
    ASSERT_EQ(1, plugin.Load(nullptr, kScripted.c_str()));
    char sample[2048] = {};
    int accepted = 0;
    for (int i = 0; i < 1500; ++i) accepted += plugin.IsSupported("f", sample) == 1;
    EXPECT_EQ(1500, accepted);
}
