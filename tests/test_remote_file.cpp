// SpiRemoteFile with the reference plug-ins, in both runners: the same
// results, pixels, lists and bytes as the in-process object gives.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "remote_test_support.h"
#include "spiplugin.h"
#include "test_support.h"

namespace {

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
    // The reference plug-in in process (this tree's) and in a runner (the
    // parameter's bitness).
    void LoadBoth(const char* name, SpiDllFile& local, SpiRemoteFile& remote) const {
        ASSERT_EQ(1, local.Load(nullptr, (std::string(name) + SPI_EXT).c_str()));
        ASSERT_EQ(1, remote.Load(nullptr, Plugin(name).c_str()));
    }
    // bmp in process and in a runner, the runner's progress posted or not.
    void LoadBmp(SpiDllFile& local, SpiRemoteFile& remote, bool posted) const {
        remote.SetPostedProgress(posted);
        LoadBoth("bmp", local, remote);
    }
};

TEST_P(RemoteFile, PicturesAreThoseOfTheInProcessDecode) {
    SpiDllFile local;
    SpiRemoteFile remote;
    LoadBoth("bmp", local, remote);
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
    LoadBoth("bmp", local, remote);
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

struct Seen {
    int calls = 0;
    int32_t num = -1, denom = -1;
    bool ordered = true;
};

int32_t SPI_API Watch(int32_t num, int32_t denom, intptr_t data) {
    Seen* seen = reinterpret_cast<Seen*>(data);
    if (num < seen->num) seen->ordered = false;
    ++seen->calls;
    seen->num = num;
    seen->denom = denom;
    return 0;
}

TEST_P(RemoteFile, PostedProgressEndsWhereTheDecodeEnds) {
    // Posted callbacks may be merged, but come in order, and the last one
    // the caller sees is the decode's last, before the call returns.
    SpiDllFile local;
    SpiRemoteFile remote;
    LoadBmp(local, remote, true);
    for (const char* name : {"info24.bmp", "rle8.bmp"}) {
        SCOPED_TRACE(name);
        std::string path = FixturePath("bmp", name);
        Seen in, out;
        HLOCAL info[2] = {}, bits[2] = {};
        EXPECT_EQ(SPI_SUCCESS, local.GetPicture(path.c_str(), 0, 0, &info[0], &bits[0], Watch,
                                                reinterpret_cast<intptr_t>(&in)));
        EXPECT_EQ(SPI_SUCCESS, remote.GetPicture(path.c_str(), 0, 0, &info[1], &bits[1], Watch,
                                                 reinterpret_cast<intptr_t>(&out)));
        EXPECT_EQ(Bytes(bits[0]), Bytes(bits[1]));
        EXPECT_GE(out.calls, 1);
        EXPECT_LE(out.calls, in.calls);
        EXPECT_TRUE(out.ordered);
        EXPECT_EQ(in.num, out.num);
        EXPECT_EQ(in.denom, out.denom);
        for (HLOCAL block : {info[0], info[1], bits[0], bits[1]}) FreeLiveLocal(block);
    }
    // Calls without a callback and with the exact round trip still work
    // on the same runner.
    remote.SetPostedProgress(false);
    Progress exact;
    HLOCAL info = nullptr, bits = nullptr;
    std::string path = FixturePath("bmp", "info24.bmp");
    EXPECT_EQ(SPI_SUCCESS, remote.GetPicture(path.c_str(), 0, 0, &info, &bits, CountProgress,
                                             reinterpret_cast<intptr_t>(&exact)));
    EXPECT_GT(exact.calls, 0);
    FreeLiveLocal(info);
    FreeLiveLocal(bits);
}

// A bottom-up 24-bit bitmap of the size, its pixels a pattern that the
// salt shifts.
std::string LargeBitmap(int width, int height, int salt = 0) {
    size_t row = (static_cast<size_t>(width) * 3 + 3) & ~static_cast<size_t>(3);
    std::string file(54 + row * height, '\0');
    BITMAPFILEHEADER head = {};
    head.bfType = 0x4D42;
    head.bfSize = static_cast<DWORD>(file.size());
    head.bfOffBits = 54;
    BITMAPINFOHEADER info = {};
    info.biSize = sizeof info;
    info.biWidth = width;
    info.biHeight = height;
    info.biPlanes = 1;
    info.biBitCount = 24;
    memcpy(&file[0], &head, sizeof head);
    memcpy(&file[14], &info, sizeof info);
    for (size_t n = 54; n < file.size(); ++n) file[n] = static_cast<char>(n * 7 + n / 4099 + salt);
    return file;
}

TEST_P(RemoteFile, LargePicturesComeBackWhole) {
    // Past a megabyte the caller's blocks are made while the runner copies
    // the plug-in's into the section, or while the plug-in works when the
    // call before answered blocks of the same sizes: they must still hold
    // every byte of this picture (never the last one's), call after call,
    // also when a picture of another size comes between.
    SpiDllFile local;
    SpiRemoteFile remote;
    LoadBmp(local, remote, false);
    TempDir dir;
    std::string large = dir.File("large.bmp"), other = dir.File("other.bmp"),
                wider = dir.File("wider.bmp"), small = dir.File("small.bmp");
    WriteBytes(large, LargeBitmap(1021, 700));
    WriteBytes(other, LargeBitmap(1021, 700, 1));
    WriteBytes(wider, LargeBitmap(1400, 700));
    WriteBytes(small, LargeBitmap(3, 2));
    for (const std::string* path : {&large, &other, &small, &large, &wider, &other}) {
        SCOPED_TRACE(*path);
        Picture in = Decode(local, *path, SPI_INPUT_FILE),
                out = Decode(remote, *path, SPI_INPUT_FILE);
        EXPECT_EQ(SPI_SUCCESS, out.result);
        EXPECT_EQ(in.info, out.info);
        EXPECT_EQ(in.bits.size(), out.bits.size());
        EXPECT_TRUE(in.bits == out.bits);
    }
    EXPECT_EQ(SpiFaultKind::None, remote.LastFault().kind);
}

TEST_P(RemoteFile, ArchivesListAndExtractAsInProcess) {
    SpiDllFile local;
    SpiRemoteFile remote;
    LoadBoth("tar", local, remote);
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

// Wide names: the wide exports of the reference plug-ins through the
// runner against the in-process object's, on a bitmap and on archives named
// outside code page 932.

const WCHAR kOddBitmap[] = L"M\u00fcller-\u03a9\u03bc.bmp";
const WCHAR kOddArchive[] = L"Archiv-\u03a9\u03bc.tar";
const char* const kWideExports[] = {"GetPluginInfoW", "IsSupportedW",    "GetPictureInfoW",
                                    "GetPictureW",    "GetPreviewW",     "GetArchiveInfoW",
                                    "GetFileInfoW",   "GetFileW"};

template <typename Plugin>
Picture DecodeW(Plugin& plugin, bool preview, LPCWSTR source, intptr_t length, uint32_t flag) {
    Picture picture;
    HLOCAL info = nullptr, bits = nullptr;
    picture.result = preview ? plugin.GetPreviewW(source, length, flag, &info, &bits, nullptr, 0)
                             : plugin.GetPictureW(source, length, flag, &info, &bits, nullptr, 0);
    picture.info = Bytes(info);
    picture.bits = Bytes(bits);
    FreeLiveLocal(info);
    FreeLiveLocal(bits);
    return picture;
}

TEST_P(RemoteFile, WidePicturesAreThoseOfTheInProcessDecode) {
    SpiDllFile local;
    SpiRemoteFile remote;
    LoadBoth("bmp", local, remote);
    for (const char* name : kWideExports) EXPECT_EQ(local.HasExport(name), remote.HasExport(name)) << name;
    EXPECT_TRUE(remote.HasExport("GetPictureW"));
    EXPECT_FALSE(remote.HasExport("GetFileW"));

    // The texts, and a buffer that keeps what the plug-in does not write.
    for (int32_t number = 0; number < 5; ++number) {
        for (int32_t buflen : {64, 3}) {
            SCOPED_TRACE(std::to_string(number) + "/" + std::to_string(buflen));
            std::vector<WCHAR> in(72, 0xCCCC), out(72, 0xCCCC);
            EXPECT_EQ(local.GetPluginInfoW(number, in.data(), buflen),
                      remote.GetPluginInfoW(number, out.data(), buflen));
            EXPECT_TRUE(in == out);
        }
    }

    TempDir dir;
    for (const char* fixture : {"info8.bmp", "rle8.bmp", "info24.bmp"}) {
        SCOPED_TRACE(fixture);
        std::string original = FixturePath("bmp", fixture);
        std::wstring path = Wide(dir.path()) + L"\\" + kOddBitmap;
        ASSERT_TRUE(CopyFileW(Wide(original).c_str(), path.c_str(), FALSE));
        std::string bytes = ReadBytes(original);
        ASSERT_GE(bytes.size(), SPI_SAMPLE_SIZE);

        EXPECT_EQ(1, remote.IsSupportedW(path.c_str(), bytes.data()));
        HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        ASSERT_NE(INVALID_HANDLE_VALUE, file);
        EXPECT_EQ(local.IsSupportedW(path.c_str(), file), remote.IsSupportedW(path.c_str(), file));
        CloseHandle(file);

        PictureInfo a, b;
        EXPECT_EQ(local.GetPictureInfoW(path.c_str(), 0, 0, &a),
                  remote.GetPictureInfoW(path.c_str(), 0, 0, &b));
        EXPECT_EQ(0, memcmp(&a, &b, sizeof a));
        EXPECT_GT(b.width, 0);

        for (bool preview : {false, true}) {
            SCOPED_TRACE(preview ? "GetPreviewW" : "GetPictureW");
            Picture in = DecodeW(local, preview, path.c_str(), 0, SPI_INPUT_FILE);
            Picture out = DecodeW(remote, preview, path.c_str(), 0, SPI_INPUT_FILE);
            EXPECT_EQ(SPI_SUCCESS, out.result);
            EXPECT_EQ(in.info, out.info);
            EXPECT_TRUE(in.bits == out.bits);
            LPCWSTR memory = reinterpret_cast<LPCWSTR>(bytes.data());
            intptr_t size = static_cast<intptr_t>(bytes.size());
            Picture fromMemory = DecodeW(remote, preview, memory, size, SPI_INPUT_MEMORY);
            EXPECT_EQ(SPI_SUCCESS, fromMemory.result);
            EXPECT_TRUE(in.bits == fromMemory.bits);
        }
    }
    // A name that is not there is the plug-in's read error, as in process.
    std::wstring missing = Wide(dir.path()) + L"\\\u03a9-none.bmp";
    PictureInfo a, b;
    EXPECT_EQ(local.GetPictureInfoW(missing.c_str(), 0, 0, &a),
              remote.GetPictureInfoW(missing.c_str(), 0, 0, &b));
    EXPECT_EQ(SPI_READ_ERROR, DecodeW(remote, false, missing.c_str(), 0, 0).result);
    EXPECT_EQ(SpiFaultKind::None, remote.LastFault().kind);
}

TEST_P(RemoteFile, WideProgressCallbacksRunInTheCallerAndCancel) {
    SpiDllFile local;
    SpiRemoteFile remote;
    LoadBoth("bmp", local, remote);
    TempDir dir;
    std::wstring path = Wide(dir.path()) + L"\\" + kOddBitmap;
    ASSERT_TRUE(CopyFileW(Wide(FixturePath("bmp", "info24.bmp")).c_str(), path.c_str(), FALSE));
    for (int stopAt : {-1, 2}) {
        SCOPED_TRACE(stopAt);
        Progress in, out;
        in.stopAt = out.stopAt = stopAt;
        HLOCAL info[2] = {}, bits[2] = {};
        int32_t expected = local.GetPictureW(path.c_str(), 0, 0, &info[0], &bits[0],
                                             CountProgress, reinterpret_cast<intptr_t>(&in));
        EXPECT_EQ(expected, remote.GetPictureW(path.c_str(), 0, 0, &info[1], &bits[1],
                                               CountProgress, reinterpret_cast<intptr_t>(&out)));
        EXPECT_EQ(stopAt < 0 ? SPI_SUCCESS : SPI_ABORT, expected);
        EXPECT_EQ(in.calls, out.calls);
        EXPECT_GT(out.calls, 0);
        EXPECT_EQ(info[0] != nullptr, info[1] != nullptr);
        for (HLOCAL block : {info[0], info[1], bits[0], bits[1]}) FreeLiveLocal(block);
    }
}

TEST_P(RemoteFile, WideArchivesListAndExtractAsInProcess) {
    SpiDllFile local;
    SpiRemoteFile remote;
    LoadBoth("tar", local, remote);
    for (const char* name : kWideExports) EXPECT_EQ(local.HasExport(name), remote.HasExport(name)) << name;
    TempDir dir;
    // Each side extracts into a folder of its own, named outside code page 932.
    std::wstring folders[2] = {Wide(dir.path()) + L"\\Ziel-\u03a9", Wide(dir.path()) + L"\\Ziel-\u03bc"};
    for (const std::wstring& folder : folders) ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
    for (const char* fixture : {"unicode-pax.tar", "unicode-gnu.tar", "gnu.tar"}) {
        SCOPED_TRACE(fixture);
        std::wstring archive = Wide(dir.path()) + L"\\" + kOddArchive;
        ASSERT_TRUE(CopyFileW(Wide(FixturePath("tar", fixture)).c_str(), archive.c_str(), FALSE));
        std::string bytes = ReadBytes(FixturePath("tar", fixture));

        HLOCAL lists[2] = {};
        ASSERT_EQ(local.GetArchiveInfoW(archive.c_str(), 0, 0, &lists[0]),
                  remote.GetArchiveInfoW(archive.c_str(), 0, 0, &lists[1]));
        std::string listed = Bytes(lists[0]);
        ASSERT_EQ(listed, Bytes(lists[1]));
        for (HLOCAL list : lists) FreeLiveLocal(list);
        // The same list from memory.
        HLOCAL fromMemory = nullptr;
        ASSERT_EQ(0, remote.GetArchiveInfoW(reinterpret_cast<LPCWSTR>(bytes.data()),
                                            static_cast<intptr_t>(bytes.size()),
                                            SPI_INPUT_MEMORY, &fromMemory));
        EXPECT_EQ(listed, Bytes(fromMemory));
        FreeLiveLocal(fromMemory);

        const fileInfoW* entries = reinterpret_cast<const fileInfoW*>(listed.data());
        size_t count = listed.size() / sizeof(fileInfoW);
        ASSERT_GT(count, 1u);
        bool sawOddName = false;
        for (size_t n = 0; n + 1 < count && entries[n].method[0]; ++n) {
            std::wstring member = std::wstring(entries[n].path) + entries[n].filename;
            SCOPED_TRACE(n);
            sawOddName = sawOddName || member.find(L'\u03a9') != std::wstring::npos;
            fileInfoW a, b;
            memset(&a, 0, sizeof a);
            memset(&b, 0, sizeof b);
            EXPECT_EQ(0, local.GetFileInfoW(archive.c_str(), 0, member.c_str(), 0, &a));
            EXPECT_EQ(0, remote.GetFileInfoW(archive.c_str(), 0, member.c_str(), 0, &b));
            EXPECT_EQ(0, memcmp(&a, &b, sizeof a));
            EXPECT_EQ(0, memcmp(&entries[n], &b, sizeof b));

            intptr_t position = static_cast<intptr_t>(entries[n].position);
            HLOCAL data[2] = {};
            EXPECT_EQ(0, local.GetFileW(archive.c_str(), position,
                                        reinterpret_cast<LPWSTR>(&data[0]), SPI_OUTPUT_MEMORY,
                                        nullptr, 0));
            EXPECT_EQ(0, remote.GetFileW(archive.c_str(), position,
                                         reinterpret_cast<LPWSTR>(&data[1]), SPI_OUTPUT_MEMORY,
                                         nullptr, 0));
            std::string extracted = Bytes(data[0]);
            EXPECT_EQ(extracted, Bytes(data[1]));
            // An empty member comes back as no block.
            if (entries[n].filesize == 0) extracted.clear();
            EXPECT_EQ(entries[n].filesize, extracted.size());
            for (HLOCAL block : data) FreeLiveLocal(block);

            for (int side = 0; side < 2; ++side) {
                std::wstring target = folders[side];
                int32_t result =
                    side == 0 ? local.GetFileW(archive.c_str(), position, &target[0], 0, nullptr, 0)
                              : remote.GetFileW(archive.c_str(), position, &target[0], 0, nullptr, 0);
                EXPECT_EQ(0, result) << "side " << side;
                EXPECT_EQ(extracted, ReadWide(folders[side] + L"\\" + entries[n].filename))
                    << "side " << side;
            }
        }
        EXPECT_EQ(std::string(fixture) != "gnu.tar", sawOddName);
        // A name that is no member: the plug-in's answer, as in process.
        fileInfoW a, b;
        EXPECT_EQ(local.GetFileInfoW(archive.c_str(), 0, L"\u03a9-none.txt", 0, &a),
                  remote.GetFileInfoW(archive.c_str(), 0, L"\u03a9-none.txt", 0, &b));
    }
    EXPECT_EQ(SpiFaultKind::None, remote.LastFault().kind);
}

// What the kind or the exports refuse answers -1 touching nothing, and a
// fault inside a wide export is caught in the runner as in process.
TEST_P(RemoteFile, WideCallsRefusedOrFaultingAnswerAsInProcess) {
    SpiRemoteFile partial, tar;
    ASSERT_EQ(1, partial.Load(nullptr, Plugin("wide_partial").c_str()));
    ASSERT_EQ(1, tar.Load(nullptr, Plugin("tar").c_str()));
    EXPECT_TRUE(partial.HasExport("GetPictureW"));
    EXPECT_FALSE(partial.HasExport("GetPictureInfoW"));

    WCHAR text[8] = {L'x', 0};
    EXPECT_EQ(-1, partial.GetPluginInfoW(0, text, 8));
    EXPECT_EQ(L'x', text[0]);
    PictureInfo info;
    memset(&info, 0x55, sizeof info);
    EXPECT_EQ(-1, partial.GetPictureInfoW(L"a.wpt", 0, 0, &info));
    EXPECT_EQ(0x55, reinterpret_cast<unsigned char*>(&info)[0]);
    HLOCAL a = reinterpret_cast<HLOCAL>(1), b = reinterpret_cast<HLOCAL>(2);
    EXPECT_EQ(-1, partial.GetPreviewW(L"a.wpt", 0, 0, &a, &b, nullptr, 0));
    EXPECT_EQ(reinterpret_cast<HLOCAL>(1), a);
    EXPECT_EQ(-1, tar.GetPictureW(L"a.tar", 0, 0, &a, &b, nullptr, 0));
    // Refused in the runner, the ANSI call hands back no comment block: the
    // runner's record was never the plug-in's to fill.
    PictureInfo refused;
    EXPECT_EQ(-1, tar.GetPictureInfo("a.tar", 0, 0, &refused));
    EXPECT_EQ(nullptr, refused.hInfo);
    EXPECT_EQ(-1, partial.GetFileW(L"a.wpt", 0, reinterpret_cast<LPWSTR>(&a), SPI_OUTPUT_MEMORY,
                                   nullptr, 0));
    EXPECT_EQ(reinterpret_cast<HLOCAL>(1), a);
    EXPECT_EQ(-1, partial.GetArchiveInfoW(L"a.wpt", 0, 0, &a));
    EXPECT_EQ(nullptr, a);

    char sample[SPI_SAMPLE_SIZE] = {};
    EXPECT_EQ(1, partial.IsSupportedW(L"M\u00fcller-\u03a9\u03bc.wpt", sample));
    EXPECT_EQ(0, partial.IsSupportedW(L"Muller-Om.wpt", sample));
    Picture picture = DecodeW(partial, false, L"M\u00fcller-\u03a9\u03bc.wpt", 0, 0);
    EXPECT_EQ(0, picture.result);
    EXPECT_EQ(std::string("\xff\0\0\0", 4), picture.bits);

    DWORD runner = partial.RunnerProcessId();
    a = b = nullptr;
    EXPECT_EQ(8, partial.GetPictureW(L"fault", 0, 0, &a, &b, nullptr, 0));
    EXPECT_EQ(SpiFaultKind::Exception, partial.LastFault().kind);
    EXPECT_EQ(static_cast<DWORD>(EXCEPTION_ACCESS_VIOLATION), partial.LastFault().code);
    EXPECT_EQ(nullptr, a);
    EXPECT_EQ(runner, partial.RunnerProcessId()) << "a caught fault keeps the runner";
    EXPECT_EQ(2, partial.GetPictureW(L"other.wpt", 0, 0, &a, &b, nullptr, 0));
    EXPECT_EQ(SpiFaultKind::None, partial.LastFault().kind);
}

// Every public operation SpiRemoteFile inherits from SpiDllFile, called on
// a runner object and on an in-process one with the same arguments: each
// answers alike and leaves the same bytes, except the residency machinery,
// which answers as its header documents (no module is held here).

// A block's bytes as a short text: their count and a digest.
std::string Digest(const std::string& bytes) {
    uint32_t hash = 2166136261u;
    for (unsigned char c : bytes) hash = (hash ^ c) * 16777619u;
    char text[32];
    snprintf(text, sizeof text, "%zu:%08x", bytes.size(), static_cast<unsigned>(hash));
    return text;
}

std::string BlockDigest(HLOCAL block) {
    std::string digest = block ? Digest(Bytes(block)) : "none";
    FreeLiveLocal(block);
    return digest;
}

// What an object's identification says: kind, texts, exports.
std::vector<std::string> Identity(SpiDllFile& plugin) {
    std::vector<std::string> seen = {
        "kind " + std::to_string(plugin.GetKind()), std::string("about ") + plugin.GetAboutText(),
        std::string("module ") + plugin.GetModulePath(),
        std::string("extensions ") + (plugin.ExtensionList() ? plugin.ExtensionList() : "null"),
        "mask " + std::to_string(plugin.ExportMask()),
        "wide archive set " + std::to_string(plugin.HasWideArchiveSet())};
    for (const SpiExportInfo& e : kSpiExports)
        seen.push_back(std::string(e.name) + " " + std::to_string(plugin.HasExport(e.name)));
    return seen;
}

// GetPictureInfoAsGiven on a record filled with 0x7f: the result, and the
// record as the module left it (hInfo as a block's digest when it names one).
std::string PictureAsGiven(SpiDllFile& plugin, LPCSTR source, intptr_t length, uint32_t flag) {
    PictureInfo info;
    memset(&info, 0x7f, sizeof info);
    PictureInfo filled = info;
    int32_t result = plugin.GetPictureInfoAsGiven(source, length, flag, &info);
    std::string hInfo = "as given";
    if (info.hInfo != filled.hInfo) hInfo = info.hInfo ? BlockDigest(info.hInfo) : "null";
    info.hInfo = nullptr;
    return std::to_string(result) + " " + Digest(std::string(reinterpret_cast<char*>(&info),
                                                             sizeof info)) +
           " hInfo " + hInfo + " fault " + std::to_string(static_cast<int>(plugin.LastFault().kind));
}

std::vector<std::string> ImageOperations(SpiDllFile& plugin, const std::string& path) {
    std::vector<std::string> seen;
    auto add = [&](const char* what, int32_t result, const std::string& detail = "") {
        seen.push_back(std::string(what) + " " + std::to_string(result) + " " + detail);
    };
    SpiInputStream stream;
    stream.SetFile(path.c_str(), 0);
    add("IsSupportedStream", plugin.IsSupportedStream(stream));
    for (bool preview : {false, true}) {
        HLOCAL info = nullptr, bits = nullptr;
        int32_t result = preview ? plugin.GetPreviewStream(stream, &info, &bits, nullptr, 0)
                                 : plugin.GetPictureStream(stream, &info, &bits, nullptr, 0);
        add(preview ? "GetPreviewStream" : "GetPictureStream", result,
            BlockDigest(info) + " " + BlockDigest(bits));
    }
    std::string bytes = ReadBytes(path);
    seen.push_back("AsGiven file " + PictureAsGiven(plugin, path.c_str(), 0, SPI_INPUT_FILE));
    seen.push_back("AsGiven memory " + PictureAsGiven(plugin, bytes.data(),
                                                      static_cast<intptr_t>(bytes.size()),
                                                      SPI_INPUT_MEMORY));
    return seen;
}

template <typename Record, typename Char>
std::string ListDigest(const Record* list) {
    size_t count = 0;
    while (list && list[count].method[0]) ++count;
    std::string digest = Digest(std::string(reinterpret_cast<const char*>(list),
                                            count * sizeof(Record)));
    free(const_cast<Record*>(list));
    return digest;
}

// What a stream holds after OpenMember: the member's bytes.
std::string Held(const SpiInputStream& stream) {
    if (!stream.IsMemory()) return "file";
    return Digest(std::string(stream.GetSource(nullptr), static_cast<size_t>(stream.GetLength(nullptr))));
}

std::vector<std::string> ArchiveOperations(SpiDllFile& plugin, const std::string& path,
                                           const std::string& member, const TempDir& out) {
    std::vector<std::string> seen;
    auto add = [&](const char* what, int32_t result, const std::string& detail = "") {
        seen.push_back(std::string(what) + " " + std::to_string(result) + " " + detail);
    };
    SpiInputStream stream;
    stream.SetFile(path.c_str(), 0);
    add("IsSupportedStream", plugin.IsSupportedStream(stream));
    HLOCAL handle = nullptr;
    add("GetArchiveInfoStream", plugin.GetArchiveInfoStream(stream, &handle), BlockDigest(handle));

    fileInfo* list = nullptr;
    int32_t listed = plugin.GetArchiveList(stream, &list);
    fileInfo entry;
    memset(&entry, 0, sizeof entry);
    for (size_t n = 0; list && list[n].method[0]; ++n)
        if (std::string(list[n].path) + list[n].filename == member) entry = list[n];
    add("GetArchiveList", listed, ListDigest<fileInfo, char>(list));
    fileInfo info;
    memset(&info, 0, sizeof info);
    add("GetFileInfoStream", plugin.GetFileInfoStream(stream, member.c_str(), 0, &info),
        Digest(std::string(reinterpret_cast<char*>(&info), sizeof info)));
    handle = nullptr;
    add("GetFileToMemory", plugin.GetFileToMemory(stream, &entry, &handle, nullptr, 0),
        BlockDigest(handle));
    add("GetFileToDisk", plugin.GetFileToDisk(stream, &entry, out.path().c_str(), nullptr, 0),
        Digest(ReadBytes(out.File(entry.filename))));

    std::wstring wideMember = Wide(member);
    fileInfoW* wideList = nullptr;
    listed = plugin.GetArchiveListW(stream, &wideList);
    fileInfoW wideEntry;
    memset(&wideEntry, 0, sizeof wideEntry);
    for (size_t n = 0; wideList && wideList[n].method[0]; ++n)
        if (std::wstring(wideList[n].path) + wideList[n].filename == wideMember)
            wideEntry = wideList[n];
    add("GetArchiveListW", listed, ListDigest<fileInfoW, wchar_t>(wideList));
    fileInfoW wideInfo;
    memset(&wideInfo, 0, sizeof wideInfo);
    add("GetFileInfoStreamW", plugin.GetFileInfoStreamW(stream, wideMember.c_str(), 0, &wideInfo),
        Digest(std::string(reinterpret_cast<char*>(&wideInfo), sizeof wideInfo)));
    handle = nullptr;
    add("GetFileToMemoryW", plugin.GetFileToMemoryW(stream, &wideEntry, &handle, nullptr, 0),
        BlockDigest(handle));
    std::wstring folder = Wide(out.path());
    add("GetFileToDiskW", plugin.GetFileToDiskW(stream, &wideEntry, folder.c_str(), nullptr, 0),
        Digest(ReadBytes(out.File(entry.filename))));

    SpiInputStream opened;
    opened.SetFile(path.c_str(), 0);
    LPCSTR rest = nullptr;
    add("OpenMember", plugin.OpenMember(opened, member.c_str(), &rest), Held(opened));
    SpiInputStream openedW;
    openedW.SetFile(path.c_str(), 0);
    LPCWSTR wideRest = nullptr;
    add("OpenMemberW", plugin.OpenMemberW(openedW, wideMember.c_str(), &wideRest),
        Held(openedW));

    // An image operation on an archive plug-in: refused before the record
    // is touched.
    seen.push_back("AsGiven " + PictureAsGiven(plugin, path.c_str(), 0, SPI_INPUT_FILE));
    return seen;
}

TEST_P(RemoteFile, InheritedOperationsAnswerAsInProcess) {
    std::string bitmap = FixturePath("bmp", "info8.bmp");
    std::string archive = FixturePath("tar", "gnu.tar");
    for (const char* name : {"bmp", "tar"}) {
        SCOPED_TRACE(name);
        // The same path given to both, so that GetModulePath compares too;
        // the in-process object loads the module of this build's bitness.
        std::string given = Plugin(name);
        SpiDllFile local;
        SpiRemoteFile remote;
        ASSERT_EQ(1, local.Load(nullptr, PluginOfBits(name, sizeof(void*) * 8).c_str()));
        ASSERT_EQ(1, remote.Load(nullptr, given.c_str()));
        std::vector<std::string> expected = Identity(local), seen = Identity(remote);
        EXPECT_EQ(std::string("module ") + given, seen[2]);
        expected[2] = seen[2] = "module";
        EXPECT_EQ(expected, seen);

        if (std::string(name) == "bmp") {
            EXPECT_EQ(ImageOperations(local, bitmap), ImageOperations(remote, bitmap));
        } else {
            TempDir out[2];
            EXPECT_EQ(ArchiveOperations(local, archive, "hello.txt", out[0]),
                      ArchiveOperations(remote, archive, "hello.txt", out[1]));
        }
        EXPECT_EQ(local.LastFault().kind, remote.LastFault().kind);

        // The residency machinery, as documented: the runner holds the
        // module, this process holds none, and the decision is the hook's.
        EXPECT_EQ(1, remote.EnsureLoaded());
        EXPECT_NE(0u, remote.RunnerProcessId());
        EXPECT_FALSE(remote.HoldsModule());
        EXPECT_EQ(1, remote.ReleaseAfterCall());
        EXPECT_NE(0u, remote.RunnerProcessId()) << "the runner keeps the module";
        EXPECT_EQ(Undecided, remote.Residency());
        EXPECT_EQ(local.DecideResidency(1, 2), local.Residency());
        EXPECT_EQ(DefaultResidencyDecision(&remote, 1, 2), remote.DecideResidency(1, 2));
        remote.Unload();
        EXPECT_EQ(1, remote.EnsureLoaded()) << "a new runner loads the module again";
        remote.Unload();
    }
    // Nothing loaded: refused alike.
    SpiDllFile local;
    SpiRemoteFile remote;
    PictureInfo a, b;
    memset(&a, 0x7f, sizeof a);
    memset(&b, 0x7f, sizeof b);
    EXPECT_EQ(local.GetPictureInfoAsGiven(bitmap.c_str(), 0, 0, &a),
              remote.GetPictureInfoAsGiven(bitmap.c_str(), 0, 0, &b));
    EXPECT_EQ(0, memcmp(&a, &b, sizeof a));
    EXPECT_EQ(local.EnsureLoaded(), remote.EnsureLoaded());
    EXPECT_EQ(Identity(local), Identity(remote));
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
