// Resolving names that run through archives, on real files in a scratch
// folder: copies of the scripted plug-in serve as archive plug-ins, and
// the reference TAR plug-in reads real tar files where the build has them.
#include <gtest/gtest.h>
#include <mbctype.h>

#include <cstring>
#include <memory>
#include <string>

#include "handle_ref_table.h"
#include "spi_files_manage.h"
#include "spi_input_stream.h"
#include "test_support.h"

namespace {

class Stream : public SpiInputStream {
public:
    HLOCAL Handle() const { return memHandle; }
    std::string Bytes() const { return std::string(GetSource(nullptr), GetLength(nullptr)); }
};

// scripted.spi's members extract to their file name repeated up to their
// size.
std::string Content(const std::string& fileName, size_t size) {
    std::string content;
    while (content.size() < size) content += fileName;
    content.resize(size);
    return content;
}

// A scratch tree: pics\set.arc, an archive of plug-in "arc" holding dir\a.bmp
// and inner.arc, an archive of plug-in "inner" that holds b.bmp.
class OpenPath : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(CreateDirectoryA(root.File("pics").c_str(), nullptr));
        archive = root.File("pics\\set.arc");
        ASSERT_TRUE(WriteBytes(archive, "ARCH" + std::string(60, '.')));
        ASSERT_TRUE(WriteBytes(root.File("pics\\other.dat"), "not an archive"));
    }

    // A copy of scripted.spi under the name, loaded (not yet in a set).
    SpiDllFile* Load(const std::string& name) {
        std::string path = root.File(name + SPI_EXT);
        EXPECT_TRUE(CopyPlugin("scripted" SPI_EXT, path));
        SpiDllFile* plugin = new SpiDllFile;
        EXPECT_EQ(1, plugin->Load(root.path().c_str(), (name + SPI_EXT).c_str())) << name;
        return plugin;
    }
    SpiDllFile* Outer() { return Load("arc"); }
    SpiDllFile* Inner() { return Load("inner"); }

    // Resolves the name in a file-mode stream; on failure the stream must
    // be as it was. No count is left in the table by the call itself.
    int32_t Resolve(SpiFilesManage& set, const std::string& name, Stream& stream) {
        stream.SetFile(name.c_str(), 0);
        size_t entries = handleRefTable.Size();
        int32_t result = set.OpenPath(stream, 0);
        if (result != 1 || !stream.IsMemory()) {
            EXPECT_EQ(entries, handleRefTable.Size()) << name;
            EXPECT_EQ(0, stream.IsMemory()) << name;
            EXPECT_STREQ(name.c_str(), stream.GetName()) << name;
        } else {
            EXPECT_EQ(entries + 1, handleRefTable.Size()) << name;
            EXPECT_EQ(1, handleRefTable.CountOf(stream.Handle()))
                << "the stream is the only holder";
        }
        return result;
    }

    TempDir root;
    std::string archive;
    ScopedEnv outerVersion{"SPITEST_arc_VERSION", "00AM"};
    ScopedEnv outerAccepts{"SPITEST_arc_ACCEPT", "magic:ARCH"};
    ScopedEnv outerMembers{"SPITEST_arc_MEMBERS",
                           "-,0,30,30,0,dir\\,a.bmp,0,0|-,100,40,40,0,,inner.arc,0,0"};
    ScopedEnv innerVersion{"SPITEST_inner_VERSION", "00AM"};
    ScopedEnv innerAccepts{"SPITEST_inner_ACCEPT", "magic:inner.arc"};
    ScopedEnv innerMembers{"SPITEST_inner_MEMBERS", "-,0,7,7,0,,b.bmp,0,0"};
};

}  // namespace

TEST_F(OpenPath, StreamsUsableAsTheyAreStayUnchanged) {
    SpiFilesManage set;
    set.Add(Outer());

    Stream memory;
    HLOCAL block = LocalAlloc(LMEM_MOVEABLE, 16);
    memory.SetMemory("pics\\set.arc\\dir\\a.bmp", block, 16);
    const char* source = memory.GetSource(nullptr);
    EXPECT_EQ(1, set.OpenPath(memory, 0));
    EXPECT_EQ(source, memory.GetSource(nullptr));
    EXPECT_EQ(1, handleRefTable.CountOf(block));

    Stream file;
    EXPECT_EQ(1, Resolve(set, archive, file));
    EXPECT_EQ(0, file.IsMemory());
    EXPECT_EQ(archive, file.GetName());

    Stream unnamed;
    unnamed.SetFile(nullptr, 0);
    EXPECT_EQ(-1, set.OpenPath(unnamed, 0));
}

