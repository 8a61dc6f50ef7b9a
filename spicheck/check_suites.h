// The results of a run grouped as the JUnit file and the HTML page show
// them: one suite for the plug-in's own checks and one per file, one case
// per check of the plug-in's kind, taken from the table of checks, so that
// a check left out still has its case.
#ifndef SPICHECK_CHECK_SUITES_H
#define SPICHECK_CHECK_SUITES_H

#include <string>
#include <vector>

#include "report.h"

// Where the results of one file begin in the report's list.
struct FileSpan {
    std::string file;
    size_t first = 0;  // index of its first result
    size_t end = 0;    // one past its last
};

// Skipped: the check was left out (the file could not be read or was
// declined, or the plug-in's exports or answers left nothing to ask).
enum class CaseOutcome { Pass, Warn, Fail, Skipped };

struct CheckCase {
    const char* check;  // the row's name
    CaseOutcome outcome;
    std::string reason;
};

struct CheckSuite {
    std::string name;  // the plug-in, or the file
    std::vector<CheckCase> cases;
    int failures = 0, warnings = 0, skipped = 0;
};

// The plug-in's suite, then one per span, in the order of the run.
// imageKind picks the checks that apply.
std::vector<CheckSuite> MakeSuites(const std::string& plugin, bool imageKind,
                                   const Report& report, const std::vector<FileSpan>& spans);

#endif
