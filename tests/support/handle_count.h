// Number of kernel handles (files, directories, registry keys, ...) the
// test process holds, from the system's handle table. Taken before and
// after a piece of work, equal counts show it closed everything it opened.
#ifndef SPIPROBE_TESTS_HANDLE_COUNT_H
#define SPIPROBE_TESTS_HANDLE_COUNT_H

#include "kernel_handles.h"

inline long OpenHandleCount() { return KernelHandleCount(); }

#endif
