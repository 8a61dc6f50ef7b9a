// The file test of an archive plug-in: the member list entry by entry and
// the outcome of every extraction; end to end through spiprobe.exe, and in
// process for the handles the test must free.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "reports.h"
#include "report_checks.h"
#include "test_support.h"

namespace {

// Positions, sizes and timestamps past the signed 32-bit range: the 32-bit
// spiprobe prints them as signed 32-bit numbers, as it always has;
// spiprobe64 prints the record's unsigned 64-bit fields whole.
#if defined(_WIN64)
const char* const kHighPosition = "2147483648";
const char* const kFullSize = "4294967295";
const char* const kInvalidTimestamp = "(invalid timestamp 18446744073709551615)";
#else
const char* const kHighPosition = "-2147483648";
const char* const kFullSize = "-1";
const char* const kInvalidTimestamp = "(invalid timestamp -1)";
#endif

// Texts in code page 932.
const char kNoList[] = "\x83t\x83@\x83" "C\x83\x8B\x8F\xEE\x95\xF1\x82\xCC\x8E\xE6\x93\xBE\x82"
                       "\xC9\x8E\xB8\x94s\n";                              // ファイル情報の取得に失敗
const char kListHead[] = "\x83t\x83@\x83" "C\x83\x8B\x8F\xEE\x95\xF1 -- \n";  // ファイル情報 --
const char kSuccess[] = "GetFile\x90\xAC\x8C\xF7";                           // GetFile成功
const char* const kResultText[] = {
    nullptr,
    "\x83L\x83\x83\x83\x93\x83Z\x83\x8B",                                   // キャンセル
    "\x96\xA2\x91\xCE\x89\x9E\x82\xCC\x83t\x83H\x81[\x83}\x83" "b\x83g",    // 未対応のフォーマット
    "\x94j\x91\xB9\x83" "f\x81[\x83^",                                      // 破損データ
    "\x83\x81\x83\x82\x83\x8A\x8A\x84\x82\xE8\x93\x96\x82\xC4\x8E\xB8\x94s",  // メモリ割り当て失敗
    "\x83\x81\x83\x82\x83\x8A\x91\x80\x8D\xEC\x8E\xB8\x94s",                // メモリ操作失敗
    "\x83t\x83@\x83" "C\x83\x8B\x93\xC7\x82\xDD\x8D\x9E\x82\xDD\x83G\x83\x89\x81[",  // ファイル読み込みエラー
    "\x97\\\x96\xF1",                                                       // 予約
    "\x93\xE0\x95\x94\x83G\x83\x89\x81[",                                   // 内部エラー
};

// "ファイルを取得できませんでした(Error=%d)"
std::string NotExtracted(int code) {
    return "\x83t\x83@\x83" "C\x83\x8B\x82\xF0\x8E\xE6\x93\xBE\x82\xC5\x82\xAB\x82\xDC\x82\xB9"
           "\x82\xF1\x82\xC5\x82\xB5\x82\xBD(Error=" +
           std::to_string(code) + ")";
}

// One entry's group of lines as printed.
struct Entry {
    std::string method, position, compsize, filesize, date, path, filename, crc, outcome;
};

std::string Group(const Entry& e) {
    return "Method: " + e.method + "\tPosition: " + e.position + "\nSize: " + e.compsize +
           " -> " + e.filesize + "\nDate: " + e.date + "\nName: (" + e.path + ")\\(" +
           e.filename + ")\n CRC: " + e.crc + "d\n" + e.outcome + "\n\n";
}

std::string Listing(const std::vector<Entry>& entries) {
    std::string text = kListHead;
    for (const Entry& e : entries) text += Group(e);
    return text;
}

// A one-member archive whose member extracts.
const char kOneMember[] = "lz,16,5,9,1234567890,d,f.txt,3,0";
const Entry kOneEntry = {"lz", "16", "5", "9", "Fri Feb 13 23:31:30 2009", "d", "f.txt", "3",
                         kSuccess};

// Runs spiprobe on one archive file with the scripted archive plug-in.
class ArchiveTest : public testing::Test {
protected:
    ArchiveTest() : archive(dir.File("archive.bin")), log(dir.File("log")) {
        WriteBytes(archive, "archive");
        script.Set("VERSION", "00AM");
        script.Set("LOG", log);
    }

