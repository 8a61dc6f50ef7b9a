// The end of a run, the same whether the plug-in ran in spicheck's process
// or in workers: the files asked for (JUnit, HTML), then the summary line
// or the JSON document on standard output.
#ifndef SPICHECK_RUN_OUTPUT_H
#define SPICHECK_RUN_OUTPUT_H

#include <string>
#include <vector>

#include "check_suites.h"
#include "html_writer.h"
#include "options.h"
#include "report.h"

struct RunOutput {
    const Options& options;
    std::string kind = "unknown";  // "image" or "archive" once identified
    std::string version;           // the plug-in's API version text
    Report report;
    std::vector<FileSpan> spans;   // where each file's results are
    HtmlPage page;
    // JSON members of the run itself (after "version"), ",\n  " before each.
    std::string jsonExtra;

    explicit RunOutput(const Options& o) : options(o) {}
    // A file's results start here.
    void BeginFile(const std::string& file);
    // The last file's results end at the results so far.
    void CloseSpan();
    void PrintEnd();
    int ExitStatus() const { return report.Count(Verdict::Fail) ? 1 : 0; }
};

#endif
