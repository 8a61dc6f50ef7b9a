// The fault guard: runs a piece of code that calls into a plug-in module so
// that any structured exception raised inside it (access violations, divide
// by zero, illegal or privileged instructions, breakpoints, stack overflow,
// RaiseException with any code, including 0xE06D7363 from an uncaught
// MSVC C++ throw) is caught and reported instead of ending the process.
//
// Rules of use:
// - Guard exactly the calls into the module and nothing else: the guard
//   swallows every fault, so a bug of our own inside the body would be
//   hidden as a plug-in failure.
// - The body must not throw C++ exceptions; nothing propagates through the
//   guard. After a fault the body's locals are abandoned without running
//   destructors, so the body must own nothing that needs releasing.
// - Exceptions that the module handles itself (its own handler frames,
//   IsBadReadPtr on a bad address) never reach the guard: it is a handler
//   frame right around the call, consulted only after every frame inside
//   the module, not a vectored handler, which would see those first-chance
//   exceptions too.
// - After a stack overflow the stack's guard page is restored, so a later
//   overflow is caught as well.
//
// What differs between the processors:
// - 32-bit x86: the frame is an EXCEPTION_REGISTRATION record linked into
//   fs:[0] by hand (GCC has no __try/__except there). A C++ exception
//   escaping a plug-in built with GCC cannot be caught: its runtime calls
//   terminate() before any handler frame is consulted. MSVC- and
//   Delphi-built plug-ins raise SEH exceptions, which are caught.
// - x86-64: there is no fs:[0] chain; the handler is found through the
//   guard's own unwind data (fault_guard_x64.cpp). GCC's C++ exceptions are
//   SEH exceptions there, so one escaping a GCC-built plug-in is caught too,
//   with the code 0x20474343 (its exception object is abandoned). Code
//   inside the module without unwind data (hand-written assembly that moved
//   the stack pointer) stops the dispatcher before it reaches the guard.
//
// fault_guard.cpp holds the 32-bit GCC and the MSVC implementations,
// fault_guard_x64.cpp the x86-64 GCC one; the build picks one unit.
#ifndef SPIPROBE_PLUGIN_FAULT_GUARD_H
#define SPIPROBE_PLUGIN_FAULT_GUARD_H

#include <windows.h>

#include <cstdint>

// What the guard caught.
struct CaughtFault {
    DWORD code = 0;             // the exception code
    uintptr_t instruction = 0;  // where it was raised (ExceptionRecord->ExceptionAddress)
    int32_t access = -1;        // access violation / in-page error: 0 read, 1 write, 8 execute
                                // (the record's first parameter); -1 for any other exception
    uintptr_t address = 0;      // access violation: the address touched (its second parameter)
};

typedef void (*GuardedBody)(void* context);

// Runs body(context): true when it returned normally, false when a fault was
// caught; then *fault (when given) describes it.
bool RunGuarded(GuardedBody body, void* context, CaughtFault* fault = nullptr);

#endif
