#include "options.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "check_table.h"
#include "names.h"

const char kUsageText[] =
    "usage: spicheck [options] PLUGIN [FILE...]\n"
    "Checks a plug-in against the plug-in API on each file and prints PASS, WARN\n"
    "or FAIL per check. Exit status: 0 nothing failed, 1 something failed,\n"
    "2 the plug-in could not be loaded or the command line is wrong, 3 (with\n"
    "--in-process) the plug-in ended spicheck's own process.\n"
    "  --json           one JSON document on standard output instead of text\n"
    "  --save=DIR       write decoded pictures (.bmp) and extracted members to DIR\n"
    "  --fuzz=N         byte-flipped variants tried per file (default 200)\n"
    "  --seed=S         seed of the variants and of the campaign (default 1)\n"
    "  --save-variant=N write variant N of each file to the --save folder (or the\n"
    "                   current one) to repeat a failure by hand; nothing is checked\n"
    "  --fuzz-time=S    after the variants, a fuzzing campaign of S seconds per file\n"
    "  --fuzz-execs=N   ... or of N executions per file (repeats exactly for a seed)\n"
    "  --corpus=DIR     inputs the campaign starts from besides the file; each input\n"
    "                   reaching new coverage is added\n"
    "  --crashes=DIR    where each distinct fault's minimised input is written\n"
    "                   (default spicheck-crashes)\n"
    "  --dict=FILE      tokens for the campaign's mutations (AFL's format)\n"
    "  --only=LIST      only these checks (names, or families as robust.*, by commas)\n"
    "  --skip=LIST      all checks but these\n"
    "  --rounds=N       repeated decodes or extractions of the leak check (default 200)\n"
    "  --time-limit=MS  longest a single call may take (default 3000)\n"
    "  --junit=FILE     also write the results as JUnit XML to FILE\n"
    "  --html=FILE      also write the results and the decoded pictures or member\n"
    "                   lists as one self-contained HTML page to FILE\n"
    "  --expect=DIR     compare each decoded picture with DIR\\<file name>, a .bmp\n"
    "  --tolerance=N    largest difference per colour channel allowed (default 0)\n"
    "  --in-process     run the plug-in in spicheck's own process, not in one of\n"
    "                   its own (where a crash, a hang or a damaged heap ends\n"
    "                   only the check that caused it)\n"
    "  -j N, --jobs=N   check N files side by side, each in a worker of its own\n"
    "                   (default: one per processor); the reports are the same\n"
    "  --resume=FILE    keep a journal of the files finished in FILE; the same\n"
    "                   command started again goes on after them\n"
    "  --help, -h       this text;  --version  the version\n"
    "A FILE may be a folder (walked with its subfolders) or hold * and ? in its\n"
    "last part.\n";

const char kVersionText[] = "spicheck " SPICHECK_VERSION;

namespace {

bool ParseNumber(const char* text, long min, long max, long* value) {
    if (!*text) return false;
    char* end = nullptr;
    errno = 0;
    long n = strtol(text, &end, 10);
    if (errno || *end || n < min || n > max) return false;
    *value = n;
    return true;
}

// "a,b,robust.*" as its parts; false when one is not a check's name or
// family.
bool ParseCheckList(const char* text, std::vector<std::string>* names) {
    std::string list(text);
    size_t start = 0;
    while (start <= list.size()) {
        size_t end = list.find(',', start);
        if (end == std::string::npos) end = list.size();
        std::string name = list.substr(start, end - start);
        start = end + 1;
        bool known = false;
        for (size_t i = 0; i < kCheckCount && !known; ++i) {
            std::string check = kChecks[i].name;
            known = name == check ||
                    (name.size() > 2 && name.compare(name.size() - 2, 2, ".*") == 0 &&
                     check.compare(0, name.size() - 1, name, 0, name.size() - 1) == 0);
        }
        if (!known) return false;
        names->push_back(name);
    }
    return !names->empty();
}

bool Matches(const std::vector<std::string>& names, const char* check) {
    for (const std::string& name : names) {
        if (name == check) return true;
        if (name.size() > 2 && name.compare(name.size() - 2, 2, ".*") == 0 &&
            std::string(check).compare(0, name.size() - 1, name, 0, name.size() - 1) == 0)
            return true;
    }
    return false;
}

}  // namespace

bool CheckChosen(const Options& options, const CheckRow& row) {
    if (!options.only.empty() && !(row.traits & kNeverPasses) && !Matches(options.only, row.name))
        return false;
    return !Matches(options.skip, row.name);
}

