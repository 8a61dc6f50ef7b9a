// tar.spi in process through SpiDllFile, on archives GNU tar made: the
// member list against tar's own listing, extraction to memory and to a
// folder from a file and from memory, lookup by name, pax size records,
// progress and cancellation, and headers no tar writer would produce.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "low_half_sample.h"
#include "plugin_info_texts.h"
#include "tar_fixtures.h"

namespace {

class TarPlugin : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(1, plugin.Load(nullptr, "tar" SPI_EXT)); }

    std::vector<fileInfo> List(LPCSTR source, intptr_t length, uint32_t flag,
                               int32_t* result = nullptr) {
        HLOCAL list = nullptr;
        int32_t r = plugin.GetArchiveInfo(source, length, flag, &list);
        if (result) *result = r;
        return TakeList(list);
    }
    std::vector<fileInfo> ListFile(const std::string& path, int32_t offset = 0) {
        return List(path.c_str(), offset, 0);
    }
    std::vector<fileInfo> ListMemory(const std::string& bytes, int32_t* result = nullptr) {
        return List(bytes.data(), static_cast<int32_t>(bytes.size()), 1, result);
    }
    // GetFile into memory; the block's bytes, or the result code in *result.
    std::string Extract(LPCSTR source, intptr_t length, uint32_t flag, int32_t* result,
                        ProgressCallback progress = nullptr) {
        HLOCAL block = nullptr;
        *result = plugin.GetFile(source, length, reinterpret_cast<LPSTR>(&block),
                                 flag | SPI_OUTPUT_MEMORY, progress, 0);
        if (*result != 0) {
            EXPECT_EQ(nullptr, block);
        }
        return TakeBlock(block);
    }

    SpiDllFile plugin;
};

TEST_F(TarPlugin, IdentifiesItselfAsAnArchivePlugin) {
    EXPECT_EQ(static_cast<int32_t>(PluginKind::Archive), plugin.GetKind());
    std::vector<std::string> texts = InfoTexts(plugin);
    ASSERT_EQ(4u, texts.size());
    EXPECT_EQ("00AM", texts[0]);
    EXPECT_EQ("*.tar", texts[2]);
    char text[64];
    EXPECT_EQ(0, plugin.GetPluginInfo(-1, text, sizeof text));
    // A short buffer gets a terminated prefix and nothing beyond it.
    EXPECT_EQ(std::string("00\0x", 4), InfoInShortBuffer(plugin, 0, 3));
}

TEST_F(TarPlugin, AcceptsTarsThroughBothProbesAndNothingElse) {
    for (const char* name : {"ustar.tar", "gnu.tar", "oldgnu.tar", "pax.tar", "v7.tar"}) {
        SCOPED_TRACE(name);
        std::string sample = ReadBytes(TarFixture(name)).substr(0, 2048);
        EXPECT_NE(0, plugin.IsSupported(name, &sample[0]));
#if defined(_WIN64)
        // A 64-bit host passes samples only, anywhere in the address space.
        LowHalfSample low(sample);
        ASSERT_NE(nullptr, low.data()) << "no free address at a multiple of 4 GiB";
        EXPECT_NE(0, plugin.IsSupported(name, low.data())) << static_cast<void*>(low.data());
#else
        HANDLE file = CreateFileA(TarFixture(name).c_str(), GENERIC_READ, FILE_SHARE_READ,
                                  nullptr, OPEN_EXISTING, 0, nullptr);
        ASSERT_NE(INVALID_HANDLE_VALUE, file);
        EXPECT_NE(0, plugin.IsSupported(name, file));
        // The handle is left where the host put it.
        EXPECT_EQ(0u, SetFilePointer(file, 0, nullptr, FILE_CURRENT));
        // The host's second probe, 128 bytes in, sees no header.
        SetFilePointer(file, 128, nullptr, FILE_BEGIN);
        EXPECT_EQ(0, plugin.IsSupported(name, file));
        EXPECT_EQ(128u, SetFilePointer(file, 0, nullptr, FILE_CURRENT));
        CloseHandle(file);
#endif
    }
    for (const char* name : {"src/hello.txt", "nested/pics/tiny.bmp", "gnu.list"}) {
        SCOPED_TRACE(name);
        std::string sample = ReadBytes(TarFixture(name));
        sample.resize(2048);
        EXPECT_EQ(0, plugin.IsSupported(name, &sample[0]));
    }
    std::string zeros(2048, '\0');
    EXPECT_EQ(0, plugin.IsSupported("zeros.tar", &zeros[0]));
}

