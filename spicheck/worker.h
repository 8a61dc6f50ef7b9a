// spicheck as the worker process of another spicheck (--worker=H,B,P): it
// runs the plug-in and the checks in process, as --in-process does, and
// tells the spicheck that started it what it does through the journal
// (pipe handle H) and the helper's board in shared memory (B), so that a plug-in
// that ends or stalls the worker costs one check, not the run. It ends
// with that spicheck's process (handle P). The worker's own standard
// output and error go nowhere: what a plug-in writes there never mixes
// into the report.
#ifndef SPICHECK_WORKER_H
#define SPICHECK_WORKER_H

#include <string>
#include <vector>

#include <windows.h>

#include "journal.h"

class Checker;
class Report;

// What the worker is to do, read from its standard input.
struct WorkerPlan {
    int resumeFile = -1;   // the file to go on with; -1: the plug-in's own checks
    int resumeCheck = -1;  // the last check of that file to leave out; -1: none
    // A call into the plug-in on that file that did not return (its label),
    // which robust.time of the file fails; empty: none.
    std::string unreturnedCall;
    // Not the checks: one try of the input spicheck placed in the kept
    // room (kept_input.h), as a campaign on resumeFile ran it.
    bool keptTry = false;
    std::vector<std::string> files;
    std::vector<std::string> saveNames;  // names --save gave before
};

// Takes the journal handle, reads the plan, and makes the process a worker:
// every call into the plug-in is reported with its label, the heaps are
// validated after each (damage ends the worker, reported), and an exception
// no guard catches is reported and ends the worker at once. False when the
// handle or the plan is unusable.
bool StartWorker(const std::string& handleText, WorkerPlan* plan);

// A call damaged a heap: reported with its label, and the worker ends.
[[noreturn]] void HeapDamaged(const char* lastCall);
// Walks every heap of the process; damage is reported (with the label of
// the last call into the plug-in) and ends the worker. Nothing outside a
// worker.
void EnsureHeapsIntact(const char* lastCall);
// A check starts: the heaps are walked after each of its first calls again.
void CheckStarts();

// The run's steps go to spicheck: each check as it starts (the heaps
// walked first), each result and skip, each name --save reserves (the
// names earlier workers reserved are taken). The watchdog ends a worker
// whose spicheck has not ended it within some seconds of the hang limit.
void ReportToSpicheck(Checker& checker, Report& report, const WorkerPlan& plan,
                      DWORD hangLimitMs);

// Sends a record to spicheck; a worker whose spicheck is gone ends.
void SendToSpicheck(const journal::Packet& packet);

// The plan as the worker reads it.
std::string PlanBytes(const WorkerPlan& plan);

#endif
