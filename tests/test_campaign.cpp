// A seeded campaign: spiprobe.exe and spicheck.exe run on the hostile
// plug-in, whose every answer is drawn from the seed in SPI_HOSTILE_SEED,
// one process per seed. A run fails the test, with its seed and the
// command that repeats it, when
//   - its exit status is not one the program gives (spiprobe 0 or 1,
//     spicheck 0, 1 or 2): an exception code such as 0xC0000005 is the
//     program dying, for instance on a read past a block the plug-in gave;
//   - it does not end by its deadline (it is then killed);
//   - it wrote anything outside its --save folder (spiprobe: anywhere);
//   - its report is cut short, or its status says something its output
//     does not.
//
// The range of seeds comes from the environment, so that `make campaign`
// can run a longer one through this same program:
//   SPI_CAMPAIGN_FIRST  first seed (default 1)
//   SPI_CAMPAIGN_SEEDS  seeds spiprobe runs on (default kDefaultSeeds)
//   SPI_CAMPAIGN_CHECK_EVERY  spicheck runs on every n-th of them
//                       (default kDefaultCheckEvery); a spicheck run
//                       costs about twenty spiprobe runs
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "test_support.h"

namespace {

#if defined(_WIN64)
#define SPICHECK_EXE "spicheck64.exe"
// The x64 tree runs a shorter campaign beside the 32-bit one's. About
// 0.2 s a spiprobe run and 1.4 s a spicheck run here: some 45 s in all
// for the 32-bit tree, 15 s for the x64 one.
constexpr uint64_t kDefaultSeeds = 48;
constexpr uint64_t kDefaultCheckEvery = 24;
#else
#define SPICHECK_EXE "spicheck.exe"
constexpr uint64_t kDefaultSeeds = 140;
constexpr uint64_t kDefaultCheckEvery = 14;
#endif

// spicheck's limit for one call: it reports a call slower than this, and
// ends the run after ten times as long.
constexpr DWORD kTimeLimitMs = 200;
// A whole spicheck run takes a few seconds; the margin covers a loaded
// machine on top of the longest hang spicheck itself waits for.
constexpr DWORD kSpicheckDeadlineMs = 10 * kTimeLimitMs + 30000;
// spiprobe has no limit of its own and the plug-in sleeps at most 0.7 s
// in a process.
constexpr DWORD kSpiprobeDeadlineMs = 20000;

const char kInput[] = "input.hst";
const char kSaveDir[] = "save";
// Every name of the plug-in's that leaves a folder begins with this.
const char kEscapePrefix[] = "spihostile";

uint64_t EnvOr(const char* name, uint64_t fallback) {
    char text[32] = {};
    DWORD n = GetEnvironmentVariableA(name, text, sizeof text);
    return n > 0 && n < sizeof text ? strtoull(text, nullptr, 10) : fallback;
}

// Runs a command in the folder cwd with SPI_HOSTILE_SEED set.
ProcessResult RunSeeded(uint64_t seed, const std::string& commandLine, const std::string& cwd,
                        DWORD deadlineMs) {
    ScopedEnv seedVariable("SPI_HOSTILE_SEED", std::to_string(seed).c_str());
    return RunProcess(commandLine, deadlineMs, cwd);
}

// Names of the entries of a folder, a subfolder's with a "\" at its end.
std::vector<std::string> Entries(const std::string& dir, const std::string& pattern = "*") {
    return NamesMatching(dir + "\\" + pattern);
}

// Folders outside the run's own where an escaping name would land: the
// root of the drive, the temporary folder, build\bin and the folder above
// the run's. Whatever is found there is removed, so that the next seed is
// not blamed for it.
std::vector<std::string> EscapedFiles(const std::string& runDir) {
    char temp[MAX_PATH] = {};
    GetTempPathA(sizeof temp, temp);
    std::string parent = runDir.substr(0, runDir.find_last_of('\\'));
    std::string tempDir = temp;
    if (!tempDir.empty() && tempDir.back() == '\\') tempDir.pop_back();
    std::string bin = BinDir();
    bin.pop_back();
    std::vector<std::string> found;
    for (const std::string& dir : {std::string("C:"), tempDir, bin, parent}) {
        for (const std::string& name : Entries(dir, std::string(kEscapePrefix) + "*")) {
            std::string path = dir + "\\" + name;
            found.push_back(path);
            if (path.back() == '\\') {
                path.pop_back();
                RemoveDirectoryA(path.c_str());
            } else {
                DeleteFileA(path.c_str());
            }
        }
    }
    return found;
}

// What a run left in its folder that it should not have: anything but the
// input and, for spicheck, plain files directly inside the save folder.
std::vector<std::string> StrayFiles(const std::string& runDir, bool saves) {
    std::vector<std::string> stray;
    for (const std::string& name : Entries(runDir)) {
        if (name == kInput) continue;
        if (saves && name == std::string(kSaveDir) + "\\") {
            for (const std::string& saved : Entries(runDir + "\\" + kSaveDir))
                if (saved.back() == '\\') stray.push_back(std::string(kSaveDir) + "\\" + saved);
            continue;
        }
        stray.push_back(name);
    }
    return stray;
}

std::string LastLine(const std::string& out) {
    std::vector<std::string> lines = Lines(out);
    while (!lines.empty() && (lines.back().empty() || lines.back() == "\r")) lines.pop_back();
    if (lines.empty()) return "";
    std::string last = lines.back();
    if (!last.empty() && last.back() == '\r') last.pop_back();
    return last;
}

std::string Hex(DWORD value) {
    char text[16];
    snprintf(text, sizeof text, "0x%08lX", static_cast<unsigned long>(value));
    return text;
}

struct Program {
    const char* exe;
    const char* plugin;  // base name, without the build's extension
    std::vector<std::string> (*arguments)(uint64_t seed);
    bool saves;
    DWORD deadlineMs;
    // Empty when the status and the output agree; otherwise why not.
    std::string (*judge)(const ProcessResult& outcome);
};

// spiprobe's options vary with the seed; -i every time.
std::vector<std::string> SpiprobeArguments(uint64_t seed) {
    std::vector<std::string> args = {"-i"};
    if (seed % 2) args.push_back("-m");
    if (seed % 3 == 0) args.push_back("-p");
    if (seed % 4 == 1) args.push_back("-c");
    if (seed % 5 == 0) args.push_back("-o");
    return args;
}

std::string JudgeSpiprobe(const ProcessResult& o) {
    if (o.status == 0) return "";
    if (o.status == 1)
        return o.out.find("(GetLastError==") != std::string::npos
                   ? ""
                   : "status 1 without a load failure";
    return "died with " + Hex(o.status);
}

// Few variants and rounds keep a run to a few seconds; every check runs.
std::vector<std::string> SpicheckArguments(uint64_t seed) {
    std::vector<std::string> args = {
        "--fuzz=4", "--rounds=10", "--time-limit=" + std::to_string(kTimeLimitMs),
        "--seed=" + std::to_string(seed), std::string("--save=") + kSaveDir};
    // The other reports, written beside the run's folder.
    if (seed % 3 == 0) args.push_back("--json");
    if (seed % 3 == 1) args.push_back("--html=..\\report.html");
    if (seed % 3 == 2) args.push_back("--junit=..\\report.xml");
    return args;
}

std::string JudgeSpicheck(const ProcessResult& o) {
    if (o.status > 2) return "died with " + Hex(o.status);
    std::string last = LastLine(o.out);
    if (o.status == 2) return "";  // not loaded: nothing was reported
    int passed, warnings, failed;
    bool json = o.out.compare(0, 1, "{") == 0;
    if (json ? last != "}"
             : sscanf(last.c_str(), "%d passed, %d warnings, %d failed", &passed, &warnings,
                      &failed) != 3)
        return "status " + std::to_string(o.status) + " but the report ends with \"" + last + "\"";
    if (!json && (failed > 0) != (o.status == 1))
        return "status " + std::to_string(o.status) + " after \"" + last + "\"";
    return "";
}

struct Tally {
    uint64_t runs = 0;
    uint64_t byStatus[3] = {};
    std::vector<std::string> failures;
};

void RunSeed(const Program& program, uint64_t seed, Tally* tally) {
    TempDir scratch;
    std::string runDir = scratch.File("run");
    CreateDirectoryA(runDir.c_str(), nullptr);
    WriteBytes(runDir + "\\" + kInput, "any input: the plug-in's answers depend on the seed\n");
    std::vector<std::string> args = program.arguments(seed);
    std::string pluginFile = std::string(program.plugin) + SPI_EXT;
    std::string plugin = BinPath(pluginFile);
    std::string line = Quote(BinPath(program.exe));
    std::string shown = program.exe;
    for (const std::string& arg : args) {
        line += " " + Quote(arg);
        shown += " " + arg;
    }
    line += " " + Quote(plugin) + " " + kInput;
    shown += " " + pluginFile + " " + kInput;

    ProcessResult o = RunSeeded(seed, line, runDir, program.deadlineMs);
    ++tally->runs;
    if (o.status <= 2) ++tally->byStatus[o.status];

    std::vector<std::string> faults;
    if (o.killed)
        faults.push_back("still running after " + std::to_string(program.deadlineMs) +
                         " ms; killed");
    else if (std::string why = program.judge(o); !why.empty())
        faults.push_back(why);
    for (const std::string& path : StrayFiles(runDir, program.saves))
        faults.push_back("wrote " + path + " in its folder, outside " +
                         (program.saves ? kSaveDir : "nothing"));
    for (const std::string& path : EscapedFiles(runDir)) faults.push_back("wrote " + path);
    for (const std::string& fault : faults) {
        tally->failures.push_back("seed " + std::to_string(seed) + ": " + program.exe + " " +
                                  fault + "\n  again: SPI_HOSTILE_SEED=" + std::to_string(seed) +
                                  " build/wine-run.sh build/bin/" + shown +
                                  "  (from build/bin, any " + kInput +
                                  ")\n  last line: " + LastLine(o.out));
    }
}

void RunCampaign(const Program& program, uint64_t every) {
    uint64_t first = EnvOr("SPI_CAMPAIGN_FIRST", 1);
    uint64_t seeds = EnvOr("SPI_CAMPAIGN_SEEDS", kDefaultSeeds);
    if (every == 0) every = 1;
    Tally tally;
    DWORD started = GetTickCount();
    for (uint64_t seed = first; seed < first + seeds; ++seed)
        if ((seed - first) % every == 0) RunSeed(program, seed, &tally);
    printf("%s: %llu seeds from %llu in %.1f s; status 0: %llu, 1: %llu, 2: %llu; %zu faults\n",
           program.exe, static_cast<unsigned long long>(tally.runs),
           static_cast<unsigned long long>(first), (GetTickCount() - started) / 1000.0,
           static_cast<unsigned long long>(tally.byStatus[0]),
           static_cast<unsigned long long>(tally.byStatus[1]),
           static_cast<unsigned long long>(tally.byStatus[2]), tally.failures.size());
    for (const std::string& failure : tally.failures) ADD_FAILURE() << failure;
}

const Program kSpiprobe = {SPIPROBE_EXE, "hostile",           SpiprobeArguments,
                           false,        kSpiprobeDeadlineMs, JudgeSpiprobe};
const Program kSpicheck = {SPICHECK_EXE, "hostile",           SpicheckArguments,
                           true,         kSpicheckDeadlineMs, JudgeSpicheck};

bool Mentions(const Tally& tally, const std::string& text) {
    for (const std::string& failure : tally.failures)
        if (failure.find(text) != std::string::npos) return true;
    return false;
}

// The campaign's own verdicts, on plug-ins with one known way of going
// wrong: each is reported, with the seed and the command line.
TEST(Campaign, ReportsDeathsHangsAndStrayFiles) {
    {
        ScopedEnv dies("SPI_HOSTILE_EXIT", "3221225477");  // 0xC0000005
        Tally died;
        RunSeed(kSpiprobe, 7, &died);
        ASSERT_EQ(died.failures.size(), 1u);
        EXPECT_TRUE(Mentions(died, "seed 7: " SPIPROBE_EXE " died with 0xC0000005"))
            << died.failures[0];
        EXPECT_TRUE(Mentions(died, "SPI_HOSTILE_SEED=7 build/wine-run.sh build/bin/" SPIPROBE_EXE
                                   " -i -m hostile" SPI_EXT " input.hst"))
            << died.failures[0];
        // spicheck runs the plug-in in a process of its own: only that
        // process ends, and spicheck reports the plug-in as not loaded.
        Tally checkLived;
        RunSeed(kSpicheck, 7, &checkLived);
        EXPECT_TRUE(checkLived.failures.empty()) << checkLived.failures[0];
        Program inProcess = kSpicheck;
        inProcess.arguments = [](uint64_t seed) {
            std::vector<std::string> args = SpicheckArguments(seed);
            args.insert(args.begin(), "--in-process");
            return args;
        };
        Tally checkDied;
        RunSeed(inProcess, 7, &checkDied);
        EXPECT_TRUE(Mentions(checkDied, "seed 7: " SPICHECK_EXE " died with 0xC0000005"));
    }

    Program hangs = kSpiprobe;
    hangs.plugin = "defect_hang_attach";
    hangs.deadlineMs = 1500;
    Tally hung;
    RunSeed(hangs, 2, &hung);
    EXPECT_TRUE(Mentions(hung, "seed 2: " SPIPROBE_EXE " still running after 1500 ms; killed"))
        << (hung.failures.empty() ? "" : hung.failures[0]);

    // The scripted plug-in logs its calls to the file it is told.
    PluginScript script({{"LOG", "calls.log"}});
    Program writes = kSpiprobe;
    writes.plugin = "scripted";
    Tally wrote;
    RunSeed(writes, 4, &wrote);
    EXPECT_TRUE(Mentions(wrote, "seed 4: " SPIPROBE_EXE " wrote calls.log in its folder"))
        << (wrote.failures.empty() ? "" : wrote.failures[0]);
    EXPECT_EQ(wrote.byStatus[0], 1u);
    script.Set("LOG", "..\\spihostile-escaped.log");
    Tally escaped;
    RunSeed(writes, 5, &escaped);
    EXPECT_TRUE(Mentions(escaped, "\\spihostile-escaped.log"))
        << (escaped.failures.empty() ? "" : escaped.failures[0]);
}

TEST(Campaign, SpiprobeSurvivesEverySeed) { RunCampaign(kSpiprobe, 1); }

TEST(Campaign, SpicheckSurvivesEverySeed) {
    RunCampaign(kSpicheck, EnvOr("SPI_CAMPAIGN_CHECK_EVERY", kDefaultCheckEvery));
}

}  // namespace
