// spicheck.exe end to end: each defect plug-in makes exactly its own check
// fail (or warn) and nothing else, the correct builds pass everything, a
// plug-in that crashes everywhere still gets a full report, and the
// command line, JSON output and --save behave.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <thread>
#include <vector>

#include "test_support.h"

namespace {

// A 2x2 picture of the toy image format the defect plug-ins read: "DFI1",
// width, height, a reserved byte, three zero bytes, RGB rows top first.
std::string ToyPicture() {
    std::string header("DFI1\x02\x00\x02\x00\x00\x00\x00\x00", 12);
    std::string pixels;
    for (int i = 0; i < 12; ++i) pixels += static_cast<char>(0x10 * i + 1);
    return header + pixels;
}

void Put32(std::string* out, uint32_t v) {
    for (int i = 0; i < 4; ++i) out->push_back(static_cast<char>(v >> (8 * i)));
}

// The toy archive: "DFA1", a count, 32-byte names with sizes, then each
// member's size again and its bytes.
std::string ToyArchive(const std::vector<std::pair<std::string, std::string>>& members) {
    std::string out = "DFA1";
    Put32(&out, static_cast<uint32_t>(members.size()));
    for (const auto& m : members) {
        std::string name = m.first;
        name.resize(32, '\0');
        out += name;
        Put32(&out, static_cast<uint32_t>(m.second.size()));
    }
    for (const auto& m : members) {
        Put32(&out, static_cast<uint32_t>(m.second.size()));
        out += m.second;
    }
    return out;
}

const std::vector<std::pair<std::string, std::string>> kMembers = {
    {"alpha.txt", "hello alpha\n"}, {"beta.bin", std::string("\x00\x01\x02\xff", 4)}};

ProcessResult RunSpicheck(const std::vector<std::string>& args) {
    std::string line = "\"" + BinPath("spicheck.exe") + "\"";
    for (const std::string& arg : args) line += " \"" + arg + "\"";
    return RunProcess(line);
}

// The verdict of every check line ("PASS  check  file: reason"), by check.
std::map<std::string, std::string> Verdicts(const std::string& out) {
    std::map<std::string, std::string> verdicts;
    size_t start = 0;
    while (start < out.size()) {
        size_t end = out.find("\r\n", start);
        if (end == std::string::npos) end = out.size();
        std::string line = out.substr(start, end - start);
        start = end + 2;
        if (line.size() < 7 || line[4] != ' ' || line[5] != ' ') continue;
        std::string verdict = line.substr(0, 4);
        if (verdict != "PASS" && verdict != "WARN" && verdict != "FAIL") continue;
        size_t nameEnd = line.find_first_of(" :", 6);
        verdicts[line.substr(6, nameEnd - 6)] = verdict;
    }
    return verdicts;
}

class SpicheckTest : public testing::Test {
protected:
    void SetUp() override {
        picture_ = dir_.File("pic.dfi");
        archive_ = dir_.File("arc.dfa");
        ASSERT_TRUE(WriteBytes(picture_, ToyPicture()));
        ASSERT_TRUE(WriteBytes(archive_, ToyArchive(kMembers)));
    }
    // Few rounds: the toy files are tiny and the defects show at once.
    std::vector<std::string> Quick(const std::string& plugin, const std::string& file) {
        return {"--fuzz=8", "--rounds=20", BinPath(plugin), file};
    }

