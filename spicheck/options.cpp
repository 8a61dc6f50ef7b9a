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

// As ParseNumber; what it cannot read is named in *error as a bad value for
// `what` (the option, with its range where the message gives it).
bool ParseNumberOption(const char* text, long min, long max, const char* what, long* value,
                       std::string* error) {
    if (ParseNumber(text, min, max, value)) return true;
    *error = std::string("bad value for ") + what + ": " + text;
    return false;
}

// The options without a value, and those that name a file or folder (a
// value that must not be empty), with the field each sets.
struct FlagOption {
    const char* name;
    bool Options::*field;
};
const FlagOption kFlagOptions[] = {
    {"--json", &Options::json},
    {"--help", &Options::help},
    {"--version", &Options::version},
    {"--in-process", &Options::inProcess},
};
struct NameOption {
    const char* name;
    std::string Options::*field;
};
const NameOption kNameOptions[] = {
    {"--junit", &Options::junitFile},   {"--html", &Options::htmlFile},
    {"--expect", &Options::expectDir},  {"--resume", &Options::resumeFile},
    {"--save", &Options::saveDir},      {"--corpus", &Options::corpusDir},
    {"--crashes", &Options::crashesDir}, {"--dict", &Options::dictFile},
};

// Sets the field of a flag or name option; false when the argument is
// none of them (or has a value it may not have).
bool SetFlagOrName(const std::string& name, const char* value, Options* options) {
    if (!value) {
        for (const FlagOption& flag : kFlagOptions) {
            if (name == flag.name) {
                options->*flag.field = true;
                return true;
            }
        }
    } else if (*value) {
        for (const NameOption& option : kNameOptions) {
            if (name == option.name) {
                options->*option.field = value;
                return true;
            }
        }
    }
    return false;
}

// Whether a name of --only or --skip stands for the check: its own name,
// or its family's as "robust.*".
bool NameMatches(const std::string& name, const char* check) {
    if (name == check) return true;
    return name.size() > 2 && name.compare(name.size() - 2, 2, ".*") == 0 &&
           std::string(check).compare(0, name.size() - 1, name, 0, name.size() - 1) == 0;
}

// "a,b,robust.*" as its parts; false when one is not a check's name or
// family.
bool ParseCheckList(const char* text, std::vector<std::string>* names) {
    for (const std::string& name : SplitAt(text, ",")) {
        bool known = false;
        for (size_t i = 0; i < kCheckCount && !known; ++i)
            known = NameMatches(name, kChecks[i].name);
        if (!known) return false;
        names->push_back(name);
    }
    return !names->empty();
}

bool Matches(const std::vector<std::string>& names, const char* check) {
    for (const std::string& name : names)
        if (NameMatches(name, check)) return true;
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
            if (!ParseNumberOption(value, 1, 64, "-j (1 to 64)", &n, error)) return false;
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
        if (SetFlagOrName(name, value, options)) continue;
        long n = 0;
        if (name == "--tolerance" && value) {
            if (!ParseNumberOption(value, 0, 255, "--tolerance (0 to 255)", &n, error))
                return false;
            options->tolerance = static_cast<int>(n);
        } else if (name == "--jobs" && value) {
            if (!ParseNumberOption(value, 1, 64, "--jobs (1 to 64)", &n, error)) return false;
            options->jobs = static_cast<int>(n);
            options->jobsGiven = true;
        } else if (name == "--worker" && value && *value) {
            options->worker = value;
            options->inProcess = true;
        } else if (name == "--fuzz" && value) {
            if (!ParseNumberOption(value, 0, 100000, "--fuzz", &n, error)) return false;
            options->fuzzRounds = static_cast<int>(n);
        } else if (name == "--fuzz-time" && value) {
            if (!ParseNumberOption(value, 0, 86400, "--fuzz-time (seconds)", &n, error))
                return false;
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
        } else if ((name == "--only" || name == "--skip") && value) {
            std::vector<std::string>* list = name == "--only" ? &options->only : &options->skip;
            if (!ParseCheckList(value, list)) {
                *error = "bad value for " + name + " (check names or families, by commas): " +
                         value;
                return false;
            }
        } else if (name == "--save-variant" && value) {
            if (!ParseNumberOption(value, 0, 100000, "--save-variant", &n, error)) return false;
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
            if (!ParseNumberOption(value, 10, 100000, "--rounds (10 or more)", &n, error))
                return false;
            options->leakRounds = static_cast<int>(n);
        } else if (name == "--time-limit" && value) {
            if (!ParseNumberOption(value, 1, 3600000, "--time-limit", &n, error)) return false;
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
