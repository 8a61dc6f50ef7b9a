// spicheck.exe end to end: its table of checks is the README's, each check
// has a run (mostly a defect plug-in) that makes exactly that check fail
// or warn and nothing else, the correct builds pass every check, a plug-in
// that crashes everywhere still gets a full report, and the command line,
// JSON output and --save behave.
#include <windows.h>
#include <tlhelp32.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "check_table.h"
#include "remote_test_support.h"
#include "spi_dll_file.h"
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

// The toy picture's pixels: R, G, B, top row first.
std::string ToyPixels() { return ToyPicture().substr(12); }

// A 24-bit bitmap file of R, G, B pixels given top row first, stored
// bottom-up (or top-down, with a negative height).
std::string Bmp24(int32_t width, int32_t height, const std::string& rgb, bool topDown = false) {
    uint32_t stride = (width * 3 + 3) & ~3u;
    std::string pixels;
    for (int32_t i = 0; i < height; ++i) {
        int32_t y = topDown ? i : height - 1 - i;
        std::string row;
        for (int32_t x = 0; x < width; ++x) {
            const char* p = &rgb[(y * width + x) * 3];
            row += {p[2], p[1], p[0]};
        }
        row.resize(stride, '\0');
        pixels += row;
    }
    std::string out = "BM";
    Put32(&out, static_cast<uint32_t>(54 + pixels.size()));
    Put32(&out, 0);
    Put32(&out, 54);
    Put32(&out, 40);
    Put32(&out, static_cast<uint32_t>(width));
    Put32(&out, static_cast<uint32_t>(topDown ? -height : height));
    Put32(&out, 1 | 24 << 16);  // planes, bits per pixel
    for (int i = 0; i < 6; ++i) Put32(&out, i == 1 ? static_cast<uint32_t>(pixels.size()) : 0);
    return out + pixels;
}

// R, G, B pixels with the rows in reverse order, or red and blue exchanged.
std::string RowsReversed(const std::string& rgb, int32_t width) {
    std::string out;
    for (size_t at = rgb.size(); at > 0; at -= width * 3) out += rgb.substr(at - width * 3, width * 3);
    return out;
}
std::string RedBlueSwapped(std::string rgb) {
    for (size_t at = 0; at + 2 < rgb.size(); at += 3) std::swap(rgb[at], rgb[at + 2]);
    return rgb;
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

// A null pointer as spicheck prints an address: as wide as a pointer.
#if defined(_WIN64)
const char kNullAddress[] = "0x0000000000000000";
#else
const char kNullAddress[] = "0x00000000";
#endif

// A plug-in of build/bin by its name without the build's extension.
std::string Plugin(const std::string& name) { return BinPath(name + SPI_EXT); }

ProcessResult RunSpicheck(const std::vector<std::string>& args) {
    std::string line = "\"" + BinPath(SPICHECK_EXE) + "\"";
    for (const std::string& arg : args) line += " \"" + arg + "\"";
    return RunProcess(line);
}

struct ResultLine {
    std::string verdict;  // PASS, WARN or FAIL
    std::string check;
};

// Every check line of a text report ("PASS  check  file: reason").
std::vector<ResultLine> ResultLines(const std::string& out) {
    std::vector<ResultLine> lines;
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
        lines.push_back({verdict, line.substr(6, nameEnd - 6)});
    }
    return lines;
}

// The verdict of every check line, by check (of a one-file run).
std::map<std::string, std::string> Verdicts(const std::string& out) {
    std::map<std::string, std::string> verdicts;
    for (const ResultLine& line : ResultLines(out)) verdicts[line.check] = line.verdict;
    return verdicts;
}

// The summary line the report's check lines add up to.
std::string SummaryOf(const std::string& out) {
    int counts[3] = {};
    for (const ResultLine& line : ResultLines(out))
        ++counts[line.verdict == "PASS" ? 0 : line.verdict == "WARN" ? 1 : 2];
    char summary[80];
    snprintf(summary, sizeof summary, "\r\n%d passed, %d warnings, %d failed\r\n", counts[0],
             counts[1], counts[2]);
    return summary;
}

const CheckRow* FindCheck(const std::string& name) {
    for (size_t i = 0; i < kCheckCount; ++i)
        if (name == kChecks[i].name) return &kChecks[i];
    return nullptr;
}

// The checks a plug-in of the kind (and of the build's bitness) without a
// fault passes, in report order, when each file is one it accepts (files =
// 0: its own checks only) and no option asks for more. wide: it has the
// full set of wide exports.
std::vector<std::string> PassingChecks(unsigned kind, int files, bool wide = false) {
    std::vector<std::string> names;
    for (int pass = 0; pass <= files; ++pass)
        for (size_t i = 0; i < kCheckCount; ++i) {
            const CheckRow& row = kChecks[i];
            bool ofThePlugin = (row.traits & kOfThePlugin) != 0;
            if ((row.kinds & kind) && !(row.traits & (kNeverPasses | kNeedsOption)) &&
                ForThisBitness(row) && (wide || !(row.traits & kNeedsWideExports)) &&
                ofThePlugin == (pass == 0))
                names.push_back(row.name);
        }
    return names;
}

std::string CleanSummary(unsigned kind, int files, bool wide = false) {
    return "\r\n" + std::to_string(PassingChecks(kind, files, wide).size()) +
           " passed, 0 warnings, 0 failed\r\n";
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
        return {"--fuzz=8", "--rounds=20", Plugin(plugin), file};
    }
    // Writes bmp as the toy picture's reference; the --expect option for it.
    std::string ExpectOption(const std::string& bmp) {
        std::string folder = dir_.File("expect");
        CreateDirectoryA(folder.c_str(), nullptr);
        EXPECT_TRUE(WriteBytes(folder + "\\pic.dfi", bmp));
        return "--expect=" + folder;
    }

    TempDir dir_;
    std::string picture_, archive_;
};

// What a run checks besides the plug-in itself.
enum class Input { Picture, Archive, Missing };

// A run that makes exactly one check fail (or warn) and passes every other:
// a plug-in built with one defect, or a correct one on a file it cannot
// check.
struct Proof {
    const char* plugin;
    Input input;
    const char* check;
    const char* verdict;
    const char* extra;  // one more option, or null; "--expect": the toy picture's reference
};

const Proof kProofs[] = {
    {"defect_version_unterminated", Input::Picture, "ident.version", "FAIL", nullptr},
    {"defect_version_unusual", Input::Picture, "ident.version", "WARN", nullptr},
    {"defect_about_unterminated", Input::Picture, "ident.about", "FAIL", nullptr},
    {"defect_about_overrun", Input::Picture, "ident.about", "FAIL", nullptr},
    {"defect_filter_bad", Input::Picture, "ident.filters", "FAIL", nullptr},
    {"defect_info_overrun", Input::Picture, "ident.info-bounds", "FAIL", nullptr},
    {"defect_no_getpictureinfo", Input::Picture, "ident.exports", "FAIL", nullptr},
    {"defect_image", Input::Missing, "file.read", "FAIL", nullptr},
    {"defect_sample_overread", Input::Picture, "probe.sample-bounds", "FAIL", nullptr},
#if !defined(_WIN64)
    {"defect_forms_disagree", Input::Picture, "probe.forms-agree", "FAIL", nullptr},
#endif
    {"defect_zero_accept", Input::Picture, "probe.zero-sample", "FAIL", nullptr},
    {"defect_zero_by_name", Input::Picture, "probe.zero-sample", "WARN", nullptr},
    {"defect_image", Input::Archive, "probe.accepts", "WARN", nullptr},
#if defined(_WIN64)
    {"defect_probe_truncates", Input::Picture, "probe.low-address", "FAIL", nullptr},
    {"defect_picture_no_pad", Input::Picture, "picture.layout", "FAIL", nullptr},
#endif
    {"defect_info_memory_differs", Input::Picture, "picture.info-agree", "FAIL", nullptr},
    {"defect_picture_info_overrun", Input::Picture, "picture.info-agree", "FAIL", nullptr},
    {"defect_comment_unterminated", Input::Picture, "picture.comment", "FAIL", nullptr},
    {"defect_info_height", Input::Picture, "picture.header", "FAIL", nullptr},
    {"defect_short_bits", Input::Picture, "picture.blocks", "FAIL", nullptr},
    {"defect_header_rows", Input::Picture, "picture.blocks", "FAIL", nullptr},
    {"defect_header_size_image", Input::Picture, "picture.blocks", "FAIL", nullptr},
    {"defect_offset_ignored", Input::Picture, "picture.sources", "FAIL", nullptr},
    {"defect_bad_preview", Input::Picture, "picture.preview", "FAIL", nullptr},
    {"defect_rows_flipped", Input::Picture, "picture.reference", "FAIL", "--expect"},
    {"defect_red_blue_swapped", Input::Picture, "picture.reference", "FAIL", "--expect"},
#if defined(_WIN64)
    {"defect_archive_list_no_pad", Input::Archive, "archive.stride", "FAIL", nullptr},
    {"defect_archive_list_32bit_fields", Input::Archive, "archive.stride", "FAIL", nullptr},
#endif
    {"defect_archive_list_no_end", Input::Archive, "archive.list-end", "FAIL", nullptr},
    {"defect_archive_list_memory_differs", Input::Archive, "archive.list-agree", "FAIL",
     nullptr},
    {"defect_archive_member_size", Input::Archive, "archive.extract-memory", "FAIL",
     nullptr},
    {"defect_archive_no_memory_input", Input::Archive, "archive.list-agree", "WARN", nullptr},
    {"defect_archive_disk_differs", Input::Archive, "archive.extract-disk", "FAIL", nullptr},
    {"defect_archive_no_folder_output", Input::Archive, "archive.extract-disk", "WARN", nullptr},
    {"defect_archive_lookup_broken", Input::Archive, "archive.lookup", "FAIL", nullptr},
    {"defect_archive_lookup_overrun", Input::Archive, "archive.lookup", "FAIL", nullptr},
    {"defect_archive_wide_no_plugininfow", Input::Archive, "wide.exports", "WARN", nullptr},
    {"defect_wide_info_overrun", Input::Picture, "wide.info-bounds", "FAIL", nullptr},
    {"defect_wide_info_bytes", Input::Picture, "wide.info-bounds", "WARN", nullptr},
    {"defect_wide_differs", Input::Picture, "wide.agree", "FAIL", nullptr},
    {"defect_wide_names", Input::Picture, "wide.names", "FAIL", nullptr},
    {"defect_archive_wide_pairing", Input::Archive, "wide.pairing", "FAIL", nullptr},
    {"defect_progress_overrun", Input::Picture, "callback.progress", "FAIL", nullptr},
    {"defect_no_progress", Input::Picture, "callback.progress", "WARN", nullptr},
    {"defect_null_callback", Input::Picture, "callback.null", "FAIL", nullptr},
    {"defect_cancel_ignored", Input::Picture, "callback.cancel", "FAIL", nullptr},
    {"defect_cancel_leak", Input::Picture, "callback.cancel", "FAIL", nullptr},
    {"defect_archive_cancel_ignored", Input::Archive, "callback.cancel", "FAIL", nullptr},
    {"defect_leak", Input::Picture, "resource.leak", "FAIL", nullptr},
    {"defect_handle_leak", Input::Picture, "resource.handles", "FAIL", nullptr},
    {"defect_runtime_leak", Input::Picture, "resource.handles", "FAIL", nullptr},
    {"defect_trusts_length", Input::Picture, "robust.prefixes", "FAIL", nullptr},
    {"defect_fuzz_crash", Input::Picture, "robust.fuzz", "FAIL", "--fuzz=40"},
    {"defect_archive_keeps_state", Input::Archive, "robust.reload", "WARN", nullptr},
    {"defect_slow", Input::Picture, "robust.time", "FAIL", "--time-limit=300"},
};

