// --save-variant=N: the input of a failure robust.fuzz names ("variant 146
// of seed 1"), written as a file, so that a plug-in's author can hand it
// to a debugger or a host of their own.
#ifndef SPICHECK_SAVE_VARIANT_H
#define SPICHECK_SAVE_VARIANT_H

#include "options.h"

// Writes variant options.saveVariant under options.seed of each file as
// <folder>\<name>-variant-N-seed-S<extension> (the folder: --save, else
// the current one) and names each file written on standard output. The
// exit status: 0, or 2 when a file could not be read or written.
int SaveVariants(const Options& options);

#endif