struct FormatCase {
    const char* archive;
    const char* listing;
    const char* originals;  // folder of the files that went in
};

const FormatCase kFormats[] = {
    {"ustar.tar", "ustar.list", "src"},    {"gnu.tar", "gnu.list", "src"},
    {"oldgnu.tar", "oldgnu.list", "src"},  {"pax.tar", "pax.list", "src"},
    {"v7.tar", "v7.list", "src"},          {"paxsize.tar", "paxsize.list", "paxsize"},
    {"outer.tar", "outer.list", "nested"},
};

class TarFormats : public TarPlugin, public ::testing::WithParamInterface<FormatCase> {};

TEST_P(TarFormats, ListMatchesGnuTar) {
    const FormatCase& format = GetParam();
    std::vector<fileInfo> entries = ListFile(TarFixture(format.archive));
    std::vector<ListedMember> listed = ReadListing(format.listing);
    ASSERT_FALSE(listed.empty());
    ASSERT_EQ(listed.size(), entries.size());
    for (size_t i = 0; i < listed.size(); ++i) {
        const fileInfo& entry = entries[i];
        SCOPED_TRACE(listed[i].name);
        EXPECT_EQ(listed[i].name, FullName(entry));
        EXPECT_EQ(listed[i].size, entry.filesize);
        EXPECT_EQ(listed[i].size, entry.compsize);
        EXPECT_EQ(listed[i].mtime, static_cast<int64_t>(entry.timestamp));
        EXPECT_STREQ("tar", reinterpret_cast<const char*>(entry.method));
        EXPECT_EQ(0u, entry.crc);
        // The folder part ends with "\" and the file name has none.
        std::string path = entry.path;
        if (!path.empty()) {
            EXPECT_EQ('\\', path.back());
        }
        EXPECT_EQ(nullptr, strchr(entry.filename, '\\'));
    }

    // From memory the list is the same, record for record.
    std::string bytes = ReadBytes(TarFixture(format.archive));
    std::vector<fileInfo> fromMemory = ListMemory(bytes);
    ASSERT_EQ(entries.size(), fromMemory.size());
    for (size_t i = 0; i < entries.size(); ++i)
        EXPECT_EQ(0, memcmp(&entries[i], &fromMemory[i], sizeof(fileInfo))) << i;
}

TEST_P(TarFormats, ExtractsEveryMemberFromFileAndMemory) {
    const FormatCase& format = GetParam();
    std::string archive = TarFixture(format.archive);
    std::string bytes = ReadBytes(archive);
    for (const fileInfo& entry : ListFile(archive)) {
        std::string name = FullName(entry);
        SCOPED_TRACE(name);
        std::string original = ReadBytes(TarFixture(std::string(format.originals) + "/" + name));
        ASSERT_EQ(entry.filesize, original.size());
        int32_t result = -99;
        EXPECT_EQ(original, Extract(archive.c_str(), entry.position, 0, &result));
        EXPECT_EQ(0, result);
        EXPECT_EQ(original, Extract(bytes.data() + entry.position,
                                    static_cast<int32_t>(bytes.size() - entry.position), 1,
                                    &result));
        EXPECT_EQ(0, result);
    }
}

INSTANTIATE_TEST_SUITE_P(GnuTar, TarFormats, ::testing::ValuesIn(kFormats),
                         [](const ::testing::TestParamInfo<FormatCase>& info) {
                             std::string name = info.param.archive;
                             return name.substr(0, name.find('.'));
                         });