// The plug-ins of the defect build that other tests run (names without
// the build's extension, as in kProofs).
const char* const kOtherDefectBuilds[] = {"defect_image", "defect_archive",
                                          "defect_wide", "defect_archive_wide",
                                          "defect_crash_all", "defect_hang",
                                          "defect_archive_hostile_names",
                                          "defect_hang_attach", "defect_hang_identify",
                                          "defect_hang_detach", "defect_no_memory_input",
                                          "defect_archive_no_output", "defect_wide_pad_garbage",
                                          "defect_archive_wide_method_garbage",
                                          "defect_probe_trusted", "defect_slow_variant"};

unsigned KindOf(const std::string& plugin) {
    return plugin.compare(0, 14, "defect_archive") == 0 ? kArchiveChecks : kImageChecks;
}

TEST_F(SpicheckTest, EachProofFailsExactlyItsOwnCheck) {
    const size_t count = sizeof kProofs / sizeof kProofs[0];
    std::vector<ProcessResult> results(count);
    const std::string expect = ExpectOption(Bmp24(2, 2, ToyPixels()));
    // Two runs at a time: each is its own process.
    auto worker = [&](size_t first) {
        for (size_t i = first; i < count; i += 2) {
            const Proof& p = kProofs[i];
            std::string file = p.input == Input::Picture   ? picture_
                               : p.input == Input::Archive ? archive_
                                                           : dir_.File("absent.dfi");
            std::vector<std::string> args = Quick(p.plugin, file);
            if (p.extra)  // after the defaults
                args.insert(args.end() - 2, p.extra == std::string("--expect") ? expect : p.extra);
            results[i] = RunSpicheck(args);
        }
    };
    std::thread second(worker, 1);
    worker(0);
    second.join();

    for (size_t i = 0; i < count; ++i) {
        const Proof& p = kProofs[i];
        SCOPED_TRACE(std::string(p.plugin) + "\n" + results[i].out);
        std::map<std::string, std::string> verdicts = Verdicts(results[i].out);
        EXPECT_EQ(p.verdict, verdicts[p.check]) << p.check;
        for (const auto& v : verdicts) {
            if (v.first != p.check) {
                EXPECT_EQ("PASS", v.second) << v.first;
            }
        }
        EXPECT_EQ(std::string(p.verdict) == "FAIL" ? 1u : 0u, results[i].status);
    }
}

// The table, the proofs and the defect builds fit together: every check has
// a run that fails it alone, every proof names a check of its plug-in's
// kind, and every defect plug-in built is run by some test.
TEST(SpicheckTable, EveryCheckHasItsProof) {
    std::set<std::string> proven;
    for (const Proof& p : kProofs) {
        const CheckRow* row = FindCheck(p.check);
        ASSERT_NE(nullptr, row) << p.check << " is no check of the table";
        EXPECT_NE(0u, row->kinds & KindOf(p.plugin)) << p.check << " does not apply to "
                                                     << p.plugin;
        proven.insert(p.check);
    }
    for (size_t i = 0; i < kCheckCount; ++i)
        EXPECT_EQ(ForThisBitness(kChecks[i]) ? 1u : 0u, proven.count(kChecks[i].name))
            << kChecks[i].name << (ForThisBitness(kChecks[i]) ? " has no proof"
                                                               : " is no check of this build");

    std::set<std::string> run(std::begin(kOtherDefectBuilds), std::end(kOtherDefectBuilds));
    for (const Proof& p : kProofs) run.insert(p.plugin);
    std::vector<std::string> built = NamesMatching(BinPath("defect_*" SPI_EXT));
    ASSERT_FALSE(built.empty());
    for (const std::string& file : built) {
        std::string name = file.substr(0, file.size() - strlen(SPI_EXT));
        EXPECT_EQ(1u, run.count(name)) << file << " is built but never run";
    }
}

#if defined(_WIN64)
// The record layouts and the support check only an x64 plug-in can get
// wrong, named by what was seen: the list's stride and the record that
// has it, hInfo's top byte left as filled, the sample's low bits.
TEST_F(SpicheckTest, X64LayoutFaultsNameWhatWasSeen) {
    struct Seen {
        const char* plugin;
        const std::string& file;
        const char* check;
        std::vector<std::string> reason;  // in this order in the line
    };
    const Seen runs[] = {
        {"defect_archive_list_no_pad", archive_, "archive.stride",
         {": the list from the file: its 1332-byte block holds 3 records 444 bytes apart (the "
          "last the end record), not 448: the x64 record without its 4-byte pad\r\n"}},
        {"defect_archive_list_32bit_fields", archive_, "archive.stride",
         {": the list from the file: its 1284-byte block holds 3 records 428 bytes apart (the "
          "last the end record), not 448: the 32-bit record, its four numbers 4 bytes each\r\n"}},
        {"defect_picture_no_pad", picture_, "picture.layout",
         {": GetPictureInfo from the file: hInfo's top byte is still 0x7f (hInfo 0x7f7f",
          "): the record has no pad, 30 bytes with hInfo written at offset 22 (0x"}},
        {"defect_probe_truncates", picture_, "probe.low-address",
         {": the sample at 0x", " is declined (answer 0), at 0x",
          " accepted (answer 1): its low 32 bits, 0x800, are taken for a file handle\r\n"}},
    };
    for (const Seen& run : runs) {
        ProcessResult r =
            RunSpicheck({"--fuzz=0", "--rounds=10", Plugin(run.plugin), run.file});
        SCOPED_TRACE(std::string(run.plugin) + "\n" + r.out);
        size_t at = r.out.find(std::string("FAIL  ") + run.check + "  " + run.file);
        ASSERT_NE(std::string::npos, at);
        for (const std::string& part : run.reason) {
            at = r.out.find(part, at);
            ASSERT_NE(std::string::npos, at) << part;
        }
    }
}

// A host that reads a 30-byte record as the x64 one would take the low
// bytes of the handle written at offset 22 for hInfo: the library hands on
// a null hInfo instead.
TEST_F(SpicheckTest, LibraryHandsOnNoHInfoFromARecordWithoutThePad) {
    SpiDllFile plugin;
    ASSERT_EQ(1, plugin.Load(nullptr, Plugin("defect_picture_no_pad").c_str()));
    PictureInfo info;
    memset(&info, 0x55, sizeof info);
    ASSERT_EQ(0, plugin.GetPictureInfo(picture_.c_str(), 0, SPI_INPUT_FILE, &info));
    EXPECT_EQ(2, info.width);
    EXPECT_EQ(24, info.colorDepth);
    EXPECT_EQ(nullptr, info.hInfo);

    // From the correct build the comment comes through.
    SpiDllFile correct;
    ASSERT_EQ(1, correct.Load(nullptr, Plugin("defect_image").c_str()));
    ASSERT_EQ(0, correct.GetPictureInfo(picture_.c_str(), 0, SPI_INPUT_FILE, &info));
    ASSERT_NE(nullptr, info.hInfo);
    EXPECT_EQ(11u, LocalSize(info.hInfo));
    LocalFree(info.hInfo);
}
#endif

// README.md's table of checks: "| `name` | kinds | question |" rows after
// its heading row.
struct ReadmeRow {
    std::string name, kinds, question;
};

