#include "run_output.h"

#include <cstdio>

#include "failure_summary.h"
#include "junit_writer.h"

void RunOutput::BeginFile(const std::string& file) {
    spans.push_back({file, report.Results().size(), report.Results().size()});
}

void RunOutput::CloseSpan() {
    if (!spans.empty()) spans.back().end = report.Results().size();
}

void RunOutput::PrintEnd() {
    const Options& o = options;
    if (!o.junitFile.empty() &&
        !WriteJunit(o.junitFile, o.plugin, kind == "image", report, spans))
        fprintf(stderr, "spicheck: cannot write %s\n", o.junitFile.c_str());
    if (!o.htmlFile.empty() && !page.Write(o.htmlFile, o.plugin, kind.c_str(), report, spans))
        fprintf(stderr, "spicheck: cannot write %s\n", o.htmlFile.c_str());
    if (o.json)
        report.PrintJson(stdout, o.plugin, kind, version, jsonExtra);
    else
        // On a run of one file, the FAIL lines just above say it all.
        printf("%s%s\n", spans.size() > 1 ? FailureSummary(report).c_str() : "",
               report.Summary().c_str());
    fflush(stdout);
}