TEST_F(TarPlugin, ReadsAnArchiveAtAnOffsetInAFile) {
    TempDir dir;
    std::string junk(1000, '#');
    std::string bytes = ReadBytes(TarFixture("gnu.tar"));
    std::string embedded = dir.File("embedded.bin");
    ASSERT_TRUE(WriteBytes(embedded, junk + bytes));

    std::vector<fileInfo> direct = ListFile(TarFixture("gnu.tar"));
    std::vector<fileInfo> entries = ListFile(embedded, 1000);
    ASSERT_EQ(direct.size(), entries.size());
    for (size_t i = 0; i < entries.size(); ++i) {
        // Positions count from the start of the archive data.
        EXPECT_EQ(direct[i].position, entries[i].position);
        int32_t result = -99;
        std::string member =
            Extract(embedded.c_str(), static_cast<int32_t>(1000 + entries[i].position), 0, &result);
        EXPECT_EQ(0, result);
        EXPECT_EQ(ReadBytes(TarFixture("src/" + FullName(entries[i]))), member);
    }
    // From the start of the file the junk is no tar.
    int32_t result = 0;
    EXPECT_TRUE(List(embedded.c_str(), 0, 0, &result).empty());
    EXPECT_EQ(2, result);
}

int64_t UnixTime(const FILETIME& time) {
    ULARGE_INTEGER ticks;
    ticks.LowPart = time.dwLowDateTime;
    ticks.HighPart = time.dwHighDateTime;
    return static_cast<int64_t>(ticks.QuadPart / 10000000) - 11644473600LL;
}

TEST_F(TarPlugin, ExtractsIntoAFolderUnderTheMemberFileName) {
    std::string archive = TarFixture("pax.tar");
    std::string bytes = ReadBytes(archive);
    std::vector<fileInfo> entries = ListFile(archive);
    TempDir fromFile, fromMemory;
    for (const fileInfo& entry : entries) {
        SCOPED_TRACE(FullName(entry));
        std::string original = ReadBytes(TarFixture("src/" + FullName(entry)));
        EXPECT_EQ(0, plugin.GetFile(archive.c_str(), entry.position,
                                    const_cast<LPSTR>(fromFile.path().c_str()), 0, nullptr, 0));
        // A folder given with its trailing separator works the same.
        std::string folder = fromMemory.path() + "\\";
        EXPECT_EQ(0, plugin.GetFile(bytes.data() + entry.position,
                                    static_cast<int32_t>(bytes.size() - entry.position),
                                    &folder[0], 1, nullptr, 0));
        for (const TempDir* dir : {&fromFile, &fromMemory}) {
            std::string written = dir->File(entry.filename);
            EXPECT_EQ(original, ReadBytes(written));
            HANDLE file = CreateFileA(written.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                      OPEN_EXISTING, 0, nullptr);
            ASSERT_NE(INVALID_HANDLE_VALUE, file);
            FILETIME modified;
            GetFileTime(file, nullptr, nullptr, &modified);
            CloseHandle(file);
            EXPECT_EQ(static_cast<int64_t>(entry.timestamp), static_cast<int64_t>(UnixTime(modified)));
        }
    }
    // A folder that does not exist: a write failure, and no file anywhere.
    std::string missing = fromFile.File("missing");
    EXPECT_EQ(6, plugin.GetFile(archive.c_str(), entries[0].position, &missing[0], 0, nullptr, 0));
}

