// The wide operations of the plug-in object: which wide exports a module
// has, each on its own; the kind checks, missing exports, faults and
// residency around them; and bmp's wide exports on a bitmap whose name has
// no spelling in the ANSI code page, against the ANSI decode of the same
// bitmap.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "dll_internals.h"
#include "spiplugin.h"
#include "local_blocks.h"
#include "test_support.h"

namespace {

const char* const kBmp = "bmp" SPI_EXT;
const char* const kTar = "tar" SPI_EXT;
const char* const kPartial = "wide_partial" SPI_EXT;
const char* const kScripted = "scripted" SPI_EXT;

const char* const kImageWide[] = {"IsSupportedW", "GetPictureInfoW", "GetPictureW",
                                  "GetPreviewW"};
const char* const kArchiveWide[] = {"GetArchiveInfoW", "GetFileInfoW", "GetFileW"};

// A name with no spelling in code page 932 (nor 1252).
const WCHAR kOddName[] = L"M\u00fcller-\u03a9\u03bc.bmp";

// A picture's two blocks, freed at the end of the scope.
struct Picture : PictureBlocks {
    std::string Bytes(HLOCAL h) const {
        if (!h) return std::string();
        const char* p = static_cast<const char*>(LocalLock(h));
        std::string bytes(p, LocalSize(h));
        LocalUnlock(h);
        return bytes;
    }
    std::string Header() const { return Bytes(info); }
    std::string Pixels() const { return Bytes(bits); }
};

// The fixture copied under kOddName into a temporary folder.
class OddlyNamedBitmap : public ::testing::Test {
protected:
    void SetUp() override {
        original = FixturePath("bmp", "info8.bmp");
        path = Wide(dir.path()) + L"\\" + kOddName;
        ASSERT_TRUE(CopyFileW(Wide(original).c_str(), path.c_str(), FALSE))
            << "error " << GetLastError();
        ASSERT_EQ(1, plugin.Load(nullptr, kBmp));
    }
    TempDir dir;
    std::string original;
    std::wstring path;
    SpiDllFile plugin;
};

std::vector<intptr_t> g_seenData;
int32_t SPI_API RecordData(int32_t, int32_t, intptr_t data) {
    g_seenData.push_back(data);
    return 0;
}

}  // namespace

// The reference plug-ins (every wide export of their kind), the plug-in
// with some of the image ones and the scripted one (none), loaded.
class FourPlugins : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(1, bmp.Load(nullptr, kBmp));
        ASSERT_EQ(1, tar.Load(nullptr, kTar));
        ASSERT_EQ(1, partial.Load(nullptr, kPartial));
        ASSERT_EQ(1, scripted.Load(nullptr, kScripted));
    }
    SpiDllFile bmp, tar, partial, scripted;
};

TEST_F(FourPlugins, EachWideExportIsFoundOnItsOwnAndOnlyForItsKind) {
    for (const char* name : kImageWide) {
        SCOPED_TRACE(name);
        EXPECT_TRUE(bmp.HasExport(name));
        EXPECT_FALSE(scripted.HasExport(name));
    }
    for (const char* name : kArchiveWide) {
        SCOPED_TRACE(name);
        EXPECT_TRUE(tar.HasExport(name));
        EXPECT_FALSE(bmp.HasExport(name));
        EXPECT_FALSE(scripted.HasExport(name));
    }
    EXPECT_TRUE(bmp.HasExport("GetPluginInfoW"));
    EXPECT_TRUE(tar.HasExport("GetPluginInfoW"));
    EXPECT_TRUE(tar.HasExport("IsSupportedW"));
    EXPECT_TRUE(partial.HasExport("IsSupportedW"));
    EXPECT_TRUE(partial.HasExport("GetPictureW"));
    EXPECT_FALSE(partial.HasExport("GetPictureInfoW"));
    EXPECT_FALSE(partial.HasExport("GetPreviewW"));
    EXPECT_FALSE(partial.HasExport("GetPluginInfoW"));
    EXPECT_TRUE(partial.HasExport("GetPicture"));
    EXPECT_FALSE(partial.HasExport("GetPictureW2"));
}

