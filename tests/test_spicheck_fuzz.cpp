// spicheck's fuzzing campaign end to end, counted in executions and
// seeded, never timed: the fault planted behind byte comparisons and a
// length check (fuzz_target_plugin.cpp) is found with coverage and not
// without, its minimised reproducer shows it again, a seed repeats its
// reproducers byte for byte, reads past the input and hangs have their own
// signatures, a plug-in without a fault leaves nothing behind, and
// --only / --skip choose the checks.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "file_walk.h"
#include "fuzz_findings.h"
#include "fuzz_mutator.h"
#include "test_support.h"

namespace {

std::string Plugin(const std::string& name) { return BinPath(name + SPI_EXT); }

ProcessResult RunSpicheck(const std::vector<std::string>& args) {
    std::string line = "\"" + BinPath(SPICHECK_EXE) + "\"";
    for (const std::string& arg : args) line += " \"" + arg + "\"";
    return RunProcess(line, 300000);
}

// A 2x2 picture of the fuzz target's format with a NOTE chunk where the
// planted chunk's type and length would stand.
std::string Seed() {
    std::string bytes("FZT1\x02\x02", 6);
    bytes += std::string("NOTE\x04\x00" "abcd", 10);
    bytes += std::string("PIXL\x04\x00\x10\x20\x30\x40", 10);
    return bytes;
}

// The robust.fuzz line of a one-file report.
std::string FuzzLine(const std::string& out) {
    size_t at = out.find("  robust.fuzz  ");
    if (at == std::string::npos || at < 4) return std::string();
    size_t end = out.find("\r\n", at);
    return out.substr(at - 4, end - (at - 4));
}

// Executions every run of the planted fault gets: the instrumented build
// finds it well within them (at execution 250 or so for seed 1).
constexpr int kExecs = 3000;

std::vector<std::string> Campaign(const std::string& plugin, const std::string& file,
                                  const std::string& crashes, int execs = kExecs,
                                  int seed = 1) {
    return {"--only=robust.fuzz", "--fuzz=0", "--fuzz-execs=" + std::to_string(execs),
            "--seed=" + std::to_string(seed), "--crashes=" + crashes, Plugin(plugin), file};
}

class SpicheckFuzz : public testing::Test {
protected:
    void SetUp() override {
        seed_ = dir_.File("seed.fzt");
        ASSERT_TRUE(WriteBytes(seed_, Seed()));
    }
    TempDir dir_;
    std::string seed_;
};

TEST_F(SpicheckFuzz, CoverageFindsThePlantedFaultAndItsReproducerShowsItAgain) {
    std::string crashes = dir_.File("crashes");
    ProcessResult r = RunSpicheck(Campaign("fuzz_target_cov", seed_, crashes));
    std::string line = FuzzLine(r.out);
    std::string signature = std::string("GetPicture c0000005 at fuzz_target_cov") + SPI_EXT + "+0x";
    EXPECT_EQ(0u, line.find("FAIL  robust.fuzz  ")) << r.out;
    EXPECT_NE(std::string::npos, line.find("1 distinct fault: " + signature)) << line;
    EXPECT_NE(std::string::npos, line.find("campaign: 3000 executions")) << line;
    EXPECT_NE(std::string::npos, line.find(" edges, corpus ")) << line;
    EXPECT_EQ(1u, r.status);

    std::vector<std::string> files = FileNamesIn(crashes);
    ASSERT_EQ(2u, files.size()) << r.out;
    std::string reproducer = crashes + "\\" + files[0];
    EXPECT_EQ(".fzt", files[0].substr(files[0].size() - 4));
    EXPECT_EQ(files[0] + ".txt", files[1]);
    EXPECT_NE(std::string::npos, line.find("(" + reproducer + ")")) << line;
    // Minimised: the header, the planted chunk's type and length and the
    // twelve bytes it claims; what else it needs is zeroed.
    std::string bytes = ReadBytes(reproducer);
    EXPECT_EQ(std::string("FZT1", 4), bytes.substr(0, 4));
    EXPECT_NE(std::string::npos, bytes.find(std::string("BOOM\x0c\x00", 6)));
    EXPECT_LE(bytes.size(), Seed().size());
    std::string text = ReadBytes(crashes + "\\" + files[1]);
    EXPECT_EQ(0u, text.find("signature: " + signature)) << text;
    EXPECT_NE(std::string::npos, text.find("seed 1, execution ")) << text;
    EXPECT_NE(std::string::npos, text.find("--only=robust.fuzz --fuzz=0 --fuzz-execs=1")) << text;

    // The reproducer alone shows the same signature at its first execution,
    // in spicheck's own process.
    std::string again = dir_.File("again");
    ProcessResult replay = RunSpicheck({"--in-process", "--only=robust.fuzz", "--fuzz=0",
                                        "--fuzz-execs=1", "--crashes=" + again,
                                        Plugin("fuzz_target_cov"), reproducer});
    std::string replayed = FuzzLine(replay.out);
    EXPECT_NE(std::string::npos, replayed.find("1 distinct fault: " + signature)) << replay.out;
    EXPECT_EQ(line.substr(line.find(signature), signature.size() + 6),
              replayed.substr(replayed.find(signature), signature.size() + 6));
}

TEST_F(SpicheckFuzz, JsonJUnitAndHtmlCarryTheFindings) {
    std::string crashes = dir_.File("crashes"), junit = dir_.File("r.xml"), html = dir_.File("r.html");
    std::vector<std::string> args = Campaign("fuzz_target_cov", seed_, crashes);
    args.insert(args.begin(), {"--json", "--junit=" + junit, "--html=" + html});
    ProcessResult r = RunSpicheck(args);
    std::string signature = std::string("GetPicture c0000005 at fuzz_target_cov") + SPI_EXT + "+0x";
    EXPECT_NE(std::string::npos, r.out.find("\"check\": \"robust.fuzz\", \"file\": ")) << r.out;
    EXPECT_NE(std::string::npos, r.out.find("\"status\": \"FAIL\", \"reason\": \"1 distinct fault: " +
                                            signature))
        << r.out;
    std::string xml = ReadBytes(junit);
    EXPECT_NE(std::string::npos, xml.find("<failure message=\"1 distinct fault: " + signature)) << xml;
    std::string page = ReadBytes(html);
    EXPECT_NE(std::string::npos, page.find("1 distinct fault: " + signature)) << page.substr(0, 400);
    EXPECT_NE(std::string::npos, page.find("GetPicture_c0000005_at_fuzz_target_cov")) << page.substr(0, 400);
}

TEST_F(SpicheckFuzz, BlindTheSameExecutionsFindNothing) {
    std::string crashes = dir_.File("crashes");
    ProcessResult r = RunSpicheck(Campaign("fuzz_target", seed_, crashes));
    std::string line = FuzzLine(r.out);
    EXPECT_EQ(0u, line.find("PASS  robust.fuzz  ")) << r.out;
    EXPECT_NE(std::string::npos, line.find("campaign: 3000 executions")) << line;
    EXPECT_NE(std::string::npos, line.find("no coverage, corpus 1")) << line;
    EXPECT_EQ(0u, r.status);
    EXPECT_TRUE(FileNamesIn(crashes).empty());
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesA(crashes.c_str()));
}

