// tar's wide exports through the plug-in object: members named outside
// code page 932 (archives GNU tar wrote under a UTF-8 locale) listed with
// their UTF-16 names, found by them and extracted to memory and under a
// wide folder; names that are not UTF-8 widened byte by byte; and the wide
// list agreeing with the ANSI one on every other fixture.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "tar_fixtures.h"

namespace {

const WCHAR kMuller[] = L"M\u00fcller-\u03a9\u03bc.txt";
const WCHAR kFolder[] = L"Ordner-\u03a9\\";
const char kMullerBytes[] = "Gr\xc3\xbc\xc3\x9f" "e aus der Wide-Welt\n";

std::vector<fileInfoW> TakeListW(HLOCAL list) { return TakeList<fileInfoW>(list); }

std::wstring FullNameW(const fileInfoW& entry) { return std::wstring(entry.path) + entry.filename; }

class TarWide : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(1, plugin.Load(nullptr, "tar" SPI_EXT)); }

    std::vector<fileInfoW> ListW(const std::wstring& archive) {
        HLOCAL list = nullptr;
        EXPECT_EQ(0, plugin.GetArchiveInfoW(archive.c_str(), 0, 0, &list));
        return TakeListW(list);
    }
    std::vector<fileInfo> List(const std::string& archive) {
        HLOCAL list = nullptr;
        EXPECT_EQ(0, plugin.GetArchiveInfo(archive.c_str(), 0, 0, &list));
        return TakeList(list);
    }
    // The archive copied under a name outside code page 932.
    std::wstring OddCopy(const std::string& fixture) {
        std::wstring copy = Wide(dir.path()) + L"\\Archiv-\u03a9\u03bc.tar";
        EXPECT_TRUE(CopyFileW(Wide(TarFixture(fixture)).c_str(), copy.c_str(), FALSE));
        return copy;
    }

    SpiDllFile plugin;
    TempDir dir;
};

}  // namespace

TEST_F(TarWide, ListsMembersByTheirUtf16Names) {
    for (const char* fixture : {"unicode-gnu.tar", "unicode-pax.tar"}) {
        SCOPED_TRACE(fixture);
        std::vector<fileInfoW> entries = ListW(OddCopy(fixture));
        ASSERT_EQ(4u, entries.size());
        EXPECT_EQ(std::wstring(L""), entries[0].path);
        EXPECT_EQ(std::wstring(L"plain.txt"), entries[0].filename);
        EXPECT_EQ(std::wstring(L""), entries[1].path);
        EXPECT_EQ(std::wstring(kMuller), entries[1].filename);
        EXPECT_EQ(strlen(kMullerBytes), entries[1].filesize);
        EXPECT_EQ(std::wstring(kFolder), entries[2].path);
        EXPECT_EQ(std::wstring(kMuller), entries[2].filename);
        EXPECT_EQ(12u, entries[2].filesize);
        // 198 letters and a character outside the BMP, a surrogate pair at
        // places 198 and 199: the field keeps 199 WCHARs and its NUL, so the
        // pair is left out whole instead of cut in half.
        EXPECT_EQ(std::wstring(198, L'x'), entries[3].filename);
        for (const fileInfoW& entry : entries) {
            EXPECT_STREQ("tar", reinterpret_cast<const char*>(entry.method));
            EXPECT_EQ(1700000200u, static_cast<uint64_t>(entry.timestamp));
            EXPECT_EQ(entry.filesize, entry.compsize);
        }
    }
}

