// spicheck's default way of running the checks: the plug-in runs in a
// worker process (spicheck.exe for a 32-bit plug-in, spicheck64.exe for an
// x64 one, beside this program), which reports each check, call and result
// through a pipe as it goes. What ends or stalls the worker (an exception
// no guard can catch, such as a C++ exception escaping a GCC-built
// plug-in; ExitProcess; a call that never returns; a damaged heap) is one
// FAIL of the check that was running, naming what happened, and a fresh
// worker goes on with the next check. A run is checked in batches of
// files (job_scheduler.h), each by the entry point here.
#ifndef SPICHECK_SUPERVISOR_H
#define SPICHECK_SUPERVISOR_H

#include <functional>
#include <string>
#include <vector>

#include "options.h"

struct RunOutput;

// One batch of a run's files, checked in workers one after another, its
// results into a RunOutput that nothing is printed from.
struct WorkerBatch {
    std::vector<std::string> files;
    // The plug-in's own checks come first (the run's first batch).
    bool pluginChecks = false;
    // Names --save gave before the batch; on return, those it gave too.
    std::vector<std::string> saveNames;
    // The report's first line, once the first batch knows whether the
    // plug-in was identified: called before any result of the batch.
    std::function<void(const std::string& line)> onHeader;

    // How it went.
    bool identified = false;
    bool endsRun = false;  // nothing after this batch is to be checked
    std::string message;   // for standard error (with status 2: why the run cannot go on)
    // The reason of the FAIL of a fault while the plug-in was released at
    // the batch's end; the run reports the first such, at its end.
    std::string releaseFailure;
};

// 0, or 2 when no worker could be started or the plug-in not loaded.
int CheckBatchInWorkers(const Options& options, WorkerBatch* batch, RunOutput* out);

#endif
