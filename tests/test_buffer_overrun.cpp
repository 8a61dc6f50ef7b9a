// A module that writes past the buffers it is handed: the object's fields
// stay as they would be without the overrun, the overrun is recorded, and
// spiprobe's reports do not change.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "dll_internals.h"
#include "test_support.h"

namespace {

// Everything Load settles, read through the protected fields.
class SnapshotDll : public InspectableDll {
public:
    using InspectableDll::InspectableDll;
    std::vector<uintptr_t> EntryPoints() const {
        return {reinterpret_cast<uintptr_t>(pGetPluginInfo),
                reinterpret_cast<uintptr_t>(pIsSupported),
                reinterpret_cast<uintptr_t>(pGetPictureInfo),
                reinterpret_cast<uintptr_t>(pGetPicture),
                reinterpret_cast<uintptr_t>(pGetPreview),
                reinterpret_cast<uintptr_t>(pGetArchiveInfo),
                reinterpret_cast<uintptr_t>(pGetFileInfo),
                reinterpret_cast<uintptr_t>(pGetFile),
                reinterpret_cast<uintptr_t>(pConfigurationDlg),
                reinterpret_cast<uintptr_t>(module)};
    }
    std::string State() const {
        return std::to_string(static_cast<int>(kind)) + "|" + std::to_string(Residency()) + "|" +
               GetModulePath() + "|" + GetAboutText() + "|" +
               (ExtensionList() ? ExtensionList() : "(null)");
    }
};

const char* const kVersions[] = {"00IN", "00AM"};

TEST(BufferOverrun, LoadKeepsEveryFieldAndRecordsTheOverrun) {
    for (const char* version : kVersions) {
        PluginScript script({{"VERSION", version}, {"INFO2", "*.abc;*.de"}, {"INFO3", "ABC"}});
        SnapshotDll clean(Resident);
        ASSERT_EQ(1, clean.Load(BinDir().c_str(), "scripted" SPI_EXT)) << version;
        EXPECT_EQ(SpiFaultKind::None, clean.LastFault().kind) << version;
        std::vector<uintptr_t> cleanEntries = clean.EntryPoints();
        std::string cleanState = clean.State();
        clean.Unload();

        for (int bytes : {1, 11, 200}) {
            script.Set("OVERRUN", std::to_string(bytes));
            SnapshotDll plugin(Resident);
            ASSERT_EQ(1, plugin.Load(BinDir().c_str(), "scripted" SPI_EXT)) << version << bytes;
            EXPECT_EQ(cleanEntries, plugin.EntryPoints()) << version << " " << bytes;
            EXPECT_EQ(cleanState, plugin.State()) << version << " " << bytes;
            EXPECT_TRUE(plugin.HasExport("ConfigurationDlg"));
            EXPECT_EQ(SpiFaultKind::BufferOverrun, plugin.LastFault().kind) << bytes;
            EXPECT_EQ(static_cast<uint32_t>(bytes), plugin.LastFault().overrun);
        }
    }
}

TEST(BufferOverrun, SpiprobeReportsAreThoseWithoutTheOverrun) {
    TempDir dir;
    std::string file = dir.File("picture.bin");
    ASSERT_TRUE(WriteBytes(file, std::string(64, 'P')));
    const std::vector<std::vector<std::string>> runs = {
        {"-i", "scripted" SPI_EXT}, {"scripted" SPI_EXT, file}};
    for (const auto& args : runs) {
        ProcessResult clean = RunSpiprobe(args);
        ProcessResult overrun;
        {
            PluginScript script({{"OVERRUN", "11"}});
            overrun = RunSpiprobe(args);
        }
        EXPECT_EQ(clean.status, overrun.status) << args[0];
        EXPECT_EQ(clean.out, overrun.out) << args[0];
        EXPECT_EQ(clean.err, overrun.err) << args[0];
    }
}

}  // namespace