TEST_F(FourPlugins, MissingWideExportsAndTheWrongKindAnswerMinusOneTouchingNothing) {
    WCHAR text[8] = {L'x', 0};
    char sample[SPI_SAMPLE_SIZE] = {};
    PictureInfo info;
    memset(&info, 0x55, sizeof info);
    HLOCAL a = reinterpret_cast<HLOCAL>(1), b = reinterpret_cast<HLOCAL>(2);
    fileInfoW entry;
    memset(&entry, 0x55, sizeof entry);

    EXPECT_EQ(-1, scripted.GetPluginInfoW(0, text, 8));
    EXPECT_EQ(L'x', text[0]);
    EXPECT_EQ(-1, scripted.IsSupportedW(L"a.bmp", sample));
    EXPECT_EQ(-1, partial.GetPictureInfoW(L"a.wpt", 0, 0, &info));
    EXPECT_EQ(0x55, reinterpret_cast<unsigned char*>(&info)[0]);
    EXPECT_EQ(-1, partial.GetPreviewW(L"a.wpt", 0, 0, &a, &b, nullptr, 0));
    EXPECT_EQ(reinterpret_cast<HLOCAL>(1), a);
    // The image operations of an archive plug-in and the other way round.
    EXPECT_EQ(-1, tar.GetPictureW(L"a.tar", 0, 0, &a, &b, nullptr, 0));
    EXPECT_EQ(-1, tar.GetPictureInfoW(L"a.tar", 0, 0, &info));
    EXPECT_EQ(-1, bmp.GetFileInfoW(L"a.bmp", 0, L"m", 0, &entry));
    EXPECT_EQ(0x55, entry.method[0]);
    EXPECT_EQ(-1, bmp.GetFileW(L"a.bmp", 0, reinterpret_cast<LPWSTR>(&a), 0x100, nullptr, 0));
    EXPECT_EQ(reinterpret_cast<HLOCAL>(1), a);
    // The list handle is the caller's and nulled first, as with the ANSI call.
    EXPECT_EQ(-1, bmp.GetArchiveInfoW(L"a.bmp", 0, 0, &a));
    EXPECT_EQ(nullptr, a);
    for (SpiDllFile* plugin : {&scripted, &partial, &bmp, &tar})
        EXPECT_EQ(SpiFaultKind::None, plugin->LastFault().kind);
}

TEST(WideExports, TheNameArrivesWideAndAFaultInsideIsCaught) {
    for (int32_t mode : {OnDemand, Resident}) {
        SCOPED_TRACE(mode == OnDemand ? "on demand" : "resident");
        InspectableDll plugin(mode);
        ASSERT_EQ(1, plugin.Load(nullptr, kPartial));
        char sample[SPI_SAMPLE_SIZE] = {};
        EXPECT_EQ(1, plugin.IsSupportedW(L"M\u00fcller-\u03a9\u03bc.wpt", sample));
        EXPECT_EQ(0, plugin.IsSupportedW(L"Muller-Om.wpt", sample));

        Picture picture;
        ASSERT_EQ(0, plugin.GetPictureW(L"M\u00fcller-\u03a9\u03bc.wpt", 0, 0, &picture.info,
                                        &picture.bits, nullptr, 0));
        EXPECT_EQ(std::string("\xff\0\0\0", 4), picture.Pixels());
        EXPECT_EQ(mode == Resident, plugin.HoldsModule());
        EXPECT_EQ(mode == Resident, GetModuleHandleA(kPartial) != nullptr);

        HLOCAL a = nullptr, b = nullptr;
        EXPECT_EQ(8, plugin.GetPictureW(L"fault", 0, 0, &a, &b, nullptr, 0));
        EXPECT_EQ(SpiFaultKind::Exception, plugin.LastFault().kind);
        EXPECT_EQ(static_cast<DWORD>(EXCEPTION_ACCESS_VIOLATION), plugin.LastFault().code);
        EXPECT_EQ(1, plugin.LastFault().access);
        EXPECT_EQ(mode == Resident, plugin.HoldsModule());
        EXPECT_EQ(mode == Resident, GetModuleHandleA(kPartial) != nullptr);

        // The next call works and clears the fault.
        EXPECT_EQ(2, plugin.GetPictureW(L"other.wpt", 0, 0, &a, &b, nullptr, 0));
        EXPECT_EQ(SpiFaultKind::None, plugin.LastFault().kind);
        plugin.Unload();
        EXPECT_FALSE(plugin.AnyEntryPoint());
    }
}