bool ParseOptions(int argc, char** argv, Options* options, std::string* error) {
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        if (strcmp(arg, "-h") == 0) {
            options->help = true;
            continue;
        }
        // -j N or -jN.
        if (strncmp(arg, "-j", 2) == 0) {
            const char* value = arg[2] ? arg + 2 : (i + 1 < argc ? argv[++i] : "");
            long n = 0;
            if (!ParseNumber(value, 1, 64, &n)) {
                *error = std::string("bad value for -j (1 to 64): ") + value;
                return false;
            }
            options->jobs = static_cast<int>(n);
            options->jobsGiven = true;
            continue;
        }
        if (strncmp(arg, "--", 2) != 0) {
            if (options->plugin.empty())
                options->plugin = arg;
            else
                options->files.push_back(arg);
            continue;
        }
        const char* eq = strchr(arg, '=');
        std::string name = eq ? std::string(arg, eq - arg) : std::string(arg);
        const char* value = eq ? eq + 1 : nullptr;
        long n = 0;
        if (name == "--json" && !value) {
            options->json = true;
        } else if (name == "--help" && !value) {
            options->help = true;
        } else if (name == "--version" && !value) {
            options->version = true;
        } else if (name == "--junit" && value && *value) {
            options->junitFile = value;
        } else if (name == "--html" && value && *value) {
            options->htmlFile = value;
        } else if (name == "--expect" && value && *value) {
            options->expectDir = value;
        } else if (name == "--tolerance" && value) {
            if (!ParseNumber(value, 0, 255, &n)) {
                *error = std::string("bad value for --tolerance (0 to 255): ") + value;
                return false;
            }
            options->tolerance = static_cast<int>(n);
        } else if (name == "--jobs" && value) {
            if (!ParseNumber(value, 1, 64, &n)) {
                *error = std::string("bad value for --jobs (1 to 64): ") + value;
                return false;
            }
            options->jobs = static_cast<int>(n);
            options->jobsGiven = true;
        } else if (name == "--resume" && value && *value) {
            options->resumeFile = value;
        } else if (name == "--in-process" && !value) {
            options->inProcess = true;
        } else if (name == "--worker" && value && *value) {
            options->worker = value;
            options->inProcess = true;
        } else if (name == "--save" && value && *value) {
            options->saveDir = value;
        } else if (name == "--fuzz" && value) {
            if (!ParseNumber(value, 0, 100000, &n)) {
                *error = std::string("bad value for --fuzz: ") + value;
                return false;
            }
            options->fuzzRounds = static_cast<int>(n);
        } else if (name == "--fuzz-time" && value) {
            if (!ParseNumber(value, 0, 86400, &n)) {
                *error = std::string("bad value for --fuzz-time (seconds): ") + value;
                return false;
            }
            options->fuzzSeconds = static_cast<uint32_t>(n);
        } else if (name == "--fuzz-execs" && value) {
            char* end = nullptr;
            errno = 0;
            long long e = strtoll(value, &end, 10);
            if (!*value || errno || *end || e < 0) {
                *error = std::string("bad value for --fuzz-execs: ") + value;
                return false;
            }
            options->fuzzExecs = e;
        } else if (name == "--corpus" && value && *value) {
            options->corpusDir = value;
        } else if (name == "--crashes" && value && *value) {
            options->crashesDir = value;
        } else if (name == "--dict" && value && *value) {
            options->dictFile = value;
        } else if ((name == "--only" || name == "--skip") && value) {
            std::vector<std::string>* list = name == "--only" ? &options->only : &options->skip;
            if (!ParseCheckList(value, list)) {
                *error = "bad value for " + name + " (check names or families, by commas): " +
                         value;
                return false;
            }
        } else if (name == "--save-variant" && value) {
            if (!ParseNumber(value, 0, 100000, &n)) {
                *error = std::string("bad value for --save-variant: ") + value;
                return false;
            }
            options->saveVariant = static_cast<int>(n);
        } else if (name == "--seed" && value) {
            char* end = nullptr;
            errno = 0;
            unsigned long s = strtoul(value, &end, 10);
            if (!*value || errno || *end || *value == '-') {
                *error = std::string("bad value for --seed: ") + value;
                return false;
            }
            options->seed = static_cast<uint32_t>(s);
        } else if (name == "--rounds" && value) {
            if (!ParseNumber(value, 10, 100000, &n)) {
                *error = std::string("bad value for --rounds (10 or more): ") + value;
                return false;
            }
            options->leakRounds = static_cast<int>(n);
        } else if (name == "--time-limit" && value) {
            if (!ParseNumber(value, 1, 3600000, &n)) {
                *error = std::string("bad value for --time-limit: ") + value;
                return false;
            }
            options->timeLimitMs = static_cast<uint32_t>(n);
        } else {
            *error = std::string("unknown option: ") + arg;
            return false;
        }
    }
    if (options->help || options->version) return true;
    // A worker reads the command line of the spicheck that started it.
    if (options->worker.empty() && options->inProcess &&
        (options->jobsGiven || !options->resumeFile.empty())) {
        *error = std::string(options->jobsGiven ? "-j" : "--resume") +
                 " needs workers: --in-process checks every file in spicheck's own process";
        return false;
    }
    if (options->plugin.empty()) {
        *error = "no plug-in named";
        return false;
    }
    return true;
}

bool SpellOptionPaths(Options* options, std::string* error) {
    struct Path {
        const char* option;
        std::string* value;
    };
    for (const Path& p : {Path{"--save", &options->saveDir}, Path{"--expect", &options->expectDir},
                          Path{"--junit", &options->junitFile},
                          Path{"--html", &options->htmlFile}, Path{"--corpus", &options->corpusDir},
                          Path{"--crashes", &options->crashesDir},
                          Path{"--dict", &options->dictFile},
                          Path{"--resume", &options->resumeFile}}) {
        if (p.value->empty()) continue;
        std::string ansi;
        if (!AnsiName(*p.value, &ansi)) {
            *error = std::string(p.option) + " names " + ShownName(*p.value) +
                     ", which has no spelling in the ANSI code page";
            return false;
        }
        *p.value = ansi;
    }
    options->pluginPath = AnsiPathFor(options->plugin);
    if (options->pluginPath.empty()) options->pluginPath = options->plugin;
    return true;
}