TEST_F(TarPlugin, FindsAMemberByItsFullName) {
    std::string archive = TarFixture("pax.tar");
    std::vector<fileInfo> entries = ListFile(archive);
    const fileInfo* nested = FindEntry(entries, "dir/sub/deep/nested.bin");
    ASSERT_NE(nullptr, nested);
    std::string bytes = ReadBytes(archive);

    struct Lookup {
        const char* name;
        uint32_t flag;
        int32_t result;
    };
    const Lookup lookups[] = {
        {"dir\\sub\\deep\\nested.bin", 0, 0},
        {"dir/sub/deep/nested.bin", 0, 0},
        {"DIR\\Sub\\deep\\NESTED.bin", 0, 8},
        {"DIR\\Sub\\deep\\NESTED.bin", 0x80, 0},
        {"nested.bin", 0, 8},
        {"dir\\sub\\deep\\nested.bi", 0, 8},
        {"dir\\sub\\deep\\nested.bin2", 0, 8},
    };
    for (const Lookup& lookup : lookups) {
        SCOPED_TRACE(lookup.name);
        fileInfo fromFile = {}, fromMemory = {};
        EXPECT_EQ(lookup.result,
                  plugin.GetFileInfo(archive.c_str(), 0, lookup.name, lookup.flag, &fromFile));
        EXPECT_EQ(lookup.result,
                  plugin.GetFileInfo(bytes.data(), static_cast<int32_t>(bytes.size()),
                                     lookup.name, lookup.flag | 1, &fromMemory));
        if (lookup.result == 0) {
            EXPECT_EQ(0, memcmp(nested, &fromFile, sizeof(fileInfo)));
            EXPECT_EQ(0, memcmp(nested, &fromMemory, sizeof(fileInfo)));
        }
    }
}

TEST_F(TarPlugin, TakesTheSizeFromAPaxRecord) {
    std::string bytes = ReadBytes(TarFixture("paxsize.tar"));
    std::string original = ReadBytes(TarFixture("paxsize/data.txt"));
    ASSERT_NE(std::string::npos, bytes.find(" size=" + std::to_string(original.size()) + "\n"));
    // The member's own header follows the pax header and its one data block.
    ASSERT_EQ('x', bytes[156]);
    const size_t header = 1024;
    ASSERT_EQ('0', bytes[header + 156]);
    // Clear its size field, as writers do when the size does not fit it.
    memcpy(&bytes[header + 124], "00000000000", 12);
    memset(&bytes[header + 148], ' ', 8);
    unsigned sum = 0;
    for (size_t i = 0; i < 512; ++i) sum += static_cast<unsigned char>(bytes[header + i]);
    snprintf(&bytes[header + 148], 8, "%06o", sum);

    std::vector<fileInfo> entries = ListMemory(bytes);
    ASSERT_EQ(1u, entries.size());
    EXPECT_EQ(original.size(), entries[0].filesize);
    int32_t result = -99;
    EXPECT_EQ(original, Extract(bytes.data(), static_cast<int32_t>(bytes.size()), 1, &result));
    EXPECT_EQ(0, result);
}

TEST_F(TarPlugin, GivesPaxNamesInTheAnsiCodePage) {
    if (GetACP() != 1252) GTEST_SKIP() << "needs code page 1252, not " << GetACP();
    std::string archive = TarFixture("paxutf8.tar");
    std::vector<fileInfo> pax = ListFile(archive);
    ASSERT_EQ(1u, pax.size());
    EXPECT_STREQ("caf\xE9.txt", pax[0].filename);
    // A ustar name declares no encoding: its bytes stay as they are.
    std::vector<fileInfo> ustar = ListFile(TarFixture("ustarutf8.tar"));
    ASSERT_EQ(1u, ustar.size());
    EXPECT_STREQ("caf\xC3\xA9.txt", ustar[0].filename);

    TempDir dir;
    EXPECT_EQ(0, plugin.GetFile(archive.c_str(), pax[0].position,
                                const_cast<LPSTR>(dir.path().c_str()), 0, nullptr, 0));
    EXPECT_EQ("caf\xC3\xA9\n", ReadBytes(dir.File("caf\xE9.txt")));
}

std::vector<std::pair<int32_t, int32_t>> progressCalls;
int32_t stopAtCall = -1;  // answer 1 on this call (0-based), 0 before