// In a runner the module has its wide exports as in process (the runner
// tests hold their results against the in-process ones).
TEST(WideExports, APluginInARunnerHasTheWideOperationsOfItsModule) {
    SpiRemoteFile plugin;
    ASSERT_EQ(1, plugin.Load(nullptr, kBmp));
    EXPECT_TRUE(plugin.HasExport("GetPicture"));
    EXPECT_TRUE(plugin.HasExport("GetPictureW"));
    EXPECT_FALSE(plugin.HasExport("GetFileW"));
    HLOCAL a = nullptr, b = nullptr;
    EXPECT_EQ(-1, plugin.GetFileW(L"a.bmp", 0, reinterpret_cast<LPWSTR>(&a), SPI_OUTPUT_MEMORY,
                                  nullptr, 0));
    EXPECT_EQ(nullptr, a);
    EXPECT_EQ(SPI_READ_ERROR, plugin.GetPictureW(L"\u03a9-none.bmp", 0, 0, &a, &b, nullptr, 0));
    EXPECT_EQ(nullptr, a);
    WCHAR text[16] = {};
    EXPECT_EQ(4, plugin.GetPluginInfoW(0, text, 16));
    EXPECT_STREQ(L"00IN", text);
    // The ANSI calls go to the runner as before.
    char version[16] = {};
    EXPECT_EQ(4, plugin.GetPluginInfo(0, version, sizeof version));
    EXPECT_STREQ("00IN", version);
}

TEST_F(OddlyNamedBitmap, DecodesToThePixelsOfTheAnsiDecodeOfTheOriginal) {
    Picture ansi, wide, preview;
    ASSERT_EQ(0, plugin.GetPicture(original.c_str(), 0, 0, &ansi.info, &ansi.bits, nullptr, 0));
    ASSERT_EQ(0, plugin.GetPictureW(path.c_str(), 0, 0, &wide.info, &wide.bits, nullptr, 0));
    ASSERT_EQ(0,
              plugin.GetPreviewW(path.c_str(), 0, 0, &preview.info, &preview.bits, nullptr, 0));
    ASSERT_GE(ansi.Header().size(), sizeof(BITMAPINFOHEADER));
    EXPECT_EQ(ansi.Header(), wide.Header());
    EXPECT_EQ(ansi.Pixels(), wide.Pixels());
    EXPECT_EQ(ansi.Header(), preview.Header());
    EXPECT_EQ(ansi.Pixels(), preview.Pixels());
}

TEST_F(OddlyNamedBitmap, ReportsTheSamePictureInfoAndReadsFromAnOffset) {
    PictureInfo ansi, wide;
    ASSERT_EQ(0, plugin.GetPictureInfo(original.c_str(), 0, 0, &ansi));
    ASSERT_EQ(0, plugin.GetPictureInfoW(path.c_str(), 0, 0, &wide));
    EXPECT_EQ(0, memcmp(&ansi, &wide, sizeof ansi));
    EXPECT_GT(wide.width, 0);
    EXPECT_EQ(8, wide.colorDepth);

    // The bitmap after 128 bytes of something else, named by its wide name.
    std::wstring padded = Wide(dir.path()) + L"\\\u03a9-128.bmp";
    std::string bytes = std::string(128, 'p') + ReadBytes(original);
    HANDLE file = CreateFileW(padded.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, file);
    DWORD put = 0;
    WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &put, nullptr);
    CloseHandle(file);
    PictureInfo shifted;
    ASSERT_EQ(0, plugin.GetPictureInfoW(padded.c_str(), 128, 0, &shifted));
    EXPECT_EQ(0, memcmp(&ansi, &shifted, sizeof ansi));
    Picture fromFile, fromOffset;
    ASSERT_EQ(0, plugin.GetPicture(original.c_str(), 0, 0, &fromFile.info, &fromFile.bits,
                                   nullptr, 0));
    ASSERT_EQ(0, plugin.GetPictureW(padded.c_str(), 128, 0, &fromOffset.info, &fromOffset.bits,
                                    nullptr, 0));
    EXPECT_EQ(fromFile.Pixels(), fromOffset.Pixels());

    // A file that is not there is a read error, not a decode of something else.
    EXPECT_EQ(6, plugin.GetPictureInfoW((Wide(dir.path()) + L"\\\u03a9-none.bmp").c_str(), 0, 0,
                                        &wide));
}

TEST_F(OddlyNamedBitmap, TheMemoryFormTakesTheBytesAsTheAnsiCallDoes) {
    std::string bytes = ReadBytes(original);
    Picture ansi, wide;
    ASSERT_EQ(0, plugin.GetPicture(bytes.data(), static_cast<intptr_t>(bytes.size()),
                                   SPI_INPUT_MEMORY, &ansi.info, &ansi.bits, nullptr, 0));
    ASSERT_EQ(0, plugin.GetPictureW(reinterpret_cast<LPCWSTR>(bytes.data()),
                                    static_cast<intptr_t>(bytes.size()), SPI_INPUT_MEMORY,
                                    &wide.info, &wide.bits, nullptr, 0));
    EXPECT_EQ(ansi.Pixels(), wide.Pixels());
    PictureInfo info;
    ASSERT_EQ(0, plugin.GetPictureInfoW(reinterpret_cast<LPCWSTR>(bytes.data()),
                                        static_cast<intptr_t>(bytes.size()), SPI_INPUT_MEMORY,
                                        &info));
    EXPECT_EQ(8, info.colorDepth);
    // Cut short, the bytes are refused as corrupt, never read past.
    Picture cut;
    EXPECT_EQ(3, plugin.GetPictureW(reinterpret_cast<LPCWSTR>(bytes.data()), 200,
                                    SPI_INPUT_MEMORY, &cut.info, &cut.bits, nullptr, 0));
}

