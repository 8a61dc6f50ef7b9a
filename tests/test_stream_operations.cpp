// The stream-level operations of SpiDllFile against the scripted plug-in
// (what it was called with comes back through its LOG and DUMP_SAMPLE
// files) and against subclasses that stand in for one export.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "handle_ref_table.h"
#include "local_blocks.h"
#include "spi_dll_file.h"
#include "spi_input_stream.h"
#include "test_support.h"

namespace {

const char* const kScripted = "scripted" SPI_EXT;
const size_t kRecord = sizeof(fileInfo);

std::string Pattern(size_t size) {
    std::string bytes(size, 0);
    for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>('A' + i % 23);
    return bytes;
}

// A scripted plug-in loaded as an image or archive plug-in, logging
// every call.
class StreamOps : public ::testing::Test {
protected:
    TempDir dir;
    std::string log = dir.File("calls.log");
    PluginScript script{{"LOG", log}};
    SpiDllFile plugin;

    void LoadAs(const char* version) {
        script.Set("VERSION", version);
        ASSERT_EQ(1, plugin.Load(nullptr, kScripted));
    }
    // The log since the last call, then a fresh one.
    std::string TakeLog() {
        std::string text = ReadBytes(log);
        DeleteFileA(log.c_str());
        return text;
    }
};

// Records what the support check hands over instead of asking a module.
class SampleSpy : public SpiDllFile {
public:
    int calls = 0;
    const void* address = nullptr;
    std::string sample;
    std::string name;
    int32_t IsSupported(LPCSTR fileName, void* data) override {
        ++calls;
        address = data;
        sample.assign(static_cast<const char*>(data), SPI_SAMPLE_SIZE);
        name = fileName ? fileName : "(none)";
        return 7;
    }
};

// Hands back a prepared list block instead of asking a module.
class ListSpy : public SpiDllFile {
public:
    HLOCAL block = nullptr;
    int32_t GetArchiveInfo(LPCSTR, intptr_t, uint32_t, HLOCAL* list) override {
        *list = block;
        return 0;
    }
};

fileInfo Record(const char* name, uint32_t position) {
    fileInfo r;
    memset(&r, 0, sizeof r);
    memcpy(r.method, "tar", 3);
    r.position = position;
    strcpy(r.filename, name);
    return r;
}

}  // namespace

TEST(SupportCheck, SamplesTakeTheFirst2048BytesPaddedWithZeros) {
    TempDir dir;
    SampleSpy spy;
    std::string bytes = Pattern(4096);

    // 2048 bytes or more: the block itself.
    HLOCAL exact = BlockOf(bytes.substr(0, 2048));
    SpiInputStream stream;
    stream.SetMemory("exact.bin", exact, 2048);
    EXPECT_EQ(7, spy.IsSupportedStream(stream));
    EXPECT_EQ(stream.GetSource(nullptr), spy.address);
    EXPECT_EQ("exact.bin", spy.name);

    // Fewer: a copy, then zeros.
    HLOCAL shortBlock = BlockOf(bytes.substr(0, 2047));
    stream.SetMemory("short.bin", shortBlock, 2047);
    spy.IsSupportedStream(stream);
    EXPECT_NE(stream.GetSource(nullptr), spy.address);
    EXPECT_EQ(bytes.substr(0, 2047) + std::string(1, '\0'), spy.sample);

    // A file: its head, whatever the stream's offset.
    std::string path = dir.File("small.bin");
    ASSERT_TRUE(WriteBytes(path, bytes.substr(0, 100)));
    stream.SetFile(path.c_str(), 60);
    spy.IsSupportedStream(stream);
    EXPECT_EQ(bytes.substr(0, 100) + std::string(1948, '\0'), spy.sample);
    EXPECT_EQ(path, spy.name);

    // A missing file: 0, and nobody is asked.
    spy.calls = 0;
    std::string missing = dir.File("missing.bin");
    stream.SetFile(missing.c_str(), 0);
    EXPECT_EQ(0, spy.IsSupportedStream(stream));
    stream.SetFile(nullptr, 0);
    EXPECT_EQ(0, spy.IsSupportedStream(stream));
    EXPECT_EQ(0, spy.calls);

    // A block that could not be locked is sampled as zeros.
    HLOCAL discarded = LocalAlloc(LMEM_MOVEABLE, 0);
    stream.SetMemory("discarded", discarded, 4096);
    EXPECT_EQ(7, spy.IsSupportedStream(stream));
    EXPECT_EQ(std::string(2048, '\0'), spy.sample);
}