std::vector<ReadmeRow> ReadmeChecks() {
    std::vector<ReadmeRow> rows;
    std::string text = ReadBytes(SPICHECK_README);
    size_t at = text.find("\n| check | applies to | what it asks |\n|---|---|---|\n");
    if (at == std::string::npos) return rows;
    at = text.find("|---|", at);
    at = text.find('\n', at) + 1;
    while (at < text.size() && text[at] == '|') {
        size_t end = text.find('\n', at);
        std::string line = text.substr(at, end - at);
        at = end == std::string::npos ? text.size() : end + 1;
        std::vector<std::string> cells;
        for (size_t from = 2; from < line.size();) {
            size_t bar = line.find(" | ", from);
            if (bar == std::string::npos) bar = line.size() - 2;  // before the last " |"
            cells.push_back(line.substr(from, bar - from));
            from = bar + 3;
        }
        if (cells.size() != 3) continue;
        std::string name = cells[0];
        if (name.size() > 2 && name.front() == '`' && name.back() == '`')
            name = name.substr(1, name.size() - 2);
        rows.push_back({name, cells[1], cells[2]});
    }
    return rows;
}

TEST(SpicheckTable, IsTheReadmeTable) {
    std::vector<ReadmeRow> readme = ReadmeChecks();
    ASSERT_EQ(kCheckCount, readme.size()) << "rows of the table in " << SPICHECK_README;
    for (size_t i = 0; i < kCheckCount; ++i) {
        const CheckRow& row = kChecks[i];
        const char* kinds = row.kinds == kEveryKind     ? "image, archive"
                            : row.kinds == kImageChecks ? "image"
                                                        : "archive";
        EXPECT_EQ(row.name, readme[i].name) << "row " << i + 1;
        EXPECT_EQ(kinds, readme[i].kinds) << row.name;
        EXPECT_EQ(row.question, readme[i].question) << row.name;
    }
}

TEST_F(SpicheckTest, CorrectPluginsPassEveryCheck) {
    struct Clean {
        const char* plugin;
        unsigned kind;
        const std::string& file;
        bool wide;
    };
    for (const Clean& c : {Clean{"defect_image", kImageChecks, picture_, false},
                           Clean{"defect_archive", kArchiveChecks, archive_, false},
                           Clean{"defect_wide", kImageChecks, picture_, true},
                           Clean{"defect_archive_wide", kArchiveChecks, archive_, true}}) {
        ProcessResult r = RunSpicheck(Quick(c.plugin, c.file));
        SCOPED_TRACE(std::string(c.plugin) + "\n" + r.out);
        EXPECT_EQ(0u, r.status);
        std::vector<std::string> expected = PassingChecks(c.kind, 1, c.wide);
        std::vector<std::string> seen;
        for (const ResultLine& line : ResultLines(r.out)) {
            EXPECT_EQ("PASS", line.verdict) << line.check;
            seen.push_back(line.check);
        }
        EXPECT_EQ(expected, seen);
        EXPECT_NE(std::string::npos, r.out.find(CleanSummary(c.kind, 1, c.wide)));
    }
}

// A fault the plug-in catches itself never reaches the library's guard and
// is no fault: the probe that answers 0 after one and the decode that
// refuses with 8 after one pass every check. A real fault behind a caught
// one is reported with its own code and address.
TEST_F(SpicheckTest, FaultsAPluginCatchesItselfAreNoFaults) {
    for (const char* plugin : {"selfcatch_probe", "selfcatch_decode"}) {
        ProcessResult r = RunSpicheck(Quick(plugin, picture_));
        SCOPED_TRACE(std::string(plugin) + "\n" + r.out);
        EXPECT_EQ(0u, r.status);
        for (const ResultLine& line : ResultLines(r.out)) EXPECT_EQ("PASS", line.verdict);
        EXPECT_NE(std::string::npos, r.out.find(CleanSummary(kImageChecks, 1)));
    }

    std::vector<std::string> args = Quick("selfcatch_fuzz_crash", picture_);
    args.insert(args.end() - 2, "--fuzz=40");  // after the defaults
    ProcessResult r = RunSpicheck(args);
    EXPECT_EQ(1u, r.status);
    std::map<std::string, std::string> verdicts = Verdicts(r.out);
    for (const auto& v : verdicts) EXPECT_EQ(v.first == "robust.fuzz" ? "FAIL" : "PASS", v.second);
    size_t at = r.out.find("FAIL  robust.fuzz");
    ASSERT_NE(std::string::npos, at) << r.out;
    std::string line = r.out.substr(at, r.out.find("\r\n", at) - at);
    EXPECT_NE(std::string::npos, line.find(std::string(": GetPicture faulted (c0000005 at address ") +
                                          kNullAddress + ")"))
        << line;
}

// The wide checks' verdicts say what was seen: the values that differ, the
// unit the plug-in counts buflen in, the exports it has and lacks, the
// member the wide lookup misses, the copy under a name outside the code
// page that the plug-in cannot open.
TEST_F(SpicheckTest, WideFaultsNameWhatWasSeen) {
    struct Seen {
        const char* plugin;
        const std::string& file;
        std::string line;  // the start of the result line
    };
    const Seen runs[] = {
        {"defect_wide_differs", picture_,
         "FAIL  wide.agree  " + picture_ + ": GetPictureInfoW gives height 3, GetPictureInfo 2\r\n"},
        {"defect_wide_info_bytes", picture_,
         "WARN  wide.info-bounds: GetPluginInfoW counts buflen in bytes: given 8 WCHARs for the "
         "25-character about text it writes 3 and the terminator (hosts pass a count of "
         "WCHARs)\r\n"},
        {"defect_wide_info_overrun", picture_,
         "FAIL  wide.info-bounds: GetPluginInfoW(0) with a 1-WCHAR buffer writes WCHAR 1\r\n"},
        {"defect_archive_wide_no_plugininfow", archive_,
         "WARN  wide.exports: of the wide exports of an archive plug-in it has IsSupportedW, "
         "GetArchiveInfoW, GetFileInfoW, GetFileW and lacks GetPluginInfoW\r\n"},
        {"defect_archive_wide_pairing", archive_,
         "FAIL  wide.pairing  " + archive_ + ": \"alpha.txt\": GetFileInfoW returned 8\r\n"},
        {"defect_wide_names", picture_, "FAIL  wide.names  " + picture_ + ": GetPictureInfoW on "
                                        "the copy "},
    };
    for (const Seen& run : runs) {
        ProcessResult r = RunSpicheck({"--fuzz=0", "--rounds=10", Plugin(run.plugin), run.file});
        SCOPED_TRACE(std::string(run.plugin) + "\n" + r.out);
        EXPECT_NE(std::string::npos, r.out.find("\r\n" + run.line));
    }
    // The plug-ins without wide exports get no wide row at all.
    ProcessResult plain = RunSpicheck(Quick("defect_image", picture_));
    EXPECT_EQ(std::string::npos, plain.out.find("  wide.")) << plain.out;
}

std::string Utf8(const std::wstring& wide) {
    int n = WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), nullptr,
                                0, nullptr, nullptr);
    std::string out(n, '\0');
    if (n)
        WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), &out[0], n,
                            nullptr, nullptr);
    return out;
}

// A name as a JSON string of spicheck's: printable ASCII as it is, the
// rest \uXXXX.
std::string JsonOf(const std::wstring& name) {
    std::string out = "\"";
    for (wchar_t c : name) {
        char escape[8];
        if (c == L'\\' || c == L'"')
            out += std::string("\\") + static_cast<char>(c);
        else if (c >= 0x20 && c < 0x7F)
            out += static_cast<char>(c);
        else
            out += (snprintf(escape, sizeof escape, "\\u%04x", static_cast<unsigned>(c)), escape);
    }
    return out + "\"";
}

// spicheck with a wide command line, each argument quoted.
ProcessResult RunSpicheckWide(const std::vector<std::wstring>& args) {
    std::wstring line = L"\"" + Wide(BinPath(SPICHECK_EXE)) + L"\"";
    for (const std::wstring& arg : args) line += L" \"" + arg + L"\"";
    return RunProcessW(line, 120000);
}

// Outside code pages 932 (the u with diaeresis) and 1252 (the Greek
// letters): no ANSI spelling under either.
const wchar_t kWideName[] = L"\x03A9\x03BC-M\x00FCller";

// A file named outside the ANSI code page on spicheck's command line, in a
// worker and in process, by its name and through a folder of such a name:
// it reaches every check whole (the ANSI calls through a name of their
// own), the wide ones included, and the report shows the name in UTF-8 and
// the JSON document as \u escapes.
TEST_F(SpicheckTest, AFileNamedOutsideTheCodePageReachesEveryCheck) {
    std::wstring folder = Wide(dir_.path()) + L"\\Ordner-\x03A9";
    ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
    std::wstring path = folder + L"\\" + kWideName + L".dfi";
    ASSERT_TRUE(CopyFileW(Wide(picture_).c_str(), path.c_str(), FALSE));
    const std::wstring plugin = Wide(Plugin("defect_wide"));
    const std::vector<std::string> expected = PassingChecks(kImageChecks, 1, true);

    for (const std::wstring& mode : {std::wstring(L"--fuzz=8"), std::wstring(L"--in-process")}) {
        for (const std::wstring& named : {path, folder}) {
            ProcessResult r = RunSpicheckWide({L"--rounds=20", mode, plugin, named});
            SCOPED_TRACE(Utf8(mode + L" " + named) + "\n" + r.out + r.err);
            EXPECT_EQ(0u, r.status);
            std::vector<std::string> seen;
            for (const ResultLine& line : ResultLines(r.out)) {
                EXPECT_EQ("PASS", line.verdict) << line.check;
                seen.push_back(line.check);
            }
            EXPECT_EQ(expected, seen);
            EXPECT_NE(std::string::npos, r.out.find("\r\nPASS  wide.names  " + Utf8(path) + "\r\n"));
        }
    }
    ProcessResult json = RunSpicheckWide({L"--json", L"--fuzz=8", L"--rounds=20", plugin, path});
    EXPECT_EQ(0u, json.status);
    EXPECT_NE(std::string::npos,
              json.out.find("{\"check\": \"wide.agree\", \"file\": " + JsonOf(path) +
                            ", \"status\": \"PASS\""))
        << json.out;
}

