// What a plug-in object's last operation caught inside its module, or, for
// a module run in a runner process, what became of that process.
#ifndef SPIPROBE_PLUGIN_SPI_FAULT_H
#define SPIPROBE_PLUGIN_SPI_FAULT_H

#include <windows.h>

#include <cstdint>

enum class SpiFaultKind : int32_t {
    None = 0,       // the last operation ran without a fault
    Exception = 1,  // the guard caught a structured exception (code, access, address below)
    BufferOverrun = 2,  // the module wrote past the size of a buffer it was given (overrun)
    // Kinds of a module run in a runner process (SpiRemoteFile):
    RunnerExited = 3,     // the runner ended during the call; code: its exit code
    RunnerTimeout = 4,    // no answer within the deadline; waited: the deadline in ms
    RunnerException = 5,  // the runner ended on an exception no guard caught (code, access,
                          // address, instruction as for Exception)
    HeapDamage = 6,       // the call left a heap of the runner damaged
    RunnerStart = 7,      // no runner could be started; code: the system's error
};

struct SpiFault {
    SpiFaultKind kind = SpiFaultKind::None;
    DWORD code = 0;             // the exception code
    int32_t access = -1;        // access violation / in-page error: 0 read, 1 write, 8 execute;
                                // -1 for any other exception
    uintptr_t address = 0;      // access violation: the address touched
    uintptr_t instruction = 0;  // where the exception was raised
    uint32_t overrun = 0;       // buffer overrun: bytes written past the size given
    uint32_t waited = 0;        // runner timeout: milliseconds waited for the answer
};

#endif