TEST_F(SpicheckFuzz, ADictionaryTokenTakesABlindCampaignToTheFault) {
    std::string dict = dir_.File("chunks.dict");
    ASSERT_TRUE(WriteBytes(dict, "# the chunk the parser fears\r\nboom=\"BOOM\\x0c\\x00\"\r\n"));
    std::vector<std::string> args = Campaign("fuzz_target", seed_, dir_.File("crashes"));
    args.insert(args.begin(), "--dict=" + dict);
    ProcessResult r = RunSpicheck(args);
    EXPECT_NE(std::string::npos,
              FuzzLine(r.out).find(std::string("1 distinct fault: GetPicture c0000005 at fuzz_target") +
                                   SPI_EXT + "+0x"))
        << r.out;

    args[0] = "--dict=" + dir_.File("absent.dict");
    ProcessResult absent = RunSpicheck(args);
    EXPECT_EQ(0u, FuzzLine(absent.out).find("WARN  robust.fuzz  ")) << absent.out;
    EXPECT_NE(std::string::npos, absent.out.find("cannot read the dictionary " + dir_.File("absent.dict")))
        << absent.out;
}

TEST_F(SpicheckFuzz, ASeedRepeatsItsReproducersByteForByte) {
    std::string first = dir_.File("first"), second = dir_.File("second");
    std::vector<std::string> args = Campaign("fuzz_target_cov", seed_, first, kExecs, 5);
    ProcessResult a = RunSpicheck(args);
    args[4] = "--crashes=" + second;
    args.insert(args.begin(), "--in-process");  // the same in either process
    ProcessResult b = RunSpicheck(args);
    std::vector<std::string> names = FileNamesIn(first);
    ASSERT_FALSE(names.empty()) << a.out;
    EXPECT_EQ(names, FileNamesIn(second)) << b.out;
    for (const std::string& name : names) {
        if (name.size() < 4 || name.substr(name.size() - 4) != ".txt") {
            EXPECT_EQ(ReadBytes(first + "\\" + name), ReadBytes(second + "\\" + name)) << name;
        }
    }
}

