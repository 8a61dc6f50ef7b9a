// A thread that watches the calls into the plug-in. A call that has not
// returned after the hang limit cannot be interrupted (it runs on the main
// thread, inside the plug-in), so the watchdog reports it and ends the
// process: the report printed so far stays, plus one FAIL and the summary.
#ifndef SPICHECK_WATCHDOG_H
#define SPICHECK_WATCHDOG_H

#include <windows.h>

// Called when a call hangs, on the watchdog's thread, with the call's
// label; the process ends with status 1 when it returns.
typedef void (*HangHandler)(const char* label, DWORD limitMs, void* context);

void StartWatchdog(DWORD limitMs, HangHandler handler, void* context);
// Told of every call's start (with its label) and end, on the calling
// thread: a worker process passes them on to spicheck.
typedef void (*CallObserver)(const char* label);
void ObserveCalls(CallObserver started, CallObserver ended);
// Around every call into the plug-in.
void CallStarted(const char* label);
// The label of the call running, or of the last one (empty before any).
const char* LastCallLabel();
void CallEnded();

#endif