    std::string Run(const std::string& plugin = "scripted" SPI_EXT,
                    const std::vector<std::string>& options = {}) {
        std::vector<std::string> args = options;
        args.push_back(plugin);
        args.push_back(archive);
        ProcessResult r = RunSpiprobe(args);
        EXPECT_EQ(0u, r.status);
        EXPECT_EQ("", r.err);
        return r.out;
    }

    // The offsets GetFile was given, in call order.
    std::vector<std::string> GetFileOffsets() {
        std::vector<std::string> offsets;
        std::string text = ReadBytes(log), call = "GetFile(" + archive + ",";
        for (size_t at = text.find(call); at != std::string::npos; at = text.find(call, at + 1)) {
            size_t start = at + call.size();
            std::string rest = text.substr(start, text.find('\n', start) - start);
            offsets.push_back(rest);
        }
        return offsets;
    }

    TempDir dir;
    std::string archive, log;
    PluginScript script{};
};

}  // namespace

TEST_F(ArchiveTest, NoListIsReportedWithoutNameOrCode) {
    struct Case {
        const char* what;
        const char* plugin;
        const char* list;
    } cases[] = {
        {"the plug-in hands back no list", "scripted" SPI_EXT, "none"},
        {"no GetArchiveInfo export", "scripted_no_getarchiveinfo" SPI_EXT, nullptr},
        {"a list handle that cannot be locked", "scripted" SPI_EXT, "discarded"},
    };
    script.Set("MEMBERS", kOneMember);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        PluginScript form({});
        if (c.list) form.Set("LIST", c.list);
        EXPECT_EQ(Crlf(kNoList), Run(c.plugin));
    }
    EXPECT_TRUE(GetFileOffsets().empty());
}

TEST_F(ArchiveTest, EmptyList) { EXPECT_EQ(Crlf(kListHead), Run()); }

TEST_F(ArchiveTest, MembersInListOrderWithEveryOutcome) {
    // Positions of 2^31 and more, sizes and CRCs as the plug-in wrote them;
    // GetFile gets each entry's position as its offset.
    script.Set("MEMBERS",
               "lz5,100,10,20,1234567890,dir\\,a.txt,0,0|"
               "store,2147483648,2147483648,4294967295,0,,b.bin,4294967295,1|"
               "deflate,300,1,1,86400,sub,c,12345,8|"
               "x,400,0,0,0,p,d,1,9");
    std::vector<Entry> entries = {
        {"lz5", "100", "10", "20", "Fri Feb 13 23:31:30 2009", "dir\\", "a.txt", "0", kSuccess},
        {"store", kHighPosition, kHighPosition, kFullSize, "Thu Jan 01 00:00:00 1970", "", "b.bin",
         "4294967295", kResultText[1]},
        {"deflate", "300", "1", "1", "Fri Jan 02 00:00:00 1970", "sub", "c", "12345",
         kResultText[8]},
        {"x", "400", "0", "0", "Thu Jan 01 00:00:00 1970", "p", "d", "1", NotExtracted(9)},
    };
    EXPECT_EQ(Crlf(Listing(entries)), Run());
    EXPECT_EQ((std::vector<std::string>{"100,256)", std::string(kHighPosition) + ",256)",
                                        "300,256)", "400,256)"}),
              GetFileOffsets());
}

