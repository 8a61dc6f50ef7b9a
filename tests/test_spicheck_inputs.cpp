// spicheck.exe's command line beyond the checks: the usage and the
// version on request, and the files of a run found in folders and through
// wildcards, in a fixed order.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "test_support.h"

namespace {

// A 1x1 picture of the defect plug-ins' toy format.
const std::string kToyPicture("DFI1\x01\x00\x01\x00\x00\x00\x00\x00\x10\x20\x30", 15);

ProcessResult RunSpicheck(const std::vector<std::string>& args) {
    std::string line = "\"" + BinPath(SPICHECK_EXE) + "\"";
    for (const std::string& arg : args) line += " \"" + arg + "\"";
    return RunProcess(line);
}

// The files a run checked, in order: one probe.sample-bounds line each.
std::vector<std::string> FilesChecked(const std::string& out) {
    std::vector<std::string> files;
    const std::string mark = "  probe.sample-bounds  ";
    for (const std::string& line : Lines(out)) {
        size_t at = line.find(mark);
        if (at == 4) files.push_back(line.substr(at + mark.size(), line.size() - at - mark.size() - 1));
    }
    return files;
}

TEST(SpicheckCommandLine, HelpAndVersionGoToStandardOutput) {
    ProcessResult help = RunSpicheck({"--help"});
    EXPECT_EQ(0u, help.status);
    EXPECT_EQ(0u, help.out.find("usage: spicheck [options] PLUGIN [FILE...]\r\n")) << help.out;
    EXPECT_NE(std::string::npos, help.out.find("  --junit=FILE ")) << help.out;
    EXPECT_EQ("", help.err);
    // -h anywhere on the line, even before a plug-in that is not there.
    ProcessResult shortHelp = RunSpicheck({"absent.spi", "-h"});
    EXPECT_EQ(0u, shortHelp.status);
    EXPECT_EQ(help.out, shortHelp.out);

    ProcessResult version = RunSpicheck({"--version"});
    EXPECT_EQ(0u, version.status);
    EXPECT_EQ("spicheck 1.0\r\n", version.out);
    EXPECT_EQ("", version.err);
}

class SpicheckFiles : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(CreateDirectoryA(dir_.File("sub").c_str(), nullptr));
        ASSERT_TRUE(CreateDirectoryA(dir_.File("sub\\deeper").c_str(), nullptr));
        for (const char* name : {"b.dfi", "C.dfi", "a.dfi", "sub\\x.dfi", "sub\\deeper\\y.dfi"})
            ASSERT_TRUE(WriteBytes(dir_.File(name), kToyPicture));
        ASSERT_TRUE(WriteBytes(dir_.File("notes.txt"), "not a picture"));
    }
    ProcessResult Check(const std::string& input) {
        return RunSpicheck({"--fuzz=0", "--rounds=10", BinPath("defect_image" SPI_EXT), input});
    }
    TempDir dir_;
};

TEST_F(SpicheckFiles, FolderIsWalkedWithItsSubfoldersInNameOrder) {
    ProcessResult r = Check(dir_.path());
    EXPECT_EQ(0u, r.status) << r.out;
    std::vector<std::string> expected;
    for (const char* name : {"a.dfi", "b.dfi", "C.dfi", "notes.txt", "sub\\deeper\\y.dfi",
                             "sub\\x.dfi"})
        expected.push_back(dir_.File(name));
    EXPECT_EQ(expected, FilesChecked(r.out)) << r.out;
    // The one file the plug-in declines is one warning.
    EXPECT_NE(std::string::npos,
              r.out.find("WARN  probe.accepts  " + dir_.File("notes.txt") +
                         ": the plug-in declines this file; its other checks are skipped\r\n"));
    EXPECT_NE(std::string::npos, r.out.find(" passed, 1 warnings, 0 failed\r\n")) << r.out;
}

TEST_F(SpicheckFiles, WildcardsAreExpandedInTheLastPart) {
    ProcessResult r = Check(dir_.File("?.DFI"));
    EXPECT_EQ(0u, r.status) << r.out;
    EXPECT_EQ((std::vector<std::string>{dir_.File("a.dfi"), dir_.File("b.dfi"),
                                        dir_.File("C.dfi")}),
              FilesChecked(r.out));

    // A folder that matches is walked.
    ProcessResult folders = Check(dir_.File("s*"));
    EXPECT_EQ((std::vector<std::string>{dir_.File("sub\\deeper\\y.dfi"), dir_.File("sub\\x.dfi")}),
              FilesChecked(folders.out));

    // A pattern that matches nothing is checked as the name it is.
    std::string none = dir_.File("*.none");
    ProcessResult nothing = Check(none);
    EXPECT_EQ(1u, nothing.status);
    EXPECT_NE(std::string::npos,
              nothing.out.find("FAIL  file.read  " + none + ": cannot read the file (error "))
        << nothing.out;
}

}  // namespace