TEST_F(SpicheckFuzz, ReadsPastTheInputHangsAndLeaksHaveTheirOwnSignatures) {
    std::string crashes = dir_.File("overread");
    ProcessResult r = RunSpicheck(Campaign("fuzz_target_overread", seed_, crashes, 500));
    std::string line = FuzzLine(r.out);
    EXPECT_NE(std::string::npos,
              line.find(std::string("GetPicture reads past its input at fuzz_target_overread") +
                        SPI_EXT + "+0x"))
        << r.out;
    std::vector<std::string> files = FileNamesIn(crashes);
    EXPECT_FALSE(files.empty());
    for (const std::string& name : files) EXPECT_EQ(0u, name.find("GetPicture_reads_past")) << name;

    std::string hangs = dir_.File("hangs");
    std::vector<std::string> args = Campaign("fuzz_target_hang", seed_, hangs, 200);
    args.insert(args.begin(), "--time-limit=100");
    ProcessResult h = RunSpicheck(args);
    line = FuzzLine(h.out);
    EXPECT_NE(std::string::npos, line.find("GetPicture hangs (" + hangs + "\\GetPicture_hangs.fzt)"))
        << h.out;
    std::string reproducer = ReadBytes(hangs + "\\GetPicture_hangs.fzt");
    ASSERT_GE(reproducer.size(), 6u);
    EXPECT_EQ('\0', reproducer[5]);  // a height of 0
    // IsSupported declines a height of 0, which would stop the file's
    // checks at probe.accepts: the command that shows the hang again skips
    // that check, keeps the run's time limit, and does show it.
    std::string told = ReadBytes(hangs + "\\GetPicture_hangs.fzt.txt");
    EXPECT_NE(std::string::npos,
              told.find(" --in-process --only=robust.fuzz --skip=probe.accepts --time-limit=100 "
                        "--fuzz=0 --fuzz-execs=1 "))
        << told;
    EXPECT_EQ(std::string::npos, told.find("spiprobe")) << told;
    ProcessResult again = RunSpicheck({"--in-process", "--only=robust.fuzz",
                                       "--skip=probe.accepts", "--time-limit=100", "--fuzz=0",
                                       "--fuzz-execs=1", "--crashes=" + dir_.File("again"),
                                       Plugin("fuzz_target_hang"), hangs + "\\GetPicture_hangs.fzt"});
    EXPECT_NE(std::string::npos, FuzzLine(again.out).find("1 distinct fault: GetPicture hangs ("))
        << again.out;

    // A call waiting in the system cannot be broken: the worker is ended
    // past its limit, and the input that was running is kept, minimised
    // with a few tries (each that hangs costs the limit).
    std::string waits = dir_.File("waits");
    args = Campaign("fuzz_target_wait", seed_, waits, 200);
    args.insert(args.begin(), "--time-limit=100");
    ProcessResult w = RunSpicheck(args);
    EXPECT_EQ(0u, FuzzLine(w.out).find("FAIL  robust.fuzz  " + seed_ +
                                       ": GetPicture (campaign) did not return within 1000 ms; "
                                       "the plug-in's process was ended; the input that did "
                                       "it: GetPicture hangs in a system wait (" +
                                       waits + "\\GetPicture_hangs_in_a_system_wait.fzt)"))
        << w.out;
    std::string kept = ReadBytes(waits + "\\GetPicture_hangs_in_a_system_wait.fzt");
    ASSERT_GE(kept.size(), 6u) << w.out;
    EXPECT_EQ('\0', kept[5]);
    std::string waited = ReadBytes(waits + "\\GetPicture_hangs_in_a_system_wait.fzt.txt");
    size_t tries = waited.find(" executions, each alone in a fresh worker\r\n");
    ASSERT_NE(std::string::npos, tries) << waited;
    EXPECT_GE(8, std::stoi(waited.substr(waited.rfind(' ', tries - 1) + 1))) << waited;
    EXPECT_NE(std::string::npos, waited.find(" --skip=probe.accepts --time-limit=100 ")) << waited;

    // The defect plug-in that keeps a 4 KB block of every decode; its toy
    // picture leaks as it is.
    std::string toy = dir_.File("toy.dfi");
    std::string pixels;
    for (int i = 0; i < 12; ++i) pixels += static_cast<char>(0x10 * i + 1);
    ASSERT_TRUE(WriteBytes(toy, std::string("DFI1\x02\x00\x02\x00\x00\x00\x00\x00", 12) + pixels));
    std::string leaks = dir_.File("leaks");
    ProcessResult l = RunSpicheck(Campaign("defect_leak", toy, leaks, 100));
    EXPECT_NE(std::string::npos,
              FuzzLine(l.out).find("1 distinct fault: GetPicture leaks memory (" + leaks +
                                   "\\GetPicture_leaks_memory.dfi)"))
        << l.out;
    std::string text = ReadBytes(leaks + "\\GetPicture_leaks_memory.dfi.txt");
    EXPECT_EQ(0u, text.find("signature: GetPicture leaks memory\r\n")) << text;

    // A fault in a thread of the plug-in's own ends the worker: the check
    // FAILs naming the call, and the input that was running is kept, the
    // one byte zeroed in a worker of its own.
    std::string rft = dir_.File("a.rft"), ended = dir_.File("ended");
    ASSERT_TRUE(WriteBytes(rft, "x"));
    ProcessResult t = RunSpicheck(Campaign("runner_faults_thread", rft, ended, 10));
    EXPECT_EQ(0u, FuzzLine(t.out).find("FAIL  robust.fuzz  " + rft +
                                       ": GetPicture (campaign) ended the plug-in's process"))
        << t.out;
    EXPECT_EQ(std::string(1, '\0'), ReadBytes(ended + "\\GetPicture_uncaught_c0000005.rft"));
    EXPECT_EQ(0u, ReadBytes(ended + "\\GetPicture_uncaught_c0000005.rft.txt")
                      .find("signature: GetPicture uncaught c0000005\r\n"));
    // One that ends the process itself, whatever the input: spicheck keeps
    // the input, minimised in workers of its own down to a zero byte.
    std::string exiting = dir_.File("b.rft"), exits = dir_.File("exits");
    ASSERT_TRUE(WriteBytes(exiting, "exit on any of these"));
    ProcessResult x = RunSpicheck(Campaign("runner_faults_exit", exiting, exits, 10));
    EXPECT_EQ(0u, FuzzLine(x.out).find("FAIL  robust.fuzz  " + exiting +
                                       ": GetPicture (campaign) ended the plug-in's process with "
                                       "exit code 0x2A; the input that did it: GetPicture ends "
                                       "the process (" +
                                       exits + "\\GetPicture_ends_the_process.rft)"))
        << x.out;
    EXPECT_EQ(std::string(1, '\0'), ReadBytes(exits + "\\GetPicture_ends_the_process.rft"));
    EXPECT_NE(std::string::npos,
              ReadBytes(exits + "\\GetPicture_ends_the_process.rft.txt")
                  .find("\r\n1 bytes, minimised from 20 in "));
}