TEST_F(OpenPath, ReachesAMemberBelowTheArchive) {
    SpiFilesManage set;
    set.Add(Outer());
    Stream stream;
    ASSERT_EQ(1, Resolve(set, archive + "\\dir\\a.bmp", stream));
    EXPECT_EQ(1, stream.IsMemory());
    EXPECT_STREQ("dir\\a.bmp", stream.GetName()) << "the member's name as its archive spells it";
    EXPECT_EQ(Content("a.bmp", 30), stream.Bytes());
    HLOCAL block = stream.Handle();
    stream.Close();
    EXPECT_FALSE(handleRefTable.Contains(block)) << "the last holder frees the block";
}

// The archive is found however its part of the name is separated; the
// member part is compared as written.
TEST_F(OpenPath, SeparatorsAroundTheArchive) {
    SpiFilesManage set;
    set.Add(Outer());
    std::string pics = root.File("pics");
    std::string slashed = archive + "/dir/a.bmp";
    for (char& c : slashed)
        if (c == '\\') c = '/';
    struct Case {
        std::string name;
        int32_t result;
    };
    const Case cases[] = {
        {pics + "\\\\set.arc\\dir\\a.bmp", 1},  // doubled before the archive
        {slashed, -1},                          // archive found, dir/a.bmp is not dir\a.bmp
        {archive + "\\\\dir\\a.bmp", -1},       // doubled right after the archive
        {archive + "\\", -1},                   // trailing separator: empty member name
        {pics + "\\missing\\a.bmp", -1},        // only a folder exists
        {pics + "\\other.dat\\a.bmp", -1},      // no plug-in takes the file
        {archive + "\\dir\\missing.bmp", -1},   // no such member
    };
    for (const Case& c : cases) {
        Stream stream;
        EXPECT_EQ(c.result, Resolve(set, c.name, stream)) << c.name;
    }

    // Separators at the start are dropped: such a name is relative to the
    // current directory.
    char previous[MAX_PATH];
    GetCurrentDirectoryA(sizeof previous, previous);
    ASSERT_TRUE(SetCurrentDirectoryA(root.path().c_str()));
    Stream relative;
    EXPECT_EQ(1, Resolve(set, "\\pics\\set.arc\\dir\\a.bmp", relative));
    SetCurrentDirectoryA(previous);
}

TEST_F(OpenPath, EmptyListResolvesNothing) {
    SpiFilesManage set;
    Stream stream;
    EXPECT_EQ(-1, Resolve(set, archive + "\\dir\\a.bmp", stream));
    set.Add(Inner());  // an archive plug-in that does not take set.arc
    EXPECT_EQ(-1, Resolve(set, archive + "\\dir\\a.bmp", stream));
}

// set.arc\inner.arc\b.bmp: the plug-in that enters inner.arc leaves b.bmp
// to whoever takes inner.arc, later in the same pass or in the next one.
TEST_F(OpenPath, ArchiveInsideAnArchive) {
    const std::string name = archive + "\\inner.arc\\b.bmp";
    {
        SpiFilesManage onePass;
        onePass.Add(Outer());
        onePass.Add(Inner());
        Stream stream;
        ASSERT_EQ(1, Resolve(onePass, name, stream));
        EXPECT_STREQ("b.bmp", stream.GetName());
        EXPECT_EQ(Content("b.bmp", 7), stream.Bytes());
    }
    {
        SpiFilesManage twoPasses;
        twoPasses.Add(Inner());
        twoPasses.Add(Outer());
        Stream stream;
        ASSERT_EQ(1, Resolve(twoPasses, name, stream));
        EXPECT_EQ(Content("b.bmp", 7), stream.Bytes());

        Stream missing;
        EXPECT_EQ(-1, Resolve(twoPasses, archive + "\\inner.arc\\c.bmp", missing));
    }
}

// A plug-in that takes the entered member but finds nothing in it does not
// undo the entry: the next pass looks into the member again.
TEST_F(OpenPath, LaterFailureInAPassDoesNotLoseTheEnteredMember) {
    ScopedEnv greedyVersion("SPITEST_greedy_VERSION", "00AM");
    ScopedEnv greedyAccepts("SPITEST_greedy_ACCEPT", "always");
    ScopedEnv greedyMembers("SPITEST_greedy_MEMBERS", "-,0,5,5,0,,z.bmp,0,0");
    SpiFilesManage set;
    set.Add(Inner());
    set.Add(Outer());
    set.Add(Load("greedy"));
    Stream stream;
    ASSERT_EQ(1, Resolve(set, archive + "\\inner.arc\\b.bmp", stream));
    EXPECT_EQ(Content("b.bmp", 7), stream.Bytes());
}

// A failed extraction after an entered member gives back the member's
// block as well.
TEST_F(OpenPath, FailureInsideAnEnteredMemberReleasesIt) {
    ScopedEnv failing("SPITEST_inner_MEMBERS", "-,0,7,7,0,,b.bmp,0,6");
    SpiFilesManage set;
    set.Add(Outer());
    set.Add(Inner());
    Stream stream;
    EXPECT_EQ(-1, Resolve(set, archive + "\\inner.arc\\b.bmp", stream));
}