TEST_F(TarWide, TheWideListAgreesWithTheAnsiListRecordByRecord) {
    for (const char* fixture :
         {"ustar.tar", "gnu.tar", "oldgnu.tar", "pax.tar", "v7.tar", "paxsize.tar", "outer.tar",
          "unicode-gnu.tar", "unicode-pax.tar", "latin1.tar", "paxutf8.tar"}) {
        SCOPED_TRACE(fixture);
        std::string archive = TarFixture(fixture);
        std::vector<fileInfo> ansi = List(archive);
        std::vector<fileInfoW> wide = ListW(Wide(archive));
        ASSERT_EQ(ansi.size(), wide.size());
        ASSERT_FALSE(wide.empty());
        for (size_t i = 0; i < ansi.size(); ++i) {
            SCOPED_TRACE(i);
            EXPECT_EQ(0, memcmp(ansi[i].method, wide[i].method, sizeof ansi[i].method));
            EXPECT_EQ(ansi[i].position, wide[i].position);
            EXPECT_EQ(ansi[i].compsize, wide[i].compsize);
            EXPECT_EQ(ansi[i].filesize, wide[i].filesize);
            EXPECT_EQ(ansi[i].timestamp, wide[i].timestamp);
            EXPECT_EQ(ansi[i].crc, wide[i].crc);
            bool ascii = true;
            for (char c : FullName(ansi[i])) ascii = ascii && static_cast<unsigned char>(c) < 0x80;
            if (ascii) {
                EXPECT_EQ(Wide(ansi[i].path), std::wstring(wide[i].path));
                EXPECT_EQ(Wide(ansi[i].filename), std::wstring(wide[i].filename));
            }
        }
    }
}

TEST_F(TarWide, NamesAreReadAsUtf8OrElseWidenedByteByByte) {
    // The same UTF-8 name in a pax path record and as ustar's bytes: the
    // ANSI lists differ (see test_tar_plugin), the wide ones do not.
    for (const char* fixture : {"paxutf8.tar", "ustarutf8.tar"}) {
        SCOPED_TRACE(fixture);
        std::vector<fileInfoW> entries = ListW(Wide(TarFixture(fixture)));
        ASSERT_EQ(1u, entries.size());
        EXPECT_EQ(std::wstring(L"caf\u00e9.txt"), entries[0].filename);
    }
    // 0xE9 alone is no UTF-8: it becomes U+00E9, while the ANSI list keeps
    // the byte.
    std::string archive = TarFixture("latin1.tar");
    std::vector<fileInfoW> wide = ListW(Wide(archive));
    ASSERT_EQ(1u, wide.size());
    EXPECT_EQ(std::wstring(L"caf\u00e9.txt"), wide[0].filename);
    std::vector<fileInfo> ansi = List(archive);
    ASSERT_EQ(1u, ansi.size());
    EXPECT_STREQ("caf\xe9.txt", ansi[0].filename);
    fileInfoW found;
    EXPECT_EQ(0, plugin.GetFileInfoW(Wide(archive).c_str(), 0, L"caf\u00e9.txt", 0, &found));
}

TEST_F(TarWide, GetFileInfoWFindsAMemberByItsWideName) {
    std::wstring archive = OddCopy("unicode-pax.tar");
    std::vector<fileInfoW> entries = ListW(archive);
    ASSERT_EQ(4u, entries.size());
    std::wstring inFolder = FullNameW(entries[2]);
    ASSERT_EQ(std::wstring(kFolder) + kMuller, inFolder);

    fileInfoW info;
    memset(&info, 0x55, sizeof info);
    ASSERT_EQ(0, plugin.GetFileInfoW(archive.c_str(), 0, inFolder.c_str(), 0, &info));
    EXPECT_EQ(0, memcmp(&entries[2], &info, sizeof info));
    ASSERT_EQ(0, plugin.GetFileInfoW(archive.c_str(), 0, kMuller, 0, &info));
    EXPECT_EQ(entries[1].position, info.position);
    // "/" stands for "\", and with flag 0x80 ASCII letters match in either case.
    std::wstring slashed = L"Ordner-\u03a9/" + std::wstring(kMuller);
    ASSERT_EQ(0, plugin.GetFileInfoW(archive.c_str(), 0, slashed.c_str(), 0, &info));
    EXPECT_EQ(entries[2].position, info.position);
    const WCHAR* cased = L"oRDNER-\u03a9\\m\u00fcLLER-\u03a9\u03bc.TXT";
    EXPECT_EQ(8, plugin.GetFileInfoW(archive.c_str(), 0, cased, 0, &info));
    ASSERT_EQ(0, plugin.GetFileInfoW(archive.c_str(), 0, cased, 0x80, &info));
    EXPECT_EQ(entries[2].position, info.position);
    // Only the whole name counts.
    EXPECT_EQ(8, plugin.GetFileInfoW(archive.c_str(), 0, L"M\u00fcller", 0, &info));
    EXPECT_EQ(8, plugin.GetFileInfoW(archive.c_str(), 0, L"Muller-Om.txt", 0, &info));
}