// The shortest input that keeps the property, with the most bytes zeroed;
// never empty, since an empty file is not fuzzed and could not show it.
TEST(SpicheckMinimise, KeepsOneByteAtLeastAndZeroesEvenTheLast) {
    int calls = 0;
    std::string smallest = Minimise("anything at all", [](const std::string&) { return true; },
                                    100, &calls);
    EXPECT_EQ(std::string(1, '\0'), smallest);
    // A property of two bytes far apart keeps both, the rest goes.
    smallest = Minimise(
        "..A......B..",
        [](const std::string& bytes) {
            size_t a = bytes.find('A');
            return a != std::string::npos && bytes.find('B', a) != std::string::npos;
        },
        1000, &calls);
    EXPECT_EQ("AB", smallest);
    // The budget bounds the tries.
    Minimise("0123456789abcdef", [](const std::string&) { return false; }, 7, &calls);
    EXPECT_EQ(7, calls);
}

// A compiler may join the last two checks of a chain into one branch
// (clang does): passing either alone reaches nothing new, so the
// replacements of two comparisons in a row are also tried together.
TEST(SpicheckMutator, TwoComparisonsInARowAreAlsoReplacedTogether) {
    Mutator mutator(64);
    std::string input("BOOE\x04\x00" "abcd", 10);
    std::vector<spicov_cmp> comparisons = {{1, 1, 'M', 'E'}, {4, 1, 12, 4}};
    std::vector<std::string> candidates = mutator.InputToState(input, comparisons, 256);
    auto has = [&](const std::string& bytes) {
        return std::find(candidates.begin(), candidates.end(), bytes) != candidates.end();
    };
    EXPECT_TRUE(has(std::string("BOOM\x04\x00" "abcd", 10)));
    EXPECT_TRUE(has(std::string("BOOE\x0c\x00" "abcd", 10)));
    EXPECT_TRUE(has(std::string("BOOM\x0c\x00" "abcd", 10)));
    EXPECT_EQ(3u, candidates.size());
}

