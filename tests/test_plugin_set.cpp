// The plug-in set: folder and activation settings from the registry of the
// test bench's prefix, scanning real folders of copies of the scripted
// plug-in, finding the plug-in for a file, the cursors, and decoding.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "base/process_probes.h"
#include "registry.h"
#include "registry_key_test.h"
#include "spi_files_manage.h"
#include "spi_input_stream.h"
#include "spi_output_stream.h"
#include "test_support.h"

namespace {

const char kSettingsKey[] = "Software\\Quendrel\\Susie\\Plug-in";
const char kActivateKey[] = "Software\\Quendrel\\Susie\\Plug-in\\Activate";

std::string BaseName(const std::string& path) {
    size_t slash = path.find_last_of("\\/");
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Module file names of the listed plug-ins, in list order.
std::vector<std::string> Listed(SpiFilesManage& set) {
    std::vector<std::string> names;
    SpiFindData* cursor = set.FindStart();
    while (SpiFile* plugin = set.FindNext(cursor)) {
        SpiDllFile* dll = dynamic_cast<SpiDllFile*>(plugin);
        names.push_back(dll ? BaseName(dll->GetModulePath()) : std::string("?"));
    }
    set.FindEnd(cursor);
    return names;
}

std::vector<std::string> Sorted(std::vector<std::string> names) {
    std::sort(names.begin(), names.end());
    return names;
}

// A plug-in object that is not backed by a module; counts its destruction.
struct FakePlugin : SpiFile {
    explicit FakePlugin(std::vector<int>* destroyed = nullptr, int id = 0)
        : destroyed(destroyed), id(id) {}
    ~FakePlugin() override {
        if (destroyed) destroyed->push_back(id);
    }
    int32_t Load(LPCSTR, LPCSTR) override { return 1; }
    int32_t Unload() override { return 1; }
    std::vector<int>* destroyed;
    int id;
};

// Every test starts and ends with no host settings in the registry.
class PluginSet : public RegistryKeyTest {
protected:
    PluginSet() : RegistryKeyTest(kSettingsKey) {}

    void Activation(const char* module, DWORD type, const void* data, DWORD size) {
        WriteValue(kActivateKey, module, type, data, size);
    }
    // A copy of the scripted plug-in in the folder.
    void Plugin(const std::string& name, const char* source = "scripted" SPI_EXT) {
        ASSERT_TRUE(CopyPlugin(source, folder.File(name))) << name;
    }

    TempDir folder;
};

}  // namespace

// Derived sets and programs built against the set rely on the order of
// its virtual operations. A pointer to a virtual member holds 1 + the
// byte offset of its slot; the destructor takes the first two slots.
template <typename Member>
ptrdiff_t Slot(Member member) {
    ptrdiff_t raw;
    static_assert(sizeof member >= sizeof raw, "pointer to member layout");
    memcpy(&raw, &member, sizeof raw);
    return (raw - 1) / static_cast<ptrdiff_t>(sizeof(void*));
}

TEST(PluginSetInterface, VirtualSlotOrder) {
    EXPECT_EQ(2, Slot(&SpiFilesManage::SetPluginFolder));
    EXPECT_EQ(3, Slot(&SpiFilesManage::Scan));
    EXPECT_EQ(4, Slot(&SpiFilesManage::Clear));
    EXPECT_EQ(5, Slot(&SpiFilesManage::FindPluginForFile));
    EXPECT_EQ(6, Slot(&SpiFilesManage::FindStart));
    EXPECT_EQ(7, Slot(&SpiFilesManage::FindFirst));
    EXPECT_EQ(8, Slot(&SpiFilesManage::FindNext));
    EXPECT_EQ(9, Slot(&SpiFilesManage::FindEnd));
    EXPECT_EQ(10, Slot(&SpiFilesManage::Add));
    EXPECT_EQ(11, Slot(&SpiFilesManage::OpenPath));
    EXPECT_EQ(12, Slot(&SpiFilesManage::DecodePicture));
    EXPECT_EQ(13, Slot(&SpiFilesManage::CreatePlugin));
}

TEST_F(PluginSet, ActivationValues) {
    struct Case {
        const char* module;
        DWORD type;
        const char* data;
        DWORD size;
        int32_t admitted;
    };
    const DWORD zero = 0, high = 0x00010000, low = 0x00000100, top = 0x00018000;
    const Case cases[] = {
        {"dword-zero" SPI_EXT, REG_DWORD, reinterpret_cast<const char*>(&zero), 4, 0},
        {"dword-high" SPI_EXT, REG_DWORD, reinterpret_cast<const char*>(&high), 4, 0},
        {"dword-low" SPI_EXT, REG_DWORD, reinterpret_cast<const char*>(&low), 4, 1},
        {"dword-top" SPI_EXT, REG_DWORD, reinterpret_cast<const char*>(&top), 4, 1},
        {"text-zero" SPI_EXT, REG_SZ, "0", 2, 1},
        {"text-two" SPI_EXT, REG_SZ, "ab", 3, 1},
        {"text-three" SPI_EXT, REG_SZ, "abc", 4, 1},     // fills the 4 bytes exactly
        {"text-long" SPI_EXT, REG_SZ, "abcdefg", 8, 1},  // too large: the 4 bytes keep 1
        {"text-empty" SPI_EXT, REG_SZ, "", 1, 0},
    };
    SpiFilesManage set;
    EXPECT_EQ(1, DefaultActivationFilter(&set, "", "any" SPI_EXT)) << "no Activate key";
    for (const Case& c : cases) Activation(c.module, c.type, c.data, c.size);
    EXPECT_EQ(1, DefaultActivationFilter(&set, "", "missing" SPI_EXT)) << "no value";
    for (const Case& c : cases)
        EXPECT_EQ(c.admitted, DefaultActivationFilter(&set, "", c.module)) << c.module;
}

TEST_F(PluginSet, FolderComesFromTheRegistryUnlessGiven) {
    EXPECT_STREQ("", SpiFilesManage().GetPluginFolder()) << "no setting: current directory";

    ASSERT_EQ(1, WriteRegistryValue(HKEY_CURRENT_USER, kSettingsKey, "Path", REG_SZ,
                                    "C:\\susie\\plugins", 17));
    SpiFilesManage set;
    EXPECT_STREQ("C:\\susie\\plugins", set.GetPluginFolder());
    EXPECT_TRUE(set.IsPluginFolderUsable());
    EXPECT_EQ(1, set.SetPluginFolder("D:\\other"));
    EXPECT_STREQ("D:\\other", set.GetPluginFolder());
    EXPECT_EQ(1, set.SetPluginFolder(set.GetPluginFolder()));
    EXPECT_STREQ("D:\\other", set.GetPluginFolder());
    EXPECT_EQ(1, set.SetPluginFolder(nullptr));
    EXPECT_STREQ("C:\\susie\\plugins", set.GetPluginFolder());
}

// A folder text longer than 519 characters is neither cut short nor let
// past the buffer: the folder becomes unusable, whether given or read.
TEST_F(PluginSet, OverlongFolderIsUnusableNeverCutShort) {
    Plugin("alpha" SPI_EXT);
    const std::string longest(519, 'f'), tooLong(520, 'f');

    SpiFilesManage set;
    set.SetPluginFolder(longest.c_str());
    EXPECT_EQ(longest, set.GetPluginFolder());
    EXPECT_TRUE(set.IsPluginFolderUsable());

    set.SetPluginFolder(folder.path().c_str());
    set.Scan();
    ASSERT_EQ(1u, Listed(set).size());

    set.SetPluginFolder(tooLong.c_str());
    EXPECT_FALSE(set.IsPluginFolderUsable());
    EXPECT_STREQ("", set.GetPluginFolder());
    set.Scan();
    EXPECT_EQ(1u, Listed(set).size()) << "an unusable folder finds nothing";
    EXPECT_EQ(nullptr, set.CreatePlugin("alpha" SPI_EXT));

    // Read from the registry: with and without terminator, and far longer
    // than any buffer on the way.
    const std::string texts[] = {tooLong, std::string(519, 'g') + "h", std::string(3000, 'x')};
    for (const std::string& text : texts) {
        for (DWORD extra : {0u, 1u}) {
            ASSERT_EQ(1, WriteRegistryValue(HKEY_CURRENT_USER, kSettingsKey, "Path", REG_SZ,
                                            text.c_str(), static_cast<DWORD>(text.size()) + extra));
            SpiFilesManage fromRegistry;
            EXPECT_FALSE(fromRegistry.IsPluginFolderUsable()) << text.size() << "+" << extra;
            EXPECT_STREQ("", fromRegistry.GetPluginFolder());
        }
    }
    // 519 characters and the terminator fit exactly.
    ASSERT_EQ(1, WriteRegistryValue(HKEY_CURRENT_USER, kSettingsKey, "Path", REG_SZ,
                                    longest.c_str(), 520));
    SpiFilesManage fits;
    EXPECT_TRUE(fits.IsPluginFolderUsable());
    EXPECT_EQ(longest, fits.GetPluginFolder());
}

// A folder that fits but makes a search pattern longer than MAX_PATH is
// refused, as a folder with no match: the list stays.
TEST_F(PluginSet, SearchPatternThatDoesNotFitIsRefused) {
    Plugin("alpha" SPI_EXT);
    SpiFilesManage set;
    set.SetPluginFolder(folder.path().c_str());
    set.Scan();
    ASSERT_EQ(1u, Listed(set).size());
    std::string deep = folder.path() + "\\" + std::string(MAX_PATH, 'd');
    set.SetPluginFolder(deep.c_str());
    EXPECT_TRUE(set.IsPluginFolderUsable());
    set.Scan();
    EXPECT_EQ(1u, Listed(set).size());
}

TEST_F(PluginSet, ScanKeepsAdmittedModulesAndSkipsTheRest) {
    Plugin("alpha" SPI_EXT);
    Plugin("beta" SPI_EXT);
    Plugin("export" SPI_EXT);
    // Wine keeps no temporary attribute on its files; where the platform
    // keeps it, the file is skipped like the directory.
    Plugin("temp" SPI_EXT);
    SetFileAttributesA(folder.File("temp" SPI_EXT).c_str(), FILE_ATTRIBUTE_TEMPORARY);
    bool tempKept =
        (GetFileAttributesA(folder.File("temp" SPI_EXT).c_str()) & FILE_ATTRIBUTE_TEMPORARY) != 0;
    ASSERT_TRUE(WriteBytes(folder.File("junk" SPI_EXT), "not a module"));
    ASSERT_TRUE(CreateDirectoryA(folder.File("dir" SPI_EXT).c_str(), nullptr));
    ASSERT_TRUE(WriteBytes(folder.File("other.dll"), "not searched"));
    // The x64 set also takes 32-bit .spi modules (they run in a runner);
    // the 32-bit set leaves .sph ones alone.
#if defined(_WIN64)
    ASSERT_TRUE(WriteBytes(folder.File("other.spi"), "searched, not a module"));
#else
    ASSERT_TRUE(WriteBytes(folder.File("other.sph"), "not searched"));
#endif
    ScopedEnv exportVersion("SPITEST_export_VERSION", "00XN");
    ScopedEnv betaVersion("SPITEST_beta_VERSION", "00AM");

    static std::vector<std::string> asked;
    asked.clear();
    SpiFilesManage set;
    set.activationFilter = [](SpiFilesManage*, LPCSTR, LPCSTR name) -> int32_t {
        asked.push_back(name);
        return 1;
    };
    set.SetPluginFolder(folder.path().c_str());
    set.Scan();

    std::vector<std::string> modules = {"alpha" SPI_EXT, "beta" SPI_EXT};
    if (!tempKept) modules.push_back("temp" SPI_EXT);
    std::vector<std::string> candidates = modules;
    candidates.push_back("export" SPI_EXT);
    candidates.push_back("junk" SPI_EXT);
#if defined(_WIN64)
    candidates.push_back("other.spi");
#endif
    EXPECT_EQ(Sorted(candidates), Sorted(asked));
    EXPECT_EQ(Sorted(modules), Sorted(Listed(set)));
    EXPECT_EQ(nullptr, GetModuleHandleA(folder.File("export" SPI_EXT).c_str()));
    EXPECT_EQ(nullptr, GetModuleHandleA(folder.File("junk" SPI_EXT).c_str()));

    SpiFindData* cursor = set.FindStart();
    int kinds = 0;
    while (SpiFile* plugin = set.FindNext(cursor)) kinds += plugin->GetKind();
    set.FindEnd(cursor);
    EXPECT_EQ(2, kinds) << "images (0) and one archive (2)";

    // Loading and releasing a module costs handles inside Wine's loader,
    // so the directory search is checked on a scan that loads nothing.
    set.activationFilter = [](SpiFilesManage*, LPCSTR, LPCSTR) -> int32_t { return 0; };
    long handles = KernelHandleCount();
    set.Scan();
    EXPECT_EQ(handles, KernelHandleCount()) << "the directory search is closed";
}

TEST_F(PluginSet, ScanReplacesTheListOnlyWhenTheSearchFindsEntries) {
    Plugin("alpha" SPI_EXT);
    Plugin("beta" SPI_EXT);
    TempDir empty;
    SpiFilesManage set;
    set.SetPluginFolder(folder.path().c_str());
    set.Scan();
    ASSERT_EQ(2u, Listed(set).size());

    set.SetPluginFolder(empty.path().c_str());
    set.Scan();
    EXPECT_EQ(2u, Listed(set).size()) << "no match keeps the earlier list";
    set.SetPluginFolder(empty.File("missing").c_str());
    set.Scan();
    EXPECT_EQ(2u, Listed(set).size()) << "a missing folder keeps it too";

    set.SetPluginFolder(folder.path().c_str());
    set.Scan();
    EXPECT_EQ(2u, Listed(set).size()) << "a second scan replaces, never appends";

    Activation("alpha" SPI_EXT, REG_SZ, "", 1);
    Activation("beta" SPI_EXT, REG_SZ, "", 1);
    set.Scan();
    EXPECT_TRUE(Listed(set).empty()) << "matches, none admitted: empty list";
}

// An empty folder is the current directory, and the modules are loaded
// from there, not from wherever LoadLibrary would find a namesake (this
// program's folder holds a real scripted.spi).
TEST_F(PluginSet, EmptyFolderScansAndLoadsFromTheCurrentDirectory) {
    Plugin("alpha" SPI_EXT);
    ASSERT_TRUE(WriteBytes(folder.File("scripted" SPI_EXT), "not a module"));
    char previous[MAX_PATH];
    GetCurrentDirectoryA(sizeof previous, previous);
    ASSERT_TRUE(SetCurrentDirectoryA(folder.path().c_str()));
    SpiFilesManage set;
    set.SetPluginFolder("");
    set.Scan();
    std::vector<std::string> listed = Listed(set);
    SetCurrentDirectoryA(previous);
    EXPECT_EQ(std::vector<std::string>{"alpha" SPI_EXT}, listed);
}

// Scan and DecodePicture go through the virtual slots, so a derived set
// decides how modules become objects.
TEST_F(PluginSet, DerivedSetTurnsModulesIntoItsOwnObjects) {
    // Outlives the set, whose destructor destroys the objects that record
    // into it.
    std::vector<int> destroyed;
    struct Derived : SpiFilesManage {
        explicit Derived(std::vector<int>* destroyed) : destroyed(destroyed) {}
        SpiFile* CreatePlugin(LPCSTR fileName) override {
            created.push_back(fileName);
            return new FakePlugin(destroyed, static_cast<int>(created.size()));
        }
        void Clear() override {
            ++clears;
            SpiFilesManage::Clear();
        }
        std::vector<int>* destroyed;
        std::vector<std::string> created;
        int clears = 0;
    } set(&destroyed);
    Plugin("alpha" SPI_EXT);
    Plugin("beta" SPI_EXT);
    set.SetPluginFolder(folder.path().c_str());
    set.Scan();
    EXPECT_EQ(2u, set.created.size());
    EXPECT_EQ(0, set.clears) << "nothing to clear on the first scan";
    EXPECT_EQ(std::vector<std::string>({"?", "?"}), Listed(set));
    set.Scan();
    EXPECT_EQ(1, set.clears);
    EXPECT_EQ(std::vector<int>({1, 2}), destroyed) << "front to back";
}

TEST_F(PluginSet, CursorsWalkTheListAndSurviveChanges) {
    std::vector<int> destroyed;
    {
        SpiFilesManage set;
        FakePlugin* first = new FakePlugin(&destroyed, 1);
        FakePlugin* second = new FakePlugin(&destroyed, 2);
        EXPECT_EQ(1, set.Add(first));
        EXPECT_EQ(1, set.Add(nullptr));
        EXPECT_EQ(1, set.Add(second));

        SpiFindData* cursor = set.FindStart();
        ASSERT_NE(nullptr, cursor);
        EXPECT_EQ(first, set.FindNext(cursor));
        EXPECT_EQ(second, set.FindFirst(cursor)) << "FindFirst does not rewind; null skipped";
        EXPECT_EQ(nullptr, set.FindNext(cursor));
        EXPECT_EQ(nullptr, set.FindNext(cursor));
        set.FindEnd(cursor);

        EXPECT_EQ(nullptr, set.FindNext(nullptr));
        set.FindEnd(nullptr);

        cursor = set.FindStart();
        set.FindNext(cursor);
        set.Clear();
        EXPECT_EQ(std::vector<int>({1, 2}), destroyed);
        EXPECT_EQ(nullptr, set.FindNext(cursor)) << "a cursor over a cleared list ends";
        set.FindEnd(cursor);

        set.Add(new FakePlugin(&destroyed, 3));
    }
    EXPECT_EQ(std::vector<int>({1, 2, 3}), destroyed) << "the destructor clears";
}

TEST_F(PluginSet, FindPluginForFileAsksInListOrderWithTheFileHead) {
    Plugin("alpha" SPI_EXT);
    Plugin("beta" SPI_EXT);
    std::string alphaLog = folder.File("alpha.log"), betaLog = folder.File("beta.log");
    std::string betaDump = folder.File("beta.dump");
    ScopedEnv a1("SPITEST_alpha_ACCEPT", "never");
    ScopedEnv a2("SPITEST_alpha_LOG", alphaLog.c_str());
    ScopedEnv b1("SPITEST_beta_ACCEPT", "magic:HEAD");
    ScopedEnv b2("SPITEST_beta_LOG", betaLog.c_str());
    ScopedEnv b3("SPITEST_beta_DUMP_SAMPLE", betaDump.c_str());

    SpiFilesManage set;
    set.SetPluginFolder(folder.path().c_str());
    set.Scan();
    ASSERT_EQ(2u, Listed(set).size());

    std::string data = "HEAD" + std::string(96, 'd');  // shorter than the head read
    std::string file = folder.File("picture.dat");
    ASSERT_TRUE(WriteBytes(file, data));

    SpiFile* found = set.FindPluginForFile(file.c_str(), 0);
    ASSERT_NE(nullptr, found);
    EXPECT_EQ("beta" SPI_EXT, BaseName(dynamic_cast<SpiDllFile*>(found)->GetModulePath()));
    std::vector<std::string> alphaCalls = Lines(ReadBytes(alphaLog));
    ASSERT_FALSE(alphaCalls.empty());
    EXPECT_EQ("IsSupported(" + file + ",memory)", alphaCalls.back()) << "alpha was asked first";
    EXPECT_EQ(data + std::string(2048 - data.size(), '\0'), ReadBytes(betaDump));

    // From an offset on; beyond the end (even past 2 GiB) the plug-ins are
    // asked with zeros.
    DeleteFileA(betaDump.c_str());
    EXPECT_EQ(nullptr, set.FindPluginForFile(file.c_str(), 4));
    EXPECT_EQ(std::string(96, 'd') + std::string(2048 - 96, '\0'), ReadBytes(betaDump));
    for (uint32_t offset : {5000u, 0x80000000u, 0xFFFFFF00u}) {
        DeleteFileA(betaDump.c_str());
        EXPECT_EQ(nullptr, set.FindPluginForFile(file.c_str(), offset)) << offset;
        EXPECT_EQ(std::string(2048, '\0'), ReadBytes(betaDump)) << offset;
    }
    EXPECT_TRUE(DeleteFileA(file.c_str())) << "the file is closed after the walk";

    // A missing file asks nobody.
    DeleteFileA(alphaLog.c_str());
    DeleteFileA(betaLog.c_str());
    EXPECT_EQ(nullptr, set.FindPluginForFile(file.c_str(), 0));
    EXPECT_EQ("", ReadBytes(alphaLog) + ReadBytes(betaLog));
}

// Every object is asked whatever it is; an answer of -1 counts as
// acceptance, and a null entry is passed over.
TEST_F(PluginSet, FindPluginForFileAsksEveryObject) {
    std::string file = folder.File("any.dat");
    ASSERT_TRUE(WriteBytes(file, "x"));
    SpiFilesManage set;
    long handles = KernelHandleCount();
    EXPECT_EQ(nullptr, set.FindPluginForFile(file.c_str(), 0)) << "empty list";
    FakePlugin* fake = new FakePlugin;
    set.Add(nullptr);
    set.Add(fake);
    EXPECT_EQ(fake, set.FindPluginForFile(file.c_str(), 0));
    EXPECT_EQ(fake, set.FindPluginForFile(file.c_str(), 0x90000000u));
    EXPECT_EQ(handles, KernelHandleCount()) << "the file is closed on every path";
}

namespace {

// Image plug-ins for DecodePicture, loaded in the order given: copies of
// the scripted plug-in (or of one of its variants), each logging its calls.
class Decoding : public PluginSet {
protected:
    void SetUp() override {
        PluginSet::SetUp();
        picturePath = folder.File("picture.dat");
        ASSERT_TRUE(WriteBytes(picturePath, "PICT" + std::string(300, 'p')));
        source.SetFile(picturePath.c_str(), 0);
    }
    SpiDllFile* Image(const std::string& name, const char* from = "scripted" SPI_EXT) {
        Plugin(name + SPI_EXT, from);
        logs.emplace_back(
            new ScopedEnv("SPITEST_" + name + "_LOG", folder.File(name + ".log").c_str()));
        SpiDllFile* plugin = new SpiDllFile;
        EXPECT_EQ(1, plugin->Load(folder.path().c_str(), (name + SPI_EXT).c_str()));
        set.Add(plugin);
        return plugin;
    }
    // The decoding calls the plug-in logged: GetPicture and GetPreview.
    std::vector<std::string> Decodes(const std::string& name) {
        std::vector<std::string> calls;
        for (const std::string& line : Lines(ReadBytes(folder.File(name + ".log"))))
            if (line.compare(0, 10, "GetPicture") == 0 || line.compare(0, 10, "GetPreview") == 0)
                calls.push_back(line.substr(0, 10));
        return calls;
    }