TEST_F(OddlyNamedBitmap, IsSupportedWTakesASampleOrAFileHandle) {
    std::string bytes = ReadBytes(original);
    bytes.resize(SPI_SAMPLE_SIZE);
    EXPECT_EQ(1, plugin.IsSupportedW(path.c_str(), bytes.data()));
    std::string zeros(SPI_SAMPLE_SIZE, '\0');
    EXPECT_EQ(0, plugin.IsSupportedW(path.c_str(), zeros.data()));

    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, file);
    EXPECT_EQ(1, plugin.IsSupportedW(path.c_str(), file));
    CloseHandle(file);
}

TEST_F(OddlyNamedBitmap, ProgressDataReachesTheCallbackWhole) {
    // Pointer-sized: in the x64 build a value beyond 32 bits.
    const intptr_t data = sizeof(intptr_t) == 8 ? static_cast<intptr_t>(0x123456789ABCDEF0ll)
                                                : static_cast<intptr_t>(0x12345678);
    for (bool wideCall : {false, true}) {
        SCOPED_TRACE(wideCall ? "GetPictureW" : "GetPicture");
        g_seenData.clear();
        Picture picture;
        int32_t result =
            wideCall ? plugin.GetPictureW(path.c_str(), 0, 0, &picture.info, &picture.bits,
                                          RecordData, data)
                     : plugin.GetPicture(original.c_str(), 0, 0, &picture.info, &picture.bits,
                                         RecordData, data);
        ASSERT_EQ(0, result);
        ASSERT_FALSE(g_seenData.empty());
        for (intptr_t seen : g_seenData) EXPECT_EQ(data, seen);
    }
}

// GetPluginInfoW of both reference plug-ins: the ANSI texts in UTF-16, cut
// to fit any buffer, never a WCHAR written past it.
TEST(WideExports, PluginInfoWGivesTheAnsiTextsAndStaysInsideItsBuffer) {
    for (const char* name : {kBmp, kTar}) {
        SCOPED_TRACE(name);
        SpiDllFile plugin(Resident);
        ASSERT_EQ(1, plugin.Load(nullptr, name));
        for (int32_t number = 0; number < 5; ++number) {
            SCOPED_TRACE(number);
            char ansi[256] = {};
            int32_t ansiLength = plugin.GetPluginInfo(number, ansi, sizeof ansi);
            std::wstring text = Wide(ansi);
            ASSERT_EQ(static_cast<size_t>(ansiLength), text.size());
            WCHAR whole[256] = {};
            EXPECT_EQ(ansiLength, plugin.GetPluginInfoW(number, whole, 256));
            EXPECT_EQ(text, std::wstring(whole));
            for (int32_t buflen = 0; buflen <= ansiLength + 2; ++buflen) {
                SCOPED_TRACE(buflen);
                std::vector<WCHAR> buffer(static_cast<size_t>(buflen) + 8, 0xCCCC);
                int32_t result = plugin.GetPluginInfoW(number, buffer.data(), buflen);
                for (size_t i = static_cast<size_t>(buflen); i < buffer.size(); ++i)
                    ASSERT_EQ(0xCCCC, buffer[i]) << "written at " << i;
                if (ansiLength == 0) {
                    // A number past the texts: 0, and nothing written.
                    EXPECT_EQ(0, result);
                    for (WCHAR c : buffer) EXPECT_EQ(0xCCCC, c);
                    continue;
                }
                if (buflen == 0) {
                    EXPECT_EQ(0, result);
                    continue;
                }
                int32_t fits = ansiLength < buflen - 1 ? ansiLength : buflen - 1;
                EXPECT_EQ(fits, result);
                EXPECT_EQ(text.substr(0, static_cast<size_t>(fits)),
                          std::wstring(buffer.data(), static_cast<size_t>(fits)));
                EXPECT_EQ(0, buffer[static_cast<size_t>(fits)]);
            }
        }
    }
}