TEST_F(SpicheckFuzz, AnInputThatDamagesAHeapIsKeptAsItsReproducer) {
    // The walk after the call that wrote past its block finds the damage
    // and ends the worker; spicheck writes the input that call ran, the
    // same in every run of the seed.
    std::string first = dir_.File("heap1"), second = dir_.File("heap2");
    std::vector<std::string> args = Campaign("fuzz_target_heap", seed_, first);
    ProcessResult a = RunSpicheck(args);
    std::string reproducer = first + "\\GetPicture_damages_the_heap.fzt";
    EXPECT_EQ(0u, FuzzLine(a.out).find("FAIL  robust.fuzz  " + seed_ +
                                       ": a heap of the plug-in's process was found damaged "
                                       "(HeapValidate) after GetPicture (campaign); the input "
                                       "that did it: GetPicture damages the heap (" +
                                       reproducer + ")"))
        << a.out;
    EXPECT_EQ(1u, a.status);
    EXPECT_EQ((std::vector<std::string>{"GetPicture_damages_the_heap.fzt",
                                        "GetPicture_damages_the_heap.fzt.txt"}),
              FileNamesIn(first));
    std::string bytes = ReadBytes(reproducer);
    ASSERT_GE(bytes.size(), 6u);
    EXPECT_GT(bytes[5], 8);  // a picture taller than 8 rows
    std::string text = ReadBytes(reproducer + ".txt");
    EXPECT_EQ(0u, text.find("signature: GetPicture damages the heap\r\nfile: " + seed_ +
                            "\r\nseed 1, execution "))
        << text;
    // Minimised, each try alone in a worker that the damage ends: shorter
    // than the input the campaign ran, nothing left after the header that
    // the damage needs (the signature, the height).
    size_t from = text.find(" bytes, minimised from ");
    ASSERT_NE(std::string::npos, from) << text;
    EXPECT_LT(bytes.size(), std::stoul(text.substr(from + 23))) << text;
    EXPECT_NE(std::string::npos, text.find(" executions, each alone in a fresh worker\r\n"))
        << text;
    EXPECT_EQ(6u, bytes.size());
    EXPECT_EQ("FZT1", bytes.substr(0, 4));
    // Shown again where the heaps are walked: in a worker.
    EXPECT_NE(std::string::npos, text.find(" --only=robust.fuzz --fuzz=0 --fuzz-execs=1 ")) << text;
    EXPECT_EQ(std::string::npos, text.find("--in-process")) << text;

    args[4] = "--crashes=" + second;
    ProcessResult b = RunSpicheck(args);
    EXPECT_EQ(bytes, ReadBytes(second + "\\GetPicture_damages_the_heap.fzt")) << b.out;
    std::string again = ReadBytes(second + "\\GetPicture_damages_the_heap.fzt.txt");
    EXPECT_EQ(text.substr(0, text.find("shown again by")),
              again.substr(0, again.find("shown again by")));

    // The reproducer alone shows it at the campaign's first execution.
    std::string replayed = dir_.File("replayed");
    ProcessResult r = RunSpicheck({"--only=robust.fuzz", "--fuzz=0", "--fuzz-execs=1",
                                   "--crashes=" + replayed, Plugin("fuzz_target_heap"),
                                   reproducer});
    EXPECT_NE(std::string::npos, FuzzLine(r.out).find("GetPicture damages the heap")) << r.out;
    EXPECT_NE(std::string::npos,
              ReadBytes(replayed + "\\GetPicture_damages_the_heap.fzt.txt").find("execution 1 "));
}