TEST_F(TarWide, GetFileWExtractsToMemoryFromAFileAndFromMemory) {
    std::wstring archive = OddCopy("unicode-gnu.tar");
    std::vector<fileInfoW> entries = ListW(archive);
    ASSERT_EQ(4u, entries.size());
    HLOCAL block = nullptr;
    ASSERT_EQ(0, plugin.GetFileW(archive.c_str(), static_cast<intptr_t>(entries[1].position),
                                 reinterpret_cast<LPWSTR>(&block), SPI_OUTPUT_MEMORY, nullptr,
                                 0));
    EXPECT_EQ(std::string(kMullerBytes), TakeBlock(block));

    std::string bytes = ReadBytes(TarFixture("unicode-gnu.tar"));
    const char* member = bytes.data() + entries[2].position;
    block = nullptr;
    ASSERT_EQ(0, plugin.GetFileW(reinterpret_cast<LPCWSTR>(member),
                                 static_cast<intptr_t>(bytes.size() - entries[2].position),
                                 reinterpret_cast<LPWSTR>(&block),
                                 SPI_OUTPUT_MEMORY | SPI_INPUT_MEMORY, nullptr, 0));
    EXPECT_EQ("in a folder\n", TakeBlock(block));
}

TEST_F(TarWide, GetFileWWritesTheMemberUnderItsWideNameInAWideFolder) {
    std::wstring archive = OddCopy("unicode-pax.tar");
    std::vector<fileInfoW> entries = ListW(archive);
    ASSERT_EQ(4u, entries.size());
    std::wstring folder = Wide(dir.path()) + L"\\Ziel-\u03a9\u03bc";
    ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
    std::wstring target = folder;
    ASSERT_EQ(0, plugin.GetFileW(archive.c_str(), static_cast<intptr_t>(entries[1].position),
                                 &target[0], 0, nullptr, 0));
    EXPECT_EQ(std::string(kMullerBytes), ReadWide(folder + L"\\" + kMuller));

    // From memory, into the folder named with a final separator: the
    // member of the folder in the archive lands in the folder itself.
    std::string bytes = ReadBytes(TarFixture("unicode-pax.tar"));
    std::wstring withSeparator = folder + L"\\";
    ASSERT_TRUE(DeleteFileW((folder + L"\\" + kMuller).c_str()));
    ASSERT_EQ(0, plugin.GetFileW(reinterpret_cast<LPCWSTR>(bytes.data() + entries[2].position),
                                 static_cast<intptr_t>(bytes.size() - entries[2].position),
                                 &withSeparator[0], SPI_INPUT_MEMORY, nullptr, 0));
    EXPECT_EQ("in a folder\n", ReadWide(folder + L"\\" + kMuller));

    // A folder that is not there: 6, and nothing is left anywhere.
    std::wstring missing = Wide(dir.path()) + L"\\Fehlt-\u03a9";
    EXPECT_EQ(6, plugin.GetFileW(archive.c_str(), static_cast<intptr_t>(entries[1].position),
                                 &missing[0], 0, nullptr, 0));
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(missing.c_str()));
}

TEST_F(TarWide, IsSupportedWTakesTheSample) {
    std::string bytes = ReadBytes(TarFixture("unicode-pax.tar"));
    ASSERT_GE(bytes.size(), SPI_SAMPLE_SIZE);
    bytes.resize(SPI_SAMPLE_SIZE);
    EXPECT_EQ(1, plugin.IsSupportedW(L"Archiv-\u03a9\u03bc.tar", bytes.data()));
    std::string zeros(SPI_SAMPLE_SIZE, '\0');
    EXPECT_EQ(0, plugin.IsSupportedW(L"Archiv-\u03a9\u03bc.tar", zeros.data()));
}
