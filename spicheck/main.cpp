// spicheck: loads one plug-in with the access library, runs every check
// that applies to its kind on each file, and reports PASS, WARN or FAIL per
// check. Exit status 0 nothing failed, 1 something failed, 2 the plug-in
// could not be loaded or the command line is wrong.
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "checker.h"
#include "file_walk.h"
#include "html_writer.h"
#include "junit_writer.h"
#include "options.h"
#include "report.h"
#include "watchdog.h"

namespace {

struct Run {
    Report* report;
    Checker* checker;
    const Options* options;
    const char* kind;
    bool identified;  // the header line is printed (text report)
    std::vector<FileSpan> spans;  // where each file's results are
    HtmlPage* page;
};

// Ends the last file's span at the results so far.
void CloseSpan(Run& run) {
    if (!run.spans.empty()) run.spans.back().end = run.report->Results().size();
}

void WriteFiles(const Run& run) {
    const Options& o = *run.options;
    if (!o.junitFile.empty() &&
        !WriteJunit(o.junitFile, o.plugin, std::string(run.kind) == "image", *run.report,
                    run.spans))
        fprintf(stderr, "spicheck: cannot write %s\n", o.junitFile.c_str());
    if (!o.htmlFile.empty() &&
        !run.page->Write(o.htmlFile, o.plugin, run.kind, *run.report, run.spans))
        fprintf(stderr, "spicheck: cannot write %s\n", o.htmlFile.c_str());
}

void PrintEnd(const Run& run) {
    WriteFiles(run);
    if (run.options->json)
        run.report->PrintJson(stdout, run.options->plugin, run.kind, run.checker->Version());
    else
        printf("%s\n", run.report->Summary().c_str());
    fflush(stdout);
}

// The main thread is stuck inside the plug-in: it touches nothing of ours
// while this runs, and the process ends right after.
void ReportHang(const char* label, DWORD limitMs, void* context) {
    Run& run = *static_cast<Run*>(context);
    if (!run.identified && !run.options->json) {
        printf("spicheck: %s, not identified\n", run.options->plugin.c_str());
        run.report->StreamTo(stdout);
    }
    run.report->Add(Verdict::Fail, CheckId::RobustTime, run.checker->CurrentFile(),
                    Format("%s did not return within %lu ms; the run was ended", label,
                           static_cast<unsigned long>(limitMs)));
    CloseSpan(run);
    PrintEnd(run);
}

}  // namespace

int main(int argc, char** argv) {
    // A faulting plug-in must never stall a run on an error dialog.
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX);

    Options options;
    std::string error;
    if (!ParseOptions(argc, argv, &options, &error)) {
        fprintf(stderr, "spicheck: %s\n%s", error.c_str(), kUsageText);
        return 2;
    }
    if (options.help) {
        fputs(kUsageText, stdout);
        return 0;
    }
    if (options.version) {
        printf("%s\n", kVersionText);
        return 0;
    }
    std::vector<std::string> files;
    for (const std::string& argument : options.files) ExpandArgument(argument, &files);

    // Everything that runs the plug-in's code is watched, its loading
    // (DllMain), identification and release included.
    SpiDllFile plugin;
    Report report;
    Checker checker(plugin, options, report);
    HtmlPage page;
    if (!options.htmlFile.empty())
        checker.AfterEachFile([&page](const FileContext& context) { page.AddFile(context); });
    Run run = {&report, &checker, &options, "unknown", false, {}, &page};
    StartWatchdog(options.timeLimitMs * 10, ReportHang, &run);
    CallStarted("loading and identification");
    int32_t loaded = plugin.Load(nullptr, options.plugin.c_str());
    CallEnded();
    if (!loaded) {
        DWORD code = GetLastError();
        fprintf(stderr, "spicheck: cannot load %s as an image or archive plug-in (error %lu)\n",
                options.plugin.c_str(), code);
        return 2;
    }

    run.kind = plugin.GetKind() == static_cast<int32_t>(PluginKind::Image) ? "image" : "archive";
    if (!options.json) {
        printf("spicheck: %s, %s plug-in\n", options.plugin.c_str(), run.kind);
        fflush(stdout);
        report.StreamTo(stdout);
    }
    run.identified = true;
    checker.CheckPlugin();
    page.SetPlugin(plugin, checker.Version(), checker.Filters());
    for (const std::string& file : files) {
        run.spans.push_back({file, report.Results().size(), report.Results().size()});
        checker.CheckFile(file);
        CloseSpan(run);
    }
    // Released here, watched, rather than by the destructors or at exit.
    checker.ReleasePlugins();
    CallStarted("release");
    plugin.Unload();
    CallEnded();
    PrintEnd(run);
    return report.Count(Verdict::Fail) ? 1 : 0;
}