TEST_F(SpicheckFuzz, AKeptInputNoWorkerCanTryIsWrittenAsItWas) {
    // Every worker started to try a candidate ends before the plug-in (as
    // Wine sometimes makes one): the input the campaign ran is kept whole.
    std::string crashes = dir_.File("crashes");
    SetEnvironmentVariableA("SPICHECK_TEST_WORKER_START_FAILS", "tries");
    ProcessResult r = RunSpicheck(Campaign("fuzz_target_heap", seed_, crashes));
    SetEnvironmentVariableA("SPICHECK_TEST_WORKER_START_FAILS", nullptr);
    EXPECT_NE(std::string::npos, FuzzLine(r.out).find("the input that did it: GetPicture damages "
                                                      "the heap ("))
        << r.out;
    std::string bytes = ReadBytes(crashes + "\\GetPicture_damages_the_heap.fzt");
    std::string text = ReadBytes(crashes + "\\GetPicture_damages_the_heap.fzt.txt");
    EXPECT_NE(std::string::npos,
              text.find(std::to_string(bytes.size()) +
                        " bytes, not minimised (no worker could be started to try it)\r\n"))
        << text;
    EXPECT_GT(bytes.size(), 6u);  // more than the minimised header
    EXPECT_GT(bytes[5], 8);
}

