// Streams named in UTF-16: their two spellings, the stream operations
// taking the wide exports where a name has no ANSI spelling (and declining
// where the plug-in has none), the plug-in set decoding a bitmap by its
// wide name, and OpenPath resolving wide names through tar's wide lists.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "handle_ref_table.h"
#include "spiplugin.h"
#include "tar_fixtures.h"
#include "test_support.h"

namespace {

const WCHAR kOddBitmap[] = L"M\u00fcller-\u03a9\u03bc.bmp";
const WCHAR kMuller[] = L"M\u00fcller-\u03a9\u03bc.txt";
const WCHAR kFolder[] = L"Ordner-\u03a9\\";
const char kMullerBytes[] = "Gr\xc3\xbc\xc3\x9f" "e aus der Wide-Welt\n";

class Stream : public SpiInputStream {
public:
    HLOCAL Handle() const { return memHandle; }
    std::string Data() const { return std::string(GetSource(nullptr), GetLength(nullptr)); }
};

SpiDllFile* Loaded(const char* name) {
    SpiDllFile* plugin = new SpiDllFile;
    EXPECT_EQ(1, plugin->Load(nullptr, name)) << name;
    return plugin;
}

}  // namespace

TEST(WideStream, KeepsBothSpellingsOfItsName) {
    Stream ascii;
    ascii.SetFile(L"C:\\pics\\a.bmp", 16);
    EXPECT_STREQ("C:\\pics\\a.bmp", ascii.GetName());
    EXPECT_STREQ(L"C:\\pics\\a.bmp", ascii.GetWideName());
    EXPECT_TRUE(ascii.NameFitsAnsi());
    EXPECT_TRUE(ascii.NamedInUtf16());
    EXPECT_EQ(16, ascii.GetLength(nullptr));

    Stream odd;
    odd.SetFile(kOddBitmap, 0);
    EXPECT_FALSE(odd.NameFitsAnsi());
    EXPECT_STREQ(kOddBitmap, odd.GetWideName());
    EXPECT_STREQ(kOddBitmap, odd.GetSourceW(nullptr));
    // Every character without a spelling is a "?", never a look-alike
    // that could name another file.
    std::string narrow = odd.GetName();
    EXPECT_EQ(std::string::npos, narrow.find("Om")) << narrow;
    EXPECT_NE(std::string::npos, narrow.find('?')) << narrow;
    EXPECT_EQ(".bmp", narrow.substr(narrow.size() - 4));

    // An ANSI name is widened, and the stream counts as named in ANSI.
    Stream ansi;
    ansi.SetFile("a.bmp", 0);
    EXPECT_STREQ(L"a.bmp", ansi.GetWideName());
    EXPECT_TRUE(ansi.NameFitsAnsi());
    EXPECT_FALSE(ansi.NamedInUtf16());

    // Assign takes the wide name along; Close forgets it.
    Stream copy;
    copy.Assign(odd);
    EXPECT_STREQ(kOddBitmap, copy.GetWideName());
    EXPECT_FALSE(copy.NameFitsAnsi());
    EXPECT_TRUE(copy.NamedInUtf16());
    copy.SetFile("b.bmp", 0);
    EXPECT_TRUE(copy.NameFitsAnsi());
    EXPECT_FALSE(copy.NamedInUtf16());
    odd.Close();
    EXPECT_EQ(nullptr, odd.GetWideName());
    EXPECT_EQ(nullptr, odd.GetName());

    // A memory stream under a wide name shares its block as any other.
    HLOCAL block = LocalAlloc(LMEM_MOVEABLE, 8);
    Stream memory;
    memory.SetMemory(kMuller, block, 8);
    EXPECT_STREQ(kMuller, memory.GetWideName());
    EXPECT_EQ(1, handleRefTable.CountOf(block));
    fileInfoW entry;
    memset(&entry, 0, sizeof entry);
    entry.position = 3;
    EXPECT_EQ(reinterpret_cast<const char*>(memory.GetSourceW(nullptr)) + 3,
              reinterpret_cast<const char*>(memory.GetSourceW(&entry)));
    EXPECT_EQ(5, memory.GetLengthW(&entry));
    memory.Close();
    EXPECT_FALSE(handleRefTable.Contains(block));
}