    TempDir dir_;
    std::string picture_, archive_;
};

struct Defect {
    const char* plugin;
    bool archive;
    const char* check;
    const char* verdict;
    const char* extra;  // one more option, or null
};

const Defect kDefects[] = {
    {"defect_version_unterminated.spi", false, "ident.version", "FAIL", nullptr},
    {"defect_version_unusual.spi", false, "ident.version", "WARN", nullptr},
    {"defect_about_unterminated.spi", false, "ident.about", "FAIL", nullptr},
    {"defect_filter_bad.spi", false, "ident.filters", "FAIL", nullptr},
    {"defect_info_overrun.spi", false, "ident.info-bounds", "FAIL", nullptr},
    {"defect_no_getpictureinfo.spi", false, "ident.exports", "FAIL", nullptr},
    {"defect_forms_disagree.spi", false, "probe.forms-agree", "FAIL", nullptr},
    {"defect_sample_overread.spi", false, "probe.sample-bounds", "FAIL", nullptr},
    {"defect_zero_accept.spi", false, "probe.zero-sample", "FAIL", nullptr},
    {"defect_info_memory_differs.spi", false, "picture.info-agree", "FAIL", nullptr},
    {"defect_info_height.spi", false, "picture.header", "FAIL", nullptr},
    {"defect_offset_ignored.spi", false, "picture.sources", "FAIL", nullptr},
    {"defect_short_bits.spi", false, "picture.blocks", "FAIL", nullptr},
    {"defect_bad_preview.spi", false, "picture.preview", "FAIL", nullptr},
    {"defect_comment_unterminated.spi", false, "picture.comment", "FAIL", nullptr},
    {"defect_null_callback.spi", false, "callback.null", "FAIL", nullptr},
    {"defect_progress_overrun.spi", false, "callback.progress", "FAIL", nullptr},
    {"defect_no_progress.spi", false, "callback.progress", "WARN", nullptr},
    {"defect_cancel_ignored.spi", false, "callback.cancel", "FAIL", nullptr},
    {"defect_cancel_leak.spi", false, "callback.cancel", "FAIL", nullptr},
    {"defect_trusts_length.spi", false, "robust.prefixes", "FAIL", nullptr},
    {"defect_fuzz_crash.spi", false, "robust.fuzz", "FAIL", "--fuzz=40"},
    {"defect_slow.spi", false, "robust.time", "FAIL", "--time-limit=300"},
    {"defect_leak.spi", false, "resource.leak", "FAIL", nullptr},
    {"defect_archive_list_memory_differs.spi", true, "archive.list-agree", "FAIL", nullptr},
    {"defect_archive_list_no_end.spi", true, "archive.list-end", "FAIL", nullptr},
    {"defect_archive_member_size.spi", true, "archive.extract-memory", "FAIL", nullptr},
    {"defect_archive_disk_differs.spi", true, "archive.extract-disk", "FAIL", nullptr},
    {"defect_archive_lookup_broken.spi", true, "archive.lookup", "FAIL", nullptr},
    {"defect_archive_cancel_ignored.spi", true, "callback.cancel", "FAIL", nullptr},
};

TEST_F(SpicheckTest, EachDefectFailsExactlyItsOwnCheck) {
    const size_t count = sizeof kDefects / sizeof kDefects[0];
    std::vector<ProcessResult> results(count);
    // Two runs at a time: each is its own process.
    auto worker = [&](size_t first) {
        for (size_t i = first; i < count; i += 2) {
            const Defect& d = kDefects[i];
            std::vector<std::string> args = Quick(d.plugin, d.archive ? archive_ : picture_);
            if (d.extra) args.insert(args.end() - 2, d.extra);  // after the defaults
            results[i] = RunSpicheck(args);
        }
    };
    std::thread second(worker, 1);
    worker(0);
    second.join();

    for (size_t i = 0; i < count; ++i) {
        const Defect& d = kDefects[i];
        SCOPED_TRACE(std::string(d.plugin) + "\n" + results[i].out);
        std::map<std::string, std::string> verdicts = Verdicts(results[i].out);
        EXPECT_EQ(d.verdict, verdicts[d.check]) << d.check;
        for (const auto& v : verdicts) {
            if (v.first != d.check) {
                EXPECT_EQ("PASS", v.second) << v.first;
            }
        }
        EXPECT_EQ(std::string(d.verdict) == "FAIL" ? 1u : 0u, results[i].status);
    }
}

TEST_F(SpicheckTest, CorrectPluginsPassEveryCheck) {
    ProcessResult image = RunSpicheck(Quick("defect_image.spi", picture_));
    EXPECT_EQ(0u, image.status) << image.out;
    EXPECT_NE(std::string::npos, image.out.find("\r\n21 passed, 0 warnings, 0 failed\r\n"))
        << image.out;

    ProcessResult archive = RunSpicheck(Quick("defect_archive.spi", archive_));
    EXPECT_EQ(0u, archive.status) << archive.out;
    EXPECT_NE(std::string::npos, archive.out.find("\r\n20 passed, 0 warnings, 0 failed\r\n"))
        << archive.out;
    for (const char* check : {"archive.list-agree", "archive.list-end", "archive.extract-memory",
                              "archive.extract-disk", "archive.lookup", "callback.progress",
                              "callback.null", "callback.cancel", "resource.leak"})
        EXPECT_EQ("PASS", Verdicts(archive.out)[check]) << check;
}

// Tens of thousands of calls in one run must not change how the plug-in
// sees the later files (each load of a module built with MinGW's C++
// runtime costs a kernel handle, and large handle values look like
// addresses to IsSupported).
TEST_F(SpicheckTest, ManyFilesInOneRunAreCheckedAlike) {
    std::vector<std::string> args = {"--fuzz=400", "--rounds=400", BinPath("defect_image.spi")};
    for (int i = 0; i < 24; ++i) args.push_back(picture_);
    ProcessResult r = RunSpicheck(args);
    EXPECT_EQ(0u, r.status);
    EXPECT_NE(std::string::npos, r.out.find("\r\n389 passed, 0 warnings, 0 failed\r\n"))
        << r.out;
}

TEST_F(SpicheckTest, PluginCrashingOnEveryCallGetsAFullReport) {
    ProcessResult r = RunSpicheck(Quick("defect_crash_all.spi", picture_));
    EXPECT_EQ(1u, r.status);
    std::map<std::string, std::string> verdicts = Verdicts(r.out);
    for (const char* check : {"probe.sample-bounds", "probe.forms-agree", "probe.zero-sample",
                              "picture.info-agree", "picture.header", "picture.sources",
                              "picture.preview", "robust.prefixes", "robust.fuzz"})
        EXPECT_EQ("FAIL", verdicts[check]) << check << "\n" << r.out;
    EXPECT_NE(std::string::npos, r.out.find("faulted (c0000005 at address 0x00000000)"));
    EXPECT_NE(std::string::npos, r.out.find("6 passed, 0 warnings, 9 failed\r\n")) << r.out;
}

TEST_F(SpicheckTest, CallThatNeverReturnsEndsTheRunWithAReport) {
    // The hang limit is ten times the time limit: one second here.
    ProcessResult r = RunSpicheck({"--time-limit=100", BinPath("defect_hang.spi"), picture_});
    EXPECT_EQ(1u, r.status);
    EXPECT_NE(std::string::npos,
              r.out.find("FAIL  robust.time  " + picture_ +
                         ": GetPictureInfo (file) did not return within 1000 ms; the run was "
                         "ended\r\n8 passed, 0 warnings, 1 failed\r\n"))
        << r.out;
}

TEST_F(SpicheckTest, CommandLineErrorsAndLoadFailuresExitWithTwo) {
    ProcessResult none = RunSpicheck({});
    EXPECT_EQ(2u, none.status);
    EXPECT_EQ(0u, none.err.find("spicheck: no plug-in named\r\nusage: spicheck [options]"))
        << none.err;

    ProcessResult unknown = RunSpicheck({"--frobnicate", BinPath("defect_image.spi")});
    EXPECT_EQ(2u, unknown.status);
    EXPECT_EQ(0u, unknown.err.find("spicheck: unknown option: --frobnicate\r\n")) << unknown.err;
    EXPECT_EQ("", unknown.out);

    ProcessResult badValue = RunSpicheck({"--fuzz=many", BinPath("defect_image.spi")});
    EXPECT_EQ(2u, badValue.status);
    EXPECT_EQ(0u, badValue.err.find("spicheck: bad value for --fuzz: many\r\n"));

    ProcessResult missing = RunSpicheck({dir_.File("absent.spi")});
    EXPECT_EQ(2u, missing.status);
    EXPECT_NE(std::string::npos, missing.err.find("cannot load")) << missing.err;

    // A module that is no image or archive plug-in.
    ProcessResult exporter = RunSpicheck({BinPath("spicheck.exe")});
    EXPECT_EQ(2u, exporter.status);
}

TEST_F(SpicheckTest, JsonReportHoldsTheSameResults) {
    ProcessResult r = RunSpicheck({"--json", BinPath("defect_filter_bad.spi")});
    EXPECT_EQ(1u, r.status);
    EXPECT_EQ(0u, r.out.find("{\r\n  \"plugin\": ")) << r.out;
    EXPECT_NE(std::string::npos, r.out.find("\"kind\": \"image\",\r\n  \"version\": \"00IN\""));
    EXPECT_NE(std::string::npos,
              r.out.find("{\"check\": \"ident.filters\", \"file\": \"\", \"status\": \"FAIL\", "
                         "\"reason\": \"filter 2: pattern \\\"dfi\\\" is not of the form "
                         "*.ext\"}"))
        << r.out;
    EXPECT_NE(std::string::npos, r.out.find("\"passed\": 4,\r\n  \"warnings\": 0,\r\n  "
                                            "\"failed\": 1\r\n}\r\n"))
        << r.out;
    EXPECT_EQ(std::string::npos, r.out.find("PASS  "));
}

TEST_F(SpicheckTest, SaveWritesTheDecodedPictureAndTheMembers) {
    std::string saved = dir_.File("saved");
    ProcessResult image = RunSpicheck({"--save=" + saved, "--fuzz=0", "--rounds=10",
                                       BinPath("defect_image.spi"), picture_});
    ASSERT_EQ(0u, image.status) << image.out;
    std::string bmp = ReadBytes(saved + "\\pic.dfi.bmp");
    // File header, BITMAPINFOHEADER, two rows of 2 BGR pixels padded to 8 bytes.
    ASSERT_EQ(14u + 40u + 16u, bmp.size());
    EXPECT_EQ("BM", bmp.substr(0, 2));
    // The bottom row comes first: the file's second row, RGB turned to BGR.
    EXPECT_EQ(std::string("\x81\x71\x61\xb1\xa1\x91\x00\x00", 8), bmp.substr(54, 8));
    EXPECT_EQ(std::string("\x21\x11\x01\x51\x41\x31\x00\x00", 8), bmp.substr(62, 8));

    ProcessResult archive = RunSpicheck({"--save=" + saved, "--fuzz=0", "--rounds=10",
                                         BinPath("defect_archive.spi"), archive_});
    ASSERT_EQ(0u, archive.status) << archive.out;
    for (const auto& m : kMembers) EXPECT_EQ(m.second, ReadBytes(saved + "\\" + m.first));
}

TEST_F(SpicheckTest, FuzzVariantsAreReproducibleFromTheSeed) {
    std::vector<std::string> args = {"--fuzz=40", "--seed=7", "--rounds=10",
                                     BinPath("defect_fuzz_crash.spi"), picture_};
    ProcessResult first = RunSpicheck(args);
    ProcessResult again = RunSpicheck(args);
    EXPECT_EQ(1u, first.status);
    size_t at = first.out.find("FAIL  robust.fuzz");
    ASSERT_NE(std::string::npos, at) << first.out;
    std::string line = first.out.substr(at, first.out.find("\r\n", at) - at);
    EXPECT_NE(std::string::npos, line.find(" of seed 7: GetPicture faulted")) << line;
    EXPECT_NE(std::string::npos, again.out.find(line));

    ProcessResult off = RunSpicheck({"--fuzz=0", "--rounds=10",
                                     BinPath("defect_fuzz_crash.spi"), picture_});
    EXPECT_EQ(0u, off.status);
    EXPECT_EQ(0u, Verdicts(off.out).count("robust.fuzz"));
}

// Every file of a fixtures folder with the extension, as full paths.
std::vector<std::string> Fixtures(const std::string& folder, const char* pattern) {
    std::vector<std::string> paths;
    WIN32_FIND_DATAA found;
    HANDLE find = FindFirstFileA((folder + pattern).c_str(), &found);
    if (find == INVALID_HANDLE_VALUE) return paths;
    do paths.push_back(folder + found.cFileName);
    while (FindNextFileA(find, &found));
    FindClose(find);
    return paths;
}

// The reference plug-ins, with the default rounds, on every file made by
// ImageMagick and GNU tar at build time (build/fixtures).
TEST(SpicheckReference, ReferencePluginsPassEveryCheck) {
    std::string fixtures = BinDir() + "..\\fixtures\\";
    std::vector<std::string> bmpArgs = Fixtures(fixtures + "bmp\\", "*.bmp");
    std::vector<std::string> tarArgs = Fixtures(fixtures + "tar\\", "*.tar");
    if (bmpArgs.empty() || tarArgs.empty() ||
        GetFileAttributesA(BinPath("bmp.spi").c_str()) == INVALID_FILE_ATTRIBUTES ||
        GetFileAttributesA(BinPath("tar.spi").c_str()) == INVALID_FILE_ATTRIBUTES)
        GTEST_SKIP() << "the reference plug-ins or their fixtures are not built";
    bmpArgs.insert(bmpArgs.begin(), BinPath("bmp.spi"));
    tarArgs.insert(tarArgs.begin(), BinPath("tar.spi"));

    ProcessResult tar;
    std::thread second([&] { tar = RunSpicheck(tarArgs); });
    ProcessResult bmp = RunSpicheck(bmpArgs);
    second.join();
    for (const ProcessResult* r : {&bmp, &tar}) {
        EXPECT_EQ(0u, r->status) << r->out;
        EXPECT_NE(std::string::npos, r->out.find(" passed, 0 warnings, 0 failed\r\n")) << r->out;
        for (const auto& v : Verdicts(r->out)) EXPECT_EQ("PASS", v.second) << v.first;
    }
}

}  // namespace
