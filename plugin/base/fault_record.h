// What an exception record says about a fault, in plain fields: the one
// reader of EXCEPTION_RECORD for the fault guard, a helper process's
// last-chance filter and the reports. It allocates nothing, so a filter
// running on a damaged heap may call it.
#ifndef SPIPROBE_PLUGIN_BASE_FAULT_RECORD_H
#define SPIPROBE_PLUGIN_BASE_FAULT_RECORD_H

#include <windows.h>

#include <cstdint>

struct FaultRecord {
    DWORD code = 0;             // the exception code
    uintptr_t instruction = 0;  // where it was raised (ExceptionAddress)
    int32_t access = -1;        // access violation / in-page error: 0 read, 1 write, 8 execute;
                                // -1 for any other exception
    uintptr_t address = 0;      // access violation / in-page error: the address touched
};

FaultRecord ReadFaultRecord(const EXCEPTION_RECORD& record);

#endif