namespace {

// info8.bmp copied under a name outside code page 932.
class WideBitmap : public ::testing::Test {
protected:
    void SetUp() override {
        original = FixturePath("bmp", "info8.bmp");
        path = Wide(dir.path()) + L"\\" + kOddBitmap;
        ASSERT_TRUE(CopyFileW(Wide(original).c_str(), path.c_str(), FALSE));
        HLOCAL info = nullptr, bits = nullptr;
        ASSERT_EQ(1, ansi.Load(nullptr, "bmp" SPI_EXT));
        ASSERT_EQ(0, ansi.GetPicture(original.c_str(), 0, 0, &info, &bits, nullptr, 0));
        expectedInfo = Bytes(info);
        expectedBits = Bytes(bits);
        LocalFree(info);
        LocalFree(bits);
    }
    TempDir dir;
    std::string original;
    std::wstring path;
    SpiDllFile ansi;
    std::string expectedInfo, expectedBits;
};

}  // namespace

TEST_F(WideBitmap, StreamOperationsDecodeItThroughTheWideExports) {
    SpiDllFile bmp;
    ASSERT_EQ(1, bmp.Load(nullptr, "bmp" SPI_EXT));
    Stream stream;
    stream.SetFile(path.c_str(), 0);
    EXPECT_EQ(1, bmp.IsSupportedStream(stream));
    for (bool preview : {false, true}) {
        HLOCAL info = nullptr, bits = nullptr;
        int32_t result = preview ? bmp.GetPreviewStream(stream, &info, &bits, nullptr, 0)
                                 : bmp.GetPictureStream(stream, &info, &bits, nullptr, 0);
        EXPECT_EQ(0, result) << preview;
        EXPECT_EQ(expectedInfo, Bytes(info));
        EXPECT_TRUE(expectedBits == Bytes(bits));
        FreeLiveLocal(info);
        FreeLiveLocal(bits);
    }
    // The same bytes as a memory stream under the wide name.
    std::string bytes = ReadBytes(original);
    HLOCAL block = LocalAlloc(LMEM_MOVEABLE, bytes.size());
    memcpy(LocalLock(block), bytes.data(), bytes.size());
    LocalUnlock(block);
    Stream memory;
    memory.SetMemory(kOddBitmap, block, static_cast<intptr_t>(bytes.size()));
    EXPECT_EQ(1, bmp.IsSupportedStream(memory));
    HLOCAL info = nullptr, bits = nullptr;
    EXPECT_EQ(0, bmp.GetPictureStream(memory, &info, &bits, nullptr, 0));
    EXPECT_TRUE(expectedBits == Bytes(bits));
    FreeLiveLocal(info);
    FreeLiveLocal(bits);
}

// A plug-in without the wide export is never handed a name that is not
// the file's: the stream is declined, the plug-in not called.
// Beside the bitmap, an image plug-in without wide exports (the scripted
// one as img, accepting everything) in a folder of its own.
class WideBitmapAndAnAnsiPlugin : public WideBitmap {
protected:
    void SetUp() override {
        WideBitmap::SetUp();
        ASSERT_TRUE(CopyPlugin("scripted" SPI_EXT, scriptDir.File("img" SPI_EXT)));
    }
    TempDir scriptDir;
    ScopedEnv version{"SPITEST_img_VERSION", "00IN"};
    ScopedEnv accept{"SPITEST_img_ACCEPT", "always"};
};