// Tens of thousands of calls in one run must not change how the plug-in
// sees the later files (each load of a module built with MinGW's C++
// runtime costs a kernel handle, and large handle values look like
// addresses to IsSupported).
TEST_F(SpicheckTest, ManyFilesInOneRunAreCheckedAlike) {
    std::vector<std::string> args = {"--fuzz=400", "--rounds=400", Plugin("defect_image")};
    for (int i = 0; i < 24; ++i) args.push_back(picture_);
    ProcessResult r = RunSpicheck(args);
    EXPECT_EQ(0u, r.status);
    EXPECT_NE(std::string::npos, r.out.find(CleanSummary(kImageChecks, 24))) << r.out;
}

TEST_F(SpicheckTest, PluginCrashingOnEveryCallGetsAFullReport) {
    ProcessResult r = RunSpicheck(Quick("defect_crash_all", picture_));
    EXPECT_EQ(1u, r.status);
    std::map<std::string, std::string> verdicts = Verdicts(r.out);
    for (const char* check : {"probe.sample-bounds", "probe.forms-agree", "probe.zero-sample",
                              "picture.info-agree", "picture.header", "picture.sources",
                              "picture.preview", "robust.prefixes", "robust.fuzz"})
        if (ForThisBitness(*FindCheck(check))) {
            EXPECT_EQ("FAIL", verdicts[check]) << check << "\n" << r.out;
        }
    for (const auto& v : verdicts) {
        ASSERT_NE(nullptr, FindCheck(v.first));
        if (v.second != "FAIL") {
            EXPECT_EQ("PASS", v.second) << v.first;
        }
    }
    EXPECT_NE(std::string::npos, r.out.find(std::string("faulted (c0000005 at address ") + kNullAddress + ")"));
    EXPECT_NE(std::string::npos, r.out.find(SummaryOf(r.out))) << r.out;
}

TEST_F(SpicheckTest, InProcessACallThatNeverReturnsEndsTheRunWithAReport) {
    // The hang limit is ten times the time limit: one second here.
    ProcessResult r =
        RunSpicheck({"--in-process", "--time-limit=100", Plugin("defect_hang"), picture_});
    EXPECT_EQ(1u, r.status);
    EXPECT_NE(std::string::npos,
              r.out.find("FAIL  robust.time  " + picture_ +
                         ": GetPictureInfo (file) did not return within 1000 ms; the run was "
                         "ended" + SummaryOf(r.out)))
        << r.out;
}

std::string LineOf(const std::string& out, const std::string& check);

// Names of the check lines, in report order.
std::vector<std::string> CheckNames(const std::string& out) {
    std::vector<std::string> names;
    for (const ResultLine& line : ResultLines(out)) names.push_back(line.check);
    return names;
}

// A report that went on after a fault: every check of the run without it
// is there, and none twice. (A check that a fault ended is there as well,
// though without the fault it may have had nothing to ask.)
void ExpectComplete(const std::string& without, const std::string& with) {
    std::vector<std::string> names = CheckNames(with);
    std::set<std::string> seen(names.begin(), names.end());
    EXPECT_EQ(names.size(), seen.size()) << "a check twice";
    for (const std::string& check : CheckNames(without))
        EXPECT_EQ(1u, seen.count(check)) << check << " is missing";
}

// In a process of its own (the default), a call that never returns costs
// the check that made it; a fresh process goes on with the next check.
TEST_F(SpicheckTest, ACallThatNeverReturnsCostsOnlyItsCheck) {
    ProcessResult r = RunSpicheck({"--time-limit=100", "--fuzz=8", "--rounds=20",
                                   Plugin("defect_hang"), picture_});
    EXPECT_EQ(1u, r.status);
    EXPECT_NE(std::string::npos,
              r.out.find("  " + picture_ +
                         ": GetPictureInfo (file) did not return within 1000 ms; the plug-in's "
                         "process was ended\r\n"))
        << r.out;
    // The fresh worker's calls were all quick; the one that never returned
    // still fails the file's time check.
    EXPECT_EQ("FAIL  robust.time  " + picture_ +
                  ": GetPictureInfo (file) did not return within 1000 ms (limit 100 ms)",
              LineOf(r.out, "robust.time"));
    ProcessResult all = RunSpicheck({"--in-process", "--fuzz=8", "--rounds=20",
                                     Plugin("defect_image"), picture_});
    ExpectComplete(all.out, r.out);
    EXPECT_NE(std::string::npos, r.out.find(SummaryOf(r.out))) << r.out;
}

// Loading, identification and release run the plug-in's code too: a hang
// in DllMain, in GetPluginInfo while the plug-in is identified or in its
// detach ends the run at the hang limit with a report.
TEST_F(SpicheckTest, HangWhileLoadingOrReleasingEndsTheRunWithAReport) {
    struct Hang {
        const char* plugin;
        const char* label;
    };
    const Hang hangs[] = {{"defect_hang_attach", "loading and identification"},
                          {"defect_hang_identify", "loading and identification"}};
    for (const Hang& h : hangs) {
        DWORD start = GetTickCount();
        ProcessResult r = RunSpicheck({"--time-limit=100", Plugin(h.plugin), picture_});
        DWORD ms = GetTickCount() - start;
        SCOPED_TRACE(std::string(h.plugin) + "\n" + r.out);
        EXPECT_EQ(1u, r.status);
        EXPECT_EQ("spicheck: " + Plugin(h.plugin) + ", not identified\r\nFAIL  robust.time: " +
                      h.label + " did not return within 1000 ms; the run was ended\r\n"
                      "0 passed, 0 warnings, 1 failed\r\n",
                  r.out);
        // The hang limit, plus the watchdog's poll and a process start.
        EXPECT_LT(ms, 6000u);
    }

    // The plug-in is kept loaded: its detach runs where the module is
    // released, for the loads of resource.handles and robust.reload and at
    // the end of the run, which belongs to no file.
    ProcessResult r = RunSpicheck({"--time-limit=100", "--fuzz=8", "--rounds=20",
                                   Plugin("defect_hang_detach"), picture_});
    EXPECT_EQ(1u, r.status);
    EXPECT_EQ("FAIL  resource.handles  " + picture_ +
                  ": release (to load it again) did not return within 1000 ms; the plug-in's "
                  "process was ended",
              LineOf(r.out, "resource.handles"))
        << r.out;
    EXPECT_NE(std::string::npos,
              r.out.find("\r\nFAIL  robust.time: release did not return within 1000 ms; the "
                         "plug-in's process was ended" + SummaryOf(r.out)))
        << r.out;
}

// A worker whose end does not take (a process Wine leaves half-ended, an
// unkillable one on Windows: simulated by the variable the supervisor
// reads) is given up after the grace: the check gets one FAIL, a fresh
// worker goes on, and the run ends, complete, within the hang limit plus
// the grace per hung call. The file's robust.time fails with the call too.
TEST_F(SpicheckTest, AWorkerThatCannotBeEndedIsGivenUp) {
    SetEnvironmentVariableA("SPICHECK_TEST_WORKER_IGNORES_END", "1");
    DWORD start = GetTickCount();
    ProcessResult r = RunSpicheck({"--time-limit=100", "--fuzz=8", "--rounds=20",
                                   Plugin("defect_hang"), picture_});
    DWORD ms = GetTickCount() - start;
    SetEnvironmentVariableA("SPICHECK_TEST_WORKER_IGNORES_END", nullptr);
    EXPECT_EQ(1u, r.status);
    const std::string given = "  " + picture_ + ": the plug-in's process could not be ended after "
                              "GetPictureInfo (file) did not return within 1000 ms\r\n";
    size_t hung = 0;
    for (size_t at = r.out.find(given); at != std::string::npos; at = r.out.find(given, at + 1))
        ++hung;
    EXPECT_LE(1u, hung) << r.out;
    EXPECT_EQ(std::string::npos, r.out.find("was ended")) << r.out;
    EXPECT_NE(std::string::npos,
              r.out.find("FAIL  robust.time  " + picture_ +
                         ": GetPictureInfo (file) did not return within 1000 ms (limit 100 ms)"))
        << r.out;
    ProcessResult all = RunSpicheck({"--in-process", "--fuzz=8", "--rounds=20",
                                     Plugin("defect_image"), picture_});
    ExpectComplete(all.out, r.out);
    EXPECT_NE(std::string::npos, r.out.find(SummaryOf(r.out))) << r.out;
    // Per hung call: the hang limit, the grace of 2 s, a worker start.
    EXPECT_LT(ms, hung * (1000 + 2000 + 1500) + 8000) << hung << " hung calls";
}

// A worker that ends before it reaches the plug-in (Wine can fail to start
// a process on a busy machine, without a word: simulated by the variable
// the worker reads) is started again, and the run is as without it. One
// that never starts ends the run, saying why; it is never silent.
TEST_F(SpicheckTest, AWorkerThatFailsToStartIsStartedAgain) {
    std::string marker = dir_.File("fails-once");
    ASSERT_TRUE(WriteBytes(marker, "x"));
    SetEnvironmentVariableA("SPICHECK_TEST_WORKER_START_FAILS", marker.c_str());
    ProcessResult once = RunSpicheck(Quick("defect_image", picture_));
    SetEnvironmentVariableA("SPICHECK_TEST_WORKER_START_FAILS", "always");
    ProcessResult never = RunSpicheck(Quick("defect_image", picture_));
    SetEnvironmentVariableA("SPICHECK_TEST_WORKER_START_FAILS", nullptr);
    ProcessResult plain = RunSpicheck(Quick("defect_image", picture_));
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesA(marker.c_str()));
    EXPECT_EQ(plain.status, once.status);
    EXPECT_EQ(plain.out, once.out);
    EXPECT_EQ("", once.err);

    EXPECT_EQ(2u, never.status);
    EXPECT_EQ("", never.out);
    EXPECT_NE(std::string::npos,
              never.err.find("ended with exit code 0xC0000001 before it reached the plug-in, 3 "
                             "times in a row; the run ends here\r\n"))
        << never.err;
}