int32_t SPI_API RecordProgress(int32_t done, int32_t total, intptr_t) {
    progressCalls.emplace_back(done, total);
    return static_cast<int32_t>(progressCalls.size()) - 1 == stopAtCall ? 1 : 0;
}

TEST_F(TarPlugin, ReportsProgressAndStopsWhenAsked) {
    std::string archive = TarFixture("ustar.tar");
    const fileInfo* nested = nullptr;
    std::vector<fileInfo> entries = ListFile(archive);
    nested = FindEntry(entries, "dir/sub/deep/nested.bin");
    ASSERT_NE(nullptr, nested);
    const int32_t size = static_cast<int32_t>(nested->filesize);

    progressCalls.clear();
    stopAtCall = -1;
    int32_t result = -99;
    EXPECT_EQ(size_t(size), Extract(archive.c_str(), nested->position, 0, &result,
                                    RecordProgress).size());
    EXPECT_EQ(0, result);
    ASSERT_GE(progressCalls.size(), 3u);  // 70000 bytes take more than one step
    EXPECT_EQ(std::make_pair(0, size), progressCalls.front());
    EXPECT_EQ(std::make_pair(size, size), progressCalls.back());
    for (size_t i = 1; i < progressCalls.size(); ++i)
        EXPECT_LE(progressCalls[i - 1].first, progressCalls[i].first);

    // Stopped halfway: 1, no block handed out, no file left in the folder.
    progressCalls.clear();
    stopAtCall = 1;
    Extract(archive.c_str(), nested->position, 0, &result, RecordProgress);
    EXPECT_EQ(1, result);
    EXPECT_EQ(2u, progressCalls.size());
    TempDir dir;
    progressCalls.clear();
    EXPECT_EQ(1, plugin.GetFile(archive.c_str(), nested->position,
                                const_cast<LPSTR>(dir.path().c_str()), 0, RecordProgress, 0));
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesA(dir.File("nested.bin").c_str()));
    stopAtCall = -1;
}

// A ustar header block with the given name, type and raw 12-byte size field.
std::string Header(const std::string& name, char type, const std::string& sizeField) {
    std::string block(512, '\0');
    memcpy(&block[0], name.data(), name.size());
    memcpy(&block[100], "0000644", 8);
    memcpy(&block[108], "0000000", 8);
    memcpy(&block[116], "0000000", 8);
    memcpy(&block[124], sizeField.data(), sizeField.size() < 12 ? sizeField.size() : 12);
    memcpy(&block[136], "14000000000", 12);
    block[156] = type;
    memcpy(&block[257], "ustar\0" "00", 8);
    memset(&block[148], ' ', 8);
    unsigned sum = 0;
    for (unsigned char c : block) sum += c;
    snprintf(&block[148], 8, "%06o", sum);
    return block;
}

std::string Octal(uint64_t size) {
    char field[13];
    snprintf(field, sizeof field, "%011llo", static_cast<unsigned long long>(size));
    return std::string(field, 12);
}

std::string Padded(std::string data) {
    data.resize((data.size() + 511) / 512 * 512, '\0');
    return data;
}

const std::string kEnd(1024, '\0');

std::string HelloMember() { return Header("hello.txt", '0', Octal(5)) + Padded("hello"); }

TEST_F(TarPlugin, RefusesAMemberTooLargeForMemory) {
    // 5 GiB in the base-256 form; the archive file is sparse.
    std::string size(12, '\0');
    size[0] = static_cast<char>(0x80);
    size[7] = 0x01;
    size[8] = 0x40;
    TempDir dir;
    std::string path = dir.File("huge.tar");
    ASSERT_TRUE(WriteBytes(path, Header("huge.bin", '0', size)));
    HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, file);
    LARGE_INTEGER end;
    end.QuadPart = 512 + (5LL << 30) + 1024;
    bool sized = SetFilePointerEx(file, end, nullptr, FILE_BEGIN) && SetEndOfFile(file);
    CloseHandle(file);
    if (!sized) GTEST_SKIP() << "no room for a 5 GiB sparse file";

    std::vector<fileInfo> entries = ListFile(path);
    ASSERT_EQ(1u, entries.size());
    // Listed whole where the record's size is 64-bit; extracted into memory
    // by neither build.
