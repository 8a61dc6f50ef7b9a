// The checks with the plug-in in spicheck's own process: with
// --in-process, printing the report here; as a worker (--worker, see
// worker.h), sending each step to the spicheck that started it, which
// prints.
#ifndef SPICHECK_IN_PROCESS_H
#define SPICHECK_IN_PROCESS_H

#include "options.h"

// The exit status of the run.
int CheckInProcess(const Options& options);

#endif
