// spicheck on a corpus of files: files checked side by side (-j) give the
// reports of files checked in turn, byte for byte; a plug-in that ends its
// worker on some files still gets every file's report; a run killed
// half-way and started again with --resume gives the report of a run that
// was not; the text report ends with the files that failed, by check.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "test_support.h"

namespace {

struct Outputs {
    ProcessResult run;
    std::string junit, html;
};

class SpicheckCorpus : public testing::Test {
protected:
    // Runs spicheck with the arguments, the JUnit file and the HTML page
    // written under `tag`, then the plug-in and the files.
    Outputs Check(const std::string& tag, std::vector<std::string> args, const std::string& plugin,
                  const std::vector<std::string>& files) {
        std::string junit = dir_.File(tag + ".xml"), html = dir_.File(tag + ".html");
        args.insert(args.begin(), {"--fuzz=8", "--rounds=20", "--junit=" + junit, "--html=" + html});
        args.push_back(plugin);
        args.insert(args.end(), files.begin(), files.end());
        std::string line = "\"" + BinPath(SPICHECK_EXE) + "\"";
        for (const std::string& arg : args) line += " \"" + arg + "\"";
        Outputs o;
        o.run = RunProcess(line, 600000);
        o.junit = ReadBytes(junit);
        o.html = ReadBytes(html);
        return o;
    }
    // count files in the folder `corpus` for the plug-in that ends its
    // worker on a file that begins with '!': every fourth, from the second.
    std::vector<std::string> MarkedCorpus(int count) {
        std::vector<std::string> files;
        CreateDirectoryA(dir_.File("corpus").c_str(), nullptr);
        for (int i = 0; i < count; ++i) {
            files.push_back(dir_.File("corpus\\f" + std::to_string(10 + i) + ".rft"));
            EXPECT_TRUE(WriteBytes(files.back(), i % 4 == 1 ? "!ends the worker" : "a picture"));
        }
        return files;
    }
    static void ExpectSame(const Outputs& a, const Outputs& b) {
        EXPECT_EQ(a.run.status, b.run.status);
        EXPECT_EQ(a.run.out, b.run.out);
        EXPECT_EQ(a.junit, b.junit);
        EXPECT_EQ(a.html, b.html);
    }
    TempDir dir_;
};

// Bitmaps of several kinds, one cut short and one that is no bitmap:
// passes, a warning and failures, pictures on the page, one batch each.
TEST_F(SpicheckCorpus, ReportsAreTheSameWhateverTheNumberOfWorkers) {
    std::vector<std::string> files;
    for (const char* name : {"info24", "td_info8", "v5_565", "rle8hand", "core1", "info4"})
        files.push_back(FixturePath("bmp", std::string(name) + ".bmp"));
    std::string cut = dir_.File("cut.bmp");
    ASSERT_TRUE(WriteBytes(cut, ReadBytes(files[0]).substr(0, 100)));
    std::string notes = dir_.File("notes.txt");
    ASSERT_TRUE(WriteBytes(notes, "not a picture"));
    files.insert(files.begin() + 2, cut);
    files.push_back(notes);
    const std::string plugin = BinPath("bmp" SPI_EXT);

    Outputs one = Check("one", {"-j", "1"}, plugin, files);
    ASSERT_GE(1u, one.run.status) << one.run.out;
    EXPECT_EQ("", one.run.err);
    Outputs two = Check("two", {"-j2"}, plugin, files);
    ExpectSame(one, two);
    Outputs three = Check("three", {"--jobs=3"}, plugin, files);
    ExpectSame(one, three);
    Outputs json1 = Check("json1", {"--json", "-j", "1"}, plugin, files);
    Outputs json2 = Check("json2", {"--json", "-j", "2"}, plugin, files);
    EXPECT_EQ(json1.run.out, json2.run.out);
    EXPECT_NE(std::string::npos, json1.run.out.find("\"failed\": ")) << json1.run.out;

    // The plug-in's own checks once, the files in the order named.
    const std::string& out = one.run.out;
    EXPECT_EQ(out.find("PASS  ident.version\r\n"), out.rfind("PASS  ident.version\r\n"));
    size_t at = 0;
    for (const std::string& file : files) {
        size_t next = out.find("  probe.sample-bounds  " + file, at);
        ASSERT_NE(std::string::npos, next) << file << "\n" << out;
        at = next;
    }
    // Each of the page's sections keeps its own file's pictures.
    EXPECT_NE(std::string::npos, one.html.find("<tr class=\"file\"><td class=\"name\"><a href=\"#f3\">"));
}

TEST_F(SpicheckCorpus, APluginEndingItsWorkerOnOneFileInFourGetsACompleteReport) {
    std::vector<std::string> files = MarkedCorpus(16);
    const std::string plugin = BinPath("runner_faults_marked" SPI_EXT);
    Outputs two = Check("two", {"-j", "2"}, plugin, files);
    const std::string& out = two.run.out;
    ASSERT_EQ(1u, two.run.status) << out;
    for (size_t i = 0; i < files.size(); ++i) {
        SCOPED_TRACE(files[i]);
        EXPECT_NE(std::string::npos, out.find("  robust.time  " + files[i])) << out;
        const std::string ended = "FAIL  picture.header  " + files[i] +
                                  ": GetPicture (file) ended the plug-in's process: exception "
                                  "c0000005";
        EXPECT_EQ(i % 4 == 1, out.find(ended) != std::string::npos) << out;
    }
    // The summary at the end names the first three files of each check.
    const std::string summary = "\r\nFiles that failed, by check:\r\n";
    size_t at = out.find(summary);
    ASSERT_NE(std::string::npos, at) << out;
    EXPECT_NE(std::string::npos,
              out.find("\r\n  picture.header: 4 files: " + files[1] + ", " + files[5] + ", " +
                           files[9] + " and 1 more\r\n",
                       at))
        << out.substr(at);
    ExpectSame(two, Check("one", {"-j", "1"}, plugin, files));
}

TEST_F(SpicheckCorpus, ARunKilledHalfWayAndResumedGivesTheReportOfOneThatWasNot) {
    MarkedCorpus(16);
    std::vector<std::string> files = {dir_.File("corpus")};
    const std::string plugin = BinPath("runner_faults_marked" SPI_EXT);
    const std::string journal = dir_.File("journal");
    Outputs whole = Check("whole", {"-j", "2"}, plugin, files);
    ASSERT_EQ(1u, whole.run.status) << whole.run.out;
    {
        ScopedEnv stop("SPICHECK_TEST_STOP_AFTER_BATCHES", "6");
        Outputs killed = Check("resumed", {"-j", "2", "--resume=" + journal}, plugin, files);
        ASSERT_EQ(9u, killed.run.status) << killed.run.out << killed.run.err;
    }
    Outputs resumed = Check("resumed", {"-j", "1", "--resume=" + journal}, plugin, files);
    ExpectSame(whole, resumed);
    EXPECT_EQ("spicheck: " + journal + ": 6 of 16 files were checked before; going on after "
              "them\r\n",
              resumed.run.err);
    // Once whole, the journal gives the run again without checking.
    Outputs again = Check("resumed", {"--resume=" + journal}, plugin, files);
    ExpectSame(whole, again);

    // Other arguments, files or another plug-in start afresh, and say why.
    Outputs seeded = Check("resumed", {"--seed=2", "--resume=" + journal}, plugin, files);
    EXPECT_NE(std::string::npos, seeded.run.err.find(": the arguments changed: starting afresh"))
        << seeded.run.err;
    ASSERT_TRUE(WriteBytes(dir_.File("corpus\\f99.rft"), "one more"));
    Outputs more = Check("resumed", {"--seed=2", "--resume=" + journal}, plugin, files);
    EXPECT_NE(std::string::npos, more.run.err.find(": the files named changed: starting afresh"))
        << more.run.err;
    // The same plug-in under another name is another argument.
    std::string copy = dir_.File("copy" SPI_EXT);
    ASSERT_TRUE(CopyFileA(plugin.c_str(), copy.c_str(), FALSE));
    Outputs first = Check("copy", {"--resume=" + journal}, copy, files);
    EXPECT_NE(std::string::npos, first.run.err.find(": the arguments changed")) << first.run.err;
    ASSERT_TRUE(WriteBytes(copy, ReadBytes(copy) + "x"));
    Outputs changed = Check("copy", {"--resume=" + journal}, copy, files);
    EXPECT_NE(std::string::npos,
              changed.run.err.find(": the plug-in changed (its size, time or contents): "
                                   "starting afresh"))
        << changed.run.err;
    EXPECT_EQ(first.run.out, changed.run.out);
}

TEST_F(SpicheckCorpus, InProcessRefusesWorkersSideBySide) {
    std::vector<std::string> files = MarkedCorpus(1);
    for (const char* option : {"-j2", "--resume=journal"}) {
        Outputs r = Check("in", {"--in-process", option}, BinPath("runner_faults" SPI_EXT), files);
        EXPECT_EQ(2u, r.run.status);
        EXPECT_NE(std::string::npos,
                  r.run.err.find(" needs workers: --in-process checks every file in spicheck's "
                                 "own process"))
            << r.run.err;
    }
    Outputs bad = Check("bad", {"-j", "0"}, BinPath("runner_faults" SPI_EXT), files);
    EXPECT_EQ(2u, bad.run.status);
    EXPECT_NE(std::string::npos, bad.run.err.find("bad value for -j (1 to 64): 0")) << bad.run.err;
}

}  // namespace
