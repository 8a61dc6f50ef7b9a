#include "check_suites.h"

namespace {

// The cases of one suite: every check of the kind that belongs to it (the
// plug-in's own, or a file's), with its result where it has one.
CheckSuite MakeSuite(const std::string& name, bool ofThePlugin, unsigned kind,
                     const Report& report, size_t first, size_t end) {
    const std::string file = ofThePlugin ? std::string() : name;
    CheckSuite suite;
    suite.name = name;
    const std::vector<CheckResult>& results = report.Results();
    // Once a check has ended the file's checks, the rest are left out.
    bool stopped = false;
    for (size_t i = 0; i < kCheckCount; ++i) {
        const CheckRow& row = kChecks[i];
        if (!(row.kinds & kind) || ((row.traits & kOfThePlugin) != 0) != ofThePlugin) continue;
        const CheckResult* found = nullptr;
        for (size_t r = first; r < end && !found; ++r)
            if (results[r].check == row.name) found = &results[r];
        CheckCase c{row.name, CaseOutcome::Skipped, std::string()};
        if (found) {
            c.outcome = found->verdict == Verdict::Pass   ? CaseOutcome::Pass
                        : found->verdict == Verdict::Warn ? CaseOutcome::Warn
                                                          : CaseOutcome::Fail;
            c.reason = found->reason;
        } else if ((row.traits & kNeverPasses) && !stopped) {
            // Silent: the file was read, or accepted.
            c.outcome = CaseOutcome::Pass;
        }
        if (c.outcome == CaseOutcome::Skipped)
            for (const CheckResult& skip : report.Skips())
                if (skip.check == row.name && skip.file == file) c.reason = skip.reason;
        if (found && (row.traits & kNeverPasses)) stopped = true;
        if (c.outcome == CaseOutcome::Fail) ++suite.failures;
        if (c.outcome == CaseOutcome::Warn) ++suite.warnings;
        if (c.outcome == CaseOutcome::Skipped) ++suite.skipped;
        suite.cases.push_back(c);
    }
    return suite;
}

}  // namespace

std::vector<CheckSuite> MakeSuites(const std::string& plugin, bool imageKind,
                                   const Report& report, const std::vector<FileSpan>& spans) {
    unsigned kind = imageKind ? kImageChecks : kArchiveChecks;
    std::vector<CheckSuite> suites;
    size_t ownEnd = spans.empty() ? report.Results().size() : spans.front().first;
    suites.push_back(MakeSuite(plugin, true, kind, report, 0, ownEnd));
    for (const FileSpan& span : spans)
        suites.push_back(MakeSuite(span.file, false, kind, report, span.first, span.end));
    return suites;
}
