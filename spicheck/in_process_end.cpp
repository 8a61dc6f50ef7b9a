#include "in_process_end.h"

#include <windows.h>

#include <csignal>
#include <cstdio>

#include "isolation/helper_side.h"
#include "names.h"
#include "watchdog.h"

namespace {

// The main thread is stuck inside the plug-in: it touches nothing of ours
// while this runs, and the process ends right after.
void ReportHang(const char* label, DWORD limitMs, void* context) {
    InProcessRun& run = *static_cast<InProcessRun*>(context);
    RunOutput& out = *run.output;
    if (!run.identified && !out.options.json) {
        printf("spicheck: %s, not identified\n", ShownName(out.options.plugin).c_str());
        out.report.StreamTo(stdout);
    }
    out.report.Add(Verdict::Fail, CheckId::RobustTime, run.checker->CurrentFile(),
                   Format("%s did not return within %lu ms; the run was ended", label,
                          static_cast<unsigned long>(limitMs)));
    out.CloseSpan();
    out.version = run.checker->Version();
    out.PrintEnd();
}

// In process, what no guard caught (an exception raised outside a guard,
// a C++ exception that ends in abort, a heap too damaged to go on) ends
// spicheck's own process: the report so far is completed with one FAIL of
// the check that was running and the summary (or the JSON document), and
// the process ends with kPluginEndedUs. The plug-in may have damaged the
// heap, so that end is written without allocating: from texts made as the
// run goes, stack buffers and WriteFile.
constexpr int kPluginEndedUs = 3;

PreparedEnd* g_prepared = nullptr;

// Writes to standard output as the C runtime would in text mode (LF as
// CR LF), without allocating.
void WriteOut(const char* text) {
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    char chunk[512];
    size_t n = 0;
    for (const char* p = text;; ++p) {
        if (!*p || n + 2 > sizeof chunk) {
            DWORD written = 0;
            WriteFile(out, chunk, static_cast<DWORD>(n), &written, nullptr);
            n = 0;
            if (!*p) break;
        }
        if (*p == '\n') chunk[n++] = '\r';
        chunk[n++] = *p;
    }
}

void EndInProcessRun(const char* what) {
    static volatile LONG ending = 0;
    // A second fault while the report is written ends at once.
    if (InterlockedExchange(&ending, 1) || !g_prepared)
        isolation::EndHelper(kPluginEndedUs);
    PreparedEnd& end = *g_prepared;
    InProcessRun& run = *end.run;
    const Report& report = run.output->report;
    const bool json = run.output->options.json;
    const char* label = LastCallLabel();
    char reason[512];
    snprintf(reason, sizeof reason,
             "%s after %s: the plug-in ended spicheck's own process; run without --in-process "
             "to isolate it",
             what, *label ? label : "loading");
    const char* check =
        Check(run.identified ? run.checker->CurrentCheck() : CheckId::RobustTime).name;
    char line[1024];
    if (json) {
        char escaped[1024];
        size_t n = 0;
        for (const char* p = reason; *p && n + 8 < sizeof escaped; ++p) {
            if (*p == '"' || *p == '\\') escaped[n++] = '\\';
            escaped[n++] = *p;
        }
        escaped[n] = 0;
        WriteOut(end.head.c_str());
        WriteOut(end.body.c_str());
        snprintf(line, sizeof line,
                 "%s\n    {\"check\": \"%s\", \"file\": %s, \"status\": \"FAIL\", "
                 "\"reason\": \"%s\"}\n  ],\n  \"passed\": %d,\n  \"warnings\": %d,\n  "
                 "\"failed\": %d\n}\n",
                 end.body.empty() ? "" : ",", check, end.fileJson.c_str(), escaped,
                 report.Count(Verdict::Pass), report.Count(Verdict::Warn),
                 report.Count(Verdict::Fail) + 1);
        WriteOut(line);
    } else {
        fflush(stdout);
        if (!run.identified) WriteOut(end.unidentified.c_str());
        snprintf(line, sizeof line, "FAIL  %s%s%s: %s\n%d passed, %d warnings, %d failed\n",
                 check, end.fileShown.empty() ? "" : "  ", end.fileShown.c_str(), reason,
                 report.Count(Verdict::Pass), report.Count(Verdict::Warn),
                 report.Count(Verdict::Fail) + 1);
        WriteOut(line);
    }
    isolation::EndHelper(kPluginEndedUs);
}

void InProcessLastChance(const FaultRecord& fault) {
    char what[96];
    snprintf(what, sizeof what, "exception %08lx, which no guard caught,",
             static_cast<unsigned long>(fault.code));
    EndInProcessRun(what);
}

void InProcessAbort(int) { EndInProcessRun("abort (an uncaught C++ exception, say)"); }

}  // namespace

InProcessEnd::InProcessEnd(InProcessRun* run) {
    prepared_.run = run;
    RunOutput& out = *run->output;
    StartWatchdog(out.options.timeLimitMs * 10, ReportHang, run);
    Prepare();
    run->checker->OnCheckStart([this](CheckId) { Prepare(); });
    if (out.options.json)
        out.report.ForwardTo([this](Verdict verdict, CheckId check, const std::string& file,
                                    const std::string& reason) {
            if (!prepared_.body.empty()) prepared_.body += ",";
            prepared_.body += JsonResult(verdict, Check(check).name, file, reason);
        });
    g_prepared = &prepared_;
    // This process is the plug-in's helper: what no guard catches ends it,
    // with the report completed.
    isolation::BecomeHelper();
    isolation::OnLastChance(InProcessLastChance);
    signal(SIGABRT, InProcessAbort);
}

InProcessEnd::~InProcessEnd() { g_prepared = nullptr; }

// The texts the end needs, made while the heap is sound.
void InProcessEnd::Prepare() {
    const RunOutput& out = *prepared_.run->output;
    const Checker& checker = *prepared_.run->checker;
    prepared_.head = JsonHead(out.options.plugin, out.kind, checker.Version(), out.jsonExtra);
    prepared_.unidentified = "spicheck: " + ShownName(out.options.plugin) + ", not identified\n";
    if (checker.CurrentFile() == prepared_.file && !prepared_.fileJson.empty()) return;
    prepared_.file = checker.CurrentFile();
    prepared_.fileJson = JsonName(prepared_.file);
    prepared_.fileShown = prepared_.file.empty() ? "" : ShownName(prepared_.file);
}