TEST_F(StreamOps, SupportCheckReachesTheModuleAsMemory) {
    LoadAs("00IN");
    std::string dump = dir.File("sample.bin");
    script.Set("DUMP_SAMPLE", dump);
    script.Set("ACCEPT", "magic:BM");
    std::string path = dir.File("pic.bmp");
    ASSERT_TRUE(WriteBytes(path, "BM" + Pattern(3000)));
    SpiInputStream stream;
    stream.SetFile(path.c_str(), 128);
    TakeLog();
    EXPECT_EQ(1, plugin.IsSupportedStream(stream));
    EXPECT_EQ(("BM" + Pattern(3000)).substr(0, 2048), ReadBytes(dump));
    EXPECT_EQ("IsSupported(" + path + ",memory)\n", TakeLog());
}

TEST_F(StreamOps, PassThroughCallsUseTheStreamsSourceLengthAndFlag) {
    LoadAs("00IN");
    SpiInputStream stream;
    stream.SetFile("pic.bmp", 64);
    HLOCAL info = nullptr, bits = nullptr;
    TakeLog();
    ASSERT_EQ(0, plugin.GetPictureStream(stream, &info, &bits, NullProgress, 5));
    LocalFree(info);
    LocalFree(bits);
    HLOCAL block = BlockOf(Pattern(300));
    stream.SetMemory("pic.bmp", block, 300);
    ASSERT_EQ(0, plugin.GetPreviewStream(stream, &info, &bits, nullptr, 0));
    LocalFree(info);
    LocalFree(bits);
    std::vector<std::string> calls = Lines(TakeLog());
    ASSERT_EQ(4u, calls.size());
    EXPECT_EQ("GetPicture(pic.bmp,64,0,callback=1)", calls[0]);
    EXPECT_EQ("GetPreview(memory,300,1,callback=0)", calls[2]);
    EXPECT_EQ(-1, plugin.GetArchiveInfoStream(stream, &info)) << "image plug-in";
    EXPECT_EQ(nullptr, info);
}

TEST_F(StreamOps, ArchiveCallsUseTheStreamsSourceLengthAndFlag) {
    LoadAs("00AM");
    script.Set("MEMBERS", "tar,1000,9,9,0,,pic.bmp,0,0");
    HLOCAL block = BlockOf(Pattern(5000));
    SpiInputStream stream;
    stream.SetMemory("outer.tar", block, 5000);
    fileInfo entry = Record("pic.bmp", 1000);
    fileInfo found;
    HLOCAL member = nullptr;
    TakeLog();
    EXPECT_EQ(0, plugin.GetFileInfoStream(stream, "pic.bmp", 0, &found));
    EXPECT_EQ(0, plugin.GetFileInfoStream(stream, "pic.bmp", 0xFFFFFFFE, &found));
    EXPECT_EQ(0, plugin.GetFileInfoStream(stream, "pic.bmp", 1, &found));
    ASSERT_EQ(0, plugin.GetFileToMemory(stream, &entry, &member, nullptr, 0));
    EXPECT_EQ("pic.bmppi", std::string(static_cast<char*>(LocalLock(member)), 9));
    LocalUnlock(member);
    LocalFree(member);

    stream.SetFile("outer.tar", 24);
    entry.position = 976;  // the member sits at 24 + 976 in the file
    ASSERT_EQ(0, plugin.GetFileToDisk(stream, &entry, dir.path().c_str(), nullptr, 0));
    EXPECT_EQ("pic.bmppi", ReadBytes(dir.File("pic.bmp")));
    std::vector<std::string> calls = Lines(TakeLog());
    ASSERT_EQ(6u, calls.size());
    EXPECT_EQ("GetFileInfo(memory,5000,pic.bmp,1)", calls[0]);
    EXPECT_EQ("GetFileInfo(memory,5000,pic.bmp,1)", calls[1]) << "only bit 0 of the options";
    EXPECT_EQ("GetFileInfo(memory,5000,pic.bmp,257)", calls[2]);
    EXPECT_EQ("GetFile(memory,4000,257)", calls[3]);
    EXPECT_EQ("GetFile(outer.tar,1000,0)", calls[5]);
}