TEST_F(WideBitmapAndAnAnsiPlugin, APluginWithoutTheWideExportDeclinesTheName) {
    SpiDllFile plugin;
    ASSERT_EQ(1, plugin.Load(scriptDir.path().c_str(), "img" SPI_EXT));
    ASSERT_FALSE(plugin.HasExport("GetPictureW"));
    Stream stream;
    stream.SetFile(path.c_str(), 0);
    EXPECT_EQ(0, plugin.IsSupportedStream(stream));
    HLOCAL info = reinterpret_cast<HLOCAL>(1), bits = nullptr;
    EXPECT_EQ(-1, plugin.GetPictureStream(stream, &info, &bits, nullptr, 0));
    EXPECT_EQ(reinterpret_cast<HLOCAL>(1), info);
    // The same file under a name with an ANSI spelling goes to the ANSI
    // exports as it always did.
    Stream plain;
    plain.SetFile(Wide(original).c_str(), 0);
    EXPECT_EQ(1, plugin.IsSupportedStream(plain));
}

TEST_F(WideBitmapAndAnAnsiPlugin, ThePluginSetFindsThePluginForItByItsWideName) {
    SpiFilesManage set;
    SpiDllFile* ansiOnly = new SpiDllFile;
    ASSERT_EQ(1, ansiOnly->Load(scriptDir.path().c_str(), "img" SPI_EXT));
    set.Add(ansiOnly);
    SpiDllFile* bmp = Loaded("bmp" SPI_EXT);
    set.Add(bmp);
    // The ANSI-only plug-in would take anything, but cannot be told this name.
    EXPECT_EQ(bmp, set.FindPluginForFileW(path.c_str(), 0));
    // A name with an ANSI spelling goes to IsSupported as it is.
    EXPECT_EQ(ansiOnly, set.FindPluginForFileW(Wide(original).c_str(), 0));
    std::wstring missing = Wide(dir.path()) + L"\\\u03a9-none.bmp";
    EXPECT_EQ(nullptr, set.FindPluginForFileW(missing.c_str(), 0));
    // Past the end of the file the plug-ins see zeros: bmp declines.
    set.Clear();
    set.Add(Loaded("bmp" SPI_EXT));
    EXPECT_EQ(nullptr, set.FindPluginForFileW(path.c_str(), 1u << 20));
}

TEST_F(WideBitmap, ThePluginSetDecodesItByItsWideName) {
    for (bool remote : {false, true}) {
        SCOPED_TRACE(remote ? "in a runner" : "in process");
        SpiFilesManage set;
        SpiDllFile* bmp = remote ? new SpiRemoteFile : new SpiDllFile;
        ASSERT_EQ(1, bmp->Load(nullptr, "bmp" SPI_EXT));
        set.Add(bmp);
        for (int32_t preview : {0, 1}) {
            Stream stream;
            stream.SetFile(path.c_str(), 0);
            SpiOutputStream picture;
            EXPECT_EQ(bmp, set.DecodePicture(stream, picture, preview, nullptr, 0));
            EXPECT_EQ(expectedInfo, Bytes(picture.GetInfoHandle()));
            EXPECT_TRUE(expectedBits == Bytes(picture.GetBitsHandle()));
        }
    }
}

// wide_partial has GetPictureW but no GetPreviewW: a preview asked for by a
// wide name falls back to the full decode, as for a plug-in without the
// preview export.
TEST(WideStreamSet, EachOperationGoesToItsOwnWideExport) {
    TempDir dir;
    std::wstring name = L"M\u00fcller-\u03a9\u03bc.wpt";
    std::wstring file = Wide(dir.path()) + L"\\" + name;
    HANDLE handle = CreateFileW(file.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, handle);
    CloseHandle(handle);
    char previous[MAX_PATH];
    GetCurrentDirectoryA(sizeof previous, previous);
    SpiFilesManage set;
    SpiDllFile* partial = Loaded("wide_partial" SPI_EXT);
    set.Add(partial);
    // The plug-in knows its file by the bare name.
    ASSERT_TRUE(SetCurrentDirectoryW(Wide(dir.path()).c_str()));
    Stream stream;
    stream.SetFile(name.c_str(), 0);
    SpiOutputStream picture;
    EXPECT_EQ(partial, set.DecodePicture(stream, picture, 1, nullptr, 0));
    EXPECT_EQ(std::string("\xff\0\0\0", 4), Bytes(picture.GetBitsHandle()));
    SetCurrentDirectoryA(previous);
}

