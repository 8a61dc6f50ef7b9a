// spicheck's default way of running: the files in batches, each batch
// checked by supervisor.h's entry point in workers of the plug-in's
// bitness, as many batches side by side as -j says. The batches are cut
// by the number of files alone and the plug-in's own checks run once, in
// the first, so that the reports (text, JSON, JUnit, HTML) come out in the
// order of the files and the same whatever -j is. The text report streams
// as the files are checked in that order.
#ifndef SPICHECK_JOB_SCHEDULER_H
#define SPICHECK_JOB_SCHEDULER_H

#include <cstddef>

#include "options.h"

// Files per batch for a run of this many files: a worker's start is spread
// over several files on a large run, and a small run still has batches to
// check side by side.
size_t BatchSize(size_t files);

// The exit status of the run, as the in-process run gives it.
int CheckInWorkers(const Options& options);

#endif