TEST_F(StreamOps, ArchiveListIsCopiedTerminatedAndTheBlockFreedAtOnce) {
    LoadAs("00AM");
    SpiInputStream stream;
    stream.SetFile("empty.tar", 0);
    fileInfo* list = reinterpret_cast<fileInfo*>(1);
    TakeLog();
    ASSERT_EQ(0, plugin.GetArchiveList(stream, &list));
    ASSERT_NE(nullptr, list);
    EXPECT_EQ(std::string(kRecord, '\0'), std::string(reinterpret_cast<char*>(list), kRecord));
    free(list);
    std::vector<HLOCAL> blocks = LoggedHandles(TakeLog(), "list handle");
    ASSERT_EQ(1u, blocks.size());
    EXPECT_TRUE(IsFreed(blocks[0]));

    script.Set("MEMBERS", "tar,0,5,5,0,dir\\,a.txt,0,0|lzh,600,7,9,0,,b.txt,0,0");
    ASSERT_EQ(0, plugin.GetArchiveList(stream, &list));
    EXPECT_STREQ("a.txt", list[0].filename);
    EXPECT_STREQ("dir\\", list[0].path);
    EXPECT_EQ(600u, list[1].position);
    EXPECT_EQ(0, list[2].method[0]);
    free(list);

    // No terminator: the list ends with the block.
    script.Set("LIST", "noterminator");
    ASSERT_EQ(0, plugin.GetArchiveList(stream, &list));
    EXPECT_STREQ("b.txt", list[1].filename);
    EXPECT_EQ(std::string(kRecord, '\0'), std::string(reinterpret_cast<char*>(list + 2), kRecord));
    free(list);
    TakeLog();

    script.Set("LIST", "discarded");
    EXPECT_EQ(5, plugin.GetArchiveList(stream, &list));
    EXPECT_EQ(nullptr, list);
    blocks = LoggedHandles(TakeLog(), "list handle");
    ASSERT_EQ(1u, blocks.size());
    EXPECT_TRUE(IsFreed(blocks[0])) << "a block that cannot be locked is still freed";

    script.Set("LIST", "none");
    script.Set("RESULT_GetArchiveInfo", "3");
    EXPECT_EQ(3, plugin.GetArchiveList(stream, &list));
    EXPECT_EQ(nullptr, list);
}

TEST(ArchiveList, NeverReadsPastTheBlock) {
    ListSpy spy;
    SpiInputStream stream;
    stream.SetFile("lying.tar", 0);

    // One and a half unterminated records: one record.
    fileInfo records[2] = {Record("one", 0), Record("two", 100)};
    spy.block = LocalAlloc(LMEM_MOVEABLE, kRecord + kRecord / 2);
    memcpy(LocalLock(spy.block), records, kRecord + kRecord / 2);
    LocalUnlock(spy.block);
    HLOCAL block = spy.block;
    fileInfo* list = nullptr;
    ASSERT_EQ(0, spy.GetArchiveList(stream, &list));
    EXPECT_STREQ("one", list[0].filename);
    EXPECT_EQ(0, list[1].method[0]);
    EXPECT_EQ(0u, list[1].position);
    free(list);
    EXPECT_TRUE(IsFreed(block));

    // Smaller than one record: an empty list.
    spy.block = LocalAlloc(LMEM_MOVEABLE, 100);
    memset(LocalLock(spy.block), 'x', 100);
    LocalUnlock(spy.block);
    ASSERT_EQ(0, spy.GetArchiveList(stream, &list));
    EXPECT_EQ(0, list[0].method[0]);
    free(list);
}

TEST_F(StreamOps, OpenMemberFindsTheNamedMemberWithoutRegardToAsciiCase) {
    LoadAs("00AM");
    script.Set("MEMBERS", "tar,0,5,5,0,,a.bmp,0,0|tar,512,9,9,0,,a.bmp.bak,0,0|"
                          "tar,1024,7,7,0,dir\\,pic.bmp,0,0");
    SpiInputStream stream;
    const char* const unset = "unset";
    LPCSTR rest = unset;

    stream.SetFile("archive.tar", 0);
    const char* wanted = "DIR\\Pic.BMP";
    ASSERT_EQ(1, plugin.OpenMember(stream, wanted, &rest));
    EXPECT_EQ(nullptr, rest);
    EXPECT_EQ(1, stream.IsMemory());
    EXPECT_STREQ("dir\\pic.bmp", stream.GetName());
    EXPECT_EQ(7, stream.GetLength(nullptr));
    EXPECT_EQ("pic.bmp", std::string(stream.GetSource(nullptr), 7));

    // A name followed by anything but the end or a separator is a prefix.
    stream.SetFile("archive.tar", 0);
    ASSERT_EQ(1, plugin.OpenMember(stream, "a.bmp.bak", nullptr));
    EXPECT_STREQ("a.bmp.bak", stream.GetName());
    stream.SetFile("archive.tar", 0);
    ASSERT_EQ(1, plugin.OpenMember(stream, "a.BMP", nullptr));
    EXPECT_STREQ("a.bmp", stream.GetName());

    // Nothing matches: stream and rest stay as they were.
    rest = unset;
    stream.SetFile("archive.tar", 0);
    const char* misses[] = {"a.bm", "b.bmp", "dir", "dir\\pic.bmp2", "\xc1.bmp"};
    for (const char* miss : misses) {
        EXPECT_EQ(-1, plugin.OpenMember(stream, miss, &rest)) << miss;
        EXPECT_EQ(unset, rest);
        EXPECT_EQ(0, stream.IsMemory());
        EXPECT_STREQ("archive.tar", stream.GetName());
    }
    script.Set("LIST", "none");
    EXPECT_EQ(-1, plugin.OpenMember(stream, "a.bmp", &rest));
}