// Bytes that are no part of a value (a row's padding, what follows a
// terminated text) change from call to call in these plug-ins: their
// verdicts are all passes, the same in every run, in a worker and in
// process.
TEST_F(SpicheckTest, VerdictsDoNotChangeFromRunToRun) {
    struct Run {
        const char* plugin;
        const std::string& file;
    };
    for (const Run& run : {Run{"defect_wide_pad_garbage", picture_},
                           Run{"defect_archive_wide_method_garbage", archive_}}) {
        for (const char* mode : {"--fuzz=8", "--in-process"}) {
            std::string first;
            for (int i = 0; i < 4; ++i) {
                std::vector<std::string> args = Quick(run.plugin, run.file);
                args.insert(args.begin(), mode);
                ProcessResult r = RunSpicheck(args);
                SCOPED_TRACE(std::string(run.plugin) + " " + mode + " run " +
                             std::to_string(i + 1) + "\n" + r.out);
                EXPECT_EQ(0u, r.status);
                for (const auto& v : Verdicts(r.out)) EXPECT_EQ("PASS", v.second) << v.first;
                if (i == 0) first = r.out;
                EXPECT_EQ(first, r.out);
            }
        }
    }
}

// A form of a call the API lets a plug-in leave out, answered with -1, is
// a warning naming the form, and the checks that need it are left out; a
// plug-in that leaves out every form of extraction fails.
TEST_F(SpicheckTest, FormsLeftOutAreWarningsUnlessAllAre) {
    ProcessResult image = RunSpicheck(Quick("defect_no_memory_input", picture_));
    SCOPED_TRACE(image.out);
    EXPECT_EQ(0u, image.status);
    EXPECT_EQ("WARN  picture.info-agree  " + picture_ +
                  ": input from memory is not implemented (GetPictureInfo from memory returned -1)",
              LineOf(image.out, "picture.info-agree"));
    EXPECT_EQ("WARN  picture.sources  " + picture_ +
                  ": input from memory is not implemented (GetPicture returned -1)",
              LineOf(image.out, "picture.sources"));
    std::map<std::string, std::string> verdicts = Verdicts(image.out);
    for (const char* left : {"callback.null", "callback.cancel", "resource.leak", "resource.handles"})
        EXPECT_EQ(0u, verdicts.count(left)) << left;
    // The JUnit file says why they were left out, in a worker and in process.
    for (const char* mode : {"--fuzz=8", "--in-process"}) {
        std::string junit = dir_.File(std::string("junit") + (mode[2] == 'f' ? "1" : "2") + ".xml");
        std::vector<std::string> args = Quick("defect_no_memory_input", picture_);
        args.insert(args.begin(), {mode, "--junit=" + junit});
        RunSpicheck(args);
        std::string xml = ReadBytes(junit);
        for (const char* left : {"callback.null", "callback.cancel", "resource.leak",
                                 "resource.handles"}) {
            size_t at = xml.find(std::string("name=\"") + left + "\"");
            ASSERT_NE(std::string::npos, at) << left << "\n" << xml;
            EXPECT_EQ(xml.find("<skipped message=\"left out: the plug-in does not implement "
                               "input from memory (it returned -1)\"/>", at),
                      xml.find("<skipped", at))
                << left << "\n" << xml;
            EXPECT_LT(xml.find("<skipped", at), xml.find("</testcase>", at)) << left;
        }
    }

    ProcessResult archive = RunSpicheck(Quick("defect_archive_no_memory_input", archive_));
    EXPECT_EQ("WARN  archive.list-agree  " + archive_ +
                  ": input from memory is not implemented (GetArchiveInfo from memory returned "
                  "-1); the checks that need it are left out",
              LineOf(archive.out, "archive.list-agree"))
        << archive.out;
    ProcessResult folder = RunSpicheck(Quick("defect_archive_no_folder_output", archive_));
    EXPECT_EQ("WARN  archive.extract-disk  " + archive_ +
                  ": output to a folder is not implemented (GetFile to a folder returned -1)",
              LineOf(folder.out, "archive.extract-disk"))
        << folder.out;

    ProcessResult none = RunSpicheck(Quick("defect_archive_no_output", archive_));
    EXPECT_EQ(1u, none.status);
    EXPECT_EQ("FAIL  archive.extract-memory  " + archive_ +
                  ": alpha.txt: GetFile returned -1; to a folder as well: GetFile declines every "
                  "output",
              LineOf(none.out, "archive.extract-memory"))
        << none.out;
    EXPECT_EQ("FAIL  archive.extract-disk  " + archive_ +
                  ": alpha.txt: GetFile to a folder returned -1, to memory as well: GetFile "
                  "declines every output",
              LineOf(none.out, "archive.extract-disk"))
        << none.out;
}

// What a plug-in's author needs to repeat a failure: the variant or prefix
// that made a call slow, the variant itself as a file (--save-variant),
// a fault on input IsSupported had declined said to be so, the name that
// made zeros acceptable, the state kept between calls, the GCC runtime
// behind a handle per load.
TEST_F(SpicheckTest, FailuresNameWhatRepeatsThem) {
    ProcessResult slow = RunSpicheck({"--time-limit=300", "--fuzz=40", "--rounds=10",
                                      Plugin("defect_slow_variant"), picture_});
    std::string line = LineOf(slow.out, "robust.time");
    const std::string head = "FAIL  robust.time  " + picture_ + ": GetPictureInfo (variant ";
    ASSERT_EQ(0u, line.find(head)) << slow.out;
    int variant = atoi(line.c_str() + head.size());
    EXPECT_NE(std::string::npos, line.find(" of seed 1) took ")) << line;
    std::string saved = dir_.File("variants");
    ProcessResult save = RunSpicheck({"--save=" + saved, "--save-variant=" + std::to_string(variant),
                                      Plugin("defect_slow_variant"), picture_});
    EXPECT_EQ(0u, save.status) << save.err;
    std::string path = saved + "\\pic-variant-" + std::to_string(variant) + "-seed-1.dfi";
    EXPECT_EQ(path + "\r\n", save.out);
    std::string bytes = ReadBytes(path);
    ASSERT_EQ(ToyPicture().size(), bytes.size());
    EXPECT_NE(0, bytes[8]) << "the variant is not the one that was slow";

    ProcessResult trusted = RunSpicheck({"--fuzz=40", "--rounds=10",
                                         Plugin("defect_probe_trusted"), picture_});
    line = LineOf(trusted.out, "robust.fuzz");
    EXPECT_EQ(0u, line.find("FAIL  robust.fuzz  " + picture_ + ": variant ")) << trusted.out;
    EXPECT_NE(std::string::npos,
              line.find(": GetPictureInfo faulted (c0000005 at address " + std::string(kNullAddress) +
                        "); IsSupported had declined it ("))
        << line;

    ProcessResult named = RunSpicheck(Quick("defect_zero_by_name", picture_));
    EXPECT_EQ("WARN  probe.zero-sample  " + picture_ +
                  ": 2048 zero bytes are declined under the name zeros.spicheck but accepted "
                  "(answer 1) under the file's own name: the name decided it, not the data",
              LineOf(named.out, "probe.zero-sample"));
    ProcessResult zeros = RunSpicheck(Quick("defect_zero_accept", picture_));
    EXPECT_EQ("FAIL  probe.zero-sample  " + picture_ +
                  ": 2048 zero bytes are accepted (answer 1) under the name zeros.spicheck, whose "
                  "extension the plug-in does not list",
              LineOf(zeros.out, "probe.zero-sample"));

    for (const char* mode : {"--fuzz=8", "--in-process"}) {
        std::vector<std::string> args = Quick("defect_archive_keeps_state", archive_);
        args.insert(args.begin(), mode);
        ProcessResult kept = RunSpicheck(args);
        EXPECT_EQ("WARN  robust.reload  " + archive_ +
                      ": with the module unloaded and loaded again between GetArchiveInfo and "
                      "GetFile, member \"alpha.txt\": GetFile returned 6, kept loaded it returned "
                      "0 (2 of 2 members differ): hosts that load a plug-in around each call will "
                      "see this",
                  LineOf(kept.out, "robust.reload"))
            << kept.out;
    }

    ProcessResult runtime = RunSpicheck(Quick("defect_runtime_leak", picture_));
    EXPECT_NE(std::string::npos,
              LineOf(runtime.out, "resource.handles")
                  .find(" handles per load (", 0) == std::string::npos
              ? std::string::npos
              : LineOf(runtime.out, "resource.handles")
                    .find(" loads and releases), typical of a DLL that links libgcc's unwinder "
                          "statically; see the README"))
        << runtime.out;
}

