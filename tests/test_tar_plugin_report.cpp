// spiprobe.exe testing tar.spi on archives GNU tar made, end to end: the
// archive report must show tar's member list (names, sizes, times) with
// every member extracted, and refusals must be reported as such.
#include <gtest/gtest.h>

#include <ctime>
#include <string>
#include <vector>

#include "tar_fixtures.h"

namespace {

// Texts in code page 932.
const char kListHead[] = "\x83t\x83@\x83" "C\x83\x8B\x8F\xEE\x95\xF1 -- \n";  // ファイル情報 --
const char kNoList[] = "\x83t\x83@\x83" "C\x83\x8B\x8F\xEE\x95\xF1\x82\xCC\x8E\xE6\x93\xBE\x82"
                       "\xC9\x8E\xB8\x94s\n";  // ファイル情報の取得に失敗
const char kSuccess[] = "GetFile\x90\xAC\x8C\xF7\n";  // GetFile成功
const char kUnsupported[] =  // は未サポートのフォーマットです
    "\x82\xCD\x96\xA2\x83\x54\x83\x7C\x81\x5B\x83\x67\x82\xCC\x83\x74\x83\x48\x81\x5B\x83\x7D"
    "\x83\x62\x83\x67\x82\xC5\x82\xB7\n";

// The report spiprobe must print for an archive: tar's listing, with the
// positions the plug-in gives (they are checked against the data in the
// in-process tests).
std::string ExpectedReport(const std::string& archive, const std::string& listing) {
    SpiDllFile plugin;
    EXPECT_EQ(1, plugin.Load(nullptr, "tar" SPI_EXT));
    HLOCAL list = nullptr;
    plugin.GetArchiveInfo(archive.c_str(), 0, 0, &list);
    std::vector<fileInfo> entries = TakeList(list);
    std::vector<ListedMember> listed = ReadListing(listing);
    EXPECT_EQ(listed.size(), entries.size());

    std::string report = kListHead;
    for (size_t i = 0; i < listed.size() && i < entries.size(); ++i) {
        const ListedMember& member = listed[i];
        std::string path, file = member.name;
        size_t slash = member.name.rfind('/');
        if (slash != std::string::npos) {
            path = member.name.substr(0, slash + 1);
            file = member.name.substr(slash + 1);
            for (char& c : path) {
                if (c == '/') c = '\\';
            }
        }
        time_t seconds = member.mtime;
        char line[600];
        snprintf(line, sizeof line,
                 "Method: tar\tPosition: %u\nSize: %u -> %u\nDate: %sName: (%s)\\(%s)\n CRC: 0d\n",
                 static_cast<unsigned>(entries[i].position), member.size, member.size, asctime(localtime(&seconds)),
                 path.c_str(), file.c_str());
        report += line;
        report += kSuccess;
        report += "\n";
    }
    return report;
}

TEST(TarPluginReport, ListsAndExtractsWhatGnuTarListed) {
    for (const char* name : {"gnu", "pax", "outer"}) {
        SCOPED_TRACE(name);
        std::string archive = TarFixture(std::string(name) + ".tar");
        std::string expected = Crlf(ExpectedReport(archive, std::string(name) + ".list"));
        // The file and the memory probe, with and without a progress display
        // (output redirected, so it shows nothing).
        for (const char* option : {"-f", "-m", "-c"}) {
            SCOPED_TRACE(option);
            ProcessResult run = RunSpiprobe({option, "tar" SPI_EXT, archive});
            EXPECT_EQ(0u, run.status);
            EXPECT_EQ(expected, run.out);
            EXPECT_EQ("", run.err);
        }
    }
}

TEST(TarPluginReport, ReportsArchivesItCannotRead) {
    TempDir dir;
    // Cut inside the data of dir/sub/deep/nested.bin: no list at all.
    std::string truncated = dir.File("truncated.tar");
    ASSERT_TRUE(WriteBytes(truncated, ReadBytes(TarFixture("ustar.tar")).substr(0, 10240)));
    std::string text = TarFixture("src/hello.txt");

    ProcessResult run = RunSpiprobe({"tar" SPI_EXT, truncated, text});
    EXPECT_EQ(0u, run.status);
    EXPECT_EQ(Crlf(std::string(kNoList) + text + kUnsupported), run.out);
}

}  // namespace