TEST_F(StreamOps, OpenMemberDescendsIntoAnArchiveInsideTheArchive) {
    LoadAs("00AM");
    // The inner archive's listing is the same script; its member sits at
    // position 100 of the 500 bytes the outer extraction hands back.
    script.Set("MEMBERS", "tar,0,500,500,0,,inner.zip,0,0|tar,100,7,7,0,,pic.bmp,0,0");
    script.Set("ARCHIVE_SIZE", "500");
    SpiInputStream stream;
    stream.SetFile("outer.tar", 0);
    const char* path = "inner.zip/pic.bmp";
    LPCSTR rest = nullptr;
    TakeLog();
    ASSERT_EQ(0, plugin.OpenMember(stream, path, &rest));
    EXPECT_EQ(path + 10, rest);
    EXPECT_STREQ("inner.zip", stream.GetName());
    EXPECT_EQ(500, stream.GetLength(nullptr));
    std::vector<HLOCAL> inner = LoggedHandles(TakeLog(), "member handle");
    ASSERT_EQ(1u, inner.size());
    EXPECT_EQ(1, handleRefTable.CountOf(inner[0]));

    ASSERT_EQ(1, plugin.OpenMember(stream, rest, &rest));
    EXPECT_EQ(nullptr, rest);
    EXPECT_STREQ("pic.bmp", stream.GetName());
    EXPECT_EQ("pic.bmp", std::string(stream.GetSource(nullptr), 7));
    EXPECT_TRUE(IsFreed(inner[0])) << "the inner archive's last holder let it go";
    EXPECT_FALSE(handleRefTable.Contains(inner[0]));
    EXPECT_NE(std::string::npos, TakeLog().find("GetFile(memory,400,257)"));
}

TEST_F(StreamOps, OpenMemberStopsAtTheFirstMatchThatFailsToExtract) {
    LoadAs("00AM");
    script.Set("MEMBERS", "tar,0,5,5,0,,a.bmp,0,3|tar,512,5,5,0,,A.bmp,0,0");
    SpiInputStream stream;
    stream.SetFile("archive.tar", 0);
    const char* path = "a.bmp\\x";
    LPCSTR rest = nullptr;
    TakeLog();
    EXPECT_EQ(-1, plugin.OpenMember(stream, "a.bmp", &rest));
    EXPECT_EQ(-1, plugin.OpenMember(stream, path, &rest));
    EXPECT_EQ(path + 6, rest) << "rest is set before the extraction";
    EXPECT_STREQ("archive.tar", stream.GetName());
    EXPECT_EQ(0, stream.IsMemory());
    std::vector<std::string> calls;
    for (const std::string& line : Lines(TakeLog()))
        if (line.compare(0, 3, "Get") == 0) calls.push_back(line);
    ASSERT_EQ(4u, calls.size()) << "listing, extraction, listing, extraction";
    EXPECT_EQ("GetFile(archive.tar,0,256)", calls[1]);
    EXPECT_EQ("GetFile(archive.tar,0,256)", calls[3]);
}

TEST_F(StreamOps, OpenMemberNeverTrustsARecordBeyondItsFields) {
    LoadAs("00AM");
    // The scripted GetFile hands back at most 64 KiB, whatever the record says.
    script.Set("MEMBERS", "tar,0,5,100000,0,,big.bin,0,0");
    SpiInputStream stream;
    stream.SetFile("archive.tar", 0);
    ASSERT_EQ(1, plugin.OpenMember(stream, "big.bin", nullptr));
    EXPECT_EQ(65536, stream.GetLength(nullptr));

    // path and filename filling their fields without terminators.
    script.Set("MEMBERS", "tar,0,5,5,0,p,f,0,0");
    script.Set("LIST", "fill");
    std::string full = std::string(200, 'P') + std::string(200, 'F');
    stream.SetFile("archive.tar", 0);
    ASSERT_EQ(1, plugin.OpenMember(stream, full.c_str(), nullptr));
    EXPECT_EQ(full, stream.GetName());
}