TEST_F(SpicheckFuzz, APluginWithoutAFaultLeavesNothingBehind) {
    // The reference plug-in built with coverage: the campaign sees its
    // edges; the picture passes; the folders stay empty.
    std::string sample = FixturePath("bmp", "info8.bmp");
    std::string crashes = dir_.File("crashes"), corpus = dir_.File("corpus");
    std::vector<std::string> args = Campaign("bmp_cov", sample, crashes, 2000);
    args.insert(args.begin(), "--corpus=" + corpus);
    ProcessResult r = RunSpicheck(args);
    std::string line = FuzzLine(r.out);
    EXPECT_EQ(0u, line.find("PASS  robust.fuzz  ")) << r.out;
    EXPECT_NE(std::string::npos, line.find(" edges, corpus ")) << line;
    EXPECT_TRUE(FileNamesIn(crashes).empty());
    // The corpus holds what reached new edges, each named by its contents.
    std::vector<std::string> kept = FileNamesIn(corpus);
    EXPECT_FALSE(kept.empty());
    for (const std::string& name : kept) EXPECT_EQ(16u, name.size()) << name;
    // Nothing else was written beside them.
    std::vector<std::string> top = {"corpus", "seed.fzt"};
    std::vector<std::string> seen;
    WIN32_FIND_DATAA found;
    HANDLE find = FindFirstFileA(dir_.File("*").c_str(), &found);
    ASSERT_NE(INVALID_HANDLE_VALUE, find);
    do {
        std::string name = found.cFileName;
        if (name != "." && name != "..") seen.push_back(name);
    } while (FindNextFileA(find, &found));
    FindClose(find);
    std::sort(seen.begin(), seen.end());
    EXPECT_EQ(top, seen);
    // A second run starts from that corpus.
    ProcessResult again = RunSpicheck(args);
    EXPECT_NE(std::string::npos, FuzzLine(again.out).find(", corpus ")) << again.out;
}

TEST_F(SpicheckFuzz, AnInstrumentedPluginBehavesInOtherHostsAsWithout) {
    // spiprobe has no coverage map: both builds say the same.
    std::string sample = FixturePath("bmp", "info8.bmp");
    ProcessResult plain = RunSpiprobe({"-i", Plugin("bmp"), sample});
    ProcessResult instrumented = RunSpiprobe({"-i", Plugin("bmp_cov"), sample});
    EXPECT_EQ(plain.out, instrumented.out);
    EXPECT_EQ(plain.status, instrumented.status);
}

TEST_F(SpicheckFuzz, OnlyAndSkipChooseChecksByNameOrFamily) {
    std::string sample = FixturePath("bmp", "info8.bmp");
    ProcessResult only = RunSpicheck({"--only=ident.*,robust.prefixes", "--fuzz=0", Plugin("bmp"), sample});
    std::vector<std::string> checks;
    for (const std::string& line : Lines(only.out))
        if (line.size() > 6 && (line.compare(0, 4, "PASS") == 0 || line.compare(0, 4, "FAIL") == 0 ||
                                line.compare(0, 4, "WARN") == 0))
            checks.push_back(line.substr(6, line.find_first_of(" \r", 6) - 6));
    std::vector<std::string> expected = {"ident.version", "ident.about", "ident.filters",
                                         "ident.info-bounds", "ident.exports", "robust.prefixes"};
    EXPECT_EQ(expected, checks) << only.out;

    ProcessResult skip = RunSpicheck({"--skip=robust.*,picture.sources", "--fuzz=0", "--rounds=10",
                                      Plugin("bmp"), sample});
    EXPECT_EQ(std::string::npos, skip.out.find("robust.")) << skip.out;
    EXPECT_EQ(std::string::npos, skip.out.find("picture.sources")) << skip.out;
    EXPECT_NE(std::string::npos, skip.out.find("PASS  picture.header")) << skip.out;

    ProcessResult bad = RunSpicheck({"--only=robust.fuzzy", Plugin("bmp"), sample});
    EXPECT_EQ(2u, bad.status);
    EXPECT_EQ(0u, bad.err.find("spicheck: bad value for --only (check names or families, by "
                               "commas): robust.fuzzy\r\n"))
        << bad.err;
}

}  // namespace