namespace {

// Real tar archives, copied into a scratch folder under wide names.
class WideTarPaths : public ::testing::Test {
protected:
    void SetUp() override {
        folder = Wide(root.path());
        ASSERT_TRUE(CopyFileW(Wide(TarFixture("unicode-pax.tar")).c_str(),
                              (folder + L"\\Archiv-\u03a9\u03bc.tar").c_str(), FALSE));
        ASSERT_TRUE(CopyFileW(Wide(TarFixture("unicode-gnu.tar")).c_str(),
                              (folder + L"\\unicode.tar").c_str(), FALSE));
        ASSERT_TRUE(CopyFileW(Wide(TarFixture("outer.tar")).c_str(),
                              (folder + L"\\Au\u00dfen-\u03a9.tar").c_str(), FALSE));
        tiny = ReadBytes(FixturePath("tar", "nested/pics/tiny.bmp"));
        ASSERT_FALSE(tiny.empty());
    }
    // Resolves the wide name; a failure leaves the stream as it was, and no
    // count is left in the table by the call itself.
    int32_t Resolve(SpiFilesManage& set, const std::wstring& name, Stream& stream) {
        stream.SetFile(name.c_str(), 0);
        size_t entries = handleRefTable.Size();
        int32_t result = set.OpenPath(stream, 0);
        EXPECT_EQ(entries + (result == 1 && stream.IsMemory() ? 1 : 0), handleRefTable.Size());
        if (result != 1) {
            EXPECT_EQ(0, stream.IsMemory());
            EXPECT_EQ(name, std::wstring(stream.GetWideName()));
        }
        return result;
    }
    TempDir root;
    std::wstring folder;
    std::string tiny;
};

}  // namespace

TEST_F(WideTarPaths, MembersNamedOutsideTheCodePageAreReached) {
    SpiFilesManage set;
    set.Add(Loaded("tar" SPI_EXT));
    struct Case {
        std::wstring name;
        std::string bytes;
        std::wstring member;
    };
    const Case cases[] = {
        {folder + L"\\Archiv-\u03a9\u03bc.tar\\" + kMuller, kMullerBytes, kMuller},
        {folder + L"\\Archiv-\u03a9\u03bc.tar\\" + kFolder + kMuller, "in a folder\n",
         std::wstring(kFolder) + kMuller},
        // An archive with an ANSI name, ASCII letters in either case.
        {folder + L"\\unicode.tar\\ORDNER-\u03a9\\M\u00fcller-\u03a9\u03bc.TXT", "in a folder\n",
         std::wstring(kFolder) + kMuller},
        {folder + L"/unicode.tar\\plain.txt", "plain\n", L"plain.txt"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.bytes));
        Stream stream;
        ASSERT_EQ(1, Resolve(set, c.name, stream));
        EXPECT_EQ(1, stream.IsMemory());
        EXPECT_EQ(c.bytes, stream.Data());
        EXPECT_EQ(c.member, std::wstring(stream.GetWideName()));
        EXPECT_EQ(1, handleRefTable.CountOf(stream.Handle()));
    }
    const std::wstring missing[] = {
        folder + L"\\Archiv-\u03a9\u03bc.tar\\M\u00fcller-\u03a9.txt",  // no such member
        folder + L"\\Archiv-\u03a9\u03bc.tar\\" + kFolder,               // a folder only
        folder + L"\\Archiv-\u03a9\u03bc.tar\\Ordner-\u03a9/" + kMuller,  // stored with "\"
        folder + L"\\Fehlt-\u03a9.tar\\" + kMuller,                       // no such archive
    };
    for (const std::wstring& name : missing) {
        Stream stream;
        EXPECT_EQ(-1, Resolve(set, name, stream));
    }
    // A name that opens as it is stays a file stream.
    Stream whole;
    EXPECT_EQ(1, Resolve(set, folder + L"\\Archiv-\u03a9\u03bc.tar", whole));
    EXPECT_EQ(0, whole.IsMemory());
}