TEST_F(SpicheckTest, CommandLineErrorsAndLoadFailuresExitWithTwo) {
    ProcessResult none = RunSpicheck({});
    EXPECT_EQ(2u, none.status);
    EXPECT_EQ(0u, none.err.find("spicheck: no plug-in named\r\nusage: spicheck [options]"))
        << none.err;

    ProcessResult unknown = RunSpicheck({"--frobnicate", Plugin("defect_image")});
    EXPECT_EQ(2u, unknown.status);
    EXPECT_EQ(0u, unknown.err.find("spicheck: unknown option: --frobnicate\r\n")) << unknown.err;
    EXPECT_EQ("", unknown.out);

    ProcessResult badValue = RunSpicheck({"--fuzz=many", Plugin("defect_image")});
    EXPECT_EQ(2u, badValue.status);
    EXPECT_EQ(0u, badValue.err.find("spicheck: bad value for --fuzz: many\r\n"));
    ProcessResult badTolerance = RunSpicheck({"--tolerance=256", Plugin("defect_image")});
    EXPECT_EQ(2u, badTolerance.status);
    EXPECT_EQ(0u, badTolerance.err.find("spicheck: bad value for --tolerance (0 to 255): 256\r\n"))
        << badTolerance.err;

    ProcessResult missing = RunSpicheck({dir_.File("absent.spi")});
    EXPECT_EQ(2u, missing.status);
    EXPECT_NE(std::string::npos, missing.err.find("cannot load")) << missing.err;

    // A module that is no image or archive plug-in.
    ProcessResult exporter = RunSpicheck({BinPath(SPICHECK_EXE)});
    EXPECT_EQ(2u, exporter.status);
}

TEST_F(SpicheckTest, JsonReportHoldsTheSameResults) {
    ProcessResult r = RunSpicheck({"--json", Plugin("defect_filter_bad")});
    EXPECT_EQ(1u, r.status);
    EXPECT_EQ(0u, r.out.find("{\r\n  \"plugin\": ")) << r.out;
    EXPECT_NE(std::string::npos, r.out.find("\"kind\": \"image\",\r\n  \"version\": \"00IN\""));
    EXPECT_NE(std::string::npos,
              r.out.find("{\"check\": \"ident.filters\", \"file\": \"\", \"status\": \"FAIL\", "
                         "\"reason\": \"filter 2: pattern \\\"dfi\\\" is not of the form "
                         "*.ext\"}"))
        << r.out;
    // No file: the plug-in's own checks, one of them failed.
    std::string counts = "\"passed\": " +
                         std::to_string(PassingChecks(kImageChecks, 0).size() - 1) +
                         ",\r\n  \"warnings\": 0,\r\n  \"failed\": 1\r\n}\r\n";
    EXPECT_NE(std::string::npos, r.out.find(counts)) << r.out;
    EXPECT_EQ(std::string::npos, r.out.find("PASS  "));
}

TEST_F(SpicheckTest, SaveWritesTheDecodedPictureAndTheMembers) {
    std::string saved = dir_.File("saved");
    ProcessResult image = RunSpicheck({"--save=" + saved, "--fuzz=0", "--rounds=10",
                                       Plugin("defect_image"), picture_});
    ASSERT_EQ(0u, image.status) << image.out;
    std::string bmp = ReadBytes(saved + "\\pic.dfi.bmp");
    // File header, BITMAPINFOHEADER, two rows of 2 BGR pixels padded to 8 bytes.
    ASSERT_EQ(14u + 40u + 16u, bmp.size());
    EXPECT_EQ("BM", bmp.substr(0, 2));
    // The bottom row comes first: the file's second row, RGB turned to BGR.
    EXPECT_EQ(std::string("\x81\x71\x61\xb1\xa1\x91\x00\x00", 8), bmp.substr(54, 8));
    EXPECT_EQ(std::string("\x21\x11\x01\x51\x41\x31\x00\x00", 8), bmp.substr(62, 8));

    ProcessResult archive = RunSpicheck({"--save=" + saved, "--fuzz=0", "--rounds=10",
                                         Plugin("defect_archive"), archive_});
    ASSERT_EQ(0u, archive.status) << archive.out;
    for (const auto& m : kMembers) EXPECT_EQ(m.second, ReadBytes(saved + "\\" + m.first));
}

// Every file under folder, as paths relative to it.
void ListTree(const std::string& folder, const std::string& prefix, std::set<std::string>* out) {
    for (const std::string& name : NamesMatching(folder + "\\*")) {
        if (name.back() == '\\')
            ListTree(folder + "\\" + name.substr(0, name.size() - 1), prefix + name, out);
        else
            out->insert(prefix + name);
    }
}

// Members named to lead out of the folder, to devices, with refused
// characters or alike once made safe: each is saved inside the folder under
// a plain name, and the first renamed one is named in a warning.
TEST_F(SpicheckTest, SaveKeepsEveryMemberInsideTheFolder) {
    std::vector<std::pair<std::string, std::string>> members;
    for (int i = 0; i < 7; ++i) members.push_back({"m" + std::to_string(i), "data " + std::to_string(i)});
    std::string archive = dir_.File("hostile.dfa");
    ASSERT_TRUE(WriteBytes(archive, ToyArchive(members)));
    ASSERT_TRUE(CreateDirectoryA(dir_.File("a").c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryA(dir_.File("a\\b").c_str(), nullptr));
    std::string root = dir_.path().substr(0, 3);
    DeleteFileA((root + "drive.txt").c_str());
    DeleteFileA((root + "rooted.txt").c_str());
    DeleteFileA("C:\\drive.txt");

    ProcessResult r = RunSpicheck({"--save=" + dir_.File("a\\b\\saved"), "--fuzz=0", "--rounds=10",
                                   Plugin("defect_archive_hostile_names"), archive});
    EXPECT_NE(std::string::npos,
              r.out.find("WARN  archive.extract-memory  " + archive +
                         ": member \"..\\..\\escaped.txt\" saved as \"escaped.txt\"\r\n"))
        << r.out;
    EXPECT_NE(std::string::npos, r.out.find(SummaryOf(r.out))) << r.out;

    std::set<std::string> files;
    ListTree(dir_.path(), "", &files);
    std::set<std::string> expected = {"arc.dfa", "hostile.dfa", "pic.dfi"};
    for (const char* saved : {"escaped.txt", "drive.txt", "rooted.txt", "_NUL", "a_b__c.txt",
                              "twin.txt", "twin-2.txt"})
        expected.insert(std::string("a\\b\\saved\\") + saved);
    EXPECT_EQ(expected, files);
    EXPECT_EQ("data 0", ReadBytes(dir_.File("a\\b\\saved\\escaped.txt")));
    EXPECT_EQ("data 6", ReadBytes(dir_.File("a\\b\\saved\\twin-2.txt")));
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesA((root + "rooted.txt").c_str()));
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesA("C:\\drive.txt"));
}

// The line of a report with the verdict of check (on any file), without
// its line end; empty when there is none.
std::string LineOf(const std::string& out, const std::string& check) {
    for (const char* verdict : {"PASS  ", "WARN  ", "FAIL  "}) {
        size_t at = out.find(verdict + check + "  ");
        if (at != std::string::npos) return out.substr(at, out.find("\r\n", at) - at);
    }
    return std::string();
}

// What picture.reference says of the toy picture against references that
// differ in each way it tells apart, and of references it cannot use.
TEST_F(SpicheckTest, ReferenceNamesTheFirstDifferenceAndHowThePictureDiffers) {
    const std::string pixels = ToyPixels();
    const std::string upsideDown = RowsReversed(pixels, 2);
    std::string offByThree = pixels;
    offByThree[10] = static_cast<char>(offByThree[10] + 3);  // green of pixel 1,1
    struct Case {
        const char* plugin;
        std::string reference;
        const char* tolerance;
        std::string line;  // after "picture.reference  <file>"
    };
    const Case cases[] = {
        {"defect_image", Bmp24(2, 2, pixels), nullptr, ""},
        {"defect_image", Bmp24(2, 2, pixels, true), nullptr, ""},
        {"defect_rows_flipped", Bmp24(2, 2, pixels), nullptr,
         ": pixel 0,0 (from the top left) is #617181, the reference #011121; the picture is "
         "upside down"},
        {"defect_red_blue_swapped", Bmp24(2, 2, pixels), nullptr,
         ": pixel 0,0 (from the top left) is #211101, the reference #011121; the picture has red "
         "and blue swapped"},
        {"defect_image", Bmp24(2, 2, RedBlueSwapped(upsideDown)), nullptr,
         ": pixel 0,0 (from the top left) is #011121, the reference #817161; the picture is "
         "upside down, with red and blue swapped"},
        {"defect_image", Bmp24(2, 2, offByThree), "--tolerance=2",
         ": pixel 1,1 (from the top left) is #91a1b1, the reference #91a4b1 (tolerance 2)"},
        {"defect_image", Bmp24(2, 2, offByThree), "--tolerance=3", ""},
        {"defect_image", Bmp24(2, 1, pixels.substr(0, 6)), nullptr,
         ": the picture is 2x2, the reference 2x1"},
        {"defect_image", "not a bitmap", nullptr,
         ": the reference " + dir_.File("expect\\pic.dfi") + ": it is no bitmap file"},
        {"defect_image", Bmp24(2, 2, pixels).substr(0, 66), nullptr,
         ": the reference " + dir_.File("expect\\pic.dfi") +
             ": the pixels take 16 bytes; 12 are there"},
    };
    for (const Case& c : cases) {
        std::vector<std::string> args = {"--fuzz=0", "--rounds=10", ExpectOption(c.reference),
                                         Plugin(c.plugin), picture_};
        if (c.tolerance) args.insert(args.begin(), c.tolerance);
        ProcessResult r = RunSpicheck(args);
        SCOPED_TRACE(std::string(c.plugin) + (c.tolerance ? c.tolerance : "") + "\n" + r.out);
        std::string verdict = c.line.empty() ? "PASS" : "FAIL";
        EXPECT_EQ(verdict + "  picture.reference  " + picture_ + c.line,
                  LineOf(r.out, "picture.reference"));
        EXPECT_EQ(c.line.empty() ? 0u : 1u, r.status);
    }

    // No reference of that name: a warning, and the run passes.
    std::string folder = dir_.File("elsewhere");
    ASSERT_TRUE(CreateDirectoryA(folder.c_str(), nullptr));
    ProcessResult none = RunSpicheck(
        {"--fuzz=0", "--rounds=10", "--expect=" + folder, Plugin("defect_image"), picture_});
    EXPECT_EQ("WARN  picture.reference  " + picture_ + ": there is no reference picture " +
                  folder + "\\pic.dfi",
              LineOf(none.out, "picture.reference"))
        << none.out;
    EXPECT_EQ(0u, none.status);
}

