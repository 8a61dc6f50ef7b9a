#include "in_process.h"

#include <windows.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "base/pe_image.h"
#include "checker.h"
#include "file_walk.h"
#include "fuzz_campaign.h"
#include "in_process_end.h"
#include "names.h"
#include "run_output.h"
#include "watchdog.h"
#include "worker.h"

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
    InProcessRun run = {&out, &checker, false};
    std::unique_ptr<InProcessEnd> inProcessEnd;
    if (worker) {
        ReportToSpicheck(checker, out.report, plan, options.timeLimitMs * 10);
    } else {
        inProcessEnd.reset(new InProcessEnd(&run));
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
    if (plan.keptTry) {
        // One input tried alone: no checks, no results, nothing written.
        checker.Prepare();
        if (plan.resumeFile >= 0 && plan.resumeFile < static_cast<int>(files.size()))
            TryKeptInput(checker, plugin, out.kind == "image", options, files[plan.resumeFile]);
    } else if (plan.resumeFile >= 0) {
        checker.Prepare();
    } else {
        if (plan.resumeCheck >= 0) checker.ResumeAfter(static_cast<CheckId>(plan.resumeCheck));
        checker.CheckPlugin();
    }
    out.page.SetPlugin(plugin, checker.Version(), checker.Filters());
    if (worker && !plan.keptTry)
        SendToSpicheck(journal::Packet(journal::kIdentity)
                           .Add(checker.Version())
                           .Add(out.page.SavedIdentity()));
    size_t first = plan.resumeFile >= 0 ? static_cast<size_t>(plan.resumeFile) : 0;
    if (plan.keptTry) first = files.size();
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