TEST_F(WideTarPaths, AnArchiveInsideAWidelyNamedArchive) {
    SpiFilesManage set;
    set.Add(Loaded("tar" SPI_EXT));
    Stream stream;
    ASSERT_EQ(1, Resolve(set, folder + L"\\Au\u00dfen-\u03a9.tar\\inner.tar\\pics\\tiny.bmp",
                         stream));
    EXPECT_EQ(tiny, stream.Data());
    EXPECT_STREQ(L"pics\\tiny.bmp", stream.GetWideName());
    // ... and decoded from there by the set's image plug-in.
    set.Add(Loaded("bmp" SPI_EXT));
    SpiOutputStream picture;
    EXPECT_NE(nullptr, set.DecodePicture(stream, picture, 0, nullptr, 0));
}

// The plug-in in a runner resolves the same names through its wide
// exports there.
TEST_F(WideTarPaths, ThroughAPluginInARunner) {
    SpiFilesManage set;
    SpiRemoteFile* tar = new SpiRemoteFile;
    ASSERT_EQ(1, tar->Load(nullptr, "tar" SPI_EXT));
    set.Add(tar);
    Stream stream;
    ASSERT_EQ(1, Resolve(set, folder + L"\\Archiv-\u03a9\u03bc.tar\\" + kFolder + kMuller,
                         stream));
    EXPECT_EQ("in a folder\n", stream.Data());
}

// The stream operations on the archive: the ANSI list of a wide-named
// archive comes from the wide export, its names narrowed ("?" for what has
// no spelling), and its entries extract through GetFileW.
TEST_F(WideTarPaths, AnsiStreamOperationsOnAWidelyNamedArchive) {
    SpiDllFile tar;
    ASSERT_EQ(1, tar.Load(nullptr, "tar" SPI_EXT));
    Stream stream;
    stream.SetFile((folder + L"\\Archiv-\u03a9\u03bc.tar").c_str(), 0);
    ASSERT_FALSE(stream.NameFitsAnsi());
    fileInfo* list = nullptr;
    ASSERT_EQ(0, tar.GetArchiveList(stream, &list));
    std::vector<fileInfo> entries;
    for (const fileInfo* record = list; record->method[0]; ++record) entries.push_back(*record);
    free(list);
    ASSERT_EQ(4u, entries.size());
    EXPECT_STREQ("plain.txt", entries[0].filename);
    HLOCAL block = nullptr;
    ASSERT_EQ(0, tar.GetFileToMemory(stream, &entries[1], &block, nullptr, 0));
    EXPECT_EQ(kMullerBytes, Bytes(block));
    LocalFree(block);
    fileInfo info;
    ASSERT_EQ(0, tar.GetFileInfoStream(stream, "plain.txt", 0, &info));
    EXPECT_EQ(entries[0].position, info.position);

    // The wide list and its operations.
    fileInfoW* wide = nullptr;
    ASSERT_EQ(0, tar.GetArchiveListW(stream, &wide));
    ASSERT_TRUE(wide[0].method[0] && wide[1].method[0]);
    EXPECT_STREQ(kMuller, wide[1].filename);
    std::wstring target = folder + L"\\Ziel-\u03a9";
    ASSERT_TRUE(CreateDirectoryW(target.c_str(), nullptr));
    EXPECT_EQ(0, tar.GetFileToDiskW(stream, &wide[1], target.c_str(), nullptr, 0));
    EXPECT_EQ(kMullerBytes, ReadWide(target + L"\\" + kMuller));
    fileInfoW found;
    ASSERT_EQ(0, tar.GetFileInfoStreamW(stream, kMuller, 0, &found));
    EXPECT_EQ(wide[1].position, found.position);
    free(wide);
}