TEST_F(SpicheckTest, FuzzVariantsAreReproducibleFromTheSeed) {
    std::vector<std::string> args = {"--fuzz=40", "--seed=7", "--rounds=10",
                                     Plugin("defect_fuzz_crash"), picture_};
    ProcessResult first = RunSpicheck(args);
    ProcessResult again = RunSpicheck(args);
    EXPECT_EQ(1u, first.status);
    size_t at = first.out.find("FAIL  robust.fuzz");
    ASSERT_NE(std::string::npos, at) << first.out;
    std::string line = first.out.substr(at, first.out.find("\r\n", at) - at);
    EXPECT_NE(std::string::npos, line.find(" of seed 7: GetPicture faulted")) << line;
    EXPECT_NE(std::string::npos, again.out.find(line));

    ProcessResult off = RunSpicheck({"--fuzz=0", "--rounds=10",
                                     Plugin("defect_fuzz_crash"), picture_});
    EXPECT_EQ(0u, off.status);
    EXPECT_EQ(0u, Verdicts(off.out).count("robust.fuzz"));
}

// Every file of a fixtures folder with the extension, as full paths.
std::vector<std::string> Fixtures(const std::string& folder, const char* pattern) {
    std::vector<std::string> paths;
    for (const std::string& name : NamesMatching(folder + pattern)) paths.push_back(folder + name);
    return paths;
}

// The reference plug-ins, with the default rounds, on every file made by
// ImageMagick and GNU tar at build time (build/fixtures).
// What no guard in a process can survive, a process of its own does: each
// is one FAIL of each check that makes the call, with what happened, and
// the report has every check once, as for the plug-in without the fault.
TEST(SpicheckWorkers, FaultsNoGuardCatchesCostOneCheckEach) {
    TempDir dir;
    std::string file = dir.File("a.rft");
    ASSERT_TRUE(WriteBytes(file, "x"));
    auto run = [&](const std::string& plugin, const char* mode) {
        std::vector<std::string> args = {"--time-limit=100", "--fuzz=8", "--rounds=20",
                                         BinPath(plugin + SPI_EXT), file};
        if (mode) args.insert(args.begin(), mode);
        return RunSpicheck(args);
    };
    ProcessResult clean = run("runner_faults", "--in-process");
    ASSERT_EQ(1u, clean.status) << clean.out;  // it takes 2048 zero bytes
    struct Fault {
        const char* plugin;
        std::string reason;  // of picture.header, the first check to decode
        bool endsTheProcess = true;
    };
    const std::string call = "  " + file + ": GetPicture (file) ";
    const Fault faults[] = {
        {"runner_faults_exit", call + "ended the plug-in's process with exit code 0x2A"},
        {"runner_faults_hang",
         call + "did not return within 1000 ms; the plug-in's process was ended"},
        {"runner_faults_heap", "  " + file +
                                   ": a heap of the plug-in's process was found damaged "
                                   "(HeapValidate) after GetPicture (file)"},
        {"runner_faults_thread", call + "ended the plug-in's process: exception c0000005 at "
                                        "address " + kNullAddress + ", which no guard caught"},
#if defined(_WIN64)
        // The x64 guard catches a GCC C++ exception as the exception it is,
        // as in process: the checks that need the decode are left out.
        {"runner_faults_throw", "  " + file + ": GetPicture from the file faulted (20474343)",
         false},
#else
        {"runner_faults_throw",
         call + "ended the plug-in's process with exit code 0x3 (as abort does, after an "
                "uncaught C++ exception)"},
#endif
    };
    for (const Fault& fault : faults) {
        ProcessResult r = run(fault.plugin, nullptr);
        SCOPED_TRACE(std::string(fault.plugin) + "\n" + r.out);
        EXPECT_EQ(1u, r.status);
        EXPECT_NE(std::string::npos, r.out.find("FAIL  picture.header" + fault.reason + "\r\n"));
        if (fault.endsTheProcess) ExpectComplete(clean.out, r.out);
        EXPECT_NE(std::string::npos, r.out.find(SummaryOf(r.out)));
        EXPECT_EQ("", r.err);
    }
}

// The worker's standard output and error go nowhere: a plug-in that writes
// there does not garble the report. The first line says how it ran.
TEST(SpicheckWorkers, TheReportSaysHowThePluginRanAndHoldsNothingElse) {
    TempDir dir;
    std::string file = dir.File("a.rft");
    ASSERT_TRUE(WriteBytes(file, "x"));
    std::string plugin = BinPath("runner_faults_console" SPI_EXT);
    ProcessResult r = RunSpicheck({"--fuzz=8", "--rounds=20", plugin, file});
    EXPECT_EQ(0u, r.out.find("spicheck: " + plugin + ", image plug-in, " +
                             std::to_string(8 * sizeof(void*)) +
                             "-bit, in a process of its own, kept loaded between calls\r\n"))
        << r.out;
    EXPECT_EQ(std::string::npos, r.out.find("runner_faults:")) << r.out;
    EXPECT_EQ(std::string::npos, r.out.find("raw")) << r.out;
    EXPECT_EQ("", r.err);
    for (const std::string& line : Lines(r.out))
        EXPECT_TRUE(line.empty() || line.compare(0, 4, "spic") == 0 || line[4] == ' ' ||
                    line.find(" passed, ") != std::string::npos)
            << line;

    ProcessResult json = RunSpicheck({"--json", "--fuzz=8", "--rounds=20", plugin, file});
    EXPECT_NE(std::string::npos, json.out.find("\"version\": \"00IN\",\r\n  \"bits\": " +
                                               std::to_string(8 * sizeof(void*)) +
                                               ",\r\n  \"in_process\": false,\r\n"))
        << json.out;
}

// In process, what no guard catches ends spicheck's own process: the
// report so far is completed with the check that was running and the
// summary, or the JSON document is whole; the status is 3. A plug-in of the
// other bitness is named as such, with the program that checks it.
TEST(SpicheckInProcess, APluginThatEndsTheProcessGetsAReportAndStatusThree) {
    TempDir dir;
    std::string file = dir.File("a.rft");
    ASSERT_TRUE(WriteBytes(file, "x"));
    const std::string ended = ": the plug-in ended spicheck's own process; run without "
                              "--in-process to isolate it\r\n";
    for (const char* plugin : {"runner_faults_heap", "runner_faults_thread"}) {
        std::vector<std::string> args = {"--in-process", "--time-limit=100", "--fuzz=8",
                                         "--rounds=20", BinPath(std::string(plugin) + SPI_EXT),
                                         file};
        ProcessResult r = RunSpicheck(args);
        SCOPED_TRACE(std::string(plugin) + "\n" + r.out + r.err);
        EXPECT_EQ(3u, r.status);
        size_t at = r.out.find("\r\nFAIL  picture.header  " + file + ": exception c0000005, which "
                               "no guard caught, after GetPicture (");
        ASSERT_NE(std::string::npos, at);
        EXPECT_EQ(r.out.find(ended, at) + ended.size(), r.out.size() - SummaryOf(r.out).size() + 2);

        args.insert(args.begin(), "--json");
        ProcessResult json = RunSpicheck(args);
        EXPECT_EQ(3u, json.status);
        EXPECT_EQ(0u, json.out.find("{\r\n  \"plugin\": ")) << json.out;
        EXPECT_NE(std::string::npos,
                  json.out.find("{\"check\": \"picture.header\", \"file\": " + JsonOf(Wide(file)) +
                                ", \"status\": \"FAIL\", \"reason\": \"exception c0000005"))
            << json.out;
        size_t tail = json.out.find("\r\n  ],\r\n  \"passed\": ");
        ASSERT_NE(std::string::npos, tail) << json.out;
        EXPECT_EQ(json.out.size() - 5, json.out.find("\r\n}\r\n", tail)) << json.out;
    }

    const int other = sizeof(void*) == 8 ? 32 : 64;
    std::string plugin = PluginOfBits("bmp", other);
    if (GetFileAttributesA(plugin.c_str()) == INVALID_FILE_ATTRIBUTES) return;
    ProcessResult r = RunSpicheck({"--in-process", plugin});
    EXPECT_EQ(2u, r.status);
    EXPECT_NE(std::string::npos,
              r.err.find("it is a " + std::to_string(other) + "-bit plug-in; " +
                         (other == 64 ? "spicheck64.exe" : "spicheck.exe") +
                         " checks it with --in-process, and without --in-process spicheck "
                         "starts a worker of its bitness\r\n"))
        << r.err;
}

// The processes alive now.
std::set<DWORD> LiveProcesses() {
    std::set<DWORD> ids;
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) return ids;
    PROCESSENTRY32 entry;
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32First(snapshot, &entry); more; more = Process32Next(snapshot, &entry))
        ids.insert(entry.th32ProcessID);
    CloseHandle(snapshot);
    return ids;
}