    std::string picturePath;
    SpiInputStream source;
    SpiOutputStream picture;
    SpiFilesManage set;
    std::vector<std::unique_ptr<ScopedEnv>> logs;
};

int32_t SPI_API Cancel(int32_t, int32_t, intptr_t) { return 1; }

}  // namespace

TEST_F(Decoding, FirstImagePluginThatAcceptsDecodes) {
    ScopedEnv declines("SPITEST_shy_ACCEPT", "never");
    ScopedEnv archive("SPITEST_arc_VERSION", "00AM");
    set.Add(new FakePlugin);
    Image("arc");
    Image("shy");
    SpiDllFile* decoder = Image("pic");
    Image("late");

    EXPECT_EQ(decoder, set.DecodePicture(source, picture, 0, nullptr, 0));
    EXPECT_EQ(std::vector<std::string>{"GetPicture"}, Decodes("pic"));
    EXPECT_TRUE(Decodes("shy").empty());
    EXPECT_TRUE(Decodes("late").empty());
    ASSERT_NE(nullptr, picture.LockInfo());
    EXPECT_EQ(40u, static_cast<BITMAPINFOHEADER*>(picture.LockInfo())->biSize);
    EXPECT_NE(nullptr, picture.LockBits());
    // Without a callback of the caller's, the plug-in still gets one.
    EXPECT_NE(std::string::npos, ReadBytes(folder.File("pic.log")).find("callback=1"));
}

TEST_F(Decoding, PreviewFallsBackOnlyWhenTheExportIsMissing) {
    ScopedEnv refuses("SPITEST_small_RESULT_GetPreview", "2");
    Image("small");
    SpiDllFile* full = Image("full", "scripted_no_getpreview" SPI_EXT);
    EXPECT_EQ(full, set.DecodePicture(source, picture, 1, nullptr, 0));
    EXPECT_EQ(std::vector<std::string>{"GetPreview"}, Decodes("small")) << "no full decode";
    EXPECT_EQ(std::vector<std::string>{"GetPicture"}, Decodes("full"));
    EXPECT_NE(nullptr, picture.GetInfoHandle());
}

TEST_F(Decoding, CancelStopsTheWalkAndTouchesNothing) {
    ScopedEnv progress("SPITEST_slow_PROGRESS", "1/2");
    Image("slow");
    Image("fast");
    EXPECT_EQ(nullptr, set.DecodePicture(source, picture, 0, Cancel, 0));
    EXPECT_EQ(std::vector<std::string>{"GetPicture"}, Decodes("slow"));
    EXPECT_TRUE(Decodes("fast").empty()) << "the walk stops at the cancel";
    EXPECT_EQ(nullptr, picture.GetInfoHandle());
}

TEST_F(Decoding, NoImagePluginLeavesTheHolderAlone) {
    ScopedEnv archive("SPITEST_arc_VERSION", "00AM");
    Image("arc");
    set.Add(new FakePlugin);
    HLOCAL info = LocalAlloc(LMEM_MOVEABLE, 8), bits = LocalAlloc(LMEM_MOVEABLE, 8);
    picture.Set(info, bits);
    EXPECT_EQ(nullptr, set.DecodePicture(source, picture, 1, nullptr, 0));
    EXPECT_EQ(info, picture.GetInfoHandle());
    EXPECT_EQ(bits, picture.GetBitsHandle());
    EXPECT_TRUE(Decodes("arc").empty());
}

// A plug-in that succeeds without storing handles hands over none, never
// those a plug-in before it left behind when it failed.
TEST_F(Decoding, HandlesOfAFailedPluginAreNeverHandedOver) {
    struct Failing : SpiDllFile {
        int32_t GetPictureStream(SpiInputStream&, HLOCAL* info, HLOCAL* bits, ProgressCallback,
                                 intptr_t) override {
            *info = *bits = reinterpret_cast<HLOCAL>(static_cast<uintptr_t>(0xBAD0));
            return 3;
        }
    };
    struct Silent : SpiDllFile {
        int32_t GetPictureStream(SpiInputStream&, HLOCAL*, HLOCAL*, ProgressCallback,
                                 intptr_t) override {
            return 0;
        }
    };
    Plugin("pic" SPI_EXT);
    Failing* failing = new Failing;
    Silent* silent = new Silent;
    ASSERT_EQ(1, failing->Load(folder.path().c_str(), "pic" SPI_EXT));
    ASSERT_EQ(1, silent->Load(folder.path().c_str(), "pic" SPI_EXT));
    set.Add(failing);
    set.Add(silent);
    EXPECT_EQ(silent, set.DecodePicture(source, picture, 0, nullptr, 0));
    EXPECT_EQ(nullptr, picture.GetInfoHandle());
    EXPECT_EQ(nullptr, picture.GetBitsHandle());
}

// DecodePicture walks the list through the virtual cursor operations and
// ends every cursor it starts.
TEST_F(PluginSet, DecodePictureWalksThroughTheCursorSlots) {
    struct Counting : SpiFilesManage {
        SpiFindData* FindStart() override {
            ++starts;
            return SpiFilesManage::FindStart();
        }
        SpiFile* FindNext(SpiFindData* cursor) override {
            ++nexts;
            return SpiFilesManage::FindNext(cursor);
        }
        void FindEnd(SpiFindData* cursor) override {
            ++ends;
            SpiFilesManage::FindEnd(cursor);
        }
        int starts = 0, nexts = 0, ends = 0;
    } set;
    set.Add(new FakePlugin);
    set.Add(new FakePlugin);
    SpiInputStream source;
    source.SetFile("none", 0);
    SpiOutputStream picture;
    EXPECT_EQ(nullptr, set.DecodePicture(source, picture, 0, nullptr, 0));
    EXPECT_EQ(1, set.starts);
    EXPECT_EQ(3, set.nexts);
    EXPECT_EQ(1, set.ends);
}
