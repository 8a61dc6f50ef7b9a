// spicheck's default way of running the checks: the plug-in runs in a
// worker process (spicheck.exe for a 32-bit plug-in, spicheck64.exe for an
// x64 one, beside this program), which reports each check, call and result
// through a pipe as it goes. What ends or stalls the worker (an exception
// no guard can catch, such as a C++ exception escaping a GCC-built
// plug-in; ExitProcess; a call that never returns; a damaged heap) is one
// FAIL of the check that was running, naming what happened, and a fresh
// worker goes on with the next check. The report is printed here.
#ifndef SPICHECK_SUPERVISOR_H
#define SPICHECK_SUPERVISOR_H

#include "options.h"

// The exit status of the run, as the in-process run gives it.
int CheckInWorkers(const Options& options);

#endif
