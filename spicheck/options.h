// spicheck's command line: spicheck [options] PLUGIN [FILE...]
#ifndef SPICHECK_OPTIONS_H
#define SPICHECK_OPTIONS_H

#include <cstdint>
#include <string>
#include <vector>

struct Options {
    bool json = false;          // --json
    std::string saveDir;        // --save=DIR; empty: nothing is saved
    int fuzzRounds = 200;       // --fuzz=N byte-flipped variants per file
    // The fuzzing campaign after the variants, per file: --fuzz-time=S
    // seconds and/or --fuzz-execs=N executions (0: no limit of that kind;
    // both 0: no campaign).
    uint32_t fuzzSeconds = 0;
    long long fuzzExecs = 0;
    std::string corpusDir;      // --corpus=DIR; empty: the corpus stays in memory
    std::string crashesDir = "spicheck-crashes";  // --crashes=DIR
    std::string dictFile;       // --dict=FILE, AFL's format
    // --only=LIST and --skip=LIST: check names, or families as "robust.*",
    // separated by commas.
    std::vector<std::string> only, skip;
    uint32_t seed = 1;          // --seed=S
    int leakRounds = 200;       // --rounds=N repeated decodes / extractions
    uint32_t timeLimitMs = 3000;  // --time-limit=MS for any single call
    bool help = false;          // --help, -h: the usage on standard output
    bool version = false;       // --version
    std::string junitFile;      // --junit=FILE; empty: none written
    std::string htmlFile;       // --html=FILE; empty: none written
    std::string expectDir;      // --expect=DIR; empty: no reference pictures
    int tolerance = 0;          // --tolerance=N per colour channel
    // --save-variant=N: write variant N (of --seed) of each file to the
    // --save folder (else the current one) instead of checking; -1: none.
    int saveVariant = -1;
    bool inProcess = false;     // --in-process: the plug-in runs in spicheck's own process
    // -j N, --jobs=N: workers side by side (0: as many as processors).
    int jobs = 0;
    bool jobsGiven = false;
    // --resume=FILE: the journal of the files finished, kept as they finish
    // and read back by a run started again with the same arguments.
    std::string resumeFile;
    // --worker=H: this process runs the plug-in for a spicheck that started
    // it, writing its journal to the inherited pipe handle H.
    std::string worker;
    // The plug-in and the files as named, in UTF-8 (names.h).
    std::string plugin;
    std::vector<std::string> files;
    // The plug-in's name in the ANSI code page (or its short name), which
    // it is loaded by.
    std::string pluginPath;
};

struct CheckRow;
// Whether --only and --skip leave the check in. --only never leaves out a
// check that only reports when it ends a file's checks (file.read,
// probe.accepts): the others need what it makes sure of.
bool CheckChosen(const Options& options, const CheckRow& row);
// Whether the campaign runs.
inline bool CampaignAsked(const Options& options) {
    return options.fuzzSeconds > 0 || options.fuzzExecs > 0;
}

// Fills options from argv. False with a one-line message in *error when
// the command line is wrong (an unknown option, a bad value, no plug-in).
bool ParseOptions(int argc, char** argv, Options* options, std::string* error);
// The folder and file options in the ANSI code page, where they are used;
// pluginPath. False with a message when one has no spelling there.
bool SpellOptionPaths(Options* options, std::string* error);

extern const char kUsageText[];
// "spicheck 1.0"
extern const char kVersionText[];

#endif
