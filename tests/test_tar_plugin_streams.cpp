// The stream-level operations on real tar archives, through tar.spi:
// listing and extraction from a file and from memory, into memory and
// into a folder, and a tar inside a tar reached by member lookup.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "handle_ref_table.h"
#include "tar_fixtures.h"

namespace {

class TarStreams : public ::testing::Test {
protected:
    SpiDllFile tar;
    void SetUp() override { ASSERT_EQ(1, tar.Load(nullptr, "tar" SPI_EXT)); }

    std::vector<fileInfo> List(SpiInputStream& stream) {
        fileInfo* list = nullptr;
        std::vector<fileInfo> entries;
        EXPECT_EQ(0, tar.GetArchiveList(stream, &list));
        if (!list) return entries;
        for (const fileInfo* e = list; e->method[0]; ++e) entries.push_back(*e);
        free(list);
        return entries;
    }
};

}  // namespace

TEST_F(TarStreams, ListsAndExtractsFromAFileAndFromMemory) {
    std::string archive = ReadBytes(TarFixture("ustar.tar"));
    std::string nested = ReadBytes(TarFixture("src/dir/sub/deep/nested.bin"));
    ASSERT_EQ(70000u, nested.size());

    SpiInputStream file;
    file.SetFile(TarFixture("ustar.tar").c_str(), 0);
    EXPECT_NE(0, tar.IsSupportedStream(file));
    std::vector<fileInfo> fromFile = List(file);
    ASSERT_NE(nullptr, FindEntry(fromFile, "hello.txt"));
    EXPECT_EQ(12u, FindEntry(fromFile, "hello.txt")->filesize);
    const fileInfo* entry = FindEntry(fromFile, "dir/sub/deep/nested.bin");
    ASSERT_NE(nullptr, entry);
    HLOCAL member = nullptr;
    ASSERT_EQ(0, tar.GetFileToMemory(file, entry, &member, NullProgress, 0));
    EXPECT_TRUE(BlockBytes(member, nested.size()) == nested);
    LocalFree(member);

    fileInfo info;
    EXPECT_EQ(0, tar.GetFileInfoStream(file, "hello.txt", 0, &info));
    EXPECT_EQ(12u, info.filesize);

    SpiInputStream memory;
    memory.SetMemory("ustar.tar", BlockOf(archive), static_cast<int32_t>(archive.size()));
    EXPECT_NE(0, tar.IsSupportedStream(memory));
    std::vector<fileInfo> fromMemory = List(memory);
    ASSERT_EQ(fromFile.size(), fromMemory.size());
    for (size_t i = 0; i < fromFile.size(); ++i) {
        EXPECT_EQ(FullName(fromFile[i]), FullName(fromMemory[i]));
        EXPECT_EQ(fromFile[i].position, fromMemory[i].position);
    }
    ASSERT_EQ(0, tar.GetFileToMemory(memory, entry, &member, nullptr, 0));
    EXPECT_TRUE(BlockBytes(member, nested.size()) == nested);
    LocalFree(member);

    TempDir out;
    const fileInfo* hello = FindEntry(fromMemory, "hello.txt");
    ASSERT_EQ(0, tar.GetFileToDisk(memory, hello, out.path().c_str(), NullProgress, 0));
    EXPECT_EQ("Hello, tar!\n", ReadBytes(out.File("hello.txt")));
    DeleteFileA(out.File("hello.txt").c_str());
    ASSERT_EQ(0, tar.GetFileToDisk(file, hello, out.path().c_str(), nullptr, 0));
    EXPECT_EQ("Hello, tar!\n", ReadBytes(out.File("hello.txt")));
}

TEST_F(TarStreams, ReachesATarInsideATar) {
    std::string bitmap = ReadBytes(TarFixture("nested/pics/tiny.bmp"));
    ASSERT_EQ(70u, bitmap.size());
    const char* paths[] = {"inner.tar\\pics\\tiny.bmp", "INNER.TAR/Pics\\TINY.bmp"};
    for (const char* path : paths) {
        size_t entries = handleRefTable.Size();
        {
            SpiInputStream stream;
            stream.SetFile(TarFixture("outer.tar").c_str(), 0);
            LPCSTR rest = nullptr;
            ASSERT_EQ(0, tar.OpenMember(stream, path, &rest)) << path;
            EXPECT_EQ(path + 10, rest);
            EXPECT_STREQ("inner.tar", stream.GetName());
            EXPECT_EQ(10240, stream.GetLength(nullptr));
            EXPECT_NE(0, tar.IsSupportedStream(stream));

            ASSERT_EQ(1, tar.OpenMember(stream, rest, &rest));
            EXPECT_EQ(nullptr, rest);
            EXPECT_STREQ("pics\\tiny.bmp", stream.GetName());
            ASSERT_EQ(70, stream.GetLength(nullptr));
            EXPECT_TRUE(std::string(stream.GetSource(nullptr), 70) == bitmap);
            EXPECT_EQ(entries + 1, handleRefTable.Size()) << "the inner archive was let go";

            EXPECT_EQ(-1, tar.OpenMember(stream, "anything", &rest)) << "a bitmap is no archive";
            EXPECT_STREQ("pics\\tiny.bmp", stream.GetName());
        }
        EXPECT_EQ(entries, handleRefTable.Size());
    }
}