TEST_F(ArchiveTest, EveryPluginErrorCodeInWords) {
    std::string members;
    std::vector<Entry> entries;
    for (int code = 1; code <= 8; ++code) {
        std::string position = std::to_string(code * 10);
        members += (code > 1 ? "|" : "") + std::string("m,") + position + ",1,1,0,,n,0," +
                   std::to_string(code);
        entries.push_back({"m", position, "1", "1", "Thu Jan 01 00:00:00 1970", "", "n", "0",
                           kResultText[code]});
    }
    script.Set("MEMBERS", members);
    EXPECT_EQ(Crlf(Listing(entries)), Run());
}

TEST_F(ArchiveTest, ExtractionsTheObjectAnswers) {
    script.Set("MEMBERS", kOneMember);
    Entry missing = kOneEntry;
    missing.outcome = NotExtracted(-1);
    EXPECT_EQ(Crlf(Listing({missing})), Run("scripted_no_getfile" SPI_EXT));

    PluginScript fault({{"FAULT_GetFile", "avread"}});
    Entry faulted = kOneEntry;
    faulted.outcome = kResultText[8];
    EXPECT_EQ(Crlf(Listing({faulted})), Run());
}

TEST_F(ArchiveTest, AListIsPrintedWhateverCodeCameWithIt) {
    script.Set("MEMBERS", kOneMember);
    script.Set("RESULT_GetArchiveInfo", "3");
    EXPECT_EQ(Crlf(Listing({kOneEntry})), Run());
}

TEST_F(ArchiveTest, RedirectedProgressLeavesTheListingAsItIs) {
    script.Set("MEMBERS", kOneMember);
    script.Set("PROGRESS", "1/2,2/2");
    EXPECT_EQ(Crlf(Listing({kOneEntry})), Run("scripted" SPI_EXT, {"-c"}));
}

TEST_F(ArchiveTest, NothingIsReadPastTheListOrItsFields) {
    // Without a terminator record the walk ends with the block.
    script.Set("MEMBERS", std::string(kOneMember) + "|lz,32,5,9,1234567890,d,g.txt,3,0");
    Entry second = kOneEntry;
    second.position = "32";
    second.filename = "g.txt";
    {
        PluginScript form({{"LIST", "noterminator"}});
        EXPECT_EQ(Crlf(Listing({kOneEntry, second})), Run());
    }
    // Fields filled to their end: 8, 200 and 200 bytes, no terminator.
    PluginScript form({{"LIST", "fill"}});
    Entry full = kOneEntry;
    full.method = std::string(8, 'M');
    full.path = std::string(200, 'P');
    full.filename = std::string(200, 'F');
    Entry fullSecond = full;
    fullSecond.position = "32";
    EXPECT_EQ(Crlf(Listing({full, fullSecond})), Run());
}

TEST_F(ArchiveTest, ATimestampWithoutCalendarTimeGetsAClearDateLine) {
    script.Set("MEMBERS", "lz,16,5,9,-1,d,f.txt,3,0");
    Entry entry = kOneEntry;
    entry.date = kInvalidTimestamp;
    EXPECT_EQ(Crlf(Listing({entry})), Run());
}

// In process: the list handle and every member handle are freed.
TEST_F(ArchiveTest, ListAndMemberHandlesAreFreedInProcess) {
    script.Set("MEMBERS", std::string(kOneMember) + "|lz,32,5,9,0,d,g.txt,3,0|lz,48,1,1,0,,h,0,2");
    SpiDllFile plugin;
    ASSERT_EQ(1, plugin.Load(nullptr, "scripted" SPI_EXT));
    StdoutCapture capture;
    TestFile(plugin, archive.c_str());
    std::string out = capture.Finish();
    EXPECT_EQ(0u, out.find(Crlf(kListHead))) << out;

    ExpectLoggedBlocksFreed(ReadBytes(log), {{"list handle", 1}, {"member handle", 2}});

    // A list block that cannot be locked is still the driver's to free.
    PluginScript form({{"LIST", "discarded"}});
    StdoutCapture second;
    TestArchive(plugin, archive.c_str());
    EXPECT_EQ(Crlf(kNoList), second.Finish());
    ExpectLoggedBlocksFreed(ReadBytes(log), {{"list handle", 2}});
}
