// SpiRemoteFile with the reference plug-ins, in both runners: the same
// results, pixels, lists and bytes as the in-process object gives.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "remote_test_support.h"
#include "spiplugin.h"
#include "test_support.h"

namespace {

std::string Bytes(HLOCAL block) {
    LocalLockScope lock(block);
    if (!lock.data()) return std::string("<no block>");
    return std::string(lock.as<const char>(), lock.size());
}

struct Picture {
    int32_t result = -100;
    std::string info, bits;
};

template <typename Plugin>
Picture Decode(Plugin& plugin, const std::string& source, uint32_t flag) {
    Picture picture;
    HLOCAL info = nullptr, bits = nullptr;
    intptr_t length = flag == SPI_INPUT_MEMORY ? static_cast<intptr_t>(source.size()) : 0;
    picture.result = plugin.GetPicture(source.c_str(), length, flag, &info, &bits, nullptr, 0);
    picture.info = Bytes(info);
    picture.bits = Bytes(bits);
    FreeLiveLocal(info);
    FreeLiveLocal(bits);
    return picture;
}

struct Progress {
    int calls = 0;
    int stopAt = -1;
};

int32_t SPI_API CountProgress(int32_t, int32_t, intptr_t data) {
    Progress* progress = reinterpret_cast<Progress*>(data);
    return progress->calls++ == progress->stopAt ? 1 : 0;
}

class RemoteFile : public ::testing::TestWithParam<int> {
protected:
    void SetUp() override { SKIP_UNLESS_MACHINE_RUNS(GetParam()); }
    void TearDown() override { EXPECT_EQ(0, RunnerProcessCount()) << "a runner was left behind"; }
    // The reference plug-in of the parameter's bitness.
    std::string Plugin(const char* name) const { return PluginOfBits(name, GetParam()); }
};

TEST_P(RemoteFile, PicturesAreThoseOfTheInProcessDecode) {
    SpiDllFile local;
    ASSERT_EQ(1, local.Load(nullptr, "bmp" SPI_EXT));
    SpiRemoteFile remote;
    ASSERT_EQ(1, remote.Load(nullptr, Plugin("bmp").c_str()));
    EXPECT_EQ(GetParam(), remote.RunnerBits());
    EXPECT_EQ(local.GetKind(), remote.GetKind());
    EXPECT_STREQ(local.GetAboutText(), remote.GetAboutText());
    EXPECT_STREQ(local.ExtensionList(), remote.ExtensionList());
    EXPECT_TRUE(remote.HasExport("GetPreview"));

    char local_text[64] = {}, remote_text[64] = {};
    EXPECT_EQ(local.GetPluginInfo(2, local_text, 64), remote.GetPluginInfo(2, remote_text, 64));
    EXPECT_STREQ(local_text, remote_text);

    for (const char* name : {"core1.bmp", "info8.bmp", "info24.bmp", "rle8.bmp", "list.txt"}) {
        SCOPED_TRACE(name);
        std::string path = FixturePath("bmp", name);
        std::string bytes = ReadBytes(path);
        EXPECT_EQ(local.IsSupported(path.c_str(), &bytes[0]),
                  remote.IsSupported(path.c_str(), &bytes[0]));

        PictureInfo a, b;
        EXPECT_EQ(local.GetPictureInfo(path.c_str(), 0, 0, &a),
                  remote.GetPictureInfo(path.c_str(), 0, 0, &b));
        EXPECT_EQ(0, memcmp(&a, &b, sizeof a));

        for (uint32_t flag : {SPI_INPUT_FILE, SPI_INPUT_MEMORY}) {
            const std::string& source = flag == SPI_INPUT_FILE ? path : bytes;
            Picture in = Decode(local, source, flag), out = Decode(remote, source, flag);
            EXPECT_EQ(in.result, out.result) << "flag " << flag;
            EXPECT_EQ(in.info, out.info) << "flag " << flag;
            EXPECT_TRUE(in.bits == out.bits) << "flag " << flag << ": " << in.bits.size()
                                             << " bytes in process, " << out.bits.size();
        }
    }
    EXPECT_EQ(SpiFaultKind::None, remote.LastFault().kind);
}

TEST_P(RemoteFile, ProgressCallbacksRunInTheCallerAndCancel) {
    SpiDllFile local;
    SpiRemoteFile remote;
    ASSERT_EQ(1, local.Load(nullptr, "bmp" SPI_EXT));
    ASSERT_EQ(1, remote.Load(nullptr, Plugin("bmp").c_str()));
    std::string path = FixturePath("bmp", "info24.bmp");

    for (int stopAt : {-1, 2}) {
        SCOPED_TRACE(stopAt);
        Progress in, out;
        in.stopAt = out.stopAt = stopAt;
        HLOCAL info[2] = {}, bits[2] = {};
        int32_t expected = local.GetPicture(path.c_str(), 0, 0, &info[0], &bits[0], CountProgress,
                                            reinterpret_cast<intptr_t>(&in));
        EXPECT_EQ(expected, remote.GetPicture(path.c_str(), 0, 0, &info[1], &bits[1],
                                              CountProgress, reinterpret_cast<intptr_t>(&out)));
        EXPECT_EQ(stopAt < 0 ? SPI_SUCCESS : SPI_ABORT, expected);
        EXPECT_EQ(in.calls, out.calls);
        EXPECT_GT(out.calls, 0);
        EXPECT_EQ(info[0] != nullptr, info[1] != nullptr);
        for (HLOCAL block : {info[0], info[1], bits[0], bits[1]}) FreeLiveLocal(block);
    }
}

TEST_P(RemoteFile, ArchivesListAndExtractAsInProcess) {
    SpiDllFile local;
    SpiRemoteFile remote;
    ASSERT_EQ(1, local.Load(nullptr, "tar" SPI_EXT));
    ASSERT_EQ(1, remote.Load(nullptr, Plugin("tar").c_str()));
    TempDir folders[2];
    std::string destinations[2] = {folders[0].path(), folders[1].path()};
    for (const char* name : {"gnu.tar", "pax.tar", "outer.tar"}) {
        SCOPED_TRACE(name);
        std::string path = FixturePath("tar", name);
        HLOCAL lists[2] = {};
        ASSERT_EQ(local.GetArchiveInfo(path.c_str(), 0, 0, &lists[0]),
                  remote.GetArchiveInfo(path.c_str(), 0, 0, &lists[1]));
        std::string listed = Bytes(lists[0]);
        ASSERT_EQ(listed, Bytes(lists[1]));
        for (HLOCAL list : lists) FreeLiveLocal(list);

        const fileInfo* entries = reinterpret_cast<const fileInfo*>(listed.data());
        size_t count = listed.size() / sizeof(fileInfo);
        ASSERT_GT(count, 1u);
        for (size_t n = 0; n + 1 < count && entries[n].method[0]; ++n) {
            SCOPED_TRACE(entries[n].filename);
            std::string member = std::string(entries[n].path) + entries[n].filename;
            fileInfo a, b;
            memset(&a, 0, sizeof a);
            memset(&b, 0, sizeof b);
            EXPECT_EQ(local.GetFileInfo(path.c_str(), 0, member.c_str(), 0, &a),
                      remote.GetFileInfo(path.c_str(), 0, member.c_str(), 0, &b));
            EXPECT_EQ(0, memcmp(&a, &b, sizeof a));

            HLOCAL data[2] = {};
            EXPECT_EQ(local.GetFile(path.c_str(), entries[n].position,
                                    reinterpret_cast<LPSTR>(&data[0]), SPI_OUTPUT_MEMORY, nullptr, 0),
                      remote.GetFile(path.c_str(), entries[n].position,
                                     reinterpret_cast<LPSTR>(&data[1]), SPI_OUTPUT_MEMORY, nullptr,
                                     0));
            EXPECT_EQ(Bytes(data[0]), Bytes(data[1]));
            for (HLOCAL block : data) FreeLiveLocal(block);

            EXPECT_EQ(local.GetFile(path.c_str(), entries[n].position, &destinations[0][0], 0,
                                    nullptr, 0),
                      remote.GetFile(path.c_str(), entries[n].position, &destinations[1][0], 0,
                                     nullptr, 0));
            EXPECT_EQ(ReadBytes(folders[0].File(entries[n].filename)),
                      ReadBytes(folders[1].File(entries[n].filename)));
        }
    }
}

TEST_P(RemoteFile, AnObjectWithoutAModuleAnswersAsTheInProcessOne) {
    SpiRemoteFile remote;
    char text[16];
    HLOCAL list = reinterpret_cast<HLOCAL>(1);
    EXPECT_EQ(-1, remote.GetPluginInfo(0, text, sizeof text));
    EXPECT_EQ(-1, remote.GetArchiveInfo("x.tar", 0, 0, &list));
    EXPECT_EQ(nullptr, list);
    EXPECT_EQ(0, remote.RunnerProcessId());

    EXPECT_EQ(0, remote.Load(nullptr, FixturePath("bmp", "list.txt").c_str()));
    EXPECT_EQ(static_cast<DWORD>(ERROR_BAD_EXE_FORMAT), GetLastError());
    // A DLL that is no plug-in: the runner starts, declines and ends.
    EXPECT_EQ(0, remote.Load(nullptr, RunnerOfBits(GetParam()).c_str()));
    EXPECT_EQ(0, remote.RunnerProcessId());
    // A module of the other kind answers -1, as in process.
    ASSERT_EQ(1, remote.Load(nullptr, Plugin("tar").c_str()));
    PictureInfo info;
    EXPECT_EQ(-1, remote.GetPictureInfo("a.bmp", 0, 0, &info));
    EXPECT_EQ(1, remote.Unload());
    EXPECT_EQ(0, remote.RunnerProcessId());
    // ... and is loaded again by the next call.
    EXPECT_EQ(0, remote.GetArchiveInfo(FixturePath("tar", "gnu.tar").c_str(), 0, 0, &list));
    FreeLiveLocal(list);
}

INSTANTIATE_TEST_SUITE_P(Bitness, RemoteFile, ::testing::Values(32, 64),
                         [](const ::testing::TestParamInfo<int>& info) {
                             return "Runner" + std::to_string(info.param);
                         });

}  // namespace