// spicheck processes the process `parent` started that are still alive
// (Wine may start a console host beside a worker). Those alive before it
// started (`before`) are not counted: a process an earlier run left behind
// can name a parent whose id the system has given again.
int ChildrenOf(DWORD parent, const std::set<DWORD>& before) {
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) return -1;
    PROCESSENTRY32 entry;
    entry.dwSize = sizeof entry;
    int count = 0;
    for (BOOL more = Process32First(snapshot, &entry); more; more = Process32Next(snapshot, &entry))
        if (entry.th32ParentProcessID == parent && !before.count(entry.th32ProcessID) &&
            _strnicmp(entry.szExeFile, "spicheck", 8) == 0)
            ++count;
    CloseHandle(snapshot);
    return count;
}

// A spicheck killed while its worker hangs in the plug-in takes the worker
// along.
TEST(SpicheckWorkers, AKilledSpicheckTakesItsWorkerAlong) {
    TempDir dir;
    std::string file = dir.File("a.rft");
    ASSERT_TRUE(WriteBytes(file, "x"));
    std::string line = "\"" + BinPath(SPICHECK_EXE) + "\" --time-limit=60000 \"" +
                       BinPath("runner_faults_hang" SPI_EXT) + "\" \"" + file + "\"";
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info = {};
    const std::set<DWORD> before = LiveProcesses();
    ASSERT_TRUE(CreateProcessA(nullptr, &line[0], nullptr, nullptr, FALSE, CREATE_NO_WINDOW,
                               nullptr, nullptr, &startup, &info));
    int workers = 0;
    for (int waited = 0; waited < 100 && workers == 0; ++waited) {
        Sleep(50);
        workers = ChildrenOf(info.dwProcessId, before);
    }
    EXPECT_EQ(1, workers) << "no worker seen";
    Sleep(2000);  // well into the call that hangs
    TerminateProcess(info.hProcess, 9);
    WaitForSingleObject(info.hProcess, INFINITE);
    for (int waited = 0; waited < 100 && workers > 0; ++waited) {
        Sleep(50);
        workers = ChildrenOf(info.dwProcessId, before);
    }
    EXPECT_EQ(0, workers) << "the worker outlived its spicheck";
    CloseHandle(info.hThread);
    CloseHandle(info.hProcess);
}

// Either build checks a plug-in of the other bitness, in a worker of that
// bitness, with the same results as that bitness's own spicheck.
TEST(SpicheckWorkers, ChecksAPluginOfTheOtherBitness) {
    const int other = sizeof(void*) == 8 ? 32 : 64;
    SKIP_UNLESS_MACHINE_RUNS(other);
    std::string plugin = PluginOfBits("bmp", other);
    std::string file = FixturePath("bmp", "info8.bmp");
    ProcessResult r = RunSpicheck({"--fuzz=8", "--rounds=20", plugin, file});
    EXPECT_EQ(0u, r.status) << r.out;
    EXPECT_EQ(0u, r.out.find("spicheck: " + plugin + ", image plug-in, " + std::to_string(other) +
                             "-bit, in a process of its own, kept loaded between calls\r\n"))
        << r.out;
    std::string own = BinPath(other == 64 ? "spicheck64.exe" : "spicheck.exe");
    ProcessResult there = RunProcess("\"" + own + "\" --in-process --fuzz=8 --rounds=20 \"" +
                                     plugin + "\" \"" + file + "\"");
    EXPECT_EQ(CheckNames(there.out), CheckNames(r.out));
    EXPECT_NE(std::string::npos, r.out.find(SummaryOf(there.out))) << there.out;
}

TEST(SpicheckReference, ReferencePluginsPassEveryCheck) {
    std::string fixtures = BinDir() + "..\\fixtures\\";
    std::vector<std::string> bmpArgs = Fixtures(fixtures + "bmp\\", "*.bmp");
    std::vector<std::string> tarArgs = Fixtures(fixtures + "tar\\", "*.tar");
    if (bmpArgs.empty() || tarArgs.empty() ||
        GetFileAttributesA(Plugin("bmp").c_str()) == INVALID_FILE_ATTRIBUTES ||
        GetFileAttributesA(Plugin("tar").c_str()) == INVALID_FILE_ATTRIBUTES)
        GTEST_SKIP() << "the reference plug-ins or their fixtures are not built";
    bmpArgs.insert(bmpArgs.begin(), Plugin("bmp"));
    tarArgs.insert(tarArgs.begin(), Plugin("tar"));

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

// The reference plug-ins through their wide exports: a picture and an
// archive under a name outside the code page pass every check, the wide
// ones included, and the archive's members named outside code page 932
// are listed, looked up and extracted through the wide exports.
TEST(SpicheckReference, WideNamedFilesPassEveryCheckThroughTheWideExports) {
    std::string fixtures = BinDir() + "..\\fixtures\\";
    std::string picture = fixtures + "bmp\\core24.bmp", archive = fixtures + "tar\\unicode-pax.tar";
    if (GetFileAttributesA(picture.c_str()) == INVALID_FILE_ATTRIBUTES ||
        GetFileAttributesA(archive.c_str()) == INVALID_FILE_ATTRIBUTES ||
        GetFileAttributesA(Plugin("bmp").c_str()) == INVALID_FILE_ATTRIBUTES ||
        GetFileAttributesA(Plugin("tar").c_str()) == INVALID_FILE_ATTRIBUTES)
        GTEST_SKIP() << "the reference plug-ins or their fixtures are not built";
    TempDir dir;
    struct Run {
        const char* plugin;
        const std::string& fixture;
        const wchar_t* extension;
        unsigned kind;
    };
    for (const Run& run : {Run{"bmp", picture, L".bmp", kImageChecks},
                           Run{"tar", archive, L".tar", kArchiveChecks}}) {
        std::wstring path = Wide(dir.path()) + L"\\" + kWideName + run.extension;
        ASSERT_TRUE(CopyFileW(Wide(run.fixture).c_str(), path.c_str(), FALSE));
        for (const std::wstring& file : {Wide(run.fixture), path}) {
            ProcessResult r = RunSpicheckWide(
                {L"--fuzz=20", L"--rounds=20", Wide(Plugin(run.plugin)), file});
            SCOPED_TRACE(Utf8(file) + "\n" + r.out + r.err);
            EXPECT_EQ(0u, r.status);
            std::vector<std::string> seen;
            for (const ResultLine& line : ResultLines(r.out)) {
                EXPECT_EQ("PASS", line.verdict) << line.check;
                seen.push_back(line.check);
            }
            for (const std::string& check : PassingChecks(run.kind, 1, true))
                if (check.compare(0, 5, "wide.") == 0) {
                    EXPECT_EQ(1, std::count(seen.begin(), seen.end(), check)) << check;
                }
            EXPECT_NE(std::string::npos, r.out.find("\r\nPASS  wide.agree  " + Utf8(file) + "\r\n"));
        }
    }
}

// bmp.spi's pictures against ImageMagick's decoding of the same fixtures,
// written by ImageMagick as 24-bit bitmaps (build/fixtures/bmp/ref). They
// agree exactly but for one file: ImageMagick widens the 4-bit channels of
// v5_4444 by shifting (2 becomes 0x20, 15 becomes 0xf0), the plug-in by
// repeating the bits (0x22, 0xff), which keeps full intensity at 255.
TEST(SpicheckReference, BmpPluginMatchesImageMagicksDecoding) {
    std::string folder = BinDir() + "..\\fixtures\\bmp\\";
    std::vector<std::string> args = Fixtures(folder, "*.bmp");
    if (args.empty() || GetFileAttributesA(Plugin("bmp").c_str()) == INVALID_FILE_ATTRIBUTES)
        GTEST_SKIP() << "bmp.spi or its fixtures are not built";
    const size_t files = args.size();
    args.insert(args.begin(), {"--fuzz=0", "--rounds=10", "--expect=" + folder + "ref",
                               Plugin("bmp")});
    ProcessResult r = RunSpicheck(args);
    EXPECT_EQ(1u, r.status);
    size_t passed = 0;
    for (size_t at = r.out.find("PASS  picture.reference  "); at != std::string::npos;
         at = r.out.find("PASS  picture.reference  ", at + 1))
        ++passed;
    EXPECT_EQ(files - 1, passed) << r.out;
    EXPECT_NE(std::string::npos,
              r.out.find("\r\nFAIL  picture.reference  " + folder +
                         "v5_4444.bmp: pixel 0,0 (from the top left) is #222222, the reference "
                         "#202020\r\n"))
        << r.out;
    EXPECT_NE(std::string::npos, r.out.find(" passed, 0 warnings, 1 failed\r\n")) << r.out;

    // The fixtures as their own references: spicheck's reading of every
    // uncompressed one (1 to 32 bits, bit fields, 40- to 124-byte headers,
    // top-down) agrees with the plug-in's; the others are refused by name.
    args[2] = "--expect=" + folder.substr(0, folder.size() - 1);  // no \ before the quote
    ProcessResult self = RunSpicheck(args);
    for (size_t i = 4; i < args.size(); ++i) {
        std::string head = ReadBytes(args[i]).substr(0, 34);
        ASSERT_EQ(34u, head.size()) << args[i];
        int compression = static_cast<unsigned char>(head[30]);
        std::string expected = "PASS  picture.reference  " + args[i];
        if (head[14] == 12)
            expected = "FAIL  picture.reference  " + args[i] + ": the reference " + args[i] +
                       ": it has the 12-byte header of an OS/2 bitmap, which is not read";
        else if (compression != BI_RGB && compression != BI_BITFIELDS)
            expected = "FAIL  picture.reference  " + args[i] + ": the reference " + args[i] +
                       ": biCompression is " + std::to_string(compression) + " with " +
                       std::to_string(static_cast<unsigned char>(head[28])) +
                       " bits (only uncompressed bitmaps are read)";
        EXPECT_NE(std::string::npos, self.out.find("\r\n" + expected + "\r\n")) << expected;
    }
}

}  // namespace
