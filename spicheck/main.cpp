// spicheck: loads one plug-in with the access library, runs every check
// that applies to its kind on each file, and reports PASS, WARN or FAIL per
// check. Exit status 0 nothing failed, 1 something failed, 2 the plug-in
// could not be loaded or the command line is wrong.
//
// By default the plug-in runs in a worker process of its own bitness
// (supervisor.h), which is spicheck itself started with --worker; with
// --in-process it runs here.
#include <windows.h>

#include <csignal>
#include <cstdio>
#include <string>
#include <vector>

#include "checker.h"
#include "file_walk.h"
#include "names.h"
#include "run_output.h"
#include "save_variant.h"
#include "base/pe_image.h"
#include "job_scheduler.h"
#include "watchdog.h"
#include "worker.h"

namespace {

struct Run {
    RunOutput* output;
    Checker* checker;
    bool identified;  // the header line is printed (text report)
};

// The main thread is stuck inside the plug-in: it touches nothing of ours
// while this runs, and the process ends right after.
void ReportHang(const char* label, DWORD limitMs, void* context) {
    Run& run = *static_cast<Run*>(context);
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

struct PreparedEnd {
    Run* run = nullptr;
    std::string head;       // the JSON document's start
    std::string body;       // its results so far
    std::string file;       // the file of the checks running (UTF-8)
    std::string fileJson;   // ... as a JSON string
    std::string fileShown;  // ... as the text report shows it
    std::string unidentified;  // the text report's first line before identification
};
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
        TerminateProcess(GetCurrentProcess(), kPluginEndedUs);
    PreparedEnd& end = *g_prepared;
    Run& run = *end.run;
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
    TerminateProcess(GetCurrentProcess(), kPluginEndedUs);
}

LONG WINAPI InProcessLastChance(EXCEPTION_POINTERS* pointers) {
    char what[96];
    snprintf(what, sizeof what, "exception %08lx, which no guard caught,",
             static_cast<unsigned long>(pointers->ExceptionRecord->ExceptionCode));
    EndInProcessRun(what);
    return EXCEPTION_EXECUTE_HANDLER;
}

void InProcessAbort(int) { EndInProcessRun("abort (an uncaught C++ exception, say)"); }

// A worker's spicheck ends it first; this only ends a worker whose
// spicheck is gone.
void EndQuietly(const char*, DWORD, void*) {}

// The checks with the plug-in in this process; as a worker (options.worker
// set), each step is sent to the spicheck that started it, which prints.
int CheckInProcess(const Options& options) {
    const bool worker = !options.worker.empty();
    WorkerPlan plan;
    std::vector<std::string> files;
    if (worker) {
        if (!StartWorker(options.worker, &plan)) {
            fprintf(stderr, "spicheck: --worker is for spicheck's own use\n");
            return 2;
        }
        files = plan.files;
    } else {
        for (const std::string& argument : options.files) ExpandArgument(argument, &files);
    }

    // Everything that runs the plug-in's code is watched, its loading
    // (DllMain), identification and release included.
    // Loaded once and kept, as a resident host keeps its plug-ins (robust.reload
    // asks what a host that loads it around each call sees).
    SpiDllFile plugin(Resident);
    RunOutput out(options);
    out.jsonExtra = ",\n  \"resident\": true";
    Checker checker(plugin, options, out.report);
    if (!options.htmlFile.empty())
        checker.AfterEachFile([&out, worker](const FileContext& context) {
            out.page.AddFile(context);
            if (worker)
                SendToSpicheck(journal::Packet(journal::kPage).Add(out.page.SavedLastFile()));
        });
    Run run = {&out, &checker, false};
    PreparedEnd prepared;
    prepared.run = &run;
    // The run ends with this function; what faults after it ends quietly.
    struct Forget {
        ~Forget() { g_prepared = nullptr; }
    } forget;
    if (worker) {
        out.report.ForwardTo([](Verdict verdict, CheckId check, const std::string& file,
                                const std::string& reason) {
            SendToSpicheck(journal::Packet(journal::kResult)
                               .Add(static_cast<long long>(verdict))
                               .Add(static_cast<long long>(check))
                               .Add(file)
                               .Add(reason));
        });
        out.report.ForwardSkipsTo([](CheckId check, const std::string& file,
                                     const std::string& reason) {
            SendToSpicheck(journal::Packet(journal::kResult)
                               .Add(journal::kSkipVerdict)
                               .Add(static_cast<long long>(check))
                               .Add(file)
                               .Add(reason));
        });
        checker.OnCheckStart([](CheckId check) {
            EnsureHeapsIntact(LastCallLabel());
            CheckStarts();
            SendToSpicheck(journal::Packet(journal::kCheck).Add(static_cast<long long>(check)));
        });
        for (const std::string& name : plan.saveNames) checker.Names().Taken(name);
        checker.Names().OnReserve([](const std::string& name) {
            SendToSpicheck(journal::Packet(journal::kSaveName).Add(name));
        });
        StartWatchdog(options.timeLimitMs * 10 + 10000, EndQuietly, nullptr);
    } else {
        StartWatchdog(options.timeLimitMs * 10, ReportHang, &run);
        // The texts the end needs, kept up to date while the heap is sound.
        auto prepare = [&prepared, &out, &checker] {
            prepared.head = JsonHead(out.options.plugin, out.kind, checker.Version(),
                                     out.jsonExtra);
            prepared.unidentified = "spicheck: " + ShownName(out.options.plugin) +
                                    ", not identified\n";
            if (checker.CurrentFile() == prepared.file && !prepared.fileJson.empty()) return;
            prepared.file = checker.CurrentFile();
            prepared.fileJson = JsonName(prepared.file);
            prepared.fileShown = prepared.file.empty() ? "" : ShownName(prepared.file);
        };
        prepare();
        checker.OnCheckStart([prepare](CheckId) { prepare(); });
        if (options.json)
            out.report.ForwardTo([&prepared](Verdict verdict, CheckId check,
                                             const std::string& file, const std::string& reason) {
                if (!prepared.body.empty()) prepared.body += ",";
                prepared.body += JsonResult(verdict, Check(check).name, file, reason);
            });
        g_prepared = &prepared;
        SetUnhandledExceptionFilter(InProcessLastChance);
        signal(SIGABRT, InProcessAbort);
        // A plug-in of the other bitness cannot be loaded here; a worker
        // of its bitness can.
        int bits = PeImageBits(options.pluginPath.c_str());
        if (bits && bits != static_cast<int>(8 * sizeof(void*))) {
            fprintf(stderr,
                    "spicheck: cannot load %s in process: it is a %d-bit plug-in; %s checks it "
                    "with --in-process, and without --in-process spicheck starts a worker of "
                    "its bitness\n",
                    ShownName(options.plugin).c_str(), bits,
                    bits == 64 ? "spicheck64.exe" : "spicheck.exe");
            return 2;
        }
    }
    CallStarted("loading and identification");
    int32_t loaded = plugin.Load(nullptr, options.pluginPath.c_str());
    CallEnded();
    if (!loaded) {
        DWORD code = GetLastError();
        std::string message = Format("cannot load %s as an image or archive plug-in (error %lu)",
                                     ShownName(options.plugin).c_str(), code);
        if (worker)
            SendToSpicheck(journal::Packet(journal::kLoadFailed).Add(message));
        else
            fprintf(stderr, "spicheck: %s\n", message.c_str());
        return 2;
    }

    out.kind = plugin.GetKind() == static_cast<int32_t>(PluginKind::Image) ? "image" : "archive";
    if (worker) {
        SendToSpicheck(journal::Packet(journal::kKind).Add(out.kind));
    } else if (!options.json) {
        printf("spicheck: %s, %s plug-in, kept loaded between calls\n",
               ShownName(options.plugin).c_str(), out.kind.c_str());
        fflush(stdout);
        out.report.StreamTo(stdout);
    }
    run.identified = true;
    if (plan.resumeFile >= 0) {
        checker.Prepare();
    } else {
        if (plan.resumeCheck >= 0) checker.ResumeAfter(static_cast<CheckId>(plan.resumeCheck));
        checker.CheckPlugin();
    }
    out.page.SetPlugin(plugin, checker.Version(), checker.Filters());
    if (worker)
        SendToSpicheck(journal::Packet(journal::kIdentity)
                           .Add(checker.Version())
                           .Add(out.page.SavedIdentity()));
    size_t first = plan.resumeFile >= 0 ? static_cast<size_t>(plan.resumeFile) : 0;
    for (size_t i = first; i < files.size(); ++i) {
        if (worker) {
            SendToSpicheck(journal::Packet(journal::kFile).Add(static_cast<long long>(i)));
            if (static_cast<int>(i) == plan.resumeFile && plan.resumeCheck >= 0) {
                checker.ResumeAfter(static_cast<CheckId>(plan.resumeCheck));
                if (!plan.unreturnedCall.empty()) checker.CallDidNotReturn(plan.unreturnedCall);
            }
        }
        out.BeginFile(files[i]);
        checker.CheckFile(files[i]);
        out.CloseSpan();
    }
    // Released here, watched, rather than by the destructors or at exit.
    CallStarted("release");
    plugin.Unload();
    CallEnded();
    if (worker) {
        SendToSpicheck(journal::Packet(journal::kEnd));
        return 0;
    }
    out.version = checker.Version();
    out.PrintEnd();
    return out.ExitStatus();
}

}  // namespace

int main() {
    // A faulting plug-in must never stall a run on an error dialog.
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX);

    // The arguments from the wide command line, so that a file name with
    // characters outside the ANSI code page arrives whole (as UTF-8).
    std::vector<std::string> arguments = WideArguments();
    std::vector<char*> argv;
    for (std::string& argument : arguments) argv.push_back(&argument[0]);
    argv.push_back(nullptr);
    Options options;
    std::string error;
    if (!ParseOptions(static_cast<int>(arguments.size()), argv.data(), &options, &error) ||
        !SpellOptionPaths(&options, &error)) {
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
    if (options.saveVariant >= 0) return SaveVariants(options);
    return options.inProcess ? CheckInProcess(options) : CheckInWorkers(options);
}