namespace {

// A plug-in set holds the other bitness's modules as runner objects, and
// decodes through them as through any other.
TEST(RemotePluginSet, HoldsModulesOfTheOtherBitnessAsRunnerObjects) {
    const int other = sizeof(void*) == 8 ? 32 : 64;
    SKIP_UNLESS_MACHINE_RUNS(other);
    TempDir folder;
    ASSERT_TRUE(CopyFileA(PluginOfBits("bmp", other).c_str(), folder.File("other.spi").c_str(),
                          FALSE));
    {
        SpiFilesManage set;
        set.SetPluginFolder(folder.path().c_str());
        set.Scan();
        SpiFindData* cursor = set.FindStart();
        SpiFile* found = set.FindNext(cursor);
        EXPECT_EQ(nullptr, set.FindNext(cursor));
        set.FindEnd(cursor);
        SpiRemoteFile* remote = dynamic_cast<SpiRemoteFile*>(found);
        ASSERT_NE(nullptr, remote);
        EXPECT_EQ(other, remote->RunnerBits());

        std::string path = FixturePath("bmp", "info8.bmp");
        SpiInputStream source;
        source.SetFile(path.c_str(), 0);
        SpiOutputStream picture;
        EXPECT_EQ(found, set.DecodePicture(source, picture, 0, nullptr, 0));

        SpiDllFile local;
        ASSERT_EQ(1, local.Load(nullptr, "bmp" SPI_EXT));
        Picture expected = Decode(local, path, SPI_INPUT_FILE);
        EXPECT_EQ(expected.info, Bytes(picture.GetInfoHandle()));
        EXPECT_TRUE(expected.bits == Bytes(picture.GetBitsHandle()));
    }
    EXPECT_EQ(0, RunnerProcessCount());
}

}  // namespace