#if defined(_WIN64)
    EXPECT_EQ(5ull << 30, entries[0].filesize);
#else
    EXPECT_EQ(0xFFFFFFFFu, entries[0].filesize);
#endif
    int32_t result = -99;
    Extract(path.c_str(), 0, 0, &result);
    EXPECT_EQ(4, result);
}

TEST_F(TarPlugin, RefusesHeadersNoWriterProduces) {
    const std::string hello = HelloMember();
    auto pax = [&](const std::string& records) {
        return Header("PaxHeaders/x", 'x', Octal(records.size())) + Padded(records) + hello + kEnd;
    };
    std::string badSum = hello;
    badSum[0] = 'j';
    std::string big(12, '\0');
    big[0] = static_cast<char>(0x80);
    for (int i = 4; i < 12; ++i) big[i] = static_cast<char>(0xFF);
    struct Case {
        const char* what;
        std::string bytes;
        int32_t result;
    };
    const Case cases[] = {
        {"an empty input", "", 2},
        {"a bad checksum at the start", badSum + kEnd, 2},
        {"a header cut short", hello.substr(0, 300), 2},
        {"a bad checksum further on", hello + badSum + kEnd, 3},
        {"a second header cut short", hello + hello.substr(0, 511), 3},
        {"data running past the end", hello + Header("big", '0', Octal(4096)) + kEnd, 3},
        {"a size beyond 63 bits", hello + Header("big", '0', big) + kEnd, 3},
        {"a size field that is no number", Header("big", '0', "12x4") + kEnd, 3},
        {"a long name and then the end",
         hello + Header("././@LongLink", 'L', Octal(4)) + Padded("abc") + kEnd, 3},
        {"a long name of 2 MiB", Header("././@LongLink", 'L', Octal(2u << 20)) + kEnd, 3},
        {"a pax record longer than its header", pax("99 path=a\n"), 3},
        {"a pax record length of 0", pax("0 path=a\n"), 3},
        {"a pax record length beyond 64 bits", pax("99999999999999999999999 path=a\n"), 3},
        {"a pax record without a newline", pax("10 path=ab"), 3},
        {"a pax record without =", pax("9 pathab\n"), 3},
        {"a pax size that is no number", pax("12 size=-12\n"), 3},
        {"a pax size beyond 63 bits", pax("30 size=99999999999999999999\n"), 3},
        {"a pax size past the end", pax("13 size=4096\n"), 3},
        {"only end blocks", kEnd, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        int32_t result = -99;
        std::vector<fileInfo> entries = ListMemory(c.bytes, &result);
        EXPECT_EQ(c.result, result);
        EXPECT_TRUE(entries.empty());
    }
}

TEST_F(TarPlugin, SkipsEntriesThatAreNotRegularFiles) {
    // A directory, a hard link with a size field, a FIFO and a GNU sparse
    // member around one regular file.
    std::string archive = Header("folder/", '5', Octal(0)) + Header("hard", '1', Octal(100)) +
                          Header("fifo", '6', Octal(0)) +
                          Header("sparse", 'S', Octal(5)) + Padded("sssss") + HelloMember() + kEnd;
    std::vector<fileInfo> entries = ListMemory(archive);
    ASSERT_EQ(1u, entries.size());
    EXPECT_EQ("hello.txt", FullName(entries[0]));
    int32_t result = -99;
    EXPECT_EQ("hello", Extract(archive.data() + entries[0].position,
                               static_cast<int32_t>(archive.size() - entries[0].position), 1,
                               &result));
    // A position that holds a directory yields no member.
    Extract(archive.data(), static_cast<int32_t>(archive.size()), 1, &result);
    EXPECT_EQ(2, result);
}

}  // namespace