// In code page 932, 0x95 0x5C is one character whose trail byte is "\":
// the name is not split inside it, so the file "\x95" beside it is not
// taken for the archive. Read as single bytes (code page 1252) the same
// name does split there.
TEST_F(OpenPath, DoubleByteCharacterIsNotSplit) {
    ASSERT_TRUE(WriteBytes(root.File("pics\\\x95"), "ARCH"));
    ScopedEnv members("SPITEST_arc_MEMBERS", "-,0,9,9,0,,x.arc\\a.bmp,0,0");
    SpiFilesManage set;
    set.Add(Outer());
    const std::string name = root.File(
        "pics\\\x95\x5c"
        "x.arc\\a.bmp");
    int previous = _getmbcp();

    ASSERT_EQ(0, _setmbcp(932));
    Stream whole;
    EXPECT_EQ(-1, Resolve(set, name, whole));

    ASSERT_EQ(0, _setmbcp(1252));
    Stream split;
    EXPECT_EQ(1, Resolve(set, name, split));
    EXPECT_STREQ("x.arc\\a.bmp", split.GetName());

    _setmbcp(previous);
}

namespace {

// Real tar files read by the reference TAR plug-in: inner.tar holds
// pics\tiny.bmp and outer.tar holds inner.tar. Copied into the scratch
// folder from the build's fixtures.
class TarPaths : public testing::Test {
protected:
    void SetUp() override {
        tiny = ReadBytes(FixturePath("tar", "nested/pics/tiny.bmp"));
        if (tiny.empty() ||
            GetFileAttributesA(BinPath("tar" SPI_EXT).c_str()) == INVALID_FILE_ATTRIBUTES)
            GTEST_SKIP() << "no tar fixtures or tar.spi in this build";
        ASSERT_TRUE(CopyFileA(FixturePath("tar", "outer.tar").c_str(),
                              root.File("outer.tar").c_str(), FALSE));
        ASSERT_TRUE(CopyFileA(FixturePath("tar", "nested/inner.tar").c_str(),
                              root.File("inner.tar").c_str(), FALSE));
    }
    SpiDllFile* Tar(const std::string& name) {
        EXPECT_TRUE(CopyPlugin("tar" SPI_EXT, root.File(name)));
        SpiDllFile* plugin = new SpiDllFile;
        EXPECT_EQ(1, plugin->Load(root.path().c_str(), name.c_str()));
        return plugin;
    }
    int32_t Resolve(SpiFilesManage& set, const std::string& name, Stream& stream) {
        stream.SetFile(name.c_str(), 0);
        size_t entries = handleRefTable.Size();
        int32_t result = set.OpenPath(stream, 0);
        EXPECT_EQ(entries + (result == 1 ? 1 : 0), handleRefTable.Size()) << name;
        return result;
    }

    TempDir root;
    std::string tiny;
};

}  // namespace

TEST_F(TarPaths, OneLevel) {
    SpiFilesManage set;
    set.Add(Tar("tar" SPI_EXT));
    Stream stream;
    ASSERT_EQ(1, Resolve(set, root.File("inner.tar\\PICS\\tiny.bmp"), stream));
    EXPECT_STREQ("pics\\tiny.bmp", stream.GetName());
    EXPECT_EQ(tiny, stream.Bytes());

    Stream slashed;
    std::string name = root.File("inner.tar/pics/tiny.bmp");
    EXPECT_EQ(-1, Resolve(set, name, slashed)) << "the member is stored as pics\\tiny.bmp";
    EXPECT_EQ(0, slashed.IsMemory());
    Stream folderOnly;
    EXPECT_EQ(-1, Resolve(set, root.File("inner.tar\\pics"), folderOnly));
}

TEST_F(TarPaths, TwoLevelsInOnePassAndAcrossPasses) {
    const std::string name = root.File("outer.tar\\inner.tar\\pics\\tiny.bmp");
    {
        SpiFilesManage set;  // one plug-in: inner.tar is looked into by a second pass
        set.Add(Tar("tar" SPI_EXT));
        Stream stream;
        ASSERT_EQ(1, Resolve(set, name, stream));
        EXPECT_STREQ("pics\\tiny.bmp", stream.GetName());
        EXPECT_EQ(tiny, stream.Bytes());
    }
    {
        SpiFilesManage set;  // two: the second takes inner.tar in the same pass
        set.Add(Tar("tar" SPI_EXT));
        set.Add(Tar("tar2" SPI_EXT));
        Stream stream;
        ASSERT_EQ(1, Resolve(set, name, stream));
        EXPECT_EQ(tiny, stream.Bytes());
        Stream missing;
        EXPECT_EQ(-1, Resolve(set, root.File("outer.tar\\inner.tar\\pics\\none.bmp"), missing));
    }
}
